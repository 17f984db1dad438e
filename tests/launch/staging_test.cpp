#include "launch/staging.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "platform/files.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadAll(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& APath, const std::string& AText) {
  std::ofstream out(APath, std::ios::binary | std::ios::trunc);
  out << AText;
  ASSERT_TRUE(out.good()) << APath;
}

ByteStream StreamOf(const std::string& ABytes) {
  ByteStream stream;
  EXPECT_TRUE(stream.Append(ABytes.data(), ABytes.size()));
  return stream;
}

std::set<std::string> Entries(const fs::path& AFolder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(AFolder)) names.insert(entry.path().filename().string());
  return names;
}

mode_t ModeOf(const fs::path& APath) {
  struct stat info {};
  EXPECT_EQ(::lstat(APath.c_str(), &info), 0) << APath;
  return info.st_mode & 07777;
}

// The lines of the test applet's report, "key=value", keys possibly repeated.
std::multimap<std::string, std::string> ParseReport(const std::string& AText) {
  std::multimap<std::string, std::string> report;
  std::istringstream lines(AText);
  for (std::string line; std::getline(lines, line);) {
    auto equals = line.find('=');
    report.emplace(line.substr(0, equals), equals == std::string::npos ? "" : line.substr(equals + 1));
  }
  return report;
}

std::string One(const std::multimap<std::string, std::string>& AReport, const std::string& AKey) {
  EXPECT_EQ(AReport.count(AKey), 1U) << AKey;
  auto found = AReport.find(AKey);
  return found == AReport.end() ? std::string() : found->second;
}

// Mounts made by a test stay in a namespace of this process, so a crash cannot leave them behind for others.
bool EnterPrivateMountNamespace() {
  static const bool entered =
      ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return entered;
}

// Each case runs against its own temporary directory, made the user's temporary directory through TMPDIR.
class StagingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* previous = std::getenv("TMPDIR")) FPreviousTmpdir = previous;
    if (const char* previous = std::getenv("XDG_RUNTIME_DIR")) FPreviousRuntime = previous;
    ::unsetenv("XDG_RUNTIME_DIR");
    std::string pattern = (fs::temp_directory_path() / "zvq staging XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FRoot = pattern;
    UseTemporaryDirectory(FRoot.string());
  }

  void TearDown() override {
    for (auto it = FMounts.rbegin(); it != FMounts.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    Restore("TMPDIR", FPreviousTmpdir);
    Restore("XDG_RUNTIME_DIR", FPreviousRuntime);
    std::error_code ignored;
    fs::remove_all(FRoot, ignored);
  }

  static void UseTemporaryDirectory(const std::string& APath) { ::setenv("TMPDIR", APath.c_str(), 1); }
  static void Restore(const char* AName, const std::optional<std::string>& AValue) {
    if (AValue) {
      ::setenv(AName, AValue->c_str(), 1);
    } else {
      ::unsetenv(AName);
    }
  }

  fs::path Staging() const { return FRoot / ".zvq-support.tmp"; }
  fs::path Applet() const { return Staging() / "QuintrelSupport.exe"; }

  void Mount(const char* ASource, const fs::path& ATarget, const char* AType, unsigned long AFlags,
             const char* AData = nullptr) {
    if (!EnterPrivateMountNamespace())
      GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
    if (::mount(ASource, ATarget.c_str(), AType, AFlags, AData) != 0) {
      GTEST_SKIP() << "cannot mount on " << ATarget << ": " << std::strerror(errno);
    }
    FMounts.push_back(ATarget);
  }

  fs::path FRoot;
  std::optional<std::string> FPreviousTmpdir;
  std::optional<std::string> FPreviousRuntime;
  std::vector<fs::path> FMounts;
};

// ---------------------------------------------------------------------------------------------------------
// The join rule and the fixed layout

struct JoinCase {
  const char* Name;
  std::string First;
  std::string Second;
  std::string Expected;
};

