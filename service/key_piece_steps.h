#pragma once

#include <cstddef>
#include <cstdint>

namespace zvq {

// The step that restores slot AIndex of key piece APiece (0-based). Shared by the signing code and by the
// build-time generator, which checks every piece it writes by restoring it.
inline std::uint16_t RestoreKeySlot(std::size_t APiece, std::size_t AIndex, std::uint16_t AValue,
                                    std::uint16_t AConstant) {
  const auto i = static_cast<std::uint16_t>(AIndex);
  switch (APiece) {
    case 0:
      return static_cast<std::uint16_t>(AValue - (i + 1));
    case 1:
      return static_cast<std::uint16_t>(AValue ^ AConstant);
    case 2:
      return static_cast<std::uint16_t>(-AValue);
    case 3:
      return static_cast<std::uint16_t>(AValue + 1);
    case 4:
      return static_cast<std::uint16_t>(AValue - i + 1);
    case 5:
      return static_cast<std::uint16_t>(~AValue);
    case 6:
      return static_cast<std::uint16_t>(AValue + 1);
    default:
      return static_cast<std::uint16_t>(AValue - (i + AConstant));
  }
}

}  // namespace zvq
