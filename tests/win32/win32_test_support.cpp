#include "win32_test_support.h"

#include <chrono>
#include <fstream>
#include <stdexcept>

namespace zvq::test {

std::map<std::string, std::string> ReadReport(const std::filesystem::path& APath) {
  std::map<std::string, std::string> values;
  std::ifstream file(APath, std::ios::binary);
  std::string line;
  while (std::getline(file, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

bool PumpMessagesUntil(const std::function<bool()>& APredicate) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return true;
}

NamedEvent::NamedEvent() : FName(platform::WidenUtf8("Local\\zvq-test-" + UniqueName())) {
  FHandle = CreateEventW(nullptr, TRUE, FALSE, FName.c_str());
  if (FHandle == nullptr) throw std::runtime_error("CreateEventW failed");
}

NamedEvent::~NamedEvent() { CloseHandle(FHandle); }

AppletControl::AppletControl(const std::filesystem::path& AReportPath, bool AHold)
    : FReportPath(AReportPath),
      FReportVariable(L"ZVQ_TEST_APPLET_REPORT", AReportPath.wstring()),
      FReadyVariable(L"ZVQ_TEST_APPLET_READY", FReady.Name()),
      FHoldVariable(L"ZVQ_TEST_APPLET_HOLD",
                    AHold ? std::optional<std::wstring>(FHold.Name()) : std::nullopt) {}

AppletControl::~AppletControl() { Release(); }

}  // namespace zvq::test
