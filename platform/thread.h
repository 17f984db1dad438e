#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zvq::platform {

class Thread;

// The main thread's side of the thread facility: one FIFO of calls handed over by workers, run on the main
// thread one at a time in the order they were handed over. A Synchronize call waits behind every call
// queued before it, which is what puts a worker's queued stage updates ahead of its OnTerminate.
// Subclasses only say how the main thread learns that calls are pending (Qt: a queued invocation that
// drains the FIFO; tests: a loop that waits on it) and which thread is the main one.
//
// A subclass must call WaitForWorkers in its own destructor: workers call Wake, which is gone once the
// subclass is destroyed. Destroying a dispatcher while workers still live ends the program.
class MainThreadDispatcher {
 public:
  MainThreadDispatcher();
  virtual ~MainThreadDispatcher();
  MainThreadDispatcher(const MainThreadDispatcher&) = delete;
  MainThreadDispatcher& operator=(const MainThreadDispatcher&) = delete;

  // Runs ACall later on the main thread; returns at once.
  void Post(std::function<void()> ACall);

  // Runs ACall on the main thread and waits until it has run (at once when already on the main thread).
  // An exception ACall raises is passed back to the caller.
  void Synchronize(const std::function<void()>& ACall);

  bool IsMainThread() const { return std::this_thread::get_id() == FMainThread; }

  // Main thread only: runs every call pending now (not those they hand over in turn); returns how many
  // ran. An exception from a call leaves the calls after it pending and passes on to the caller.
  std::size_t RunPending();
  // Main thread only: waits up to AWait for a call and runs it; false when none came.
  bool RunOnePending(std::chrono::milliseconds AWait);

  // Main thread only: blocks until every worker started on this dispatcher has finished and been freed,
  // running handed-over calls meanwhile so that a worker waiting in Synchronize can finish.
  void WaitForWorkers();
  std::size_t LiveWorkers() const;

 protected:
  // Called after a call was added, from any thread; the main thread should then call RunPending soon.
  virtual void Wake() = 0;

  // Waits up to AWait until a call is pending or something the dispatcher tracks has changed (a worker
  // finished, a synchronised call completed); runs at most one call. False when the time passed quietly.
  bool RunOneOrWait(std::chrono::milliseconds AWait);

 private:
  friend class Thread;
  void WorkerStarted();
  void WorkerFinished();
  // Main thread: runs calls until ADone (read under FMutex) holds. Elsewhere: only waits for it.
  void RunCallsUntil(const std::function<bool()>& ADone);
  // Sets AFlag under FMutex and tells every waiter.
  void Signal(bool& AFlag);
  void NotifyLocked();

  const std::thread::id FMainThread;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::deque<std::function<void()>> FCalls;
  std::size_t FLiveWorkers = 0;
  std::uint64_t FGeneration = 0;  // bumped on every change, so a waiter can tell one happened
};

// A main loop of its own for tests and headless tools: the thread that constructs it is the main thread.
class ManualMainLoop final : public MainThreadDispatcher {
 public:
  ManualMainLoop() = default;
  ~ManualMainLoop() override;

  // Runs handed-over calls until APredicate holds or ATimeout passes; returns APredicate().
  // APredicate is checked after every call and every change the dispatcher tracks.
  bool RunUntil(const std::function<bool()>& APredicate, std::chrono::milliseconds ATimeout);

 protected:
  void Wake() override {}
};

// A worker thread: created suspended or running, an overridable Execute, FreeOnTerminate, and OnTerminate
// run on the main thread after Execute returns while the worker waits for it. A worker that frees itself
// does so on its own thread, after OnTerminate; its dispatcher's WaitForWorkers outlasts it.
//
// A base constructor cannot start a thread that calls the derived Execute: the derived part is not built
// yet. So a worker created running (ACreateSuspended false, main thread only) is started by the main
// thread's next turn through the FIFO, once the code that created it has returned to the main loop.
//
// A derived class whose destructor could run while Execute still runs must call WaitFor in its own
// destructor; the base destructor only joins, and by then the derived part is gone.
class Thread {
 public:
  Thread(bool ACreateSuspended, MainThreadDispatcher& ADispatcher);
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts a suspended worker; EThread "Thread creation error: %s" when the system cannot. Starting a
  // worker a second time, or one created running, raises EThread too.
  void Start();

  // Set before Start. A self-freeing worker must not be touched after its OnTerminate has run.
  void SetFreeOnTerminate(bool AValue) { FFreeOnTerminate.store(AValue); }
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }
  std::function<void(Thread& ASender)> OnTerminate;

  // Whatever escaped Execute (or OnTerminate), or null. Read from OnTerminate or after WaitFor.
  std::exception_ptr FatalException() const { return FFatalException; }

  // Waits until Execute and OnTerminate are done; only for workers that do not free themselves. On the
  // main thread it runs handed-over calls meanwhile. Returns at once for a worker not started yet, so a
  // worker created running and destroyed before the main loop's next turn never runs.
  void WaitFor();

 protected:
  virtual void Execute() = 0;

  // Hands ACall to the main thread and returns at once; it runs before this worker's OnTerminate.
  void Queue(std::function<void()> ACall) { FDispatcher.Post(std::move(ACall)); }
  // Runs ACall on the main thread and waits for it; its exception is raised here.
  void Synchronize(const std::function<void()>& ACall) { FDispatcher.Synchronize(ACall); }
  MainThreadDispatcher& Dispatcher() const { return FDispatcher; }

 private:
  struct PendingStart;
  void StartThread();
  void Run();

  MainThreadDispatcher& FDispatcher;
  std::atomic<bool> FFreeOnTerminate{false};
  std::atomic<bool> FStartRequested{false};
  std::exception_ptr FFatalException;  // written by the worker before it signals FDone
  bool FDone = false;                  // guarded by the dispatcher's mutex
  std::shared_ptr<PendingStart> FPendingStart;
  std::mutex FStartMutex;  // held while FThread is assigned, so the worker never sees it half-made
  std::thread FThread;
};

}  // namespace zvq::platform
