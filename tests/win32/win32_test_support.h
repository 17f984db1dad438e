#pragma once

#include <windows.h>
// Include this before platform/files.h: the system header maps DeleteFile to DeleteFileW.
#undef DeleteFile

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/guid.h"
#include "platform/text_win32.h"

// Shared by the Windows test programs: per-test temporary directories, the test applet and its report.
namespace zvq::test {

inline std::filesystem::path Utf8Path(const std::string& AText) { return {platform::WidenUtf8(AText)}; }
inline std::string PathText(const std::filesystem::path& APath) {
  return platform::NarrowToUtf8(APath.wstring());
}

inline std::string UniqueName() {
  std::string text = platform::FormatGuidBraced(platform::NewRandomGuid());
  return text.substr(1, text.size() - 2);
}

inline std::optional<std::wstring> GetEnvironment(const wchar_t* AName) {
  wchar_t buffer[32768];
  SetLastError(0);
  const DWORD length = GetEnvironmentVariableW(AName, buffer, 32768);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  return std::wstring(buffer, length);
}

inline void SetEnvironment(const wchar_t* AName, const std::optional<std::wstring>& AValue) {
  SetEnvironmentVariableW(AName, AValue ? AValue->c_str() : nullptr);
}

// Sets an environment variable for as long as it lives, then puts the old value back.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* AName, const std::optional<std::wstring>& AValue)
      : FName(AName), FOld(GetEnvironment(AName)) {
    SetEnvironment(AName, AValue);
  }
  ~ScopedEnvironment() { SetEnvironment(FName.c_str(), FOld); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring FName;
  std::optional<std::wstring> FOld;
};

// A fresh directory under the real temporary directory, removed with everything in it at the end.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& ALabel = "zvq win32 test") {
    FPath = std::filesystem::temp_directory_path() / Utf8Path(ALabel + " " + UniqueName());
    std::filesystem::create_directories(FPath);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string Text() const { return PathText(FPath); }

 private:
  std::filesystem::path FPath;
};

// The test applet, built next to the test programs.
inline std::filesystem::path TestAppletPath() {
  wchar_t module[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
  return std::filesystem::path(module).parent_path() / L"win32_test_applet.exe";
}

// "name=value" lines the test applet wrote; empty when there is no report.
std::map<std::string, std::string> ReadReport(const std::filesystem::path& APath);

// Runs the thread's message loop as the program does (handed-over calls run only if a wake message came) until
// APredicate holds; false after 20 s, which only a hang reaches.
bool PumpMessagesUntil(const std::function<bool()>& APredicate);

// A named manual-reset event the test applet can open by name.
class NamedEvent {
 public:
  NamedEvent();
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  const std::wstring& Name() const { return FName; }
  void Set() const { SetEvent(FHandle); }
  bool WaitFor(DWORD AMilliseconds) const {
    return WaitForSingleObject(FHandle, AMilliseconds) == WAIT_OBJECT_0;
  }

 private:
  std::wstring FName;
  HANDLE FHandle;
};

// Points the test applet's report, readiness and hold at this object for as long as it lives; Release lets a
// held applet exit. The destructor releases too, so a failing test never leaves an applet behind.
class AppletControl {
 public:
  explicit AppletControl(const std::filesystem::path& AReportPath, bool AHold = false);
  ~AppletControl();
  AppletControl(const AppletControl&) = delete;
  AppletControl& operator=(const AppletControl&) = delete;

  bool WaitUntilReady() const { return FReady.WaitFor(20000); }
  void Release() const { FHold.Set(); }
  std::map<std::string, std::string> Report() const { return ReadReport(FReportPath); }

 private:
  std::filesystem::path FReportPath;
  NamedEvent FReady;
  NamedEvent FHold;
  ScopedEnvironment FReportVariable;
  ScopedEnvironment FReadyVariable;
  ScopedEnvironment FHoldVariable;
};

}  // namespace zvq::test
