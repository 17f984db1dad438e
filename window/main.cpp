#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <functional>
#include <thread>
#include <utility>

#include "launch/launcher_start.h"
#include "service/remote_support_api.h"
#include "window/fonts.h"
#include "window/qt_form29_window.h"
#include "window/qt_main_thread_dispatcher.h"

namespace {

// Calls ACall once the window's first paint has been flushed to the screen.
class AfterFirstPaint final : public QObject {
 public:
  AfterFirstPaint(QWidget& AWindow, std::function<void()> ACall) : QObject(&AWindow), FCall(std::move(ACall)) {
    AWindow.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject*, QEvent* AEvent) override {
    // A zero timer fires after the paint pass this event belongs to.
    if (AEvent->type() == QEvent::Paint && FCall) QTimer::singleShot(0, this, std::exchange(FCall, nullptr));
    return false;
  }

 private:
  std::function<void()> FCall;
};

}  // namespace

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
  // The network and crypto libraries are not needed to draw the window: they load behind it, while the user
  // types the code. A failure here is met again, and shown, by the first Submit.
  std::jthread Preparation;
  new AfterFirstPaint(Form29, [&Preparation] {
    Preparation = std::jthread([] {
      try {
        zvq::TzqRemoteSupportAPI::Prepare();
      } catch (...) {
      }
    });
  });
  Form29.show();
  const int ExitCode = QApplication::exec();
  // A worker whose window has closed still runs to its end (and cleans up) before the process does.
  Dispatcher.WaitForWorkers();
  return ExitCode;
}
