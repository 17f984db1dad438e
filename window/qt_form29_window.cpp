#include "window/qt_form29_window.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <utility>

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
  return !std::all_of(Text.begin(), Text.end(),
                      [](QChar AChar) { return IsSupportCodeDigit(AChar.unicode()); });
}

// Qt exposes a plain top-level widget as a filler; screen readers look for a window's title on a frame.
QAccessibleInterface* Form29Accessible(const QString& AClassName, QObject* AObject) {
  if (AClassName != QLatin1String(QtForm29Window::staticMetaObject.className())) return nullptr;
  return new QAccessibleWidget(static_cast<QWidget*>(AObject), QAccessible::Window);
}

}  // namespace

QtForm29Window::QtForm29Window(platform::MainThreadDispatcher& ADispatcher, TForm29::LauncherFactory AFactory,
                               QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      FForm(std::make_unique<TForm29>(static_cast<TForm29View&>(*this), ADispatcher, std::move(AFactory))) {
  // Qt keeps factories for the whole process; one is enough for every window.
  static const bool FactoryInstalled = (QAccessible::installFactory(Form29Accessible), true);
  static_cast<void>(FactoryInstalled);
  CreateControls();
  FForm->FormCreate();
}

// The behaviour waits for a running worker, which may still call back into this window: it goes first.
QtForm29Window::~QtForm29Window() { FForm.reset(); }

void QtForm29Window::CreateControls() {
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
  // The label names the field for screen readers, as it does for someone who sees it.
  Label1->setBuddy(EditCode);

  ActionSubmit = new QAction(QStringLiteral("Submit"), this);
  ActionSubmit->setObjectName(QStringLiteral("ActionSubmit"));
  ActionSubmit->setEnabled(FForm->SubmitEnabled());

  SpeedButtonSubmit = new QToolButton(Panel1);
  SpeedButtonSubmit->setObjectName(QStringLiteral("SpeedButtonSubmit"));
  SpeedButtonSubmit->setFont(TahomaFont(19));
  SpeedButtonSubmit->setFocusPolicy(Qt::NoFocus);
  SpeedButtonSubmit->setToolButtonStyle(Qt::ToolButtonTextOnly);
  SpeedButtonSubmit->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  SpeedButtonSubmit->setDefaultAction(ActionSubmit);
  SpeedButtonSubmit->setAccessibleName(ActionSubmit->text());

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

  connect(EditCode, &QLineEdit::textChanged, this, [this] { FForm->EditCodeChange(); });
  connect(ActionSubmit, &QAction::triggered, this, [this] { FForm->ActionSubmitExecute(); });
  connect(TimerLaunch, &QTimer::timeout, this, [this] { FForm->TimerLaunchTimer(); });
  EditCode->setFocus();
}

void QtForm29Window::showEvent(QShowEvent* AEvent) {
  // Spontaneous shows come from the window system (restoring from the taskbar); they are not a new show.
  if (!AEvent->spontaneous()) {
    if (!FShownBefore) {
      FShownBefore = true;
      if (const QScreen* Screen = screen()) move(Screen->availableGeometry().center() - rect().center());
    }
    FForm->FormShow();
  }
  QWidget::showEvent(AEvent);
}

void QtForm29Window::closeEvent(QCloseEvent* AEvent) {
  bool CanClose = true;
  FForm->FormCloseQuery(CanClose);
  if (CanClose) {
    AEvent->accept();
  } else {
    AEvent->ignore();
  }
}

bool QtForm29Window::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == EditCode) {
    if (AEvent->type() == QEvent::MouseButtonDblClick) {
      FForm->EditCodeDblClick();
      return true;
    }
    if (AEvent->type() == QEvent::KeyPress) {
      const auto& Key = *static_cast<QKeyEvent*>(AEvent);
      if (Key.key() == Qt::Key_Return || Key.key() == Qt::Key_Enter) {
        char16_t Character = u'\r';
        FForm->EditCodeKeyPress(Character);
        return Character == 0;
      }
      return IsTypedNonDigit(Key);
    }
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

std::u16string QtForm29Window::CodeText() const { return EditCode->text().toStdU16String(); }

std::size_t QtForm29Window::CodeCaret() const {
  return static_cast<std::size_t>(EditCode->hasSelectedText() ? EditCode->selectionStart()
                                                              : EditCode->cursorPosition());
}

void QtForm29Window::SetCodeText(const std::u16string& AText) {
  const QSignalBlocker Quiet(EditCode);
  EditCode->setText(QString::fromStdU16String(AText));
}

void QtForm29Window::SetCodeCaret(std::size_t ACaret) {
  EditCode->setCursorPosition(static_cast<int>(ACaret));
}

void QtForm29Window::SelectAllCode() { EditCode->selectAll(); }

void QtForm29Window::SetSubmitEnabled(bool AEnabled) { ActionSubmit->setEnabled(AEnabled); }

void QtForm29Window::SetStatusCaption(const std::u16string& ACaption) {
  const QString Caption = QString::fromStdU16String(ACaption);
  if (Caption == RzFieldStatusThreadState->text()) return;
  // The label reports its own name change, which is the pane's text.
  RzFieldStatusThreadState->setText(Caption);
  // The focus stays in the code field for the whole run, and screen readers speak a change of the focused
  // control's description; a status bar nobody is reading stays silent.
  EditCode->setAccessibleDescription(Caption);
}

void QtForm29Window::StartLaunchTimer() { TimerLaunch->start(); }

void QtForm29Window::StopLaunchTimer() { TimerLaunch->stop(); }

void QtForm29Window::ShowErrorBox(const std::string& AText) {
  QMessageBox Box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromStdString(AText),
                  QMessageBox::Ok, this);
  Box.setDefaultButton(QMessageBox::Ok);
  Box.exec();
}

void QtForm29Window::ShowStartFailure(const std::string& AMessage) {
  QMessageBox::critical(this, windowTitle(), QString::fromStdString(AMessage));
}

void QtForm29Window::CloseWindow() { close(); }

}  // namespace zvq
