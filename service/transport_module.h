#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/http_client.h"
#include "service/uri.h"

// The Qt program loads libcurl and libcrypto only once its window is up: they live in a module of its own
// (zvq-transport.so) whose one export is this table. The program's http_client.h, uri.h and HmacSha256
// forward to it; tests and other programs link the same code directly.
namespace zvq::http::module {

inline constexpr char kFileName[] = "zvq-transport.so";
inline constexpr char kEntryName[] = "zvq_transport_entry";

struct Entry {
  // Built with the program from the same sources; a module of another build is refused.
  std::size_t Size;
  std::string_view Build;
  void* (*NewClient)(const Settings&);
  void (*DeleteClient)(void*) noexcept;
  Response (*Execute)(void*, const Request&, BodySink&);
  Uri (*ParseUri)(std::string_view);
  std::array<std::uint8_t, 32> (*HmacSha256)(std::string_view, std::string_view);
  void (*PrepareTransport)();
};

using EntryFunction = const Entry* (*)();

}  // namespace zvq::http::module
