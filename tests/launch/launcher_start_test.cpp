// The start of a launcher process: one launcher per user, and a process state of its own whatever the
// desktop handed it. Whole launchers are played by this program itself, started again with a role.
#include "launch/launcher_start.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <sys/pidfd.h>
}

#include "errors/errors.h"
#include "launch/staging.h"
#include "platform/process.h"
#include "platform/single_instance.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- the roles a started copy of this program plays ----

void Say(const std::string& ALine) {
  std::fputs((ALine + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// The program entry without its window: start, the window's start-up clean-up, then show requests.
int PlayLauncher() {
  const auto instance = BeginLauncher();
  if (!instance) return 0;
  CleanStagingFolder();
  platform::ManualMainLoop loop;
  bool shown = false;
  const auto listening = instance->ListenForShowRequests(loop, [&] { shown = loop.IsMainThread(); });
  Say("ready");
  if (!loop.RunUntil([&] { return shown; }, 30s)) return 1;
  Say("shown");
  return 0;
}

// Starts the test applet after the launcher's start and reports what the wait says.
int PlayWaitingLauncher() {
  const auto instance = BeginLauncher();
  try {
    platform::ProcessInformation applet = platform::CreateAppletProcess(ZVQ_TEST_APPLET_PATH, "/");
    Say("exit=" + std::to_string(platform::WaitForProcess(applet.Process)));
  } catch (const std::exception& error) {
    Say(FormatErrorText(error));
  }
  return 0;
}

// ---- the test side ----

struct Started {
  pid_t Pid = -1;
  FILE* Output = nullptr;

  std::string ReadLine() const {
    char line[512] = {};
    if (std::fgets(line, sizeof line, Output) == nullptr) return "<end of output>";
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  // The exit code, or -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    while (::waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::fclose(Output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// Runs this program in ARole, its output readable line by line. AIgnoringChildExit starts it the way some
// desktops do, with the child-exit signal ignored.
Started Start(const char* ARole, bool AIgnoringChildExit = false) {
  int output[2];
  EXPECT_EQ(::pipe(output), 0);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string role = ARole;
  char* arguments[] = {self.data(), role.data(), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::close(output[0]);
    ::close(output[1]);
    if (AIgnoringChildExit) ::signal(SIGCHLD, SIG_IGN);
    ::execv(self.c_str(), arguments);
    ::_exit(127);
  }
  ::close(output[1]);
  return {pid, ::fdopen(output[0], "r")};
}

// Each test gets a private runtime directory and a temporary directory of its own, through the environment
// that started copies inherit.
class LauncherStart : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zvq start XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FRoot = pattern;
    for (const char* name : {"runtime", "tmp"}) ASSERT_EQ(::mkdir((FRoot / name).c_str(), 0700), 0);
    ::setenv("XDG_RUNTIME_DIR", (FRoot / "runtime").c_str(), 1);
    ::setenv("TMPDIR", (FRoot / "tmp").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::unsetenv("TMPDIR");
    std::error_code ignored;
    fs::remove_all(FRoot, ignored);
  }

  fs::path FRoot;
};

TEST_F(LauncherStart, ASecondLauncherBringsTheFirstForwardAndEndsWithoutTouchingItsFiles) {
  Started first = Start("--play-launcher");
  ASSERT_EQ(first.ReadLine(), "ready");
  // The first one's run is under way: its applet stands in the staging folder.
  const fs::path applet = GetAppletPath();
  std::ofstream(applet) << "the first launcher's applet";

  Started second = Start("--play-launcher");
  EXPECT_EQ(second.ReadLine(), "<end of output>") << "the second launcher started its own window";
  EXPECT_EQ(second.Wait(), 0);

  EXPECT_EQ(first.ReadLine(), "shown");
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_TRUE(fs::exists(applet)) << "the second launcher cleaned the first one's staging folder";
}

TEST_F(LauncherStart, TheAppletsExitStatusComesBackWhenTheDesktopIgnoresChildExits) {
  ::setenv("ZVQ_TEST_APPLET_EXIT", "7", 1);
  for (const bool ignoring : {false, true}) {
    Started launcher = Start("--play-waiting-launcher", ignoring);
    EXPECT_EQ(launcher.ReadLine(), "exit=7") << (ignoring ? "child exits ignored" : "default disposition");
    EXPECT_EQ(launcher.Wait(), 0);
  }
  ::unsetenv("ZVQ_TEST_APPLET_EXIT");
}

// A wait that cannot follow the applet (here: it is not our child) must not leave it running.
TEST_F(LauncherStart, AnAppletWhoseWaitFailsIsKilled) {
  ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "60000", 1);
  int pidPipe[2];
  ASSERT_EQ(::pipe(pidPipe), 0);
  const pid_t parent = ::fork();
  if (parent == 0) {
    const long pid = platform::CreateAppletProcess(ZVQ_TEST_APPLET_PATH, "/").ProcessId;
    ::_exit(::write(pidPipe[1], &pid, sizeof pid) == sizeof pid ? 0 : 1);
  }
  ::unsetenv("ZVQ_TEST_APPLET_SLEEP_MS");
  long pid = 0;
  ASSERT_EQ(::read(pidPipe[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
  ::close(pidPipe[0]);
  ::close(pidPipe[1]);
  ::waitpid(parent, nullptr, 0);
  platform::OwnedHandle applet(::pidfd_open(static_cast<pid_t>(pid), 0));
  ASSERT_TRUE(applet.IsSet());

  try {
    platform::WaitForProcess(applet);
    ADD_FAILURE() << "no exception";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), ECHILD);
  }
  pollfd ended{static_cast<int>(applet.Value()), POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, 10000), 1) << "the applet still runs";
}

// ---- the claim itself ----

struct ClaimCase {
  const char* Name;
  void (*Runtime)(const fs::path& ARuntime);
  bool Claimable;
};

TEST_F(LauncherStart, OnlyAPrivateRuntimeDirectoryHoldsTheClaimOtherwiseEveryInstanceRuns) {
  const ClaimCase cases[] = {
      {"a private runtime directory", [](const fs::path&) {}, true},
      {"no runtime directory", [](const fs::path&) { ::unsetenv("XDG_RUNTIME_DIR"); }, false},
      {"a runtime directory others may enter",
       [](const fs::path& ARuntime) { ASSERT_EQ(::chmod(ARuntime.c_str(), 0711), 0); }, false},
      {"another user's runtime directory",
       [](const fs::path& ARuntime) { ASSERT_EQ(::chown(ARuntime.c_str(), 65534, 65534), 0); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path runtime = FRoot / "runtime";
    c.Runtime(runtime);
    {
      platform::ManualMainLoop loop;
      int shown = 0;
      platform::SingleInstance first("zvq-claim-test");
      const auto listening = first.ListenForShowRequests(loop, [&] { ++shown; });
      platform::SingleInstance second("zvq-claim-test");
      EXPECT_TRUE(first.IsFirst());
      EXPECT_EQ(second.IsFirst(), !c.Claimable);
      EXPECT_EQ(second.AskFirstToShow(), c.Claimable);
      if (c.Claimable) {
        EXPECT_TRUE(loop.RunUntil([&] { return shown == 1; }, 10s));
        platform::SingleInstance third("zvq-claim-test");
        EXPECT_FALSE(third.IsFirst());
      }
    }
    // Released with its holder: the next one is first and reachable again.
    platform::SingleInstance next("zvq-claim-test");
    EXPECT_TRUE(next.IsFirst());
    platform::SingleInstance after("zvq-claim-test");
    EXPECT_EQ(after.AskFirstToShow(), c.Claimable);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ASSERT_EQ(::chown(runtime.c_str(), ::geteuid(), ::getegid()), 0);
    ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
  }
}

}  // namespace
}  // namespace zvq

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--play-launcher") == 0) return zvq::PlayLauncher();
  if (argc == 2 && std::strcmp(argv[1], "--play-waiting-launcher") == 0) return zvq::PlayWaitingLauncher();
  // Test programs start from a known state too; the cases that need the desktop's quirks make them.
  zvq::platform::ResetChildExitSignal();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
