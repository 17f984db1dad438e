#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// What the WinHTTP client and URL parser share; private to zvq_http. Kept free of system headers.
namespace zvq::http::winhttp {

// Owner of a session, connection or request handle (WinHttpCloseHandle).
struct HandleCloser {
  void operator()(void* AHandle) const noexcept;
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct UrlParts {
  bool Secure = false;
  std::wstring Scheme;  // lower case
  std::wstring Host;
  std::uint16_t Port = 0;
  std::wstring Object;  // path and query, without the fragment; "/" when empty
};

// An absolute http(s) URL taken apart by WinHttpCrackUrl. Empty when WinHTTP cannot parse it or it names
// another scheme; AError then holds the system's error code.
std::optional<UrlParts> CrackUrl(const std::wstring& AUrl, unsigned long& AError);

}  // namespace zvq::http::winhttp
