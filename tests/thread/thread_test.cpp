#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors/errors.h"

namespace zvq::platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 10s;  // only reached when something hangs

// A worker whose body is given by the test. Its destructor waits for a worker that does not free itself,
// as every derived worker must: the base destructor runs after the body's state is gone.
class TestWorker : public Thread {
 public:
  using Body = std::function<void(TestWorker&)>;
  TestWorker(bool ACreateSuspended, MainThreadDispatcher& ADispatcher, Body ABody,
             std::function<void()> AOnDestroy = nullptr)
      : Thread(ACreateSuspended, ADispatcher), FBody(std::move(ABody)), FOnDestroy(std::move(AOnDestroy)) {}
  ~TestWorker() override {
    if (!FreeOnTerminate()) WaitFor();
    if (FOnDestroy) FOnDestroy();
  }
  using Thread::Queue;
  using Thread::Synchronize;

  bool FConstructed = true;  // set by the derived constructor; a start from the base would not see it

 protected:
  void Execute() override { FBody(*this); }

 private:
  Body FBody;
  std::function<void()> FOnDestroy;
};

std::string MessageOf(const std::exception_ptr& AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const Exception& error) {
    return error.ClassName() + ": " + error.Message();
  } catch (int value) {
    return "int " + std::to_string(value);
  } catch (...) {
    return "other";
  }
}

TEST(Thread, SuspendedWorkerRunsOnlyAfterStartAndStartingTwiceRaises) {
  ManualMainLoop loop;
  std::atomic<int> runs{0};
  TestWorker worker(true, loop, [&](TestWorker&) { runs.fetch_add(1); });
  EXPECT_FALSE(loop.RunUntil([&] { return runs.load() != 0; }, 30ms));
  EXPECT_EQ(loop.LiveWorkers(), 0u);

  worker.Start();
  EXPECT_THROW(worker.Start(), EThread);
  worker.WaitFor();
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(loop.LiveWorkers(), 0u);
}

TEST(Thread, WorkerCreatedRunningStartsOnTheMainLoopOnceFullyConstructed) {
  ManualMainLoop loop;
  std::atomic<bool> sawConstructed{false};
  auto worker = std::make_unique<TestWorker>(
      false, loop, [&](TestWorker& self) { sawConstructed.store(self.FConstructed); });
  EXPECT_THROW(worker->Start(), EThread);
  EXPECT_TRUE(loop.RunUntil([&] { return sawConstructed.load(); }, kPatience));
  worker->WaitFor();

  // Destroyed before the main loop's next turn: never started.
  std::atomic<int> runs{0};
  auto early = std::make_unique<TestWorker>(false, loop, [&](TestWorker&) { runs.fetch_add(1); });
  early.reset();
  EXPECT_EQ(loop.RunPending(), 1u);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(loop.LiveWorkers(), 0u);

  // Off the main thread there is no main-loop turn to wait for.
  std::thread other([&] { EXPECT_THROW(TestWorker(false, loop, [](TestWorker&) {}), EThread); });
  other.join();
}

struct OrderRow {
  const char* FName;
  int FWorkers;
  int FCalls;
  bool FFreeOnTerminate;
};

class QueuedCallOrder : public testing::TestWithParam<OrderRow> {};

TEST_P(QueuedCallOrder, RunOnTheMainThreadInOrderAndBeforeOnTerminate) {
  const OrderRow row = GetParam();
  ManualMainLoop loop;
  // Written only on the main thread, so no lock: a call run elsewhere shows up under TSan or below.
  std::map<int, std::vector<int>> seen;
  std::atomic<int> offMain{0};
  std::atomic<int> destroyed{0};
  std::vector<std::unique_ptr<TestWorker>> owned;
  for (int id = 0; id < row.FWorkers; ++id) {
    auto worker = std::make_unique<TestWorker>(
        true, loop,
        [&, id](TestWorker& self) {
          for (int i = 0; i < row.FCalls; ++i) {
            self.Queue([&, id, i] {
              if (!loop.IsMainThread()) offMain.fetch_add(1);
              seen[id].push_back(i);
            });
          }
        },
        [&] { destroyed.fetch_add(1); });
    worker->OnTerminate = [&, id](Thread&) {
      if (!loop.IsMainThread()) offMain.fetch_add(1);
      seen[id].push_back(-1);
    };
    worker->SetFreeOnTerminate(row.FFreeOnTerminate);
    worker->Start();
    if (row.FFreeOnTerminate) {
      (void)worker.release();  // the worker frees itself
    } else {
      owned.push_back(std::move(worker));
    }
  }
  loop.WaitForWorkers();
  owned.clear();

  EXPECT_EQ(offMain.load(), 0);
  EXPECT_EQ(destroyed.load(), row.FWorkers);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(row.FWorkers));
  std::vector<int> expected;
  for (int i = 0; i < row.FCalls; ++i) expected.push_back(i);
  expected.push_back(-1);
  for (const auto& [id, calls] : seen) EXPECT_EQ(calls, expected) << "worker " << id;
}

