#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "launch/staging.h"
#include "launch/support_launcher_thread.h"
#include "tests/support/scripted_service.h"
#include "tests/support/test_service.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;
using testing::TestService;
using ::testing::ElementsAre;
using State = TSupportThreadState;

// Set once in main, before any thread exists: the worker's staging folder and the applet's report file
// come from the environment.
testing::TempDir* gTemporary = nullptr;

fs::path ReportFile() { return gTemporary->Path() / "applet-report.txt"; }

std::string ReadFile(const fs::path& APath) {
  std::ifstream file(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::multimap<std::string, std::string> ReadReport() {
  std::multimap<std::string, std::string> report;
  std::istringstream lines(ReadFile(ReportFile()));
  for (std::string line; std::getline(lines, line);) {
    auto equals = line.find('=');
    if (equals != std::string::npos) report.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  return report;
}

std::vector<fs::path> FilesInStagingFolder() {
  std::vector<fs::path> files;
  if (!fs::exists(GetStagingFolder())) return files;
  for (const auto& entry : fs::directory_iterator(GetStagingFolder()))
    if (!entry.is_directory()) files.push_back(entry.path());
  return files;
}

// Process handles this process holds: on Linux each is a descriptor onto a pidfd.
int OpenProcessHandles() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    count += fs::read_symlink(entry.path(), error) == "anon_inode:[pidfd]";
  }
  return count;
}

// What one run showed, as the window would see it.
struct RunRecord {
  std::vector<State> AnnouncedOnWorker;  // AStage as passed to OnStateChange, on the worker thread
  std::vector<State> SeenOnMain;         // State() read when the queued call ran on the main thread
  bool QueuedCallsAfterTerminate = false;
  bool TerminatedOnMain = false;
  std::optional<State> FinalState;
  std::string Error;
  int ProcessHandlesAtEnd = -1;
};

class LaunchRun : public ::testing::Test {
 protected:
  LaunchRun() {
    service().RemoveAllRoutes();
    service().ClearRequests();
    fs::remove(ReportFile());
    ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "0", 1);
    ::setenv("ZVQ_TEST_APPLET_EXIT", "0", 1);
    PrepareStagingFolder();
  }
  ~LaunchRun() override { EXPECT_THAT(FilesInStagingFolder(), ::testing::IsEmpty()); }

  static TestService& service() { return TestService::Shared(); }

  void ValidationReplies(std::string ABody) {
    service().On("POST", "/validate", [ABody](const httplib::Request&, httplib::Response& AResponse) {
      AResponse.set_content(ABody, "application/json");
    });
  }
  void AcceptCodeAndServeApplet() {
    ValidationReplies(R"({"response":{"url":")" + service().Url("/applet") + R"("}})");
    service().On("GET", "/applet", [](const httplib::Request&, httplib::Response& AResponse) {
      AResponse.set_content(ReadFile(ZVQ_TEST_APPLET_PATH), "application/octet-stream");
    });
  }
  int RequestsFor(const std::string& AMethod) {
    int count = 0;
    for (const auto& request : service().Requests()) count += request.Method == AMethod;
    return count;
  }

  // Runs one worker as the window does: suspended, both callbacks hooked, self-freeing, started.
  RunRecord Run(const std::u16string& ACode = u"123 456 789") {
    TzqServiceEndpoint endpoint;
    endpoint.ValidationUrl = service().Url("/validate");
    endpoint.ExtraTrustAnchor = service().CaFile().string();
    return Run(endpoint, ACode);
  }
  RunRecord Run(const TzqServiceEndpoint& AEndpoint, const std::u16string& ACode = u"123 456 789") {
    platform::ManualMainLoop loop;
    RunRecord record;
    bool terminated = false;
    auto* worker = new TSupportLauncherThread(true, ACode, loop, AEndpoint);
    std::mutex announcedMutex;
    worker->OnStateChange = [&](TSupportLauncherThread& ASender, State AStage) {
      {
        std::lock_guard lock(announcedMutex);
        record.AnnouncedOnWorker.push_back(AStage);
      }
      loop.Post([&, sender = &ASender] {
        if (terminated) record.QueuedCallsAfterTerminate = true;
        else record.SeenOnMain.push_back(sender->State());
      });
    };
    worker->OnTerminate = [&](platform::Thread& ASender) {
      auto& sender = static_cast<TSupportLauncherThread&>(ASender);
      record.TerminatedOnMain = loop.IsMainThread();
      record.FinalState = sender.State();
      record.Error = sender.ThreadError();
      record.ProcessHandlesAtEnd = OpenProcessHandles();
      terminated = true;
    };
    worker->SetFreeOnTerminate(true);
    worker->Start();
    EXPECT_TRUE(loop.RunUntil([&] { return terminated; }, std::chrono::seconds(60)));
    loop.WaitForWorkers();
    return record;
  }
};

