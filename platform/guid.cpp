#include "platform/guid.h"

namespace zvq::platform {

std::string FormatGuidBraced(const Guid& AGuid) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  // Data1..Data3 are little-endian integers; Data4 is eight bytes in order.
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::uint8_t byte = AGuid[static_cast<std::size_t>(kOrder[i])];
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  text += '}';
  return text;
}

}  // namespace zvq::platform
