// clang-format off
// First: it brings the system header in with its DeleteFile macro undone.
#include "win32_test_support.h"
// clang-format on

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "errors/errors.h"
#include "platform/files.h"
#include "platform/guid.h"
#include "platform/owner_win32.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "platform/system_error.h"
#include "platform/text_win32.h"

namespace zvq {
namespace {

using namespace std::string_literals;

TEST(SystemText, IsTheSystemsOwnSentenceWithoutTrailingPunctuation) {
  for (int code :
       {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
    SCOPED_TRACE(code);
    const std::string text = platform::SystemErrorText(code);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(std::string(" \r\n.").find(text.back()), std::string::npos) << text;
  }
  EXPECT_NE(platform::SystemErrorText(ERROR_FILE_NOT_FOUND), platform::SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform::SystemErrorText(0x2000FFFF), "") << "a code without a text";
}

TEST(SystemText, RaisedErrorsCarryTheLastErrorCodeAndItsText) {
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(platform::LastErrorCode(), ERROR_SHARING_VIOLATION);
  try {
    platform::RaiseOSError(ERROR_FILE_NOT_FOUND);
    FAIL() << "RaiseOSError returned";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), 2);
    EXPECT_EQ(error.Message(), "System Error.  Code: 2.\r\n" + platform::SystemErrorText(2));
  }
}

TEST(TextConversion, RoundTripsNonAsciiAndRefusesMalformedInput) {
  const std::string text =
      "Z\xC3\xBCrich \xCE\xA9 \xF0\x9D\x84\x9E";  // a letter, a Greek one and a non-BMP one
  const std::wstring wide = platform::WidenUtf8(text);
  EXPECT_EQ(wide, std::wstring(L"Z\u00FCrich \u03A9 \U0001D11E"));
  EXPECT_EQ(platform::NarrowToUtf8(wide), text);
  EXPECT_EQ(platform::WidenUtf8(""), L"");
  EXPECT_THROW(platform::WidenUtf8("bad \xFF byte"), EEncodingError);
  EXPECT_THROW(platform::NarrowToUtf8(std::wstring(1, wchar_t(0xD800))), EEncodingError);
}

TEST(Guid, TheSystemGeneratorGivesDistinctVersionFourIdentifiers) {
  std::set<platform::Guid> seen;
  for (int i = 0; i < 200; ++i) {
    const platform::Guid guid = platform::NewRandomGuid();
    EXPECT_EQ(guid[7] >> 4, 4) << platform::FormatGuidBraced(guid);
    EXPECT_EQ(guid[8] & 0xC0, 0x80) << platform::FormatGuidBraced(guid);
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 200U);
}

struct PathCase {
  const char* Path;
  bool EndsWithDelimiter;
  bool Rooted;
  const char* WithoutTrailingSeparator;
  const char* Directory;
};

TEST(PathRules, FollowTheSystemsSeparatorsDrivesAndRoots) {
  const PathCase cases[] = {
      {"C:\\Users\\a b\\Temp\\", true, true, "C:\\Users\\a b\\Temp", "C:\\Users\\a b\\Temp"},
      {"C:\\Users\\Temp", false, true, "C:\\Users\\Temp", "C:\\Users"},
      {"C:\\QuintrelSupport.exe", false, true, "C:\\QuintrelSupport.exe", "C:\\"},
      {"C:\\", true, true, "C:\\", "C:\\"},
      {"C:", true, true, "C:", "C:"},
      {"C:x.exe", false, true, "C:x.exe", "C:"},
      {"\\\\server\\share\\x", false, true, "\\\\server\\share\\x", "\\\\server\\share"},
      {"\\x", false, true, "\\x", "\\"},
      {"D:/tmp/", true, true, "D:/tmp", "D:/tmp"},
      {"C:\\a\\\\", true, true, "C:\\a", "C:\\a"},
      {"relative\\x", false, false, "relative\\x", "relative"},
      {"x.exe", false, false, "x.exe", ""},
      {"", false, false, "", ""},
  };
  for (const PathCase& row : cases) {
    SCOPED_TRACE(row.Path);
    EXPECT_EQ(platform::EndsWithPathDelimiter(row.Path), row.EndsWithDelimiter);
    EXPECT_EQ(platform::IsPathRooted(row.Path), row.Rooted);
    EXPECT_EQ(platform::ExcludeTrailingSeparator(row.Path), row.WithoutTrailingSeparator);
    EXPECT_EQ(platform::ExtractFileDirectory(row.Path), row.Directory);
  }
  EXPECT_EQ(platform::PathSeparator(), '\\');
}

TEST(PathRules, ForbidControlCharactersQuotesAnglesAndBars) {
  for (const std::string& bad : {"a\"b"s, "a<b"s, "a>b"s, "a|b"s, "a\tb"s, "a\x1F"s, "a\0b"s}) {
    EXPECT_TRUE(platform::HasInvalidPathCharacters(bad)) << bad;
  }
  for (const std::string& fine : {"C:\\a b\\c.d"s, "\\\\?\\C:\\x"s, "D:/x/y"s, "\xC3\xBC"s, "a*b"s}) {
    EXPECT_FALSE(platform::HasInvalidPathCharacters(fine)) << fine;
  }
}

// Runs the test applet through the process layer and reads back what it saw.
class AppletProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    FProgram = FScratch.Path() / L"dir with spaces \u00E9\u03A9" / L"QuintrelSupport.exe";
    std::filesystem::create_directories(FProgram.parent_path());
    std::filesystem::copy_file(test::TestAppletPath(), FProgram);
  }

  std::string Program() const { return test::PathText(FProgram); }
  std::filesystem::path ReportPath() const { return FScratch.Path() / L"report.txt"; }

  int Run(const std::string& AWorkingDirectory) {
    test::AppletControl control(ReportPath());
    platform::ProcessInformation info = platform::CreateAppletProcess(Program(), AWorkingDirectory);
    EXPECT_TRUE(info.Process.IsSet());
    EXPECT_TRUE(info.Thread.IsSet());
    EXPECT_NE(info.ProcessId, 0);
    EXPECT_NE(info.ThreadId, 0);
    const int status = platform::WaitForProcess(info.Process);
    FReport = control.Report();
    return status;
  }

  test::ScratchDirectory FScratch;
  std::filesystem::path FProgram;
  std::map<std::string, std::string> FReport;
};