TEST_F(LaunchRun, ACompleteRunAnnouncesEveryStageOnceInOrderBeforeItEnds) {
  AcceptCodeAndServeApplet();
  RunRecord run = Run();
  EXPECT_EQ(run.Error, "");
  EXPECT_EQ(run.FinalState, State::tsAppletTerminated);
  EXPECT_THAT(run.AnnouncedOnWorker,
              ElementsAre(State::tsValidatingCode, State::tsDownloadingApplet, State::tsLaunchingApplet,
                          State::tsWaitingAppletShutdown, State::tsAppletTerminated));
  EXPECT_EQ(run.SeenOnMain.size(), 5u);
  EXPECT_FALSE(run.QueuedCallsAfterTerminate);
  EXPECT_TRUE(run.TerminatedOnMain);
  EXPECT_EQ(run.ProcessHandlesAtEnd, 0) << "the applet's handle outlived its stage";
  EXPECT_EQ(RequestsFor("POST"), 1);
  EXPECT_EQ(RequestsFor("GET"), 1);
}

TEST_F(LaunchRun, TheAppletStartsFromTheStagingFolderWithOnlyItsPathInItsOwnGroup) {
  AcceptCodeAndServeApplet();
  ASSERT_EQ(Run().Error, "");
  auto report = ReadReport();
  ASSERT_FALSE(report.empty()) << "the applet did not run";
  EXPECT_EQ(report.find("argc")->second, "1");
  EXPECT_EQ(report.find("argv0")->second, GetAppletPath());
  EXPECT_EQ(fs::path(report.find("cwd")->second), fs::path(GetStagingFolder()));
  EXPECT_EQ(report.find("pgid")->second, report.find("pid")->second);
  std::vector<std::string> descriptors;
  for (auto [it, end] = report.equal_range("fd"); it != end; ++it) descriptors.push_back(it->second);
  EXPECT_THAT(descriptors, ::testing::UnorderedElementsAre("0", "1", "2"));
}

TEST_F(LaunchRun, AnAppletThatRunsForSecondsIsWaitedForWithoutATimeOut) {
  AcceptCodeAndServeApplet();
  ::setenv("ZVQ_TEST_APPLET_SLEEP_MS", "3000", 1);
  ::setenv("ZVQ_TEST_APPLET_EXIT", "7", 1);
  auto started = std::chrono::steady_clock::now();
  RunRecord run = Run();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  // Its exit status is the applet's own business.
  EXPECT_EQ(run.Error, "");
  EXPECT_EQ(run.FinalState, State::tsAppletTerminated);
}

struct FailureCase {
  const char* Name;
  std::string ValidationReply;
  int DownloadStatus;  // 0: no download route
  State StageLeft;
  std::string Error;
  int Downloads;
  std::string DownloadBody = ReadFile(ZVQ_TEST_APPLET_PATH);
  friend void PrintTo(const FailureCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }
};

class FailedRun : public LaunchRun, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedRun, StopsWhereItFailedWithTheTextTheUserSees) {
  const FailureCase& failure = GetParam();
  std::string reply = failure.ValidationReply;
  auto pos = reply.find("$APPLET");
  if (pos != std::string::npos) reply.replace(pos, 7, service().Url("/applet"));
  ValidationReplies(reply);
  if (failure.DownloadStatus != 0) {
    service().On("GET", "/applet", [status = failure.DownloadStatus, body = failure.DownloadBody](
                                       const httplib::Request&, httplib::Response& AResponse) {
      AResponse.status = status;
      AResponse.set_content(body, "application/octet-stream");
    });
  }
  RunRecord run = Run();
  EXPECT_EQ(run.Error, failure.Error);
  EXPECT_EQ(run.FinalState, failure.StageLeft);
  EXPECT_EQ(run.AnnouncedOnWorker.back(), failure.StageLeft);
  EXPECT_EQ(RequestsFor("GET"), failure.Downloads);
  EXPECT_FALSE(fs::exists(ReportFile())) << "the applet must not have run";
}

const std::string kMissingFile = "[EOSError] System Error.  Code: 2.\r\nNo such file or directory";

