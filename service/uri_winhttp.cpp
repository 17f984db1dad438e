// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include "errors/errors.h"
#include "platform/text_win32.h"
#include "service/uri.h"
#include "service/winhttp_handles.h"

namespace zvq::http {

namespace winhttp {

void HandleCloser::operator()(void* AHandle) const noexcept { WinHttpCloseHandle(AHandle); }

std::optional<UrlParts> CrackUrl(const std::wstring& AUrl, unsigned long& AError) {
  // A NUL would cut the text short for WinHTTP and make it parse something else than what was given.
  if (AUrl.empty() || AUrl.find(L'\0') != std::wstring::npos ||
      AUrl.size() > static_cast<std::size_t>(MAXDWORD) / 2) {
    AError = ERROR_WINHTTP_INVALID_URL;
    return std::nullopt;
  }
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  // Lengths of -1 ask for pointers into AUrl rather than copies.
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
      static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(AUrl.c_str(), static_cast<DWORD>(AUrl.size()), 0, &parts)) {
    AError = GetLastError();
    return std::nullopt;
  }
  if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    AError = ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
    return std::nullopt;
  }
  UrlParts result;
  result.Secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  result.Scheme = result.Secure ? L"https" : L"http";
  result.Host.assign(parts.lpszHostName, parts.dwHostNameLength);
  result.Port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) result.Object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) result.Object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  // The fragment belongs to the client, never to the request.
  if (const auto hash = result.Object.find(L'#'); hash != std::wstring::npos) result.Object.resize(hash);
  if (result.Object.empty() || result.Object.front() != L'/') result.Object.insert(0, 1, L'/');
  return result;
}

}  // namespace winhttp

Uri ParseUri(std::string_view AUrl) {
  std::string url(AUrl);
  auto invalid = [&url] { return ENetURIException("Invalid URL: \"" + url + "\""); };
  std::wstring wide;
  try {
    wide = platform::WidenUtf8(url);
  } catch (const EEncodingError&) {
    throw invalid();
  }
  unsigned long error = 0;
  const auto parts = winhttp::CrackUrl(wide, error);
  if (!parts) throw invalid();
  return Uri{parts->Secure ? "https" : "http", platform::NarrowToUtf8(parts->Host)};
}

}  // namespace zvq::http
