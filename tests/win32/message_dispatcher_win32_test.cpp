#include "platform/message_dispatcher_win32.h"
#include "tests/win32/win32_test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zvq::platform {
namespace {


using namespace std::chrono_literals;
using test::PumpMessagesUntil;

class SelfFreeingWorker final : public Thread {
 public:
  SelfFreeingWorker(MainThreadDispatcher& ADispatcher, std::function<void(SelfFreeingWorker&)> ABody)
      : Thread(true, ADispatcher), FBody(std::move(ABody)) {
    SetFreeOnTerminate(true);
  }
  using Thread::Queue;
  using Thread::Synchronize;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(SelfFreeingWorker&)> FBody;
};

TEST(WindowMessageDispatcher, HandedOverCallsRunInTheMessageLoopInOrderAndBeforeOnTerminate) {
  WindowMessageDispatcher dispatcher(nullptr);
  // More calls per worker than a thread's message queue holds messages, so one message per call would fail.
  constexpr int kWorkers = 3;
  constexpr int kCalls = 12000;
  std::map<int, std::vector<int>> seen;  // main thread only
  std::atomic<int> offMain{0};
  std::atomic<int> terminated{0};
  const auto record = [&](int AId, int AValue) {
    if (!dispatcher.IsMainThread()) offMain.fetch_add(1);
    seen[AId].push_back(AValue);
  };
  for (int id = 0; id < kWorkers; ++id) {
    auto* worker = new SelfFreeingWorker(dispatcher, [&, id](SelfFreeingWorker& AWorker) {
      for (int i = 0; i < kCalls; ++i) {
        if (i == kCalls / 2) AWorker.Synchronize([&, id] { record(id, -2); });
        AWorker.Queue([&, id, i] { record(id, i); });
      }
    });
    worker->OnTerminate = [&, id](Thread&) {
      record(id, -1);
      terminated.fetch_add(1);
    };
    worker->Start();
  }
  ASSERT_TRUE(PumpMessagesUntil([&] { return terminated.load() == kWorkers && dispatcher.LiveWorkers() == 0; }));

  EXPECT_EQ(offMain.load(), 0);
  std::vector<int> expected;
  for (int i = 0; i < kCalls; ++i) {
    if (i == kCalls / 2) expected.push_back(-2);
    expected.push_back(i);
  }
  expected.push_back(-1);
  for (int id = 0; id < kWorkers; ++id) EXPECT_EQ(seen[id], expected) << "worker " << id;
}

TEST(WindowMessageDispatcher, ACallThatRaisesIsReportedAndTheCallsBehindItStillRun) {
  std::vector<std::string> reported;
  WindowMessageDispatcher dispatcher([&](const std::exception_ptr& AError) {
    try {
      std::rethrow_exception(AError);
    } catch (const std::exception& error) {
      reported.emplace_back(error.what());
    }
  });
  std::vector<int> ran;
  bool terminated = false;
  auto* worker = new SelfFreeingWorker(dispatcher, [&](SelfFreeingWorker& AWorker) {
    AWorker.Queue([&] { ran.push_back(1); });
    AWorker.Queue([] { throw std::runtime_error("call failed"); });
    AWorker.Queue([&] { ran.push_back(3); });
  });
  worker->OnTerminate = [&](Thread&) { terminated = true; };
  worker->Start();
  ASSERT_TRUE(PumpMessagesUntil([&] { return terminated; }));
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
  EXPECT_EQ(reported, std::vector<std::string>{"call failed"});
}

TEST(WindowMessageDispatcher, DestroyingItWaitsForWorkersAndRunsTheirLastCalls) {
  std::atomic<bool> release{false};
  bool lastCallRan = false;
  bool terminated = false;
  std::thread releaser([&] {
    std::this_thread::sleep_for(50ms);
    release.store(true);
  });
  {
    WindowMessageDispatcher dispatcher(nullptr);
    auto* worker = new SelfFreeingWorker(dispatcher, [&](SelfFreeingWorker& AWorker) {
      while (!release.load()) std::this_thread::sleep_for(1ms);
      AWorker.Queue([&] { lastCallRan = true; });
    });
    worker->OnTerminate = [&](Thread&) { terminated = true; };
    worker->Start();
  }
  releaser.join();
  EXPECT_TRUE(lastCallRan);
  EXPECT_TRUE(terminated);
}

}  // namespace
}  // namespace zvq::platform
