// The window's behaviour through a recording view and scripted workers, with no toolkit: the code field,
// Enter and Submit, the close rule, the stage captions and the end of a run. The same cases run on every
// system.

#include "window/form29.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "launch/staging.h"
#include "tests/support/temp_dir.h"
#include "tests/window/form_test_support.h"

namespace zvq::testing {
namespace {

using State = TSupportThreadState;
constexpr std::chrono::seconds kWait{20};

// Records what the behaviour asked of its window; the field is a plain text with a caret.
class RecordingView : public TForm29View {
 public:
  std::u16string Text;
  std::size_t Caret = 0;
  bool AllSelected = false;
  bool Submit = false;
  std::vector<std::u16string> Captions;
  bool TimerActive = false;
  std::vector<std::string> ErrorBoxes;
  std::vector<std::string> StartFailures;
  bool Closed = false;
  bool ErrorBoxFails = false;
  TForm29* Form = nullptr;

  // What the field does when the user types AKeys at the caret: each unit is one change.
  void Type(std::u16string_view AKeys) {
    for (const char16_t Key : AKeys) {
      Text.insert(Caret++, 1, Key);
      Form->EditCodeChange();
    }
  }
  bool Close() {
    bool CanClose = true;
    Form->FormCloseQuery(CanClose);
    Closed = Closed || CanClose;
    return CanClose;
  }

  std::u16string CodeText() const override { return Text; }
  std::size_t CodeCaret() const override { return Caret; }
  void SetCodeText(const std::u16string& AText) override { Text = AText; }
  void SetCodeCaret(std::size_t ACaret) override { Caret = ACaret; }
  void SelectAllCode() override { AllSelected = true; }
  void SetSubmitEnabled(bool AEnabled) override { Submit = AEnabled; }
  void SetStatusCaption(const std::u16string& ACaption) override { Captions.push_back(ACaption); }
  void StartLaunchTimer() override { TimerActive = true; }
  void StopLaunchTimer() override { TimerActive = false; }
  void ShowErrorBox(const std::string& AText) override {
    ErrorBoxes.push_back(AText);
    if (ErrorBoxFails) throw std::runtime_error("the box could not be shown");
  }
  void ShowStartFailure(const std::string& AMessage) override { StartFailures.push_back(AMessage); }
  void CloseWindow() override { Close(); }
};

class Form29Test : public ::testing::Test {
 protected:
  Form29Test() { View.Form = &Form; }
  ~Form29Test() override {
    Script->Start->Open();
    if (Script->Hold) Script->Hold->Open();
    Loop.WaitForWorkers();
  }

  void SubmitCode() {
    View.Type(u"123456789");
    Form.ActionSubmitExecute();
  }
  bool RunEnded() {
    return Loop.RunUntil([this] { return Form.LauncherThread() == nullptr && Loop.LiveWorkers() == 0; },
                         kWait);
  }

