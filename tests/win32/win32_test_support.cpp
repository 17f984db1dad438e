#include "win32_test_support.h"

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
