#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "launch/support_launcher_thread.h"

namespace zvq {

// The caption the status pane shows for a stage; empty for tsNone.
std::u16string StageCaption(TSupportThreadState AStage);

// What the launcher's window behaviour needs from the window that draws it. A view owns the controls, calls
// TForm29's handlers when their events happen, and does what these calls ask, nothing more. All calls come on
// the main thread. Field texts and captions are 16-bit units and carets count units before the insertion
// point; messages are UTF-8, as the launcher's errors carry them.
class TForm29View {
 public:
  virtual ~TForm29View() = default;

  virtual std::u16string CodeText() const = 0;
  // The selection start when text is selected, else the insertion point.
  virtual std::size_t CodeCaret() const = 0;
  // Replaces the code field's text without reporting a change (EditCodeChange is not called for it).
  virtual void SetCodeText(const std::u16string& AText) = 0;
  // ACaret is never past the end of the text.
  virtual void SetCodeCaret(std::size_t ACaret) = 0;
  virtual void SelectAllCode() = 0;

  // The Submit command's enabled state, which the Submit button shows.
  virtual void SetSubmitEnabled(bool AEnabled) = 0;
  virtual void SetStatusCaption(const std::u16string& ACaption) = 0;

  // The 100 ms launch timer; once started it calls TimerLaunchTimer until stopped.
  virtual void StartLaunchTimer() = 0;
  virtual void StopLaunchTimer() = 0;

  // A modal box captioned "Error" with the error icon, AText and one "OK" button (the default); returns once
  // it is dismissed.
  virtual void ShowErrorBox(const std::string& AText) = 0;
  // The application's default report of a failure raised by a handler; returns once it is dismissed.
  virtual void ShowStartFailure(const std::string& AMessage) = 0;
  // Closes the window as the user's close would, so FormCloseQuery is asked first.
  virtual void CloseWindow() = 0;
};

// The launcher window's behaviour without a toolkit: formats the code field, starts one worker per Submit,
// shows its stage, reports its error, refuses to close while a launch is under way, and closes the window
// once the applet has run. Main thread only, except LauncherStateChanged, which workers call.
class TForm29 {
 public:
  // Makes the worker for a run, created suspended. Tests point it at their own service or a stand-in.
  using LauncherFactory = std::function<std::unique_ptr<TSupportLauncherThread>(
      std::u16string ACode, platform::MainThreadDispatcher& ADispatcher)>;

  // An empty factory makes the real worker against the compiled-in service.
  TForm29(TForm29View& AView, platform::MainThreadDispatcher& ADispatcher, LauncherFactory AFactory = {});
  // Waits for a running worker: it calls back into this object until its OnTerminate has run.
  ~TForm29();
  TForm29(const TForm29&) = delete;
  TForm29& operator=(const TForm29&) = delete;

  // The handlers a view calls.
  void FormCreate();
  void FormShow();
  void TimerLaunchTimer();
  void EditCodeChange();
  void EditCodeDblClick();
  // Enter (13) runs Submit and is consumed: AKey becomes 0, and the view drops the key. Others pass
  // unchanged.
  void EditCodeKeyPress(char16_t& AKey);
  // Does nothing while Submit is disabled, so a button or key that bypasses the enabled state cannot start a
  // run.
  void ActionSubmitExecute();
  // Clears CanClose while a launch is under way. A worker that has not begun its first stage is told never to
  // begin when the close is allowed, so no run goes on without its window.
  void FormCloseQuery(bool& CanClose);

  bool SubmitEnabled() const { return FSubmitEnabled; }
  // The running worker, or null. Not owned: it frees itself after LauncherTerminated.
  TSupportLauncherThread* LauncherThread() const { return FLauncherThread; }

 private:
  void StartLauncher();
  void LauncherStateChanged(TSupportLauncherThread& Sender, TSupportThreadState AStage);
  void LauncherTerminated(platform::Thread& Sender);
  void UpdateStatusCaption();
  void UpdateSubmitEnabled(bool ACodeComplete);

  TForm29View& FView;
  platform::MainThreadDispatcher& FDispatcher;
  LauncherFactory FLauncherFactory;
  TSupportLauncherThread* FLauncherThread = nullptr;
  bool FSubmitEnabled = false;
};

}  // namespace zvq
