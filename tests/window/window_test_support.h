#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "launch/support_launcher_thread.h"
#include "window/form29.h"

namespace zvq::testing {

// The window with its worker factory reachable, so runs can be pointed at the test service.
class TestForm29 : public TForm29 {
 public:
  using TForm29::LauncherFactory;
  TestForm29(platform::MainThreadDispatcher& ADispatcher, LauncherFactory AFactory)
      : TForm29(ADispatcher, std::move(AFactory)) {}
  using TForm29::LauncherThread;
};

// A one-way gate a worker or a service handler waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard Lock(FMutex);
    FOpen = true;
    FChanged.notify_all();
  }
  void Wait() {
    std::unique_lock Lock(FMutex);
    FChanged.wait(Lock, [this] { return FOpen; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FOpen = false;
};

// A worker that never leaves tsNone until its gate opens: a run that was created but has not begun.
class HeldWorker : public TSupportLauncherThread {
 public:
  HeldWorker(std::u16string ACode, platform::MainThreadDispatcher& ADispatcher, std::shared_ptr<Gate> AGate)
      : TSupportLauncherThread(true, std::move(ACode), ADispatcher), FGate(std::move(AGate)) {}

 protected:
  void Execute() override { FGate->Wait(); }

 private:
  std::shared_ptr<Gate> FGate;
};

struct SeenBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon;
  int ButtonCount;
  bool OkIsDefault;
};

// Answers every modal message box the window opens, shortly after it appears, and keeps what it showed.
class ModalBoxDismisser {
 public:
  ModalBoxDismisser() {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (Box == nullptr || !Box->isVisible()) return;
      const QList<QAbstractButton*> Buttons = Box->buttons();
      FSeen.push_back({Box->windowTitle(), Box->text(), Box->icon(), static_cast<int>(Buttons.size()),
                       Box->defaultButton() == Box->button(QMessageBox::Ok)});
      if (Box->defaultButton() != nullptr) {
        Box->defaultButton()->click();
      } else {
        Box->reject();
      }
    });
    FTimer.start();
  }

  const std::vector<SeenBox>& Seen() const { return FSeen; }

 private:
  QTimer FTimer;
  std::vector<SeenBox> FSeen;
};

// Where the launcher stages its applet during this test program (set up by the test main).
std::filesystem::path StagingFolder();
std::filesystem::path AppletReportFile();

}  // namespace zvq::testing
