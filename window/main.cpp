#include <QApplication>

#include "launch/launcher_start.h"
#include "window/fonts.h"
#include "window/qt_form29_window.h"
#include "window/qt_main_thread_dispatcher.h"

int main(int argc, char* argv[]) {
  const auto Instance = zvq::BeginLauncher();
  if (!Instance) return 0;
  QApplication Application(argc, argv);
  zvq::RegisterWindowFonts();
  zvq::QtMainThreadDispatcher Dispatcher;
  zvq::QtForm29Window Form29(Dispatcher);
  // A window that has already closed stays closed: the launcher is on its way out.
  const auto ShowRequests = Instance->ListenForShowRequests(Dispatcher, [&Form29] {
    if (!Form29.isVisible()) return;
    Form29.setWindowState(Form29.windowState() & ~Qt::WindowMinimized);
    Form29.raise();
    Form29.activateWindow();
  });
  Form29.show();
  const int ExitCode = QApplication::exec();
  // A worker whose window has closed still runs to its end (and cleans up) before the process does.
  Dispatcher.WaitForWorkers();
  return ExitCode;
}