TEST_F(AppletProcess, GetsOnlyItsQuotedPathAsCommandLineAndItsFolderAsWorkingDirectory) {
  // An unquoted path would be read up to its first blank and find this program first.
  std::filesystem::copy_file(test::TestAppletPath(), FScratch.Path() / L"dir.exe");
  const std::string folder = test::PathText(FProgram.parent_path());
  EXPECT_EQ(Run(folder), 0);
  EXPECT_EQ(FReport["command_line"], "\"" + Program() + "\"");
  EXPECT_EQ(FReport["module"], Program());
  EXPECT_EQ(FReport["directory"], folder);
}

TEST_F(AppletProcess, CanRunInADriveRoot) {
  EXPECT_EQ(Run("C:\\"), 0);
  EXPECT_EQ(FReport["directory"], "C:\\");
}

TEST_F(AppletProcess, StartsWithoutFeedbackAtNormalPriorityInTheCallersEnvironment) {
  test::ScopedEnvironment marker(L"ZVQ_TEST_APPLET_MARKER", L"from the caller \u00FC");
  EXPECT_EQ(Run(test::PathText(FProgram.parent_path())), 0);
  EXPECT_EQ(std::stoul(FReport["startup_flags"]) & STARTF_FORCEOFFFEEDBACK,
            unsigned{STARTF_FORCEOFFFEEDBACK});
  EXPECT_EQ(std::stoul(FReport["priority_class"]), unsigned{NORMAL_PRIORITY_CLASS});
  EXPECT_EQ(FReport["marker"], "from the caller \xC3\xBC");
}

TEST_F(AppletProcess, InheritsNeitherHandlesNorTheCallersErrorMode) {
  // An inheritable handle to a set event: only a child that inherited it could see it set.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE event = CreateEventW(&inheritable, TRUE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  test::ScopedEnvironment probe(L"ZVQ_TEST_APPLET_PROBE_HANDLE",
                                std::to_wstring(reinterpret_cast<std::uintptr_t>(event)));
  const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const int status = Run(test::PathText(FProgram.parent_path()));
  SetErrorMode(oldMode);
  CloseHandle(event);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(FReport["inherited_handle"], "0");
  EXPECT_EQ(FReport["error_mode"], "0");
}

