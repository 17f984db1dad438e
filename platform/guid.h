#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zvq::platform {

using Guid = std::array<std::uint8_t, 16>;

// A random (version 4) GUID from the system's generator; raises EOSError when the generator fails.
Guid NewRandomGuid();

// The standard braced form with upper-case hexadecimal digits: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
// The bytes are laid out as the system's GUID structure: the first three fields little-endian.
std::string FormatGuidBraced(const Guid& AGuid);

}  // namespace zvq::platform
