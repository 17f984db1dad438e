// zvq-bench-run COMMAND [ARGS...]: runs the command and then prints its wall time, CPU time (user and system;
// steadier than wall time on a busy machine) and peak resident set, so
// the bench can compare programs without a measuring tool of their own. The child finds its start time as
// CLOCK_MONOTONIC nanoseconds in ZVQ_BENCH_START_NS.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

long long MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

int main(int AArgc, char** AArgv) {
  if (AArgc < 2) {
    std::fputs("usage: zvq-bench-run COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  std::fflush(stdout);
  const long long started = MonotonicNs();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("zvq-bench-run: fork");
    return 1;
  }
  if (child == 0) {
    setenv("ZVQ_BENCH_START_NS", std::to_string(started).c_str(), 1);
    execvp(AArgv[1], AArgv + 1);
    std::perror("zvq-bench-run: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("zvq-bench-run: wait4");
    return 1;
  }
  const long long ended = MonotonicNs();
  const auto seconds = [](const timeval& ATime) { return static_cast<double>(ATime.tv_sec) + ATime.tv_usec / 1e6; };
  std::printf("wall_s=%.6f\ncpu_s=%.6f\nmax_rss_kib=%ld\n", static_cast<double>(ended - started) / 1e9,
              seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