TEST(JoinPath, FollowsTheOneRuleForEveryPath) {
  const JoinCase cases[] = {
      {"a separator goes between two plain parts", "/tmp", "x", "/tmp/x"},
      {"a trailing separator is not doubled", "/tmp/", "x", "/tmp/x"},
      {"the root keeps its single separator", "/", "x", "/x"},
      {"an empty first part gives the second", "", "x", "x"},
      {"an empty second part gives the first", "/tmp", "", "/tmp"},
      {"two empty parts give an empty path", "", "", ""},
      {"a rooted second part replaces the first", "/tmp", "/etc/x", "/etc/x"},
      {"blanks are ordinary characters", "/a b/c d", "e f.exe", "/a b/c d/e f.exe"},
      {"a relative first part is joined all the same", "rel", "x", "rel/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(JoinPath(c.First, c.Second), c.Expected) << c.Name;
}

TEST(JoinPath, RefusesANulInEitherPart) {
  using namespace std::string_literals;
  for (const auto& [first, second] : {std::pair{"/tm\0p"s, "x"s}, std::pair{"/tmp"s, "x\0"s}}) {
    try {
      JoinPath(first, second);
      ADD_FAILURE() << "no exception";
    } catch (const ESupportLauncherException& error) {
      EXPECT_EQ(error.Message(), "Invalid characters in path");
    }
  }
}

TEST_F(StagingTest, PathsHaveExactlyOneSeparatorWhateverTheTemporaryDirectoryEndsWith) {
  for (const std::string& tmpdir : {FRoot.string(), FRoot.string() + "/"}) {
    UseTemporaryDirectory(tmpdir);
    EXPECT_EQ(GetStagingFolder(), FRoot.string() + "/.zvq-support.tmp") << tmpdir;
    EXPECT_EQ(GetAppletPath(), FRoot.string() + "/.zvq-support.tmp/QuintrelSupport.exe") << tmpdir;
  }
}

// Where the staging folder goes for each environment; "another user" is uid 65534, made owner with chown.
struct TemporaryPlaceCase {
  const char* Name;
  const char* Tmpdir;   // null: unset; "@" stands for an absolute directory of the test's own
  const char* Runtime;  // XDG_RUNTIME_DIR; null: unset; "@" stands for FRoot/runtime, made by Make
  void (*Make)(const fs::path& ARuntime);
  enum { kTmpdir, kRuntime, kSlashTmp } Expected;
};

void MakePrivate(const fs::path& ARuntime) { ASSERT_EQ(::mkdir(ARuntime.c_str(), 0700), 0); }

TEST_F(StagingTest, TheStagingFolderGoesToTheUsersOwnTemporaryPlace) {
  const TemporaryPlaceCase cases[] = {
      {"an absolute TMPDIR wins over a private runtime directory", "@", "@", MakePrivate,
       TemporaryPlaceCase::kTmpdir},
      {"a relative TMPDIR is ignored", "relative/dir", "@", MakePrivate, TemporaryPlaceCase::kRuntime},
      {"an empty TMPDIR is ignored", "", "@", MakePrivate, TemporaryPlaceCase::kRuntime},
      {"without TMPDIR the private runtime directory is used", nullptr, "@", MakePrivate,
       TemporaryPlaceCase::kRuntime},
      {"a runtime directory the group may enter is not used", nullptr, "@",
       [](const fs::path& ARuntime) { ASSERT_EQ(::mkdir(ARuntime.c_str(), 0710), 0); },
       TemporaryPlaceCase::kSlashTmp},
      {"a runtime directory others may read is not used", nullptr, "@",
       [](const fs::path& ARuntime) { ASSERT_EQ(::mkdir(ARuntime.c_str(), 0704), 0); },
       TemporaryPlaceCase::kSlashTmp},
      {"another user's runtime directory is not used", nullptr, "@",
       [](const fs::path& ARuntime) {
         MakePrivate(ARuntime);
         ASSERT_EQ(::chown(ARuntime.c_str(), 65534, 65534), 0);
       },
       TemporaryPlaceCase::kSlashTmp},
      {"a link to a private directory is not used", nullptr, "@",
       [](const fs::path& ARuntime) {
         MakePrivate(ARuntime.string() + ".real");
         fs::create_directory_symlink(ARuntime.string() + ".real", ARuntime);
       },
       TemporaryPlaceCase::kSlashTmp},
      {"a file is not used", nullptr, "@", [](const fs::path& ARuntime) { WriteAll(ARuntime, "x"); },
       TemporaryPlaceCase::kSlashTmp},
      {"a missing runtime directory is not used", nullptr, "@", [](const fs::path&) {},
       TemporaryPlaceCase::kSlashTmp},
      {"a relative runtime directory is not used", nullptr, "runtime", [](const fs::path&) {},
       TemporaryPlaceCase::kSlashTmp},
      {"with neither, /tmp", nullptr, nullptr, [](const fs::path&) {}, TemporaryPlaceCase::kSlashTmp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path own = FRoot / "own tmp";
    const fs::path runtime = FRoot / "runtime";
    c.Make(runtime);
    const auto set = [](const char* AName, const char* AValue, const fs::path& AStandIn) {
      if (AValue == nullptr) {
        ::unsetenv(AName);
      } else {
        ::setenv(AName, std::string(AValue) == "@" ? AStandIn.c_str() : AValue, 1);
      }
    };
    set("TMPDIR", c.Tmpdir, own);
    set("XDG_RUNTIME_DIR", c.Runtime, runtime);
    const fs::path expected = c.Expected == TemporaryPlaceCase::kTmpdir    ? own
                              : c.Expected == TemporaryPlaceCase::kRuntime ? runtime
                                                                           : fs::path("/tmp");
    EXPECT_EQ(GetStagingFolder(), (expected / ".zvq-support.tmp").string());
    fs::remove_all(runtime);
    fs::remove_all(runtime.string() + ".real");
  }
}

// ---------------------------------------------------------------------------------------------------------
// Preparation at start

TEST_F(StagingTest, PreparationCreatesOnePrivateFolderAndIsIdempotent) {
  PrepareStagingFolder();
  EXPECT_EQ(Entries(FRoot), std::set<std::string>{".zvq-support.tmp"});
  ASSERT_TRUE(fs::is_directory(Staging()));
  EXPECT_EQ(ModeOf(Staging()), 0700U);

  WriteAll(Staging() / "left", "x");
  const auto before = fs::last_write_time(Staging());
  PrepareStagingFolder();
  EXPECT_EQ(Entries(FRoot), std::set<std::string>{".zvq-support.tmp"});
  EXPECT_EQ(Entries(Staging()), std::set<std::string>{"left"});
  EXPECT_EQ(fs::last_write_time(Staging()), before);
}

TEST_F(StagingTest, PreparationCreatesMissingParents) {
  const fs::path deep = FRoot / "a" / "b c" / "d";
  UseTemporaryDirectory(deep.string() + "/");
  PrepareStagingFolder();
  EXPECT_TRUE(fs::is_directory(deep / ".zvq-support.tmp"));
  EXPECT_EQ(ModeOf(deep / ".zvq-support.tmp"), 0700U);
}

TEST_F(StagingTest, PreparationReportsNothingWhenTheFolderCannotBeMade) {
  WriteAll(FRoot / "file", "not a folder");
  UseTemporaryDirectory((FRoot / "file").string());
  EXPECT_NO_THROW(PrepareStagingFolder());
  EXPECT_FALSE(fs::exists(FRoot / "file" / ".zvq-support.tmp"));
}

// ---------------------------------------------------------------------------------------------------------
// Clean-up

TEST_F(StagingTest, CleanUpWithoutAFolderDoesNothing) {
  EXPECT_NO_THROW(CleanStagingFolder());
  EXPECT_TRUE(Entries(FRoot).empty());
}

TEST_F(StagingTest, CleanUpDeletesTopLevelFilesAndKeepsFolders) {
  PrepareStagingFolder();
  WriteAll(Applet(), "applet");
  WriteAll(Staging() / "other file", "x");
  fs::create_directory(Staging() / "sub");
  WriteAll(Staging() / "sub" / "inner", "x");

  CleanStagingFolder();

  EXPECT_EQ(Entries(Staging()), std::set<std::string>{"sub"});
  EXPECT_EQ(Entries(Staging() / "sub"), std::set<std::string>{"inner"});
}

// Even root cannot delete a file that is a mount point, so a bind mount stands in for a file still in use.
TEST_F(StagingTest, AFileThatCannotBeDeletedStopsTheCleanUpThere) {
  PrepareStagingFolder();
  for (const char* name : {"one", "two", "three"}) WriteAll(Staging() / name, name);
  WriteAll(FRoot / "source", "source");
  const std::vector<std::string> order = platform::PrivateFolder(Staging().string()).ListFileNames();
  ASSERT_EQ(order.size(), 3U);
  Mount((FRoot / "source").c_str(), Staging() / order[1], nullptr, MS_BIND);
  if (IsSkipped()) return;

  CleanStagingFolder();

  EXPECT_EQ(Entries(Staging()), (std::set<std::string>{order[1], order[2]}));
}

// ---------------------------------------------------------------------------------------------------------
// Saving the applet

TEST_F(StagingTest, SaveWritesAnExecutableFileAndReplacesAnOldOne) {
  PrepareStagingFolder();
  WriteAll(Applet(), std::string(5000, 'o'));
  ::chmod(Applet().c_str(), 0666);

  SaveApplet(StreamOf("new applet"));

  EXPECT_EQ(ReadAll(Applet()), "new applet");
  EXPECT_EQ(ModeOf(Applet()), 0700U);
}

TEST_F(StagingTest, SaveWithoutAFolderFailsWithTheFileAndTheSystemText) {
  try {
    SaveApplet(StreamOf("x"));
    ADD_FAILURE() << "no exception";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message(), "Cannot create file \"" + Applet().string() + "\". No such file or directory");
  }
  EXPECT_FALSE(fs::exists(Staging()));
}

TEST_F(StagingTest, AFailedWriteLeavesNoPartialApplet) {
  PrepareStagingFolder();
  // A file size limit makes the kernel refuse the rest of the write, for root too.
  struct rlimit previous {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  struct sigaction ignore {};
  struct sigaction previousAction {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previousAction);
  struct rlimit small = previous;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

  std::optional<std::string> message;
  try {
    SaveApplet(StreamOf(std::string(20000, 'x')));
  } catch (const EFCreateError& error) {
    message = error.Message();
  }
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::sigaction(SIGXFSZ, &previousAction, nullptr);

  ASSERT_TRUE(message.has_value()) << "no exception";
  EXPECT_EQ(*message, "Cannot create file \"" + Applet().string() + "\". File too large");
  EXPECT_FALSE(fs::exists(Applet()));
}

// ---------------------------------------------------------------------------------------------------------
// A staging folder someone else could have prepared: nothing is written, run or deleted there

std::string TestAppletBytes() { return ReadAll(ZVQ_TEST_APPLET_PATH); }

struct PlantedCase {
  const char* Name;
  void (*Plant)(const fs::path& ARoot, const fs::path& AStaging, const fs::path& AElsewhere);
  const char* Why;
};

TEST_F(StagingTest, AnUntrustedFolderOrAppletIsNeitherWrittenNorRunNorCleaned) {
  const PlantedCase cases[] = {
      {"a symbolic link instead of the folder",
       [](const fs::path&, const fs::path& AStaging, const fs::path& AElsewhere) {
         fs::create_directory_symlink(AElsewhere, AStaging);
       },
       "is a symbolic link"},
      {"a folder owned by another user",
       [](const fs::path&, const fs::path& AStaging, const fs::path&) {
         fs::create_directory(AStaging);
         ASSERT_EQ(::chown(AStaging.c_str(), 65534, 65534), 0);
       },
       "\" belongs to another user, so the launcher will not use it"},
      {"a symbolic link another user made",
       [](const fs::path&, const fs::path& AStaging, const fs::path& AElsewhere) {
         fs::create_directory_symlink(AElsewhere, AStaging);
         ASSERT_EQ(::lchown(AStaging.c_str(), 65534, 65534), 0);
       },
       "\" belongs to another user, so the launcher will not use it"},
      {"a file another user made",
       [](const fs::path&, const fs::path& AStaging, const fs::path&) {
         WriteAll(AStaging, "x");
         ASSERT_EQ(::chown(AStaging.c_str(), 65534, 65534), 0);
       },
       "\" belongs to another user, so the launcher will not use it"},
      {"a folder others may write to",
       [](const fs::path&, const fs::path& AStaging, const fs::path&) {
         fs::create_directory(AStaging);
         ASSERT_EQ(::chmod(AStaging.c_str(), 0777), 0);
       },
       "\" is open to other users, so the launcher will not use it"},
      {"a file instead of the folder",
       [](const fs::path&, const fs::path& AStaging, const fs::path&) { WriteAll(AStaging, "x"); },
       "is not a folder"},
  };
  const std::string applet = TestAppletBytes();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path elsewhere = FRoot / "elsewhere";
    fs::create_directory(elsewhere);
    c.Plant(FRoot, Staging(), elsewhere);
    // Whoever planted it left a runnable program there; it must not be started or deleted.
    const fs::path planted = fs::is_directory(Staging()) ? Applet() : elsewhere / "QuintrelSupport.exe";
    WriteAll(planted, applet);
    fs::permissions(planted, fs::perms::owner_all);
    const fs::path report = FRoot / "report";
    ::setenv("ZVQ_TEST_APPLET_REPORT", report.c_str(), 1);

    try {
      SaveApplet(StreamOf("replacement"));
      ADD_FAILURE() << "save: no exception";
    } catch (const EFCreateError& error) {
      EXPECT_THAT(error.Message(), HasSubstr(c.Why));
      EXPECT_THAT(error.Message(), HasSubstr(Staging().string()));
    }
    try {
      LaunchApplet();
      ADD_FAILURE() << "launch: no exception";
    } catch (const ESupportLauncherException& error) {
      EXPECT_THAT(error.Message(), HasSubstr("Unable to launch applet. "));
      EXPECT_THAT(error.Message(), HasSubstr(c.Why));
    }
    CleanStagingFolder();

    EXPECT_EQ(ReadAll(planted), applet);
    EXPECT_FALSE(fs::exists(report));
    ::unsetenv("ZVQ_TEST_APPLET_REPORT");
    fs::remove_all(Staging());
    fs::remove_all(elsewhere);
  }
}

TEST_F(StagingTest, ALinkAtTheAppletPathIsNotFollowedRunOrCleaned) {
  PrepareStagingFolder();
  const fs::path target = FRoot / "target";
  WriteAll(target, "someone else's file");
  fs::create_symlink(target, Applet());

  try {
    SaveApplet(StreamOf("applet"));
    ADD_FAILURE() << "save: no exception";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message(),
              "Cannot create file \"" + Applet().string() + "\". The file is a symbolic link");
  }
  try {
    LaunchApplet();
    ADD_FAILURE() << "launch: no exception";
  } catch (const ESupportLauncherException& error) {
    EXPECT_EQ(error.Message(),
              "Unable to launch applet. The file \"" + Applet().string() + "\" is a symbolic link");
  }
  CleanStagingFolder();

  EXPECT_EQ(ReadAll(target), "someone else's file");
  EXPECT_TRUE(fs::is_symlink(Applet()));
}

// ---------------------------------------------------------------------------------------------------------
// Starting the applet

class LaunchTest : public StagingTest {
 protected:
  void SetUp() override {
    StagingTest::SetUp();
    ::setenv("ZVQ_TEST_APPLET_REPORT", Report().c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : {"ZVQ_TEST_APPLET_REPORT", "ZVQ_TEST_APPLET_EXIT", "ZVQ_TEST_APPLET_SLEEP_MS"}) {
      ::unsetenv(name);
    }
    StagingTest::TearDown();
  }

  fs::path Report() const { return FRoot / "report"; }

  static void ExpectOSError(const std::string& AMessage) {
    try {
      LaunchApplet();
      ADD_FAILURE() << "no exception";
    } catch (const EOSError& error) {
      EXPECT_EQ(error.Message(), AMessage);
    }
  }
};

TEST_F(LaunchTest, TheAppletStartsAloneInItsFolderAndItsExitStatusComesBack) {
  PrepareStagingFolder();
  SaveApplet(StreamOf(TestAppletBytes()));
  ::setenv("ZVQ_TEST_APPLET_EXIT", "7", 1);
  // An inheritable descriptor, a blocked and an ignored signal: none of them may reach the applet.
  const int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  sigset_t usr1, previousMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &usr1, &previousMask);
  struct sigaction ignore {};
  struct sigaction previousAction {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGUSR2, &ignore, &previousAction);

  platform::ProcessInformation info = LaunchApplet();

  ::close(leaked);
  ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGUSR2, &previousAction, nullptr);
  ASSERT_TRUE(info.Process.IsSet());
  EXPECT_EQ(platform::WaitForProcess(info.Process), 7);

  const auto report = ParseReport(ReadAll(Report()));
  EXPECT_EQ(One(report, "argc"), "1");
  EXPECT_EQ(One(report, "argv0"), Applet().string());
  EXPECT_EQ(One(report, "cwd"), Staging().string());
  EXPECT_EQ(One(report, "pid"), std::to_string(info.ProcessId));
  EXPECT_EQ(One(report, "pgid"), One(report, "pid")) << "a process group of its own";
  for (auto [it, end] = report.equal_range("fd"); it != end; ++it) EXPECT_LT(std::stoi(it->second), 3);
  EXPECT_EQ(One(report, "blocked"), "");
  EXPECT_EQ(One(report, "ignored"), "");
  EXPECT_EQ(report.count("env:ZVQ_TEST_APPLET_EXIT"), 1U) << "the caller's environment";
}

