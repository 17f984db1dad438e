#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>

#include "platform/process.h"
#include "platform/system_error.h"

namespace zvq::platform {

namespace {

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (int code = ::posix_spawnattr_init(&FValue); code != 0) RaiseOSError(code);
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&FValue); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* Get() noexcept { return &FValue; }

 private:
  posix_spawnattr_t FValue{};
};

class SpawnFileActions {
 public:
  SpawnFileActions() {
    if (int code = ::posix_spawn_file_actions_init(&FValue); code != 0) RaiseOSError(code);
  }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&FValue); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* Get() noexcept { return &FValue; }

 private:
  posix_spawn_file_actions_t FValue{};
};

void Check(int ACode) {
  if (ACode != 0) RaiseOSError(ACode);
}

// After a failed wait: the process is stopped and, when it is still ours to reap, reaped. Either step fails
// harmlessly when the process is already gone.
void KillAndReap(int APidfd) noexcept {
  ::pidfd_send_signal(APidfd, SIGKILL, nullptr, 0);
  siginfo_t ignored{};
  while (::waitid(P_PIDFD, static_cast<id_t>(APidfd), &ignored, WEXITED) != 0 && errno == EINTR) {
  }
}

}  // namespace

void OwnedHandle::Close() noexcept {
  if (FValue != kNone) ::close(static_cast<int>(Release()));
}

ProcessInformation CreateAppletProcess(const std::string& AProgram, const std::string& AWorkingDirectory) {
  SpawnAttributes attributes;
  // The applet starts as in a fresh session of the user: its own process group (so a terminal's signals for
  // us do not reach it), every signal at its default and none blocked, whatever this process has set up.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  Check(::posix_spawnattr_setflags(attributes.Get(),
                                   POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
  Check(::posix_spawnattr_setpgroup(attributes.Get(), 0));
  Check(::posix_spawnattr_setsigdefault(attributes.Get(), &all));
  Check(::posix_spawnattr_setsigmask(attributes.Get(), &none));

  SpawnFileActions actions;
  Check(::posix_spawn_file_actions_addchdir_np(actions.Get(), AWorkingDirectory.c_str()));
  // Only the standard descriptors are handed on, even ones another library opened without close-on-exec.
  Check(::posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3));

  std::string program = AProgram;
  char* arguments[] = {program.data(), nullptr};
  pid_t pid = 0;
  Check(::posix_spawn(&pid, program.c_str(), actions.Get(), attributes.Get(), arguments, environ));

  ProcessInformation info;
  info.ProcessId = pid;
  // The child stays a zombie until we reap it, so its pid cannot be reused before the pidfd holds it.
  int pidfd = ::pidfd_open(pid, 0);
  if (pidfd < 0) {
    // Without a handle nobody could wait for it; do not leave it running untracked.
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    info.ProcessId = 0;
    return info;
  }
  info.Process = OwnedHandle(pidfd);
  return info;
}

int WaitForProcess(const OwnedHandle& AProcess) {
  const int pidfd = static_cast<int>(AProcess.Value());
  siginfo_t info{};
  while (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) != 0) {
    if (errno == EINTR) continue;
    const int code = errno;
    KillAndReap(pidfd);
    RaiseOSError(code);
  }
  // A process ended by a signal reports 128 + the signal, as shells do.
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

void ResetChildExitSignal() noexcept {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  ::sigaction(SIGCHLD, &standard, nullptr);
}

}  // namespace zvq::platform
