#include "launch/staging.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
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

constexpr std::uint64_t kAppletLimit = std::uint64_t{1} << 30;

// As the transport hands a body over: in pieces of at most 16 KiB.
void WriteInChunks(http::BodySink& ASink, const std::string& ABytes) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(ABytes.data());
  for (std::size_t done = 0; done < ABytes.size(); done += 16384)
    ASink.Write({bytes + done, std::min<std::size_t>(16384, ABytes.size() - done)});
}

StagedApplet Stage(const std::string& ABytes) {
  StagedApplet applet(kAppletLimit);
  WriteInChunks(applet, ABytes);
  applet.Commit();
  return applet;
}

// Bytes that differ from one position to the next, so that a piece written twice or out of order shows.
std::string Pattern(std::size_t ASize) {
  std::string bytes(ASize, '\0');
  std::uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245 + 12345;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

void MakeFifo(const fs::path& APath) { ASSERT_EQ(::mkfifo(APath.c_str(), 0600), 0) << APath; }

void MakeSocket(const fs::path& APath) {
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, APath.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << APath;
  ::close(sock);
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

TEST_F(StagingTest, CleanUpDeletesEverythingButFoldersAndFollowsNoLink) {
  PrepareStagingFolder();
  WriteAll(Applet(), "applet");
  WriteAll(Staging() / "other file", "x");
  fs::create_directory(Staging() / "sub");
  WriteAll(Staging() / "sub" / "inner", "x");
  MakeFifo(Staging() / "pipe");
  MakeSocket(Staging() / "socket");
  WriteAll(FRoot / "outside", "kept");
  fs::create_symlink(FRoot / "outside", Staging() / "link");
  fs::create_symlink(FRoot / "nowhere", Staging() / "dangling link");
  fs::create_directory_symlink(FRoot, Staging() / "folder link");

  CleanStagingFolder();

  EXPECT_EQ(Entries(Staging()), std::set<std::string>{"sub"});
  EXPECT_EQ(Entries(Staging() / "sub"), std::set<std::string>{"inner"});
  EXPECT_EQ(ReadAll(FRoot / "outside"), "kept");
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

struct OccupantCase {
  const char* Name;
  void (*Plant)(const fs::path& AApplet, const fs::path& AOutside);
};

// Whatever is at the applet path is replaced, never opened: a pipe there would block the save for good, a
// link would send the bytes elsewhere.
TEST_F(StagingTest, CommitReplacesWhateverIsAtTheAppletPathWithoutOpeningIt) {
  const OccupantCase cases[] = {
      {"an older, longer applet others may change",
       [](const fs::path& AApplet, const fs::path&) {
         WriteAll(AApplet, std::string(50000, 'o'));
         ::chmod(AApplet.c_str(), 0666);
       }},
      {"a pipe", [](const fs::path& AApplet, const fs::path&) { MakeFifo(AApplet); }},
      {"a socket", [](const fs::path& AApplet, const fs::path&) { MakeSocket(AApplet); }},
      {"a link to someone else's file",
       [](const fs::path& AApplet, const fs::path& AOutside) { fs::create_symlink(AOutside, AApplet); }},
  };
  const std::string bytes = Pattern(3 * 16384 + 100);
  PrepareStagingFolder();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path outside = FRoot / "outside";
    WriteAll(outside, "someone else's file");
    c.Plant(Applet(), outside);
    const auto occupant = fs::symlink_status(Applet()).type();

    StagedApplet applet(kAppletLimit);
    WriteInChunks(applet, bytes);
    EXPECT_EQ(applet.Size(), bytes.size());
    EXPECT_EQ(fs::symlink_status(Applet()).type(), occupant) << "visible before the commit";
    applet.Commit();

    EXPECT_EQ(fs::symlink_status(Applet()).type(), fs::file_type::regular);
    EXPECT_EQ(ReadAll(Applet()), bytes);
    EXPECT_EQ(ModeOf(Applet()), 0700U);
    EXPECT_EQ(ReadAll(outside), "someone else's file");
    EXPECT_EQ(Entries(Staging()), std::set<std::string>{"QuintrelSupport.exe"});
    fs::remove(Applet());
  }
}

struct UncommittedCase {
  const char* Name;
  void (*Use)(StagedApplet& AApplet);
  const char* Raises;  // the class name expected, or nullptr
};

TEST_F(StagingTest, AnAppletThatIsNotCommittedLeavesNothingBehind) {
  const UncommittedCase cases[] = {
      {"a download that failed part way",
       [](StagedApplet& AApplet) { WriteInChunks(AApplet, Pattern(40000)); }, nullptr},
      {"a download refused and discarded",
       [](StagedApplet& AApplet) {
         WriteInChunks(AApplet, Pattern(40000));
         AApplet.Discard();
         EXPECT_EQ(AApplet.Size(), 0U);
       },
       nullptr},
      {"a body past the limit",
       [](StagedApplet& AApplet) {
         WriteInChunks(AApplet, Pattern(40000));
         WriteInChunks(AApplet, Pattern(10001));
       },
       "EResponseTooLarge"},
  };
  PrepareStagingFolder();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string raised;
    try {
      StagedApplet applet(50000);
      c.Use(applet);
    } catch (const Exception& error) {
      raised = error.ClassName();
    }
    EXPECT_EQ(raised, c.Raises ? c.Raises : "");
    EXPECT_TRUE(Entries(Staging()).empty());
  }
}

TEST_F(StagingTest, TheLimitItselfFitsAndADiscardStartsTheCountAgain) {
  const std::pair<const char*, std::vector<std::size_t>> cases[] = {
      {"one body of exactly the limit", {50000}},
      {"pieces that add up to exactly the limit", {40000, 10000}},
      {"a full body discarded, then another", {50000, 0, 50000}},  // 0: a discard
  };
  PrepareStagingFolder();
  for (const auto& [name, writes] : cases) {
    SCOPED_TRACE(name);
    StagedApplet applet(50000);
    for (const std::size_t size : writes) {
      if (size == 0) {
        applet.Discard();
      } else {
        EXPECT_NO_THROW(WriteInChunks(applet, Pattern(size)));
      }
    }
    EXPECT_EQ(applet.Size(), 50000U);
  }
}

// Makes the system call ANumber fail with AError whenever argument AArgument has a bit of AFlags set, for
// the rest of this process: the ways of staging a file that this system does not take by itself.
void RefuseCalls(int ANumber, unsigned AArgument, std::uint32_t AFlags, int AError) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(ANumber), 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * AArgument)),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, AFlags, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(AError)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    std::_Exit(3);
}

