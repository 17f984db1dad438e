// clang-format off
#include <windows.h>
#include <rpc.h>
// clang-format on

#include <cstring>

#include "platform/guid.h"
#include "platform/system_error.h"

namespace zvq::platform {

Guid NewRandomGuid() {
  UUID uuid{};
  // RPC_S_UUID_LOCAL_ONLY is only a warning for the system, but such an identifier is not random.
  if (UuidCreate(&uuid) != RPC_S_OK) RaiseOSError(LastErrorCode());
  static_assert(sizeof uuid == sizeof(Guid));
  Guid guid{};
  std::memcpy(guid.data(), &uuid, sizeof uuid);
  return guid;
}

}  // namespace zvq::platform
