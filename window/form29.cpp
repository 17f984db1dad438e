#include "window/form29.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "launch/staging.h"
#include "window/support_code_format.h"

namespace zvq {

namespace {

std::unique_ptr<TSupportLauncherThread> MakeLauncher(std::u16string ACode,
                                                     platform::MainThreadDispatcher& AOwner) {
  return std::make_unique<TSupportLauncherThread>(true, std::move(ACode), AOwner);
}

}  // namespace

std::u16string StageCaption(TSupportThreadState AStage) {
  switch (AStage) {
    case TSupportThreadState::tsNone:
      return {};
    case TSupportThreadState::tsValidatingCode:
      return u"Validating Code";
    case TSupportThreadState::tsDownloadingApplet:
      return u"Downloading remote app";
    case TSupportThreadState::tsLaunchingApplet:
      return u"Launching remote app";
    case TSupportThreadState::tsWaitingAppletShutdown:
      return u"Waiting";
    case TSupportThreadState::tsAppletTerminated:
      return u"Shutting down";
  }
  return {};
}

TForm29::TForm29(TForm29View& AView, platform::MainThreadDispatcher& ADispatcher, LauncherFactory AFactory)
    : FView(AView),
      FDispatcher(ADispatcher),
      FLauncherFactory(AFactory ? std::move(AFactory) : MakeLauncher) {}

TForm29::~TForm29() {
  if (FLauncherThread != nullptr) FDispatcher.WaitForWorkers();
}

// Nothing to prepare beyond the controls: the start-up clean-up waits for the window to be shown.
void TForm29::FormCreate() {}

void TForm29::FormShow() { FView.StartLaunchTimer(); }

void TForm29::TimerLaunchTimer() {
  FView.StopLaunchTimer();
  // Files there now belong to the run under way, which cleans up after itself; removing them would pull its
  // applet away between download and start.
  if (FLauncherThread == nullptr) CleanStagingFolder();
}

void TForm29::EditCodeChange() {
  const std::u16string Text = FView.CodeText();
  const TSupportCodeFormat Result = FormatSupportCode(Text, FView.CodeCaret());
  if (Result.Text != Text) FView.SetCodeText(Result.Text);
  FView.SetCodeCaret(std::min(Result.Caret, Result.Text.size()));
  UpdateSubmitEnabled(Result.SubmitEnabled);
}

void TForm29::EditCodeDblClick() { FView.SelectAllCode(); }

void TForm29::EditCodeKeyPress(char16_t& AKey) {
  if (AKey != u'\r') return;
  AKey = 0;
  ActionSubmitExecute();
}

void TForm29::ActionSubmitExecute() {
  if (!FSubmitEnabled) return;
  // A worker that cannot be made or started leaves the window as it was; the user hears why and may retry.
  try {
    StartLauncher();
  } catch (const std::exception& AError) {
    FView.ShowStartFailure(AError.what());
  }
}

void TForm29::FormCloseQuery(bool& CanClose) {
  if (FLauncherThread == nullptr) return;
  if (FLauncherThread->State() == TSupportThreadState::tsAppletTerminated) return;
  // A worker stopped here never begins; the window may go, and the program ends once the worker has freed
  // itself. One that has begun, even if it has not announced its first stage yet, holds the window.
  if (!FLauncherThread->StopBeforeFirstStage()) CanClose = false;
}

void TForm29::StartLauncher() {
  // One run at a time: a second worker would lose track of the first.
  if (FLauncherThread != nullptr) return;
  std::unique_ptr<TSupportLauncherThread> Worker = FLauncherFactory(FView.CodeText(), FDispatcher);
  Worker->OnTerminate = [this](platform::Thread& Sender) { LauncherTerminated(Sender); };
  Worker->OnStateChange = [this](TSupportLauncherThread& Sender, TSupportThreadState AStage) {
    LauncherStateChanged(Sender, AStage);
  };
  Worker->SetFreeOnTerminate(true);
  Worker->Start();
  // From here the worker owns itself; its OnTerminate cannot run before this handler returns to the loop.
  FLauncherThread = Worker.release();
  UpdateSubmitEnabled(false);
}

void TForm29::LauncherStateChanged(TSupportLauncherThread& /*Sender*/, TSupportThreadState /*AStage*/) {
  // The caption reads the stage when it runs, so a late update shows the newest stage.
  if (FDispatcher.IsMainThread()) {
    UpdateStatusCaption();
  } else {
    FDispatcher.Post([this] { UpdateStatusCaption(); });
  }
}

void TForm29::LauncherTerminated(platform::Thread& /*Sender*/) {
  if (FLauncherThread != nullptr) {
    const TSupportThreadState Stage = FLauncherThread->State();
    const std::string Error = FLauncherThread->ThreadError();
    // Cleared before anything that may fail or wait: the worker is freed right after this handler, however
    // it ends.
    FLauncherThread = nullptr;
    if (!Error.empty()) FView.ShowErrorBox(Error);
    if (Stage == TSupportThreadState::tsAppletTerminated) {
      FView.CloseWindow();
      return;
    }
  }
  const std::u16string Text = FView.CodeText();
  UpdateSubmitEnabled(FormatSupportCode(Text, 0).SubmitEnabled);
  UpdateStatusCaption();
}

void TForm29::UpdateStatusCaption() {
  const TSupportThreadState Stage =
      FLauncherThread != nullptr ? FLauncherThread->State() : TSupportThreadState::tsNone;
  FView.SetStatusCaption(StageCaption(Stage));
}

void TForm29::UpdateSubmitEnabled(bool ACodeComplete) {
  FSubmitEnabled = ACodeComplete && FLauncherThread == nullptr;
  FView.SetSubmitEnabled(FSubmitEnabled);
}

}  // namespace zvq