TEST_F(StagingTest, EveryWayOfStagingCommitsTheWholeFileAndLeavesNoOtherBehind) {
  const std::pair<const char*, void (*)()> ways[] = {
      {"an unnamed file linked by its descriptor", [] {}},
      // As for users without the capability to link a descriptor.
      {"an unnamed file linked through /proc", [] { RefuseCalls(SYS_linkat, 4, AT_EMPTY_PATH, ENOENT); }},
      {"a uniquely named file where unnamed ones are not supported",
       [] { RefuseCalls(SYS_openat, 2, O_TMPFILE & ~O_DIRECTORY, EOPNOTSUPP); }},
  };
  PrepareStagingFolder();
  const std::string bytes = Pattern(100000);
  for (const auto& [name, restrict] : ways) {
    EXPECT_EXIT(
        {
          restrict();
          {
            StagedApplet dropped(kAppletLimit);
            WriteInChunks(dropped, bytes);
          }
          if (!Entries(Staging()).empty()) std::_Exit(4);
          Stage(bytes);
          std::_Exit(ReadAll(Applet()) == bytes && ModeOf(Applet()) == 0700U &&
                             Entries(Staging()) == std::set<std::string>{"QuintrelSupport.exe"}
                         ? 0
                         : 5);
        },
        ::testing::ExitedWithCode(0), "")
        << name;
    fs::remove(Applet());
  }
}

TEST_F(StagingTest, ADiscardedBodyIsReplacedWholeByTheNextOne) {
  PrepareStagingFolder();
  StagedApplet applet(kAppletLimit);
  WriteInChunks(applet, std::string(50000, 'x'));
  applet.Discard();
  WriteInChunks(applet, "final reply");
  applet.Commit();
  EXPECT_EQ(ReadAll(Applet()), "final reply");
}

TEST_F(StagingTest, SaveWithoutAFolderFailsWithTheFileAndTheSystemText) {
  try {
    StagedApplet applet(kAppletLimit);
    ADD_FAILURE() << "no exception";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message(), "Cannot create file \"" + Applet().string() + "\". No such file or directory");
  }
  EXPECT_FALSE(fs::exists(Staging()));
}

TEST_F(StagingTest, AFailedWriteLeavesNoPartialApplet) {
  PrepareStagingFolder();
  // A file size limit makes the kernel refuse the rest of the write, for root too, as a full disk would.
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
    Stage(std::string(20000, 'x'));
  } catch (const EFCreateError& error) {
    message = error.Message();
  }
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::sigaction(SIGXFSZ, &previousAction, nullptr);

  ASSERT_TRUE(message.has_value()) << "no exception";
  EXPECT_EQ(*message, "Cannot create file \"" + Applet().string() + "\". File too large");
  EXPECT_TRUE(Entries(Staging()).empty());
}

// ---------------------------------------------------------------------------------------------------------
// A staging folder someone else could have prepared: nothing is written, run or deleted there

std::string TestAppletBytes() { return ReadAll(ZVQ_TEST_APPLET_PATH); }

struct PlantedCase {
  const char* Name;
  void (*Plant)(const fs::path& ARoot, const fs::path& AStaging, const fs::path& AElsewhere);
  const char* Why;
};