INSTANTIATE_TEST_SUITE_P(Workers, QueuedCallOrder,
                         testing::Values(OrderRow{"OneOwnedWorker", 1, 500, false},
                                         OrderRow{"FourInterleavedOwned", 4, 300, false},
                                         OrderRow{"FiftySelfFreeingWorkersOfAHundredCalls", 50, 100, true}),
                         [](const testing::TestParamInfo<OrderRow>& AInfo) {
                           return std::string(AInfo.param.FName);
                         });

TEST(Thread, SelfFreeingWorkerIsAliveInOnTerminateAndFreedOnItsOwnThreadBeforeWaitForWorkersReturns) {
  std::atomic<int> destroyed{0};
  std::atomic<int> destroyedOnMain{0};
  auto onDestroy = [&](const MainThreadDispatcher& ALoop) {
    return [&] {
      // Widens the window in which a WaitForWorkers that does not wait for the free would return.
      std::this_thread::sleep_for(20ms);
      if (ALoop.IsMainThread()) destroyedOnMain.fetch_add(1);
      destroyed.fetch_add(1);
    };
  };
  bool aliveInOnTerminate = false;
  {
    ManualMainLoop loop;
    auto* worker = new TestWorker(
        true, loop, [](TestWorker&) {}, onDestroy(loop));
    worker->OnTerminate = [&](Thread& ASender) {
      aliveInOnTerminate = &ASender == worker && loop.IsMainThread() && destroyed.load() == 0;
      // The worker waits for OnTerminate; given time, it still must not free itself meanwhile.
      std::this_thread::sleep_for(20ms);
      aliveInOnTerminate = aliveInOnTerminate && destroyed.load() == 0;
    };
    worker->SetFreeOnTerminate(true);
    worker->Start();
    EXPECT_THROW(worker->WaitFor(), EThread);  // still alive: it waits for OnTerminate, which has not run
    loop.WaitForWorkers();
    EXPECT_TRUE(aliveInOnTerminate);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(loop.LiveWorkers(), 0u);

    // The loop's destructor, too, outlasts a self-freeing worker that still needs the main thread.
    auto* late = new TestWorker(
        true, loop, [](TestWorker& self) { self.Synchronize([] {}); }, onDestroy(loop));
    late->SetFreeOnTerminate(true);
    late->Start();
  }
  EXPECT_EQ(destroyed.load(), 2);
  EXPECT_EQ(destroyedOnMain.load(), 0);
}

TEST(Thread, OwnedWorkerIsJoinedByWaitForOrByItsDestructorRunningOnTerminateMeanwhile) {
  ManualMainLoop loop;
  std::atomic<bool> release{false};
  std::atomic<int> terminated{0};
  auto body = [&](TestWorker&) {
    while (!release.load()) std::this_thread::yield();
  };

  TestWorker waited(true, loop, body);
  waited.OnTerminate = [&](Thread&) { terminated.fetch_add(1); };
  waited.WaitFor();  // never started: returns at once
  waited.Start();
  release.store(true);
  waited.WaitFor();
  EXPECT_EQ(terminated.load(), 1);
  waited.WaitFor();  // already joined

  release.store(false);
  auto destroyedWhileRunning = std::make_unique<TestWorker>(true, loop, body);
  destroyedWhileRunning->OnTerminate = [&](Thread&) { terminated.fetch_add(1); };
  destroyedWhileRunning->Start();
  release.store(true);
  destroyedWhileRunning.reset();
  EXPECT_EQ(terminated.load(), 2);

  std::atomic<bool> selfWaitRaised{false};
  TestWorker selfWaiting(true, loop, [&](TestWorker& self) {
    try {
      self.WaitFor();
    } catch (const EThread&) {
      selfWaitRaised.store(true);
    }
  });
  selfWaiting.Start();
  selfWaiting.WaitFor();
  EXPECT_TRUE(selfWaitRaised.load());
  EXPECT_EQ(loop.LiveWorkers(), 0u);
}

