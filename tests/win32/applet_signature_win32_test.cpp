// clang-format off
// First: it brings the system header in with its DeleteFile macro undone.
#include "win32_test_support.h"
// clang-format on

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "launch/applet_publisher.h"
#include "launch/applet_signature.h"
#include "launch/staging.h"
#include "platform/process.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;

// Built beside this program: the test applet signed by the demo CA's publishers, by a publisher of a CA the
// system does not trust, and changed after signing; with the keys' fingerprints as OpenSSL computed them.
fs::path BesideThisProgram(const wchar_t* AName) { return test::TestAppletPath().parent_path() / AName; }

std::string ReadAll(const fs::path& AFile) {
  std::ifstream file(AFile, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::map<std::string, std::string> Fingerprints(const wchar_t* AFile) {
  std::map<std::string, std::string> keys;
  std::istringstream lines(ReadAll(BesideThisProgram(AFile)));
  std::string name, hex;
  while (lines >> name >> hex) keys[name] = hex;
  return keys;
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class AppletSignature : public ::testing::Test {
 protected:
  AppletSignature()
      : FTemp(FScratch.Path() / L"temp"),
        FTmpVariable(L"TMP", FTemp.wstring()),
        FTempVariable(L"TEMP", FTemp.wstring()) {
    fs::create_directories(FTemp);
    PrepareStagingFolder();
  }

  test::ScratchDirectory FScratch;
  fs::path FTemp;
  test::ScopedEnvironment FTmpVariable;
  test::ScopedEnvironment FTempVariable;
};

TEST_F(AppletSignature, OnlyAnIntactAppletWhoseSignerChainHoldsAPinnedKeyStarts) {
  const auto demo = Fingerprints(L"key-fingerprints.txt");
  const auto foreign = Fingerprints(L"foreign-fingerprints.txt");
  ASSERT_EQ(demo.size(), 4U) << "ca, publisher, other, renewed";
  ASSERT_EQ(foreign.size(), 2U) << "ca, publisher";

  struct Row {
    const char* Case;
    const wchar_t* File;
    std::string Pins;
    const char* Refusal;  // null: it starts
    bool WineAccepts;     // Wine's WinVerifyTrust trusts any root; only Windows refuses these
  };
  const Row rows[] = {
      {"signed by the pinned publisher", L"applet-publisher.exe", demo.at("publisher"), nullptr, false},
      {"a renewed publisher certificate while the CA is pinned", L"applet-renewed.exe", demo.at("ca"),
       nullptr, false},
      {"one pin of several in the chain", L"applet-publisher.exe", foreign.at("ca") + ", " + demo.at("ca"),
       nullptr, false},
      {"unsigned", L"win32_test_applet.exe", demo.at("publisher") + " " + demo.at("ca"), "it is not signed",
       false},
      {"one byte changed after signing", L"applet-tampered.exe", demo.at("publisher") + " " + demo.at("ca"),
       "it was changed after it was signed", false},
      {"another certificate of the same CA while only the publisher's is pinned", L"applet-other.exe",
       demo.at("publisher"), "it is signed by another publisher", false},
      {"the pinned publisher of another CA while the demo CA is pinned", L"applet-foreign.exe", demo.at("ca"),
       "it is signed by another publisher", false},
      {"a pinned publisher whose CA the system does not trust", L"applet-foreign.exe",
       foreign.at("publisher"), "the system does not accept its signature", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Case);
    if (row.WineAccepts && RunningUnderWine()) {
      std::cout << "[   NOTE   ] not checked under Wine, which trusts any root: " << row.Case << std::endl;
      continue;
    }
    const std::string bytes = ReadAll(BesideThisProgram(row.File));
    ASSERT_FALSE(bytes.empty());
    std::optional<StagedApplet> applet(std::in_place, std::uint64_t{1} << 30);
    applet->Write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    applet->Commit();
    const PublisherPins pins = PublisherPins::Parse(row.Pins);
    if (row.Refusal != nullptr) {
      try {
        VerifyAppletPublisher(*applet, pins);
        ADD_FAILURE() << "accepted";
      } catch (const EAppletNotTrusted& error) {
        EXPECT_EQ(error.Message().rfind(std::string(kAppletNotTrustedText) + " (" + row.Refusal, 0), 0U)
            << error.Message();
      }
    } else {
      VerifyAppletPublisher(*applet, pins);
      test::AppletControl control(FScratch.Path() / L"report.txt");
      platform::ProcessInformation info = LaunchApplet(*applet);
      applet.reset();
      EXPECT_EQ(platform::WaitForProcess(info.Process), 0);
      EXPECT_EQ(control.Report()["command_line"], "\"" + GetAppletPath() + "\"");
    }
    applet.reset();
    CleanStagingFolder();
  }
}

TEST_F(AppletSignature, ABuildThatPinsNoPublisherChecksNothing) {
  StagedApplet applet(1024);
  applet.Write({reinterpret_cast<const std::uint8_t*>("not a program"), 13});
  applet.Commit();
  EXPECT_NO_THROW(VerifyAppletPublisher(applet, PublisherPins::Parse("none")));
}

}  // namespace
}  // namespace zvq
