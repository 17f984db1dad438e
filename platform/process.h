#pragma once

#include <string>

namespace zvq::platform {

// An owned process or thread handle (a pidfd on POSIX, a HANDLE on Windows); closed once, by Close or when
// it goes out of scope.
class OwnedHandle {
 public:
  OwnedHandle() noexcept = default;
  explicit OwnedHandle(long long AValue) noexcept : FValue(AValue) {}
  ~OwnedHandle() { Close(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& AOther) noexcept : FValue(AOther.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& AOther) noexcept {
    if (this != &AOther) {
      Close();
      FValue = AOther.Release();
    }
    return *this;
  }

  bool IsSet() const noexcept { return FValue != kNone; }
  long long Value() const noexcept { return FValue; }
  long long Release() noexcept {
    long long value = FValue;
    FValue = kNone;
    return value;
  }
  void Close() noexcept;

 private:
  static constexpr long long kNone = -1;
  long long FValue = kNone;
};

// What process creation fills in for the applet. Default-constructed it is zeroed: no handles, no ids.
struct ProcessInformation {
  OwnedHandle Process;
  OwnedHandle Thread;  // the primary thread; never set on POSIX
  long ProcessId = 0;
  long ThreadId = 0;
};

// Starts AProgram as a process of its own: the program path is also its only argument (on Windows the quoted
// path is the whole command line), AWorkingDirectory its working directory, the caller's environment, no
// inherited handles beyond the standard ones, a process group of its own, the system's default error mode
// and signal dispositions. Raises EOSError with the system's code when the system cannot start it.
ProcessInformation CreateAppletProcess(const std::string& AProgram, const std::string& AWorkingDirectory);

// Waits, with no time-out, until the process has exited, and reaps it; returns its exit status. When the
// wait itself fails, the process is killed and reaped before EOSError is raised: an applet nobody waits
// for must not run on.
int WaitForProcess(const OwnedHandle& AProcess);

// Once at program start, before any thread: puts back the default disposition of the child-exit signal.
// Some desktops start programs with it ignored, and then the system reaps the applet itself and its exit
// status is lost to the wait.
void ResetChildExitSignal() noexcept;

}  // namespace zvq::platform
