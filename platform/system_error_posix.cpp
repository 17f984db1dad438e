#include <cerrno>
#include <cstring>

#include "errors/errors.h"
#include "platform/system_error.h"

namespace zvq::platform {

int LastErrorCode() noexcept { return errno; }

std::string SystemErrorText(int ACode) {
  char buffer[256] = {};
  // The GNU variant may return a static string instead of filling the buffer.
  const char* text = strerror_r(ACode, buffer, sizeof buffer);
  return TrimSystemText(text);
}

void RaiseOSError(int ACode) { throw EOSError(ACode, SystemErrorText(ACode)); }

}  // namespace zvq::platform
