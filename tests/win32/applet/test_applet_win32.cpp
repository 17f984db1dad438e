// A stand-in for the downloaded applet on Windows. It writes what it was started with to the file named by
// ZVQ_TEST_APPLET_REPORT (one "name=value" line each), then, when ZVQ_TEST_APPLET_READY names an event, sets
// it; when ZVQ_TEST_APPLET_HOLD names an event, waits for it (at most a minute, so a broken test cannot leave
// it behind); and exits with ZVQ_TEST_APPLET_EXIT (default 0). System calls only: no runtime beyond them.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::wstring Environment(const wchar_t* AName) {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(AName, buffer, 32768);
  if (length == 0 || length >= 32768) return {};
  return std::wstring(buffer, length);
}

std::string Utf8(const std::wstring& AText) {
  if (AText.empty()) return {};
  const int length = static_cast<int>(AText.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, AText.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, AText.data(), length, text.data(), needed, nullptr, nullptr);
  return text;
}

std::string Line(const char* AName, const std::string& AValue) {
  return std::string(AName) + "=" + AValue + "\n";
}
std::string Line(const char* AName, unsigned long AValue) { return Line(AName, std::to_string(AValue)); }

// 1 when the handle value the test passed refers to its set event, which only an inherited handle can.
unsigned long ProbeHandle(const std::wstring& AValue) {
  if (AValue.empty()) return 0;
  const auto value = static_cast<std::uintptr_t>(std::wcstoull(AValue.c_str(), nullptr, 10));
  return WaitForSingleObject(reinterpret_cast<HANDLE>(value), 0) == WAIT_OBJECT_0 ? 1 : 0;
}

bool WriteReport(const std::wstring& APath, const std::string& AText) {
  HANDLE file =
      CreateFileW(APath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, AText.data(), static_cast<DWORD>(AText.size()), &written, nullptr) &&
                  written == AText.size();
  CloseHandle(file);
  return ok;
}

}  // namespace

int main() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  wchar_t module[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
  wchar_t directory[MAX_PATH * 4] = {};
  GetCurrentDirectoryW(MAX_PATH * 4, directory);

  std::string report;
  report += Line("command_line", Utf8(GetCommandLineW()));
  report += Line("module", Utf8(module));
  report += Line("directory", Utf8(directory));
  report += Line("startup_flags", startup.dwFlags);
  report += Line("error_mode", GetErrorMode());
  report += Line("priority_class", GetPriorityClass(GetCurrentProcess()));
  report += Line("inherited_handle", ProbeHandle(Environment(L"ZVQ_TEST_APPLET_PROBE_HANDLE")));
  report += Line("marker", Utf8(Environment(L"ZVQ_TEST_APPLET_MARKER")));

  const std::wstring reportPath = Environment(L"ZVQ_TEST_APPLET_REPORT");
  if (!reportPath.empty() && !WriteReport(reportPath, report)) return 90;

  const std::wstring ready = Environment(L"ZVQ_TEST_APPLET_READY");
  if (!ready.empty()) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
    if (event == nullptr) return 91;
    SetEvent(event);
    CloseHandle(event);
  }
  const std::wstring hold = Environment(L"ZVQ_TEST_APPLET_HOLD");
  if (!hold.empty()) {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, hold.c_str());
    if (event == nullptr) return 92;
    const DWORD waited = WaitForSingleObject(event, 60000);
    CloseHandle(event);
    if (waited != WAIT_OBJECT_0) return 93;
  }
  const std::wstring exitCode = Environment(L"ZVQ_TEST_APPLET_EXIT");
  return exitCode.empty() ? 0 : static_cast<int>(std::wcstoul(exitCode.c_str(), nullptr, 10));
}
