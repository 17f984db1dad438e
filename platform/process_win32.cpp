#include <windows.h>

#include <cstdint>

#include "platform/process.h"
#include "platform/system_error.h"
#include "platform/text_win32.h"

namespace zvq::platform {

namespace {

HANDLE ToHandle(long long AValue) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(AValue));
}

// The system reports "no handle" as NULL; the owner's own empty value stands for it.
OwnedHandle Own(HANDLE AHandle) noexcept {
  if (AHandle == nullptr) return OwnedHandle();
  return OwnedHandle(static_cast<long long>(reinterpret_cast<std::intptr_t>(AHandle)));
}

}  // namespace

void OwnedHandle::Close() noexcept {
  if (!IsSet()) return;
  CloseHandle(ToHandle(Release()));
}

ProcessInformation CreateAppletProcess(const std::string& AProgram, const std::string& AWorkingDirectory) {
  // The quoted path is the whole command line and no application name is passed: the system takes the program
  // from the command line, so a path with spaces is never split into a program and arguments.
  std::wstring commandLine = L"\"" + WidenUtf8(AProgram) + L"\"";
  const std::wstring workingDirectory = WidenUtf8(AWorkingDirectory);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
  PROCESS_INFORMATION created{};
  constexpr DWORD kCreationFlags =
      CREATE_DEFAULT_ERROR_MODE | CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS;
  static_assert(kCreationFlags == 0x04000220);

  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, kCreationFlags, nullptr,
                      workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &created)) {
    RaiseOSError(LastErrorCode());
  }
  ProcessInformation info;
  info.Process = Own(created.hProcess);
  info.Thread = Own(created.hThread);
  info.ProcessId = static_cast<long>(created.dwProcessId);
  info.ThreadId = static_cast<long>(created.dwThreadId);
  return info;
}

int WaitForProcess(const OwnedHandle& AProcess) {
  if (!AProcess.IsSet()) RaiseOSError(ERROR_INVALID_HANDLE);
  const HANDLE process = ToHandle(AProcess.Value());
  if (WaitForSingleObject(process, INFINITE) == WAIT_FAILED) {
    const int code = LastErrorCode();
    TerminateProcess(process, static_cast<UINT>(code));
    RaiseOSError(code);
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process, &exitCode)) RaiseOSError(LastErrorCode());
  // Exit codes are 32-bit; NTSTATUS values such as 0xC0000005 come back negative.
  return static_cast<int>(exitCode);
}

// Windows has no child-exit signal; a process handle keeps the exit code until it is closed.
void ResetChildExitSignal() noexcept {}

}  // namespace zvq::platform
