#include "window/form29.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "errors/errors.h"
#include "launch/staging.h"
#include "window/support_code_format.h"

namespace zvq {

namespace {

// Layout at 96 DPI; Qt scales device-independent pixels with the monitor.
constexpr int kClientWidth = 297;
constexpr int kClientHeight = 171;
constexpr int kPanelPadding = 10;
constexpr int kControlMargin = 3;
constexpr int kLabelHeight = 46;
constexpr int kEditHeight = 37;
constexpr int kStatusBarHeight = 19;
constexpr std::chrono::milliseconds kCleanUpDelay{100};

// Font heights are character heights in pixels, which is what QFont::setPixelSize takes.
QFont TahomaFont(int APixelHeight) {
  QFont Font(QStringLiteral("Tahoma"));
  Font.setPixelSize(APixelHeight);
  return Font;
}

// The digits-only edit style refuses typed characters that are not digits; pasted text is left to the
// formatter. Shortcuts (Ctrl+V and the like) and control characters (Backspace) pass.
bool IsTypedNonDigit(const QKeyEvent& AKey) {
  if (AKey.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  const QString Text = AKey.text();
  if (Text.isEmpty() || !Text.front().isPrint()) return false;
  return !std::all_of(Text.begin(), Text.end(), IsSupportCodeDigit);
}

bool IsCodeComplete(const QString& AText) { return FormatSupportCode(AText, 0).SubmitEnabled; }

}  // namespace

QString StageCaption(TSupportThreadState AStage) {
  switch (AStage) {
    case TSupportThreadState::tsNone:
      return {};
    case TSupportThreadState::tsValidatingCode:
      return QStringLiteral("Validating Code");
    case TSupportThreadState::tsDownloadingApplet:
      return QStringLiteral("Downloading remote app");
    case TSupportThreadState::tsLaunchingApplet:
      return QStringLiteral("Launching remote app");
    case TSupportThreadState::tsWaitingAppletShutdown:
      return QStringLiteral("Waiting");
    case TSupportThreadState::tsAppletTerminated:
      return QStringLiteral("Shutting down");
  }
  return {};
}

TForm29::TForm29(platform::MainThreadDispatcher& ADispatcher, QWidget* AParent)
    : TForm29(
          ADispatcher,
          [](std::u16string ACode, platform::MainThreadDispatcher& AOwner) {
            return std::make_unique<TSupportLauncherThread>(true, std::move(ACode), AOwner);
          },
          AParent) {}

TForm29::TForm29(platform::MainThreadDispatcher& ADispatcher, LauncherFactory AFactory, QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      FDispatcher(ADispatcher),
      FLauncherFactory(std::move(AFactory)) {
  CreateControls();
  FormCreate();
}

TForm29::~TForm29() {
  // A worker calls back into this window until its OnTerminate has run; let it finish first.
  if (FLauncherThread != nullptr) FDispatcher.WaitForWorkers();
}

void TForm29::CreateControls() {
  setObjectName(QStringLiteral("Form29"));
  setWindowTitle(QStringLiteral("Support Launcher"));
  setFont(TahomaFont(11));
  setFixedSize(kClientWidth, kClientHeight);

  auto* FormLayout = new QVBoxLayout(this);
  FormLayout->setContentsMargins(0, 0, 0, 0);
  FormLayout->setSpacing(0);

  Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  auto* PanelLayout = new QVBoxLayout(Panel1);
  // Each control keeps its own margin inside the panel's padding; neighbouring margins add up.
  const int Edge = kPanelPadding + kControlMargin;
  PanelLayout->setContentsMargins(Edge, Edge, Edge, Edge);
  PanelLayout->setSpacing(2 * kControlMargin);

  Label1 = new QLabel(QStringLiteral("Enter the code given to you by the Velloran Technician"), Panel1);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setFont(TahomaFont(19));
  Label1->setWordWrap(true);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setFixedHeight(kLabelHeight);

  EditCode = new QLineEdit(Panel1);
  EditCode->setObjectName(QStringLiteral("EditCode"));
  EditCode->setFont(TahomaFont(24));
  EditCode->setAlignment(Qt::AlignCenter);
  EditCode->setFixedHeight(kEditHeight);
  EditCode->setInputMethodHints(Qt::ImhDigitsOnly);
  EditCode->installEventFilter(this);

  ActionSubmit = new QAction(QStringLiteral("Submit"), this);
  ActionSubmit->setObjectName(QStringLiteral("ActionSubmit"));
  ActionSubmit->setEnabled(false);

  SpeedButtonSubmit = new QToolButton(Panel1);
  SpeedButtonSubmit->setObjectName(QStringLiteral("SpeedButtonSubmit"));
  SpeedButtonSubmit->setFont(TahomaFont(19));
  SpeedButtonSubmit->setFocusPolicy(Qt::NoFocus);
  SpeedButtonSubmit->setToolButtonStyle(Qt::ToolButtonTextOnly);
  SpeedButtonSubmit->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  SpeedButtonSubmit->setDefaultAction(ActionSubmit);

  PanelLayout->addWidget(Label1);
  PanelLayout->addWidget(EditCode);
  PanelLayout->addWidget(SpeedButtonSubmit, 1);

  RzStatusBar1 = new QStatusBar(this);
  RzStatusBar1->setObjectName(QStringLiteral("RzStatusBar1"));
  RzStatusBar1->setSizeGripEnabled(false);
  RzStatusBar1->setFixedHeight(kStatusBarHeight);
  RzStatusBar1->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
  RzFieldStatusThreadState = new QLabel(RzStatusBar1);
  RzFieldStatusThreadState->setObjectName(QStringLiteral("RzFieldStatusThreadState"));
  RzStatusBar1->addWidget(RzFieldStatusThreadState, 1);

  FormLayout->addWidget(Panel1, 1);
  FormLayout->addWidget(RzStatusBar1);

  TimerLaunch = new QTimer(this);
  TimerLaunch->setObjectName(QStringLiteral("TimerLaunch"));
  TimerLaunch->setInterval(kCleanUpDelay);

  FEditCodeChange = connect(EditCode, &QLineEdit::textChanged, this, &TForm29::EditCodeChange);
  connect(ActionSubmit, &QAction::triggered, this, &TForm29::ActionSubmitExecute);
  connect(TimerLaunch, &QTimer::timeout, this, &TForm29::TimerLaunchTimer);
  EditCode->setFocus();
}

// Nothing to prepare beyond the controls: the start-up clean-up waits for the window to be shown.
void TForm29::FormCreate() {}

void TForm29::showEvent(QShowEvent* AEvent) {
  // Spontaneous shows come from the window system (restoring from the taskbar); they are not a new show.
  if (!AEvent->spontaneous()) {
    if (!FShownBefore) {
      FShownBefore = true;
      if (const QScreen* Screen = screen()) move(Screen->availableGeometry().center() - rect().center());
    }
    FormShow();
  }
  QWidget::showEvent(AEvent);
}

void TForm29::FormShow() { TimerLaunch->start(); }

void TForm29::TimerLaunchTimer() {
  TimerLaunch->stop();
  CleanStagingFolder();
}

void TForm29::EditCodeChange() {
  const qsizetype Caret = EditCode->hasSelectedText() ? EditCode->selectionStart() : EditCode->cursorPosition();
  const TSupportCodeFormat Result = FormatSupportCode(EditCode->text(), Caret);
  // Writing the text back would report a change again; the handler is detached meanwhile.
  disconnect(FEditCodeChange);
  if (EditCode->text() != Result.Text) EditCode->setText(Result.Text);
  FEditCodeChange = connect(EditCode, &QLineEdit::textChanged, this, &TForm29::EditCodeChange);
  EditCode->setCursorPosition(static_cast<int>(std::clamp<qsizetype>(Result.Caret, 0, Result.Text.size())));
  UpdateSubmitEnabled(Result.SubmitEnabled);
}

void TForm29::EditCodeDblClick() { EditCode->selectAll(); }

bool TForm29::EditCodeKeyPress(const QKeyEvent& AKey) {
  if (AKey.key() != Qt::Key_Return && AKey.key() != Qt::Key_Enter) return false;
  ActionSubmit->trigger();  // a disabled action ignores it
  return true;
}

bool TForm29::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == EditCode) {
    if (AEvent->type() == QEvent::MouseButtonDblClick) {
      EditCodeDblClick();
      return true;
    }
    if (AEvent->type() == QEvent::KeyPress) {
      const auto& Key = *static_cast<QKeyEvent*>(AEvent);
      return EditCodeKeyPress(Key) || IsTypedNonDigit(Key);
    }
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

void TForm29::ActionSubmitExecute() {
  // A worker that cannot be made or started leaves the window as it was; the user hears why and may retry.
  try {
    StartLauncher();
  } catch (const Exception& AError) {
    ShowStartFailure(QString::fromStdString(AError.Message()));
  } catch (const std::exception& AError) {
    ShowStartFailure(QString::fromLocal8Bit(AError.what()));
  }
}

void TForm29::ShowStartFailure(const QString& AMessage) {
  QMessageBox::critical(this, windowTitle(), AMessage);
}

void TForm29::closeEvent(QCloseEvent* AEvent) {
  bool CanClose = true;
  FormCloseQuery(CanClose);
  if (CanClose) {
    AEvent->accept();
  } else {
    AEvent->ignore();
  }
}

void TForm29::FormCloseQuery(bool& CanClose) const {
  if (FLauncherThread == nullptr) return;
  const TSupportThreadState Stage = FLauncherThread->State();
  if (Stage != TSupportThreadState::tsNone && Stage != TSupportThreadState::tsAppletTerminated) CanClose = false;
}

void TForm29::StartLauncher() {
  // One run at a time: a second worker would lose track of the first.
  if (FLauncherThread != nullptr) return;
  std::unique_ptr<TSupportLauncherThread> Worker = FLauncherFactory(EditCode->text().toStdU16String(), FDispatcher);
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
  TSupportThreadState Stage = TSupportThreadState::tsNone;
  if (FLauncherThread != nullptr) {
    Stage = FLauncherThread->State();
    if (!FLauncherThread->ThreadError().empty()) {
      QMessageBox Box(QMessageBox::Critical, QStringLiteral("Error"),
                      QString::fromStdString(FLauncherThread->ThreadError()), QMessageBox::Ok, this);
      Box.setDefaultButton(QMessageBox::Ok);
      Box.exec();
    }
    FLauncherThread = nullptr;
  }
  if (Stage == TSupportThreadState::tsAppletTerminated) {
    close();
    return;
  }
  UpdateSubmitEnabled(IsCodeComplete(EditCode->text()));
  UpdateStatusCaption();
}

void TForm29::UpdateStatusCaption() {
  const TSupportThreadState Stage =
      FLauncherThread != nullptr ? FLauncherThread->State() : TSupportThreadState::tsNone;
  RzFieldStatusThreadState->setText(StageCaption(Stage));
}

void TForm29::UpdateSubmitEnabled(bool ACodeComplete) {
  ActionSubmit->setEnabled(ACodeComplete && FLauncherThread == nullptr);
}

}  // namespace zvq