TEST(Thread, FailuresOfExecuteAndOnTerminateAreKeptAndTheWorkerStillEnds) {
  struct Row {
    const char* FName;
    std::function<void(TestWorker&)> FBody;
    std::function<void(Thread&)> FOnTerminate;
    std::string FExpected;
    bool FSeenInOnTerminate;
  };
  const std::vector<Row> rows{
      {"an exception of ours from Execute",
       [](TestWorker&) { throw EDownloadError("Error downloading applet"); }, nullptr,
       "EDownloadError: Error downloading applet", true},
      {"a foreign object from Execute", [](TestWorker&) { throw 7; }, nullptr, "int 7", true},
      {"an exception from OnTerminate", [](TestWorker&) {}, [](Thread&) { throw EThread("late"); },
       "EThread: late", false},
  };
  ManualMainLoop loop;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.FName);
    std::string seenInOnTerminate;
    TestWorker worker(true, loop, row.FBody);
    worker.OnTerminate = [&](Thread& ASender) {
      if (ASender.FatalException()) seenInOnTerminate = MessageOf(ASender.FatalException());
      if (row.FOnTerminate) row.FOnTerminate(ASender);
    };
    worker.Start();
    worker.WaitFor();
    ASSERT_TRUE(worker.FatalException());
    EXPECT_EQ(MessageOf(worker.FatalException()), row.FExpected);
    EXPECT_EQ(seenInOnTerminate, row.FSeenInOnTerminate ? row.FExpected : "");
  }
}

TEST(Dispatcher, SynchronizeRunsBehindQueuedCallsAndPassesExceptionsBack) {
  ManualMainLoop loop;
  std::vector<std::string> order;  // main thread only
  std::string caught;
  TestWorker worker(true, loop, [&](TestWorker& self) {
    self.Queue([&] { order.push_back("queued"); });
    self.Synchronize([&] { order.push_back(loop.IsMainThread() ? "synchronized on main" : "elsewhere"); });
    try {
      self.Synchronize([] { throw EStaleCall("Error validating code - please try again"); });
    } catch (const EStaleCall& error) {
      caught = error.Message();
    }
  });
  worker.Start();
  worker.WaitFor();
  EXPECT_EQ(order, (std::vector<std::string>{"queued", "synchronized on main"}));
  EXPECT_EQ(caught, "Error validating code - please try again");

  // On the main thread Synchronize runs at once, ahead of what is queued.
  loop.Post([&] { order.push_back("posted"); });
  loop.Synchronize([&] { order.push_back("at once"); });
  EXPECT_THROW(loop.Synchronize([] { throw EThread("x"); }), EThread);
  EXPECT_EQ(loop.RunPending(), 1u);
  EXPECT_EQ(order.back(), "posted");
  EXPECT_EQ(order[order.size() - 2], "at once");
}

TEST(Dispatcher, RunPendingRunsOnlyWhatIsPendingAndAFailingCallLeavesTheRest) {
  ManualMainLoop loop;
  std::vector<int> ran;
  loop.Post([&] {
    ran.push_back(1);
    loop.Post([&] { ran.push_back(3); });
  });
  loop.Post([&] { ran.push_back(2); });
  EXPECT_EQ(loop.RunPending(), 2u);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_EQ(loop.RunPending(), 1u);
  EXPECT_EQ(loop.RunPending(), 0u);

  loop.Post([] { throw EThread("first"); });
  loop.Post([&] { ran.push_back(4); });
  EXPECT_THROW(loop.RunPending(), EThread);
  EXPECT_TRUE(loop.RunOnePending(0ms));
  EXPECT_FALSE(loop.RunOnePending(5ms));
  EXPECT_EQ(ran.back(), 4);

  std::thread other([&] { EXPECT_THROW(loop.RunPending(), EThread); });
  other.join();
}

// The shape of a GUI loop: the main thread only learns of calls through Wake and drains them with RunPending.
class WokenDispatcher final : public MainThreadDispatcher {
 public:
  ~WokenDispatcher() override { WaitForWorkers(); }
  void WaitForWake(std::chrono::milliseconds ATimeout) {
    std::unique_lock lock(FMutex);
    FWoken.wait_for(lock, ATimeout, [this] { return FWakes != 0; });
    FWakes = 0;
  }

 protected:
  void Wake() override {
    std::lock_guard lock(FMutex);
    ++FWakes;
    FWoken.notify_one();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FWoken;
  int FWakes = 0;
};

TEST(Dispatcher, AWokenMainLoopDrainsEveryCallAndOnTerminate) {
  WokenDispatcher dispatcher;
  int calls = 0;
  bool terminated = false;
  auto* worker = new TestWorker(true, dispatcher, [&](TestWorker& self) {
    for (int i = 0; i < 50; ++i) self.Queue([&] { ++calls; });
  });
  worker->OnTerminate = [&](Thread&) { terminated = true; };
  worker->SetFreeOnTerminate(true);
  worker->Start();
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!terminated && std::chrono::steady_clock::now() < deadline) {
    dispatcher.WaitForWake(100ms);
    dispatcher.RunPending();
  }
  EXPECT_TRUE(terminated);
  EXPECT_EQ(calls, 50);
  dispatcher.WaitForWorkers();
  EXPECT_EQ(dispatcher.LiveWorkers(), 0u);
}

}  // namespace
}  // namespace zvq::platform