TEST_F(LaunchTest, AKilledAppletReportsTheSignal) {
  PrepareStagingFolder();
  SaveApplet(StreamOf(TestAppletBytes()));
  ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "60000", 1);
  platform::ProcessInformation info = LaunchApplet();
  ASSERT_EQ(::kill(static_cast<pid_t>(info.ProcessId), SIGKILL), 0);
  EXPECT_EQ(platform::WaitForProcess(info.Process), 128 + SIGKILL);
}

// With no descriptor left for the process handle the applet could not be waited for: it must not count as
// launched. The limit leaves room for the folder's descriptor and none for the handle.
TEST_F(LaunchTest, AnAppletThatCannotBeHeldIsNotLaunched) {
  PrepareStagingFolder();
  SaveApplet(StreamOf(TestAppletBytes()));
  ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "60000", 1);
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  struct rlimit previous {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
  struct rlimit tight = previous;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

  std::optional<std::string> message;
  try {
    LaunchApplet();
  } catch (const ESupportLauncherException& error) {
    message = error.Message();
  }
  ::setrlimit(RLIMIT_NOFILE, &previous);

  ASSERT_TRUE(message.has_value()) << "launched without a handle";
  EXPECT_EQ(*message, "Unable to launch applet");
}

TEST_F(LaunchTest, AMissingAppletOrFolderFailsWithTheSystemsTextForAMissingFile) {
  ExpectOSError("System Error.  Code: 2.\r\nNo such file or directory");
  PrepareStagingFolder();
  ExpectOSError("System Error.  Code: 2.\r\nNo such file or directory");
}

TEST_F(LaunchTest, ANoexecStagingFolderSaysSoInPlainWords) {
  Mount("tmpfs", FRoot, "tmpfs", MS_NOEXEC, "mode=0700");
  if (IsSkipped()) return;
  PrepareStagingFolder();
  SaveApplet(StreamOf(TestAppletBytes()));
  ExpectOSError("System Error.  Code: 13.\r\nPermission denied. The staging folder \"" + Staging().string() +
                "\" does not allow programs to run (mounted noexec?)");
}

}  // namespace
}  // namespace zvq
