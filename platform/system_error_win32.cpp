#include <windows.h>

#include <memory>

#include "errors/errors.h"
#include "platform/system_error.h"
#include "platform/text_win32.h"

namespace zvq::platform {

namespace {

struct LocalFreeDeleter {
  void operator()(wchar_t* AText) const noexcept { LocalFree(AText); }
};

}  // namespace

int LastErrorCode() noexcept { return static_cast<int>(GetLastError()); }

std::string SystemErrorText(int ACode) {
  wchar_t* raw = nullptr;
  // Inserts are ignored: some system texts hold %1 placeholders that would otherwise read absent arguments.
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(ACode), 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  std::unique_ptr<wchar_t, LocalFreeDeleter> owned(raw);
  if (length == 0 || raw == nullptr) return {};  // a code the system has no text for
  return TrimSystemText(NarrowToUtf8(std::wstring_view(raw, length)));
}

void RaiseOSError(int ACode) { throw EOSError(ACode, SystemErrorText(ACode)); }

}  // namespace zvq::platform