  platform::ManualMainLoop Loop;
  RecordingView View;
  std::shared_ptr<WorkerScript> Script = std::make_shared<WorkerScript>();
  std::vector<std::u16string> Codes;
  TForm29 Form{View, Loop, [this](std::u16string ACode, platform::MainThreadDispatcher& ADispatcher) {
                 Codes.push_back(ACode);
                 return std::make_unique<ScriptedWorker>(std::move(ACode), ADispatcher, Script);
               }};
};

TEST_F(Form29Test, TheFieldTakesTheFormattedTextAndACaretWithinIt) {
  struct Case {
    const char* Name;
    std::u16string Text;
    std::size_t Caret;
    std::u16string ExpectedText;
    std::size_t ExpectedCaret;
    bool Submit;
  };
  const Case Cases[] = {
      {"a tenth digit at the end is dropped and the caret held at the end", u"123 456 7890", 12,
       u"123 456 789", 11, true},
      {"backspace over a separator puts it back before the caret", u"123 456789", 7, u"123 456 789", 7, true},
      {"a cleared field", u"", 0, u"", 0, false},
  };
  for (const Case& Each : Cases) {
    SCOPED_TRACE(Each.Name);
    View.Text = Each.Text;
    View.Caret = Each.Caret;
    Form.EditCodeChange();
    EXPECT_EQ(View.Text, Each.ExpectedText);
    EXPECT_EQ(View.Caret, Each.ExpectedCaret);
    EXPECT_EQ(View.Submit, Each.Submit);
    EXPECT_EQ(Form.SubmitEnabled(), Each.Submit);
  }
  Form.EditCodeDblClick();
  EXPECT_TRUE(View.AllSelected);
}

TEST_F(Form29Test, EnterIsConsumedAndStartsARunOnlyWithACompleteCode) {
  char16_t Other = u'5';
  Form.EditCodeKeyPress(Other);
  EXPECT_EQ(Other, u'5') << "other keys pass";

  View.Type(u"1234");
  char16_t Enter = u'\r';
  Form.EditCodeKeyPress(Enter);
  EXPECT_EQ(Enter, 0);
  EXPECT_TRUE(Codes.empty());

  View.Type(u"56789");
  Enter = u'\r';
  Form.EditCodeKeyPress(Enter);
  EXPECT_EQ(Enter, 0);
  ASSERT_EQ(Codes, std::vector<std::u16string>{u"123 456 789"});
  EXPECT_NE(Form.LauncherThread(), nullptr);
  EXPECT_FALSE(View.Submit) << "one run at a time";

  Form.ActionSubmitExecute();
  Enter = u'\r';
  Form.EditCodeKeyPress(Enter);
  EXPECT_EQ(Codes.size(), 1u);
}

TEST_F(Form29Test, AWorkerThatCannotStartIsReportedAndLeavesTheWindowAsItWas) {
  TForm29 Failing(
      View, Loop,
      [](std::u16string, platform::MainThreadDispatcher&) -> std::unique_ptr<TSupportLauncherThread> {
        throw EThread("Thread creation error: no resources");
      });
  View.Form = &Failing;
  View.Type(u"123456789");
  Failing.ActionSubmitExecute();
  EXPECT_EQ(View.StartFailures, std::vector<std::string>{"Thread creation error: no resources"});
  EXPECT_EQ(Failing.LauncherThread(), nullptr);
  EXPECT_TRUE(Failing.SubmitEnabled());
}

TEST_F(Form29Test, TheEndOfARun) {
  struct Case {
    const char* Name;
    std::vector<State> Stages;
    std::string Error;
    std::vector<std::string> Boxes;
    bool Closed;
  };
  const Case Cases[] = {
      {"a failed run shows its error once and returns to idle",
       {State::tsValidatingCode},
       "Unknown code",
       {"[ESupportLauncherException] Unknown code"},
       false},
      {"a completed run closes the window without a message",
       {State::tsValidatingCode, State::tsDownloadingApplet, State::tsLaunchingApplet,
        State::tsWaitingAppletShutdown, State::tsAppletTerminated},
       "",
       {},
       true},
  };
  for (const Case& Each : Cases) {
    SCOPED_TRACE(Each.Name);
    View.ErrorBoxes.clear();
    View.Captions.clear();
    View.Text.clear();
    View.Caret = 0;
    Script = std::make_shared<WorkerScript>();
    Script->Stages = Each.Stages;
    Script->Error = Each.Error;
    SubmitCode();
    Script->Start->Open();
    ASSERT_TRUE(RunEnded());
    EXPECT_EQ(View.ErrorBoxes, Each.Boxes);
    EXPECT_EQ(View.Closed, Each.Closed);
    ASSERT_FALSE(View.Captions.empty());
    EXPECT_EQ(View.Captions.back(), Each.Closed ? u"Shutting down" : u"") << "the pane after the run";
    EXPECT_EQ(View.Submit, !Each.Closed) << "Submit follows the complete code again";
    EXPECT_TRUE(Script->Freed) << "nobody else frees the worker";
  }
}

TEST_F(Form29Test, AWindowDestroyedDuringARunOutlastsItsWorker) {
  {
    TForm29 Leaving(View, Loop, [this](std::u16string ACode, platform::MainThreadDispatcher& ADispatcher) {
      return std::make_unique<ScriptedWorker>(std::move(ACode), ADispatcher, Script);
    });
    View.Form = &Leaving;
    View.Type(u"123456789");
    Leaving.ActionSubmitExecute();
    Script->Start->Open();
  }
  View.Form = &Form;
  // The worker's end reports to the window, so the window may not go first.
  EXPECT_EQ(Loop.LiveWorkers(), 0u);
  EXPECT_TRUE(Script->Freed);
}

TEST_F(Form29Test, TheWindowIsHeldWhileARunIsUnderWay) {
  struct Case {
    State Reached;
    bool CanClose;
  };
  for (const Case Each : {Case{State::tsValidatingCode, false}, Case{State::tsDownloadingApplet, false},
                          Case{State::tsLaunchingApplet, false}, Case{State::tsWaitingAppletShutdown, false},
                          Case{State::tsAppletTerminated, true}}) {
    SCOPED_TRACE(static_cast<int>(Each.Reached));
    Script = std::make_shared<WorkerScript>();
    Script->Stages = {Each.Reached};
    Script->Hold = std::make_shared<Gate>();
    SubmitCode();
    Script->Start->Open();
    Script->Reached->Wait();
    bool CanClose = true;
    Form.FormCloseQuery(CanClose);
    EXPECT_EQ(CanClose, Each.CanClose);
    Script->Hold->Open();
    ASSERT_TRUE(RunEnded());
    View.Text.clear();
    View.Caret = 0;
  }
}

TEST_F(Form29Test, ClosingBeforeTheRunBeginsStopsTheWorkerForGood) {
  SubmitCode();
  ASSERT_EQ(Form.LauncherThread()->State(), State::tsNone);
  EXPECT_TRUE(View.Close()) << "a worker still in tsNone does not hold the window";

  Script->Stages = {State::tsValidatingCode};
  Script->Start->Open();
  ASSERT_TRUE(RunEnded());
  EXPECT_FALSE(Script->Began) << "a closed window's worker must not go on to download and start the applet";
  EXPECT_TRUE(View.ErrorBoxes.empty());
}

TEST_F(Form29Test, AFailingErrorBoxLeavesNoDanglingWorker) {
  View.ErrorBoxFails = true;
  Script->Error = "Unknown code";
  SubmitCode();
  Script->Start->Open();
  // The box's failure passes to the worker, which frees itself all the same.
  ASSERT_TRUE(Loop.RunUntil([this] { return Loop.LiveWorkers() == 0; }, kWait));
  EXPECT_EQ(View.ErrorBoxes.size(), 1u);
  EXPECT_EQ(Form.LauncherThread(), nullptr);
}

TEST_F(Form29Test, AQueuedCaptionShowsTheNewestStage) {
  Script->Stages = {State::tsValidatingCode, State::tsDownloadingApplet};
  Script->Hold = std::make_shared<Gate>();
  SubmitCode();
  Script->Start->Open();
  Script->Reached->Wait();  // both stages announced, neither caption call run yet
  Loop.RunPending();
  EXPECT_EQ(View.Captions,
            (std::vector<std::u16string>{u"Downloading remote app", u"Downloading remote app"}));
}

TEST_F(Form29Test, TheStartUpCleanUpRunsOncePerShowAndSparesARunUnderWay) {
  const std::filesystem::path Stale = std::filesystem::path(GetStagingFolder()) / "left-over.bin";
  std::ofstream(Stale) << "stale";
  Form.FormShow();
  EXPECT_TRUE(View.TimerActive);
  SubmitCode();
  Form.TimerLaunchTimer();
  EXPECT_FALSE(View.TimerActive);
  EXPECT_TRUE(std::filesystem::exists(Stale)) << "the files may be the run's own";

  Script->Start->Open();
  ASSERT_TRUE(RunEnded());
  std::ofstream(Stale) << "stale";
  Form.FormShow();
  Form.TimerLaunchTimer();
  EXPECT_FALSE(std::filesystem::exists(Stale));
}

TEST(StageCaption, NamesEveryStageAsTheStatusPaneShowsIt) {
  EXPECT_EQ(StageCaption(State::tsNone), u"");
  EXPECT_EQ(StageCaption(State::tsValidatingCode), u"Validating Code");
  EXPECT_EQ(StageCaption(State::tsDownloadingApplet), u"Downloading remote app");
  EXPECT_EQ(StageCaption(State::tsLaunchingApplet), u"Launching remote app");
  EXPECT_EQ(StageCaption(State::tsWaitingAppletShutdown), u"Waiting");
  EXPECT_EQ(StageCaption(State::tsAppletTerminated), u"Shutting down");
}

}  // namespace
}  // namespace zvq::testing

int main(int argc, char* argv[]) {
  ::testing::InitGoogleTest(&argc, argv);
  // The staging folder of this run, not the user's: set before any thread exists.
  zvq::testing::TempDir Temporary;
#ifdef _WIN32
  _putenv_s("TMP", Temporary.Path().string().c_str());
#else
  ::setenv("TMPDIR", Temporary.Path().c_str(), 1);
#endif
  zvq::PrepareStagingFolder();
  return RUN_ALL_TESTS();
}
