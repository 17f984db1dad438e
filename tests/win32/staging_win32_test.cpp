// clang-format off
// First: it brings the system header in with its DeleteFile macro undone.
#include "win32_test_support.h"
// clang-format on

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "launch/staging.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system_error.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kAppletLimit = std::uint64_t{1} << 30;

std::string ReadAll(const fs::path& AFile) {
  std::ifstream file(AFile, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// As the transport hands a body over: in pieces.
void WriteInChunks(http::BodySink& ASink, const std::string& ABytes) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(ABytes.data());
  for (std::size_t done = 0; done < ABytes.size(); done += 8192)
    ASink.Write({bytes + done, std::min<std::size_t>(8192, ABytes.size() - done)});
}

StagedApplet Stage(const std::string& ABytes) {
  StagedApplet applet(kAppletLimit);
  WriteInChunks(applet, ABytes);
  applet.Commit();
  return applet;
}

std::string TestApplet() { return ReadAll(test::TestAppletPath()); }

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::vector<std::wstring> Entries(const fs::path& AFolder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(AFolder))
    names.push_back(entry.path().filename().wstring());
  return names;
}

// Each case gets a user temporary directory of its own, named with blanks and non-ASCII letters, handed to
// the system the way the user's environment does it: TMP, without a trailing backslash.
class Staging : public ::testing::Test {
 protected:
  Staging()
      : FTemp(FScratch.Path() / L"user temp \u00C5\u0416"),
        FTmpVariable(L"TMP", FTemp.wstring()),
        FTempVariable(L"TEMP", FTemp.wstring()) {
    fs::create_directories(FTemp);
  }

  fs::path StagingFolder() const { return FTemp / L".zvq-support.tmp"; }
  fs::path Applet() const { return StagingFolder() / L"QuintrelSupport.exe"; }

  test::ScratchDirectory FScratch;
  fs::path FTemp;
  test::ScopedEnvironment FTmpVariable;
  test::ScopedEnvironment FTempVariable;
};

TEST_F(Staging, PathsHaveOneBackslashBeforeEachPartWithOrWithoutATrailingOne) {
  const std::string expectedFolder = test::PathText(FTemp) + "\\.zvq-support.tmp";
  EXPECT_EQ(GetStagingFolder(), expectedFolder);
  EXPECT_EQ(GetAppletPath(), expectedFolder + "\\QuintrelSupport.exe");
  test::ScopedEnvironment trailing(L"TMP", FTemp.wstring() + L"\\");
  EXPECT_EQ(platform::TemporaryDirectory(), test::PathText(FTemp) + "\\");
  EXPECT_EQ(GetStagingFolder(), expectedFolder);
}

TEST_F(Staging, TheTemporaryDirectoryComesBackInItsLongForm) {
  wchar_t shortPath[MAX_PATH * 4] = {};
  const DWORD length = GetShortPathNameW(FTemp.c_str(), shortPath, MAX_PATH * 4);
  ASSERT_GT(length, 0U);
  if (std::wstring(shortPath, length) == FTemp.wstring()) GTEST_SKIP() << "this volume has no short names";
  test::ScopedEnvironment shortTmp(L"TMP", std::wstring(shortPath, length));
  EXPECT_EQ(platform::TemporaryDirectory(), test::PathText(FTemp) + "\\");
}

TEST_F(Staging, AnUnknownTemporaryDirectoryStagesNothingAnywhere) {
  test::ScopedEnvironment missing(L"TMP", (FTemp / L"not there").wstring());
  EXPECT_EQ(platform::TemporaryDirectory(), "");
  EXPECT_EQ(GetStagingFolder(), ".zvq-support.tmp");
  const fs::path before = fs::current_path();
  fs::current_path(FScratch.Path());
  PrepareStagingFolder();
  CleanStagingFolder();
  EXPECT_THROW(StagedApplet{kAppletLimit}, EFCreateError);
  fs::current_path(before);
  EXPECT_FALSE(fs::exists(FScratch.Path() / L".zvq-support.tmp"));
}

