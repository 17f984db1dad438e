#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "launch/support_launcher_thread.h"

class QAction;
class QCloseEvent;
class QEvent;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QShowEvent;
class QStatusBar;
class QTimer;
class QToolButton;

namespace zvq {

// The caption the status pane shows for a stage; empty for tsNone.
QString StageCaption(TSupportThreadState AStage);

// The launcher's one window: asks for the support code, starts one worker per Submit, shows its stage,
// reports its error, refuses to close while a launch is under way, and closes itself once the applet has run.
class TForm29 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm29(platform::MainThreadDispatcher& ADispatcher, QWidget* AParent = nullptr);
  ~TForm29() override;

  // The controls, owned through Qt parenting; named as in the layout so they can be found by name too.
  QWidget* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* EditCode = nullptr;
  QToolButton* SpeedButtonSubmit = nullptr;
  QStatusBar* RzStatusBar1 = nullptr;
  QLabel* RzFieldStatusThreadState = nullptr;
  QAction* ActionSubmit = nullptr;
  QTimer* TimerLaunch = nullptr;

 protected:
  // Makes the worker for a run, created suspended. Tests point it at their own service.
  using LauncherFactory = std::function<std::unique_ptr<TSupportLauncherThread>(
      std::u16string ACode, platform::MainThreadDispatcher& ADispatcher)>;
  TForm29(platform::MainThreadDispatcher& ADispatcher, LauncherFactory AFactory, QWidget* AParent = nullptr);

  // The running worker, or null. Not owned: it frees itself after LauncherTerminated.
  TSupportLauncherThread* LauncherThread() const { return FLauncherThread; }

  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void CreateControls();
  void FormCreate();
  void FormShow();
  void TimerLaunchTimer();
  void EditCodeChange();
  void EditCodeDblClick();
  // True when the key was consumed.
  bool EditCodeKeyPress(const QKeyEvent& AKey);
  void ActionSubmitExecute();
  void FormCloseQuery(bool& CanClose) const;

  void StartLauncher();
  void LauncherStateChanged(TSupportLauncherThread& Sender, TSupportThreadState AStage);
  void LauncherTerminated(platform::Thread& Sender);
  void UpdateStatusCaption();
  void UpdateSubmitEnabled(bool ACodeComplete);
  void ShowStartFailure(const QString& AMessage);

  platform::MainThreadDispatcher& FDispatcher;
  LauncherFactory FLauncherFactory;
  TSupportLauncherThread* FLauncherThread = nullptr;
  QMetaObject::Connection FEditCodeChange;
  bool FShownBefore = false;
};

}  // namespace zvq
