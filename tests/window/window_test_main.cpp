#include <gtest/gtest.h>

#include <QApplication>

#include "launch/staging.h"
#include "tests/support/temp_dir.h"
#include "tests/window/window_test_support.h"
#include "window/fonts.h"

namespace zvq::testing {

namespace {
TempDir* GTemporary = nullptr;
}

std::filesystem::path StagingFolder() { return std::filesystem::path(GetStagingFolder()); }
std::filesystem::path AppletReportFile() { return *GTemporary / "applet-report"; }

}  // namespace zvq::testing

int main(int argc, char* argv[]) {
  testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  // Everything the launcher stages goes into a folder of this run; the applet reports how it was started and
  // runs until the test ends it. Set before any thread exists, since the environment is not thread-safe.
  zvq::testing::TempDir Temporary;
  zvq::testing::GTemporary = &Temporary;
  qputenv("TMPDIR", QByteArray::fromStdString(Temporary.Path().string()));
  qputenv("ZVQ_TEST_APPLET_REPORT", QByteArray::fromStdString(zvq::testing::AppletReportFile().string()));
  qputenv("ZVQ_TEST_APPLET_SLEEP_MS", "30000");
  zvq::PrepareStagingFolder();

  QApplication Application(argc, argv);
  // Tests close and reopen the window; that must not end the application.
  QApplication::setQuitOnLastWindowClosed(false);
  zvq::RegisterWindowFonts();
  return RUN_ALL_TESTS();
}