TEST_F(AppletProcess, ReturnsTheExitStatusWholeIncludingCrashCodes) {
  for (const auto& [text, expected] :
       {std::pair{L"42", 42}, std::pair{L"3221225477", static_cast<int>(0xC0000005)}}) {
    test::ScopedEnvironment exitCode(L"ZVQ_TEST_APPLET_EXIT", text);
    EXPECT_EQ(Run(test::PathText(FProgram.parent_path())), expected);
  }
}

TEST_F(AppletProcess, AMissingProgramRaisesTheSystemsFileNotFoundError) {
  try {
    platform::CreateAppletProcess(test::PathText(FScratch.Path() / L"absent.exe"), FScratch.Text());
    FAIL() << "a missing program was started";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FormatErrorText(error),
              "[EOSError] System Error.  Code: 2.\r\n" + platform::SystemErrorText(ERROR_FILE_NOT_FOUND));
  }
}

TEST(ProcessHandle, AnUnsetHandleCannotBeWaitedForAndAClosedOneIsUnset) {
  EXPECT_THROW(platform::WaitForProcess(platform::OwnedHandle()), EOSError);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  platform::OwnedHandle owned(static_cast<long long>(reinterpret_cast<std::intptr_t>(event)));
  platform::OwnedHandle moved(std::move(owned));
  EXPECT_FALSE(owned.IsSet());
  moved.Close();
  EXPECT_FALSE(moved.IsSet());
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(event, &flags)) << "the handle was not closed";
}

struct Sid {
  explicit Sid(WELL_KNOWN_SID_TYPE AType, PSID ADomain = nullptr) {
    DWORD size = sizeof FBytes;
    EXPECT_TRUE(CreateWellKnownSid(AType, ADomain, FBytes, &size));
  }
  PSID Get() { return FBytes; }
  BYTE FBytes[SECURITY_MAX_SID_SIZE] = {};
};

// A folder or claim found under our name is ours only when the user, or the group the user's token makes
// owner of what it creates, owns it.
TEST(Owner, IsTheUserOrTheAdministratorsGroupWhenTheTokenMakesItTheOwner) {
  Sid user(WinLocalSystemSid);  // any fixed account will do as "the user"
  Sid administrators(WinBuiltinAdministratorsSid);
  Sid users(WinBuiltinUsersSid);
  Sid other(WinLocalServiceSid);
  const struct {
    const char* Name;
    PSID Owner;
    PSID DefaultOwner;
    bool Ours;
  } cases[] = {
      {"the user's own object", user.Get(), user.Get(), true},
      {"an object without an owner", nullptr, user.Get(), true},
      {"another account's object", other.Get(), user.Get(), false},
      {"the administrators' object, for an elevated administrator", administrators.Get(),
       administrators.Get(), true},
      {"the administrators' object, for a user who does not own as them", administrators.Get(), user.Get(),
       false},
      {"another group the token owns as is not enough", users.Get(), users.Get(), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(platform::IsUsersOwner(c.Owner, user.Get(), c.DefaultOwner), c.Ours) << c.Name;
}

// The claim lives in the session's namespace, so two objects in one process stand for two launchers.
TEST(SingleInstance, ALaterInstanceIsNotFirstAndItsRequestRunsOnTheFirstOnesMainThread) {
  const std::string name = "zvq-claim-test-" + test::UniqueName();
  platform::ManualMainLoop loop;
  int shownOnMain = 0;
  {
    platform::SingleInstance first(name);
    ASSERT_TRUE(first.IsFirst());
    platform::SingleInstance second(name);
    EXPECT_FALSE(second.IsFirst());
    // Asked before the first listens: the request waits for it.
    EXPECT_TRUE(second.AskFirstToShow());
    const auto listening = first.ListenForShowRequests(loop, [&] { shownOnMain += loop.IsMainThread(); });
    EXPECT_TRUE(loop.RunUntil([&] { return shownOnMain == 1; }, std::chrono::seconds(10)));
    EXPECT_TRUE(second.AskFirstToShow());
    EXPECT_TRUE(loop.RunUntil([&] { return shownOnMain == 2; }, std::chrono::seconds(10)));
    EXPECT_FALSE(first.AskFirstToShow()) << "the first has nobody to ask";
  }
  platform::SingleInstance next(name);
  EXPECT_TRUE(next.IsFirst()) << "the claim outlived its holder";
}

}  // namespace
}  // namespace zvq
