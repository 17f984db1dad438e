// A stand-in for the downloaded applet. It reports how it was started into the file named by
// ZVQ_TEST_APPLET_REPORT, one "key=value" per line:
//   argc, argv<i>, cwd, pid, pgid, fd (one line per open descriptor), blocked (signals blocked at start),
//   ignored (signals whose disposition is "ignore"), env:<name> for each ZVQ_* variable.
// Then it sleeps ZVQ_TEST_APPLET_SLEEP_MS milliseconds and exits with ZVQ_TEST_APPLET_EXIT (default 0).
// The report is written to a temporary name and renamed, so a reader never sees half of it.
// Kept free of every library but the C++ runtime: its bytes are served as the download in other tests.

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string OpenDescriptors() {
  std::string lines;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return "fd=unknown\n";
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;
    lines += "fd=" + std::string(entry->d_name) + "\n";
  }
  ::closedir(dir);
  return lines;
}

std::string SignalState() {
  sigset_t blocked;
  sigemptyset(&blocked);
  ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
  std::string blockedList;
  std::string ignoredList;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&blocked, sig) == 1) (blockedList += ' ') += std::to_string(sig);
    struct sigaction action {};
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      (ignoredList += ' ') += std::to_string(sig);
    }
  }
  return "blocked=" + blockedList + "\nignored=" + ignoredList + "\n";
}

bool WriteReport(const std::string& APath, const std::string& AText) {
  const std::string temporary = APath + ".part";
  std::FILE* file = std::fopen(temporary.c_str(), "we");
  if (file == nullptr) return false;
  bool ok = std::fwrite(AText.data(), 1, AText.size(), file) == AText.size();
  ok = std::fclose(file) == 0 && ok;
  return ok && std::rename(temporary.c_str(), APath.c_str()) == 0;
}

long EnvNumber(const char* AName, long ADefault) {
  const char* value = std::getenv(AName);
  return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : ADefault;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken before anything else opens a descriptor of its own.
  std::string report = OpenDescriptors();
  report += SignalState();
  report += "argc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) report += "argv" + std::to_string(i) + "=" + argv[i] + "\n";
  std::vector<char> cwd(4096);
  report += "cwd=" + std::string(::getcwd(cwd.data(), cwd.size()) != nullptr ? cwd.data() : "?") + "\n";
  report += "pid=" + std::to_string(::getpid()) + "\n";
  report += "pgid=" + std::to_string(::getpgrp()) + "\n";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ZVQ_", 4) == 0) report += "env:" + std::string(*entry) + "\n";
  }

  if (const char* path = std::getenv("ZVQ_TEST_APPLET_REPORT"); path != nullptr && *path != '\0') {
    if (!WriteReport(path, report)) {
      std::fprintf(stderr, "zvq_test_applet: cannot write %s: %s\n", path, std::strerror(errno));
      return 125;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(EnvNumber("ZVQ_TEST_APPLET_SLEEP_MS", 0)));
  return static_cast<int>(EnvNumber("ZVQ_TEST_APPLET_EXIT", 0));
}
