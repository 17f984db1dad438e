// Whole runs through the window against the loopback test service and the stand-in applet: the stage
// captions, the close rule while a launch is under way, the error box, and the window closing itself.

#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <fstream>
#include <sstream>

#include "tests/support/test_service.h"
#include "tests/window/qt_print.h"
#include "tests/window/window_test_support.h"
#include "window/qt_main_thread_dispatcher.h"

namespace zvq::testing {
namespace {

constexpr int kWaitMs = 10000;

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::ostringstream Bytes;
  Bytes << In.rdbuf();
  return Bytes.str();
}

// The applet's pid once it has started and written its report.
pid_t WaitForAppletPid() {
  pid_t Pid = 0;
  const bool Started = QTest::qWaitFor(
      [&] {
        std::ifstream Report(AppletReportFile());
        for (std::string Line; std::getline(Report, Line);) {
          if (Line.rfind("pid=", 0) == 0) Pid = static_cast<pid_t>(std::stol(Line.substr(4)));
        }
        return Pid != 0;
      },
      kWaitMs);
  return Started ? Pid : 0;
}

class WindowRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Service.RemoveAllRoutes();
    Service.ClearRequests();
    std::filesystem::remove(AppletReportFile());
    Form = std::make_unique<QtForm29Window>(
        Dispatcher, [this](std::u16string ACode, platform::MainThreadDispatcher& ADispatcher) {
          TzqServiceEndpoint Endpoint = TzqServiceEndpoint::Compiled();
          Endpoint.ValidationUrl = Service.Url("/validate");
          Endpoint.ExtraTrustAnchor = Service.CaFile().string();
          return std::make_unique<TSupportLauncherThread>(true, std::move(ACode), ADispatcher, std::move(Endpoint));
        });
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  void TearDown() override {
    ValidationGate->Open();
    DownloadGate->Open();
    if (AppletPid != 0) ::kill(AppletPid, SIGKILL);
    Dispatcher.WaitForWorkers();
    Form.reset();
  }

  void ServeValidation(std::string AReply) {
    Service.On("POST", "/validate", [this, AReply](const httplib::Request&, httplib::Response& AResponse) {
      ValidationGate->Wait();
      AResponse.set_content(AReply, "application/json");
    });
  }
  void ServeApplet() {
    Service.On("GET", "/applet", [this](const httplib::Request&, httplib::Response& AResponse) {
      DownloadGate->Wait();
      AResponse.set_content(ReadFile(ZVQ_TEST_APPLET_PATH), "application/octet-stream");
    });
  }
  void SubmitCode(const QString& ADigits) {
    Form->EditCode->clear();
    QTest::keyClicks(Form->EditCode, ADigits);
    QTest::keyClick(Form->EditCode, Qt::Key_Return);
  }
  bool WaitForCaption(const QString& ACaption) {
    return QTest::qWaitFor([&] { return Form->RzFieldStatusThreadState->text() == ACaption; }, kWaitMs);
  }
  bool WaitUntilRunEnded() {
    return QTest::qWaitFor([this] { return Form->Form().LauncherThread() == nullptr && Dispatcher.LiveWorkers() == 0; },
                           kWaitMs);
  }

  TestService& Service = TestService::Shared();
  QtMainThreadDispatcher Dispatcher;
  std::shared_ptr<Gate> ValidationGate = std::make_shared<Gate>();
  std::shared_ptr<Gate> DownloadGate = std::make_shared<Gate>();
  pid_t AppletPid = 0;
  ModalBoxDismisser Boxes;
  std::unique_ptr<QtForm29Window> Form;
};

TEST_F(WindowRunTest, ACompleteRunShowsEachStageRefusesToCloseAndClosesItselfWhenTheAppletExits) {
  ServeValidation(R"({"response":{"url":")" + Service.Url("/applet") + R"("}})");
  ServeApplet();
  SubmitCode(u"123456789"_qs);

  ASSERT_TRUE(WaitForCaption(u"Validating Code"_qs));
  EXPECT_FALSE(Form->close());
  ValidationGate->Open();

  ASSERT_TRUE(WaitForCaption(u"Downloading remote app"_qs));
  EXPECT_FALSE(Form->close());
  DownloadGate->Open();

  AppletPid = WaitForAppletPid();
  ASSERT_NE(AppletPid, 0) << "the applet did not start";
  ASSERT_TRUE(WaitForCaption(u"Waiting"_qs));
  EXPECT_FALSE(Form->close()) << "closing while the applet runs is refused";
  EXPECT_TRUE(Form->isVisible());
  EXPECT_FALSE(Form->ActionSubmit->isEnabled());

  ASSERT_EQ(::kill(AppletPid, SIGTERM), 0);
  ASSERT_TRUE(QTest::qWaitFor([this] { return !Form->isVisible(); }, kWaitMs)) << "the window closes itself";
  AppletPid = 0;
  EXPECT_EQ(Form->RzFieldStatusThreadState->text(), u"Shutting down"_qs);
  EXPECT_TRUE(Boxes.Seen().empty()) << "a completed run shows no message";
  ASSERT_TRUE(WaitUntilRunEnded());
  EXPECT_TRUE(std::filesystem::is_empty(StagingFolder())) << "the worker removed the applet";

  ASSERT_EQ(Service.Requests().size(), 2u);
  EXPECT_EQ(Service.Requests()[0].Body, R"({"code":"123456789"})");
}

TEST_F(WindowRunTest, ARejectedCodeShowsOneErrorBoxThenTheWindowIsReadyForAnotherTry) {
  ValidationGate->Open();
  ServeValidation(R"({"error":{"type":"InvalidCodeException","message":"This code has expired"}})");
  SubmitCode(u"111222333"_qs);

  ASSERT_TRUE(WaitUntilRunEnded());
  ASSERT_EQ(Boxes.Seen().size(), 1u);
  const SeenBox& Box = Boxes.Seen()[0];
  EXPECT_EQ(Box.Title, u"Error"_qs);
  EXPECT_EQ(Box.Text, u"[EInvalidCode] This code has expired"_qs);
  EXPECT_EQ(Box.Icon, QMessageBox::Critical);
  EXPECT_EQ(Box.ButtonCount, 1);
  EXPECT_TRUE(Box.OkIsDefault);

  EXPECT_TRUE(Form->isVisible());
  EXPECT_TRUE(Form->RzFieldStatusThreadState->text().isEmpty());
  EXPECT_TRUE(Form->ActionSubmit->isEnabled());
  EXPECT_TRUE(Form->close()) << "a failed run does not hold the window";
  Form->show();

  SubmitCode(u"111222334"_qs);
  ASSERT_TRUE(WaitUntilRunEnded());
  ASSERT_EQ(Service.Requests().size(), 2u) << "no download was tried, and the second Submit made a new run";
  EXPECT_EQ(Service.Requests()[1].Body, R"({"code":"111222334"})");
  EXPECT_EQ(Boxes.Seen().size(), 2u);
}

}  // namespace
}  // namespace zvq::testing