INSTANTIATE_TEST_SUITE_P(
    Paths, FailedRun,
    ::testing::Values(
        FailureCase{"RejectedCode", R"({"error":{"type":"InvalidCodeException","message":"Unknown code"}})", 200,
                    State::tsValidatingCode, "[EInvalidCode] Unknown code", 0},
        FailureCase{"StaleCall", R"({"error":{"type":"StaleCallException","message":"late"}})", 200,
                    State::tsValidatingCode, "[EStaleCall] Error validating code - please try again", 0},
        FailureCase{"UnknownError", R"({"error":{"type":"Oops","message":"m"}})", 200, State::tsValidatingCode,
                    "[ESupportLauncherException] Unknown error occurred validating code", 0},
        FailureCase{"DownloadNotFound", R"({"response":{"url":"$APPLET"}})", 404, State::tsDownloadingApplet,
                    "[EDownloadError] Error downloading applet", 1},
        FailureCase{"UnusableReplyFailsAtLaunch", "<html>maintenance</html>", 200, State::tsLaunchingApplet,
                    kMissingFile, 0},
        FailureCase{"EmptyDownloadFailsAtLaunch", R"({"response":{"url":"$APPLET"}})", 204,
                    State::tsLaunchingApplet, kMissingFile, 1},
        FailureCase{"AOneByteDownloadIsKeptAndRefusedByTheSystem", R"({"response":{"url":"$APPLET"}})", 200,
                    State::tsLaunchingApplet, "[EOSError] System Error.  Code: 8.\r\nExec format error", 1,
                    "x"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(LaunchRun, ADownloadBrokenOffByTheServiceSavesAndStartsNothing) {
  using testing::FaultMode;
  static auto scripted = testing::ScriptedService::Start();
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = scripted.Url("/validate");
  endpoint.ExtraTrustAnchor = scripted.CaFile().string();
  endpoint.Transport.StallTimeout = std::chrono::milliseconds(500);
  for (FaultMode fault : {FaultMode::fmResetMidBody, FaultMode::fmShortBody, FaultMode::fmDrip}) {
    SCOPED_TRACE(static_cast<int>(fault));
    scripted.Clear();
    scripted.Reply("/validate", 200, {}, R"({"response":{"url":")" + scripted.Url("/applet") + R"("}})");
    testing::ScriptedReply applet{200, {}, ReadFile(ZVQ_TEST_APPLET_PATH), fault, std::chrono::seconds(2)};
    if (fault == FaultMode::fmDrip) applet.Body.resize(4);
    scripted.Reply("/applet", applet);
    RunRecord run = Run(endpoint);
    EXPECT_THAT(run.Error, ::testing::StartsWith("[ENetHTTPClientException] Error receiving data: ("));
    EXPECT_EQ(run.FinalState, State::tsDownloadingApplet);
    EXPECT_THAT(FilesInStagingFolder(), ::testing::IsEmpty());
    EXPECT_FALSE(fs::exists(ReportFile())) << "the applet must not have run";
  }
}

TEST_F(LaunchRun, AFileLeftByAnEarlierRunIsNeverStarted) {
  fs::copy_file(ZVQ_TEST_APPLET_PATH, GetAppletPath(), fs::copy_options::overwrite_existing);
  ValidationReplies("not json");
  RunRecord run = Run();
  EXPECT_EQ(run.Error, kMissingFile);
  EXPECT_FALSE(fs::exists(ReportFile()));
}

// A pipe there would have blocked the save for good, had the save opened it.
TEST_F(LaunchRun, APipeAtTheAppletPathNeitherBlocksTheRunNorSurvivesIt) {
  ASSERT_EQ(::mkfifo(GetAppletPath().c_str(), 0600), 0);
  AcceptCodeAndServeApplet();
  RunRecord run = Run();
  EXPECT_EQ(run.Error, "");
  EXPECT_EQ(run.FinalState, State::tsAppletTerminated);
  EXPECT_FALSE(ReadReport().empty()) << "the downloaded applet did not run";
}

TEST_F(LaunchRun, AnUnreachableServiceFailsInValidation) {
  testing::ClosedPort closed;
  platform::ManualMainLoop loop;
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = closed.Url("/validate");
  TSupportLauncherThread worker(true, u"123456789", loop, endpoint);
  std::string error;
  worker.OnTerminate = [&](platform::Thread& ASender) {
    error = static_cast<TSupportLauncherThread&>(ASender).ThreadError();
  };
  worker.Start();
  worker.WaitFor();
  EXPECT_THAT(error, ::testing::StartsWith("[ENetHTTPClientException] Error sending data: (7) "));
  EXPECT_EQ(worker.State(), State::tsValidatingCode);
}

TEST_F(LaunchRun, AWorkerItsOwnerFreesMidRunFinishesTheRunFirst) {
  std::promise<void> arrived;
  std::promise<void> release;
  service().On("POST", "/validate", [&arrived, released = release.get_future().share()](
                                        const httplib::Request&, httplib::Response& AResponse) {
    arrived.set_value();
    released.wait();
    AResponse.set_content(R"({"error":{"type":"InvalidCodeException","message":"Unknown code"}})",
                          "application/json");
  });
  platform::ManualMainLoop loop;
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = service().Url("/validate");
  endpoint.ExtraTrustAnchor = service().CaFile().string();
  std::string error;
  std::thread releaser;
  {
    TSupportLauncherThread worker(true, u"123456789", loop, endpoint);
    worker.OnTerminate = [&](platform::Thread& ASender) {
      error = static_cast<TSupportLauncherThread&>(ASender).ThreadError();
    };
    worker.Start();
    arrived.get_future().wait();
    releaser = std::thread([&release] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      release.set_value();
    });
  }  // freed here, the reply still to come
  releaser.join();
  EXPECT_EQ(error, "[EInvalidCode] Unknown code");
}

TEST(LaunchWorker, ASuspendedWorkerDoesNothingUntilStarted) {
  platform::ManualMainLoop loop;
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = TestService::Shared().Url("/validate");
  int announcements = 0;
  {
    TSupportLauncherThread worker(true, u"123456789", loop, endpoint);
    worker.OnStateChange = [&](TSupportLauncherThread&, State) { ++announcements; };
    EXPECT_EQ(worker.State(), State::tsNone);
    EXPECT_EQ(worker.ThreadError(), "");
  }
  EXPECT_EQ(announcements, 0);
}

// Stages of the test's own inside the real worker's run.
class StandInWorker : public TSupportLauncherThread {
 public:
  StandInWorker(platform::MainThreadDispatcher& ADispatcher, std::function<void(StandInWorker&)> AStages)
      : TSupportLauncherThread(true, u"123 456 789", ADispatcher), FStages(std::move(AStages)) {}
  using TSupportLauncherThread::SetThreadState;

 protected:
  void RunStages() override { FStages(*this); }

 private:
  std::function<void(StandInWorker&)> FStages;
};

TEST(LaunchWorker, ARepeatedStageIsAnnouncedOnce) {
  platform::ManualMainLoop loop;
  StandInWorker worker(loop, [](StandInWorker& AWorker) {
    for (State stage : {State::tsValidatingCode, State::tsValidatingCode, State::tsDownloadingApplet,
                        State::tsDownloadingApplet})
      AWorker.SetThreadState(stage);
  });
  std::vector<State> announced;
  worker.OnStateChange = [&](TSupportLauncherThread&, State AStage) { announced.push_back(AStage); };
  worker.Start();
  worker.WaitFor();
  EXPECT_THAT(announced, ElementsAre(State::tsValidatingCode, State::tsDownloadingApplet));
}

TEST(LaunchWorker, AStopReachesOnlyAWorkerThatHasNotBegun) {
  platform::ManualMainLoop loop;
  bool began = false;
  std::optional<bool> stopFromInside;
  StandInWorker stopped(loop, [&](StandInWorker&) { began = true; });
  EXPECT_TRUE(stopped.StopBeforeFirstStage());
  EXPECT_TRUE(stopped.StopBeforeFirstStage()) << "telling it twice changes nothing";
  bool terminated = false;
  stopped.OnTerminate = [&](platform::Thread&) { terminated = true; };
  stopped.Start();
  stopped.WaitFor();
  EXPECT_FALSE(began);
  EXPECT_TRUE(terminated) << "a stopped worker still ends the usual way";
  EXPECT_EQ(stopped.State(), State::tsNone);
  EXPECT_EQ(stopped.ThreadError(), "");

  StandInWorker running(loop, [&](StandInWorker& AWorker) { stopFromInside = AWorker.StopBeforeFirstStage(); });
  running.Start();
  running.WaitFor();
  EXPECT_EQ(stopFromInside, false) << "a worker that has begun goes on";
}

}  // namespace
}  // namespace zvq

int main(int argc, char** argv) {
  // As the launcher's start does: the runs wait for the applet whatever disposition the caller left us.
  zvq::platform::ResetChildExitSignal();
  ::testing::InitGoogleTest(&argc, argv);
  zvq::testing::TempDir temporary;
  zvq::gTemporary = &temporary;
  std::filesystem::permissions(temporary.Path(), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  ::setenv("TMPDIR", temporary.Path().c_str(), 1);
  ::setenv("ZVQ_TEST_APPLET_REPORT", zvq::ReportFile().c_str(), 1);
  return RUN_ALL_TESTS();
}
