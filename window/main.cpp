#include <QApplication>

#include "launch/staging.h"
#include "window/fonts.h"
#include "window/qt_form29_window.h"
#include "window/qt_main_thread_dispatcher.h"

int main(int argc, char* argv[]) {
  zvq::PrepareStagingFolder();
  QApplication Application(argc, argv);
  zvq::RegisterWindowFonts();
  zvq::QtMainThreadDispatcher Dispatcher;
  zvq::QtForm29Window Form29(Dispatcher);
  Form29.show();
  const int ExitCode = QApplication::exec();
  // A worker whose window has closed still runs to its end (and cleans up) before the process does.
  Dispatcher.WaitForWorkers();
  return ExitCode;
}