TEST(JoinPath, FollowsTheOneRuleWithWindowsSeparatorsAndRoots) {
  struct Row {
    const char* First;
    const char* Second;
    const char* Joined;
  };
  const Row rows[] = {
      {"C:\\Temp", "x", "C:\\Temp\\x"},
      {"C:\\Temp\\", "x", "C:\\Temp\\x"},
      {"C:\\Temp/", "x", "C:\\Temp/x"},
      {"C:", "x", "C:x"},
      {"", "x", "x"},
      {"C:\\Temp", "", "C:\\Temp"},
      {"C:\\Temp", "D:\\y", "D:\\y"},
      {"C:\\Temp", "\\y", "\\y"},
      {"", "", ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(JoinPath(row.First, row.Second), row.Joined) << row.First << " + " << row.Second;
  for (const char* bad : {"a|b", "a<b", "a>b", "a\"b", "a\nb"}) {
    try {
      JoinPath("C:\\Temp", bad);
      ADD_FAILURE() << bad << " was joined";
    } catch (const ESupportLauncherException& error) {
      EXPECT_EQ(error.Message(), "Invalid characters in path");
    }
    EXPECT_THROW(JoinPath(bad, "x"), ESupportLauncherException);
  }
}

TEST_F(Staging, PreparationCreatesExactlyTheOneFolderOnceAndCleaningSparesSubfolders) {
  CleanStagingFolder();  // no folder yet: nothing happens
  PrepareStagingFolder();
  PrepareStagingFolder();
  EXPECT_EQ(Entries(FTemp), std::vector<std::wstring>{L".zvq-support.tmp"});
  EXPECT_TRUE(platform::DirectoryExists(test::PathText(StagingFolder())));

  fs::create_directories(StagingFolder() / L"sub folder");
  std::ofstream(StagingFolder() / L"sub folder" / L"kept.txt") << "kept";
  for (const wchar_t* name : {L"one.bin", L"two \u00E9.bin"}) std::ofstream(StagingFolder() / name) << "x";
  CleanStagingFolder();
  EXPECT_EQ(Entries(StagingFolder()), std::vector<std::wstring>{L"sub folder"});
  EXPECT_TRUE(fs::exists(StagingFolder() / L"sub folder" / L"kept.txt"));
}

TEST_F(Staging, TheFolderListsOnlyItsPlainTopLevelFiles) {
  PrepareStagingFolder();
  fs::create_directories(StagingFolder() / L"sub" / L"deeper");
  std::ofstream(StagingFolder() / L"sub" / L"inner.txt") << "x";
  std::ofstream(StagingFolder() / L"b \u00E9.bin") << "x";
  std::ofstream(StagingFolder() / L"a.bin") << "x";
  platform::PrivateFolder folder(GetStagingFolder());
  ASSERT_TRUE(folder.IsOpen()) << folder.Refusal();
  std::vector<std::string> names = folder.ListFileNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "b \xC3\xA9.bin"}));
  EXPECT_TRUE(folder.FileExists("a.bin"));
  EXPECT_FALSE(folder.FileExists("sub"));
  EXPECT_FALSE(folder.FileExists("absent.bin"));
  EXPECT_EQ(folder.WhyNotRunnable("sub"), "The file \"" + GetStagingFolder() + "\\sub\" is not a plain file");

  platform::PrivateFolder missing(test::PathText(FTemp / L"absent"));
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.ErrorCode(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Staging, ASavedAppletStartsFromItsQuotedPathInTheStagingFolder) {
  PrepareStagingFolder();
  std::ofstream(Applet()) << std::string(200000, 'o');
  std::optional<StagedApplet> applet(Stage(TestApplet()));
  EXPECT_TRUE(ReadAll(Applet()) == TestApplet()) << "the saved applet changed";

  test::AppletControl control(FScratch.Path() / L"report.txt");
  test::ScopedEnvironment exitCode(L"ZVQ_TEST_APPLET_EXIT", L"7");
  platform::ProcessInformation info = LaunchApplet(*applet);
  applet.reset();
  EXPECT_EQ(platform::WaitForProcess(info.Process), 7);
  auto report = control.Report();
  EXPECT_EQ(report["command_line"], "\"" + GetAppletPath() + "\"");
  EXPECT_EQ(report["directory"], GetStagingFolder());
  CleanStagingFolder();
  EXPECT_TRUE(Entries(StagingFolder()).empty());
}

TEST_F(Staging, AnAppletThatIsNotCommittedLeavesNothingBehind) {
  PrepareStagingFolder();
  std::string raised;
  for (bool pastTheLimit : {false, true}) {
    try {
      StagedApplet applet(50000);
      WriteInChunks(applet, std::string(40000, 'x'));
      EXPECT_TRUE(Entries(StagingFolder()).size() == 1 && !fs::exists(Applet())) << "one unnamed file";
      if (pastTheLimit) WriteInChunks(applet, std::string(10001, 'x'));
      applet.Discard();
    } catch (const http::EResponseTooLarge& error) {
      raised = error.ClassName();
    }
    EXPECT_TRUE(Entries(StagingFolder()).empty());
  }
  EXPECT_EQ(raised, "EResponseTooLarge");
}