TEST_F(StagingTest, AnUntrustedFolderIsNeitherWrittenNorCleaned) {
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
    // Whoever planted it left a program there; it must not be replaced or deleted.
    const fs::path planted = fs::is_directory(Staging()) ? Applet() : elsewhere / "QuintrelSupport.exe";
    WriteAll(planted, applet);
    fs::permissions(planted, fs::perms::owner_all);
    const fs::path report = FRoot / "report";
    ::setenv("ZVQ_TEST_APPLET_REPORT", report.c_str(), 1);

    try {
      StagedApplet applet(kAppletLimit);
      ADD_FAILURE() << "save: no exception";
    } catch (const EFCreateError& error) {
      EXPECT_THAT(error.Message(), HasSubstr(c.Why));
      EXPECT_THAT(error.Message(), HasSubstr(Staging().string()));
    }
    CleanStagingFolder();

    EXPECT_EQ(ReadAll(planted), applet);
    EXPECT_FALSE(fs::exists(report));
    ::unsetenv("ZVQ_TEST_APPLET_REPORT");
    fs::remove_all(Staging());
    fs::remove_all(elsewhere);
  }
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

  static void ExpectOSError(const StagedApplet& AApplet, const std::string& AMessage) {
    try {
      LaunchApplet(AApplet);
      ADD_FAILURE() << "no exception";
    } catch (const EOSError& error) {
      EXPECT_EQ(error.Message(), AMessage);
    }
  }
};

TEST_F(LaunchTest, TheAppletStartsAloneInItsFolderAndItsExitStatusComesBack) {
  PrepareStagingFolder();
  const StagedApplet applet = Stage(TestAppletBytes());
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

  platform::ProcessInformation info = LaunchApplet(applet);

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
  const StagedApplet applet = Stage(TestAppletBytes());
  ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "60000", 1);
  platform::ProcessInformation info = LaunchApplet(applet);
  ASSERT_EQ(::kill(static_cast<pid_t>(info.ProcessId), SIGKILL), 0);
  EXPECT_EQ(platform::WaitForProcess(info.Process), 128 + SIGKILL);
}

// With no descriptor left for the process handle the applet could not be waited for: it must not count as
// launched. The staged applet already holds its folder; the limit leaves no room for the handle.
TEST_F(LaunchTest, AnAppletThatCannotBeHeldIsNotLaunched) {
  PrepareStagingFolder();
  const StagedApplet applet = Stage(TestAppletBytes());
  ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "60000", 1);
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  struct rlimit previous {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
  struct rlimit tight = previous;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

  std::optional<std::string> message;
  try {
    LaunchApplet(applet);
  } catch (const ESupportLauncherException& error) {
    // The limit goes first: the sanitizers' own checks of the exception object need a descriptor too.
    ::setrlimit(RLIMIT_NOFILE, &previous);
    message = error.Message();
  }
  ::setrlimit(RLIMIT_NOFILE, &previous);

  ASSERT_TRUE(message.has_value()) << "launched without a handle";
  EXPECT_EQ(*message, "Unable to launch applet");
}

TEST_F(LaunchTest, AnUncommittedOrVanishedAppletFailsWithTheSystemsTextForAMissingFile) {
  PrepareStagingFolder();
  StagedApplet uncommitted(kAppletLimit);
  WriteInChunks(uncommitted, TestAppletBytes());
  ExpectOSError(uncommitted, "System Error.  Code: 2.\r\nNo such file or directory");
  const StagedApplet vanished = Stage(TestAppletBytes());
  fs::remove(Applet());
  ExpectOSError(vanished, "System Error.  Code: 2.\r\nNo such file or directory");
  EXPECT_FALSE(fs::exists(Report()));
}

struct ImpostorCase {
  const char* Name;
  void (*Plant)(const fs::path& AApplet, const fs::path& AProgram);
  const char* Why;
};

// The save put a program there, but anything may have taken its place since.
TEST_F(LaunchTest, WhatTookTheSavedAppletsPlaceIsNotStarted) {
  const ImpostorCase cases[] = {
      {"a link to a program",
       [](const fs::path& AApplet, const fs::path& AProgram) { fs::create_symlink(AProgram, AApplet); },
       "is a symbolic link"},
      {"a pipe", [](const fs::path& AApplet, const fs::path&) { MakeFifo(AApplet); }, "is not a plain file"},
  };
  PrepareStagingFolder();
  const fs::path program = FRoot / "program";
  WriteAll(program, TestAppletBytes());
  fs::permissions(program, fs::perms::owner_all);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const StagedApplet applet = Stage("the saved applet");
    fs::remove(Applet());
    c.Plant(Applet(), program);
    try {
      LaunchApplet(applet);
      ADD_FAILURE() << "no exception";
    } catch (const ESupportLauncherException& error) {
      EXPECT_EQ(error.Message(), "Unable to launch applet. The file \"" + Applet().string() + "\" " + c.Why);
    }
    EXPECT_FALSE(fs::exists(Report()));
    fs::remove(Applet());
  }
}

TEST_F(LaunchTest, ANoexecStagingFolderSaysSoInPlainWords) {
  Mount("tmpfs", FRoot, "tmpfs", MS_NOEXEC, "mode=0700");
  if (IsSkipped()) return;
  PrepareStagingFolder();
  const StagedApplet applet = Stage(TestAppletBytes());
  ExpectOSError(applet, "System Error.  Code: 13.\r\nPermission denied. The staging folder \"" +
                            Staging().string() + "\" does not allow programs to run (mounted noexec?)");
}

}  // namespace
}  // namespace zvq
