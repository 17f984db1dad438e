#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "window/form29.h"

class QAction;
class QCloseEvent;
class QEvent;
class QLabel;
class QLineEdit;
class QShowEvent;
class QStatusBar;
class QTimer;
class QToolButton;

namespace zvq {

// The launcher's window drawn with Qt Widgets: owns the controls, passes their events to TForm29 and does
// what it asks. Everything the window decides is TForm29's.
class QtForm29Window final : public QWidget, private TForm29View {
  Q_OBJECT

 public:
  explicit QtForm29Window(platform::MainThreadDispatcher& ADispatcher, TForm29::LauncherFactory AFactory = {},
                          QWidget* AParent = nullptr);
  ~QtForm29Window() override;

  TForm29& Form() { return *FForm; }

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
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void CreateControls();

  std::u16string CodeText() const override;
  std::size_t CodeCaret() const override;
  void SetCodeText(const std::u16string& AText) override;
  void SetCodeCaret(std::size_t ACaret) override;
  void SelectAllCode() override;
  void SetSubmitEnabled(bool AEnabled) override;
  void SetStatusCaption(const std::u16string& ACaption) override;
  void StartLaunchTimer() override;
  void StopLaunchTimer() override;
  void ShowErrorBox(const std::string& AText) override;
  void ShowStartFailure(const std::string& AMessage) override;
  void CloseWindow() override;

  std::unique_ptr<TForm29> FForm;
  bool FShownBefore = false;
};

}  // namespace zvq
