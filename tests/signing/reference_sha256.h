#pragma once

#include <string>
#include <string_view>

namespace zvq {

// Plain SHA-256 (32 raw bytes) from the system's library, for checking the HMAC against RFC 2104.
std::string ReferenceSha256(std::string_view AData);

}  // namespace zvq