// Nobody may swap the file or its folder between the save and the start of the process; the loader, which
// only reads, still can.
TEST_F(Staging, TheSavedAppletAndItsFolderAreHeldUntilItsProcessExists) {
  PrepareStagingFolder();
  std::optional<StagedApplet> applet(Stage(TestApplet()));
  const std::wstring file = Applet().wstring();
  const std::wstring elsewhere = (FTemp / L"elsewhere").wstring();
  EXPECT_FALSE(DeleteFileW(file.c_str()));
  EXPECT_FALSE(MoveFileExW(file.c_str(), elsewhere.c_str(), 0));
  // Wine applies no sharing rules to folders; Windows does.
  if (!RunningUnderWine()) {
    EXPECT_FALSE(MoveFileW(StagingFolder().wstring().c_str(), elsewhere.c_str()));
  }
  HANDLE writer =
      CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_TRUE(ReadAll(Applet()) == TestApplet()) << "the saved applet changed";

  test::AppletControl control(FScratch.Path() / L"report.txt");
  platform::ProcessInformation info = LaunchApplet(*applet);
  applet.reset();
  EXPECT_EQ(platform::WaitForProcess(info.Process), 0);
  EXPECT_EQ(control.Report()["directory"], GetStagingFolder());
  info.Process.Close();
  info.Thread.Close();
  CleanStagingFolder();
  EXPECT_TRUE(Entries(StagingFolder()).empty());
  EXPECT_FALSE(fs::exists(FTemp / L"elsewhere"));
}

TEST_F(Staging, TheRunningAppletIsLockedUntilItExits) {
  PrepareStagingFolder();
  std::optional<StagedApplet> applet(Stage(TestApplet()));
  test::AppletControl control(FScratch.Path() / L"report.txt", /*AHold=*/true);
  platform::ProcessInformation info = LaunchApplet(*applet);
  applet.reset();
  ASSERT_TRUE(control.WaitUntilReady());

  platform::PrivateFolder folder(GetStagingFolder());
  ASSERT_TRUE(folder.IsOpen()) << folder.Refusal();
  try {
    folder.DeleteFile("QuintrelSupport.exe");
    ADD_FAILURE() << "a running program was deleted";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(error.Message(),
              "System Error.  Code: 5.\r\n" + platform::SystemErrorText(ERROR_ACCESS_DENIED));
  }
  CleanStagingFolder();
  EXPECT_TRUE(fs::exists(Applet())) << "the clean-up must leave what it cannot delete";
  try {
    Stage("a replacement");
    ADD_FAILURE() << "a running program was replaced";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message().rfind("Cannot create file \"" + GetAppletPath() + "\". ", 0), 0U)
        << error.Message();
  }
  EXPECT_TRUE(ReadAll(Applet()) == TestApplet()) << "the saved applet changed";

  control.Release();
  EXPECT_EQ(platform::WaitForProcess(info.Process), 0);
  info.Process.Close();
  info.Thread.Close();
  CleanStagingFolder();
  EXPECT_TRUE(Entries(StagingFolder()).empty());
}

TEST_F(Staging, AMissingAppletOrFolderFailsWithTheSystemsText) {
  PrepareStagingFolder();
  try {
    StagedApplet uncommitted(kAppletLimit);
    LaunchApplet(uncommitted);
    ADD_FAILURE() << "nothing was staged, yet something started";
  } catch (const EOSError& error) {
    EXPECT_EQ(FormatErrorText(error),
              "[EOSError] System Error.  Code: 2.\r\n" + platform::SystemErrorText(ERROR_FILE_NOT_FOUND));
  }
  fs::remove(StagingFolder());
  try {
    StagedApplet applet(kAppletLimit);
    ADD_FAILURE() << "saved without a staging folder";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(FormatErrorText(error), "[EFCreateError] Cannot create file \"" + GetAppletPath() + "\". " +
                                          platform::SystemErrorText(ERROR_PATH_NOT_FOUND));
  }
}

// A folder someone else made under the staging folder's name keeps their access rules: nothing is written,
// and so nothing started, or deleted there. Giving a folder away takes a privilege a user lacks; where the
// system refuses or does not keep the new owner, the case cannot be made here.
TEST_F(Staging, AFolderOwnedBySomeoneElseIsNeitherWrittenNorRunNorCleaned) {
  PrepareStagingFolder();
  std::ofstream(Applet(), std::ios::binary) << "their file";
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
  std::wstring folder = StagingFolder().wstring();
  const DWORD given = SetNamedSecurityInfoW(folder.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, system,
                                            nullptr, nullptr, nullptr);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool keptByTheSystem =
      given == ERROR_SUCCESS &&
      GetNamedSecurityInfoW(folder.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
      owner != nullptr && EqualSid(owner, system);
  LocalFree(descriptor);
  FreeSid(system);
  if (!keptByTheSystem)
    GTEST_SKIP() << "this system does not let the folder be given away (Wine keeps no owner)";

  const std::string refusal = "The staging folder \"" + test::PathText(StagingFolder()) +
                              "\" belongs to another user, so the launcher will not use it";
  // Nothing can be saved there, so nothing from there can be started either.
  try {
    StagedApplet applet(kAppletLimit);
    ADD_FAILURE() << "saved into someone else's folder";
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message(), "Cannot create file \"" + GetAppletPath() + "\". " + refusal);
  }
  CleanStagingFolder();
  EXPECT_TRUE(fs::exists(Applet()));
}

}  // namespace
}  // namespace zvq
