#include <sys/random.h>

#include <cerrno>

#include "platform/guid.h"
#include "platform/system_error.h"

namespace zvq::platform {

Guid NewRandomGuid() {
  Guid guid{};
  std::size_t filled = 0;
  while (filled < guid.size()) {
    ssize_t got = getrandom(guid.data() + filled, guid.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      RaiseOSError(errno);
    }
    filled += static_cast<std::size_t>(got);
  }
  // Version 4 in the high nibble of the third field (stored little-endian), RFC 4122 variant.
  guid[7] = static_cast<std::uint8_t>((guid[7] & 0x0F) | 0x40);
  guid[8] = static_cast<std::uint8_t>((guid[8] & 0x3F) | 0x80);
  return guid;
}

}  // namespace zvq::platform
