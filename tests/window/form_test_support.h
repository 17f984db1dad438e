#pragma once

// Stand-ins for the window's tests, without a toolkit: a gate threads wait at, and a worker whose stages are
// the test's script, run inside the real worker's frame (stop check, clean-up, error text).

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "errors/errors.h"
#include "launch/support_launcher_thread.h"

namespace zvq::testing {

// A one-way gate a worker or a service handler waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard Lock(FMutex);
    FOpen = true;
    FChanged.notify_all();
  }
  void Wait() {
    std::unique_lock Lock(FMutex);
    FChanged.wait(Lock, [this] { return FOpen; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FOpen = false;
};

struct WorkerScript {
  std::shared_ptr<Gate> Start = std::make_shared<Gate>();    // the run waits here, still in tsNone
  std::vector<TSupportThreadState> Stages;                   // announced in turn once the run has begun
  std::shared_ptr<Gate> Reached = std::make_shared<Gate>();  // opened once they are announced
  std::shared_ptr<Gate> Hold;                                // then waited at, when set
  std::string Error;                                         // then raised, when not empty
  std::atomic<bool> Began{false};
  std::atomic<bool> Freed{false};
};

class ScriptedWorker : public TSupportLauncherThread {
 public:
  ScriptedWorker(std::u16string ACode, platform::MainThreadDispatcher& ADispatcher,
                 std::shared_ptr<WorkerScript> AScript)
      : TSupportLauncherThread(true, std::move(ACode), ADispatcher), FScript(std::move(AScript)) {}
  ~ScriptedWorker() override { FScript->Freed = true; }

 protected:
  void Execute() override {
    FScript->Start->Wait();
    TSupportLauncherThread::Execute();
  }
  void RunStages() override {
    FScript->Began = true;
    for (const TSupportThreadState Stage : FScript->Stages) SetThreadState(Stage);
    FScript->Reached->Open();
    if (FScript->Hold) FScript->Hold->Wait();
    if (!FScript->Error.empty()) throw ESupportLauncherException(FScript->Error);
  }

 private:
  std::shared_ptr<WorkerScript> FScript;
};

}  // namespace zvq::testing
