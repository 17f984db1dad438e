// The window without a service: the code field, Enter and Submit, the start-up clean-up and the close rule
// for a run that has not begun. Workers here are held in tsNone until the test lets them go.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <fstream>

#include "tests/window/qt_print.h"
#include "tests/window/window_test_support.h"
#include "window/qt_main_thread_dispatcher.h"

namespace zvq::testing {
namespace {

constexpr int kWaitMs = 5000;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = std::make_unique<QtForm29Window>(
        Dispatcher, [this](std::u16string ACode, platform::MainThreadDispatcher& ADispatcher) {
          Codes.push_back(ACode);
          return std::unique_ptr<TSupportLauncherThread>(
              std::make_unique<ScriptedWorker>(std::move(ACode), ADispatcher, Script));
        });
  }
  void TearDown() override {
    Script->Start->Open();
    Dispatcher.WaitForWorkers();
    Form.reset();
  }

  void ShowForm() {
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  void Type(const QString& AKeys) { QTest::keyClicks(Form->EditCode, AKeys); }
  // Characters no key of a Latin keyboard gives, as an input of another layout would deliver them.
  void TypeCharacter(QChar ACharacter) {
    QTest::sendKeyEvent(QTest::Press, Form->EditCode, Qt::Key_unknown, QString(ACharacter), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, Form->EditCode, Qt::Key_unknown, QString(ACharacter), Qt::NoModifier);
  }
  void PressEnter() { QTest::keyClick(Form->EditCode, Qt::Key_Return); }
  bool WaitUntilRunEnded() {
    return QTest::qWaitFor([this] { return Form->Form().LauncherThread() == nullptr && Dispatcher.LiveWorkers() == 0; },
                           kWaitMs);
  }

  QtMainThreadDispatcher Dispatcher;
  std::shared_ptr<WorkerScript> Script = std::make_shared<WorkerScript>();
  ModalBoxDismisser Boxes;
  std::vector<std::u16string> Codes;
  std::unique_ptr<QtForm29Window> Form;
};

TEST_F(WindowTest, StartsIdleWithTheDesignedControls) {
  EXPECT_EQ(Form->windowTitle(), u"Support Launcher"_qs);
  EXPECT_EQ(Form->size(), QSize(297, 171));
  EXPECT_EQ(Form->minimumSize(), Form->maximumSize()) << "the window has a fixed size";
  EXPECT_FALSE(Form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(Form->Label1->text(), u"Enter the code given to you by the Velloran Technician"_qs);
  EXPECT_EQ(Form->ActionSubmit->text(), u"Submit"_qs);
  EXPECT_FALSE(Form->ActionSubmit->isEnabled());
  EXPECT_FALSE(Form->SpeedButtonSubmit->isEnabled()) << "the button follows its action";
  EXPECT_EQ(Form->SpeedButtonSubmit->focusPolicy(), Qt::NoFocus);
  EXPECT_TRUE(Form->RzFieldStatusThreadState->text().isEmpty());
  EXPECT_FALSE(Form->TimerLaunch->isActive()) << "the clean-up timer waits for the first show";
  EXPECT_EQ(Form->findChild<QLineEdit*>(u"EditCode"_qs), Form->EditCode);
}

TEST_F(WindowTest, TypingFormatsTheCodeAndEnablesSubmitAtTheNinthDigit) {
  Type(u"12345678"_qs);
  EXPECT_EQ(Form->EditCode->text(), u"123 456 78"_qs);
  EXPECT_EQ(Form->EditCode->cursorPosition(), 10);
  EXPECT_FALSE(Form->ActionSubmit->isEnabled());

  Type(u"9"_qs);
  EXPECT_EQ(Form->EditCode->text(), u"123 456 789"_qs);
  EXPECT_TRUE(Form->ActionSubmit->isEnabled());
  EXPECT_TRUE(Form->SpeedButtonSubmit->isEnabled());

  Type(u"0"_qs);
  EXPECT_EQ(Form->EditCode->text(), u"123 456 789"_qs) << "a tenth digit is dropped";
  EXPECT_EQ(Form->EditCode->cursorPosition(), 11);

  QTest::keyClick(Form->EditCode, Qt::Key_Backspace);
  EXPECT_EQ(Form->EditCode->text(), u"123 456 78"_qs);
  EXPECT_FALSE(Form->ActionSubmit->isEnabled());
}

TEST_F(WindowTest, TypedCharactersThatAreNotDigitsNeverReachTheField) {
  QSignalSpy Edited(Form->EditCode, &QLineEdit::textEdited);
  Type(u"1a2 -3.x"_qs);
  TypeCharacter(QChar(0x00B2));
  EXPECT_EQ(Form->EditCode->text(), u"123"_qs);
  EXPECT_EQ(Form->EditCode->cursorPosition(), 3);
  EXPECT_EQ(Edited.count(), 3) << "only the digits were edits";

  TypeCharacter(QChar(0x0664));
  EXPECT_EQ(Form->EditCode->text(), u"123 \u0664"_qs) << "a decimal digit of another script is typed as such";
}

TEST_F(WindowTest, BackspaceOverASeparatorPutsItBackBeforeTheCaret) {
  Type(u"123456789"_qs);
  Form->EditCode->setCursorPosition(8);  // just after the second separator
  QTest::keyClick(Form->EditCode, Qt::Key_Backspace);
  EXPECT_EQ(Form->EditCode->text(), u"123 456 789"_qs);
  EXPECT_EQ(Form->EditCode->cursorPosition(), 7);
  EXPECT_TRUE(Form->ActionSubmit->isEnabled());
}

TEST_F(WindowTest, APastedHyphenatedCodeIsReformatted) {
  QGuiApplication::clipboard()->setText(u"123-456-789"_qs);
  QTest::keyClick(Form->EditCode, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Form->EditCode->text(), u"123 456 789"_qs);
  EXPECT_TRUE(Form->ActionSubmit->isEnabled());
}

TEST_F(WindowTest, DoubleClickSelectsTheWholeCodeSoTheNextDigitReplacesIt) {
  ShowForm();
  Type(u"123456789"_qs);
  QTest::mouseDClick(Form->EditCode, Qt::LeftButton, {}, QPoint(20, Form->EditCode->height() / 2));
  EXPECT_EQ(Form->EditCode->selectedText(), u"123 456 789"_qs);

  Type(u"5"_qs);
  EXPECT_EQ(Form->EditCode->text(), u"5"_qs);
  EXPECT_FALSE(Form->ActionSubmit->isEnabled());
}

TEST_F(WindowTest, ClearingTheFieldDisablesSubmit) {
  Type(u"123456789"_qs);
  Form->EditCode->selectAll();
  QTest::keyClick(Form->EditCode, Qt::Key_Delete);
  EXPECT_TRUE(Form->EditCode->text().isEmpty());
  EXPECT_FALSE(Form->ActionSubmit->isEnabled());
}

TEST_F(WindowTest, EnterWithAnIncompleteCodeDoesNothing) {
  QSignalSpy ReturnPressed(Form->EditCode, &QLineEdit::returnPressed);
  Type(u"1234"_qs);
  PressEnter();
  EXPECT_TRUE(Codes.empty());
  EXPECT_EQ(Form->Form().LauncherThread(), nullptr);
  EXPECT_EQ(ReturnPressed.count(), 0) << "Enter is consumed before the edit sees it";
}

TEST_F(WindowTest, EnterWithACompleteCodeStartsOneRunWithTheFormattedCode) {
  Type(u"123456789"_qs);
  PressEnter();
  ASSERT_EQ(Codes.size(), 1u);
  EXPECT_EQ(Codes[0], u"123 456 789");
  EXPECT_NE(Form->Form().LauncherThread(), nullptr);
  EXPECT_FALSE(Form->ActionSubmit->isEnabled()) << "one run at a time";

  PressEnter();
  Form->SpeedButtonSubmit->click();
  Form->ActionSubmit->trigger();
  EXPECT_EQ(Codes.size(), 1u) << "Enter and Submit do nothing while a worker exists";

  Script->Start->Open();
  ASSERT_TRUE(WaitUntilRunEnded());
  EXPECT_TRUE(Form->ActionSubmit->isEnabled()) << "Submit follows the code field again";
  EXPECT_TRUE(Form->RzFieldStatusThreadState->text().isEmpty());
  EXPECT_TRUE(Boxes.Seen().empty()) << "a run without an error shows no box";
}

TEST_F(WindowTest, SubmitClickedStartsARunLikeEnter) {
  Type(u"987654321"_qs);
  Form->SpeedButtonSubmit->click();
  ASSERT_EQ(Codes.size(), 1u);
  EXPECT_EQ(Codes[0], u"987 654 321");
}

TEST_F(WindowTest, TheWindowClosesWhenIdleOrWhileTheRunHasNotBegun) {
  ShowForm();
  EXPECT_TRUE(Form->close()) << "idle";

  ShowForm();
  Type(u"123456789"_qs);
  PressEnter();
  ASSERT_NE(Form->Form().LauncherThread(), nullptr);
  ASSERT_EQ(Form->Form().LauncherThread()->State(), TSupportThreadState::tsNone);
  EXPECT_TRUE(Form->close()) << "a worker still in tsNone does not hold the window";

  Script->Stages = {TSupportThreadState::tsValidatingCode};
  Script->Start->Open();
  ASSERT_TRUE(WaitUntilRunEnded());
  EXPECT_FALSE(Script->Began) << "the closed window's worker never began its first stage";
}

// What a screen reader is told: a name for every control, and the stage on the field that keeps the focus.
TEST_F(WindowTest, ScreenReadersGetTheControlsNamesAndEachStageOnTheFocusedField) {
  const struct {
    QObject* Control;
    QAccessible::Role Role;
    QString Name;
  } Rows[] = {
      {Form.get(), QAccessible::Window, u"Support Launcher"_qs},
      {Form->EditCode, QAccessible::EditableText, u"Enter the code given to you by the Velloran Technician"_qs},
      {Form->SpeedButtonSubmit, QAccessible::Button, u"Submit"_qs},
  };
  for (const auto& Row : Rows) {
    QAccessibleInterface* Accessible = QAccessible::queryAccessibleInterface(Row.Control);
    ASSERT_NE(Accessible, nullptr) << Row.Control->objectName().toStdString();
    EXPECT_EQ(Accessible->role(), Row.Role) << Row.Control->objectName().toStdString();
    EXPECT_EQ(Accessible->text(QAccessible::Name), Row.Name) << Row.Control->objectName().toStdString();
  }

  Script->Stages = {TSupportThreadState::tsValidatingCode};
  Script->Hold = std::make_shared<Gate>();
  Type(u"123456789"_qs);
  PressEnter();
  Script->Start->Open();
  Script->Reached->Wait();
  ASSERT_TRUE(QTest::qWaitFor([this] { return !Form->RzFieldStatusThreadState->text().isEmpty(); }, kWaitMs));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(Form->EditCode)->text(QAccessible::Description),
            u"Validating Code"_qs);
  Script->Hold->Open();
  ASSERT_TRUE(WaitUntilRunEnded());
  EXPECT_TRUE(QAccessible::queryAccessibleInterface(Form->EditCode)->text(QAccessible::Description).isEmpty())
      << "an idle window has no stage to tell";
}

class StagingCleanUpTest : public WindowTest {
 protected:
  std::filesystem::path PlantStaleFile() {
    const std::filesystem::path Stale = StagingFolder() / "left-over.bin";
    std::ofstream(Stale) << "stale";
    return Stale;
  }
};

TEST_F(StagingCleanUpTest, StaleFilesGoAboutATenthOfASecondAfterEachShowAndOnlyOnce) {
  const std::filesystem::path Stale = PlantStaleFile();
  QElapsedTimer SinceShow;
  SinceShow.start();
  ShowForm();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !std::filesystem::exists(Stale); }, kWaitMs));
  EXPECT_GE(SinceShow.elapsed(), 90);
  EXPECT_FALSE(Form->TimerLaunch->isActive()) << "the timer disabled itself after one clean-up";

  PlantStaleFile();
  Form->hide();
  ShowForm();
  EXPECT_TRUE(Form->TimerLaunch->isActive());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !std::filesystem::exists(Stale); }, kWaitMs)) << "a new show cleans again";
  EXPECT_FALSE(Form->TimerLaunch->isActive());
}

}  // namespace
}  // namespace zvq::testing
