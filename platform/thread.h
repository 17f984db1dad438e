#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zvq::platform {

class Thread;

// The main thread's side of the thread facility: one FIFO of calls handed over by workers, run on the main
// thread one at a time in the order they were handed over. A Synchronize call waits behind every call
// queued before it, which is what puts a worker's queued stage updates ahead of its OnTerminate.
// Subclasses only say how the main thread learns that calls are pending (Qt: a queued invocation that
// drains the FIFO; tests: a loop that waits on it) and which thread is the main one.
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

  // Main thread only: runs every call pending now; returns how many ran.
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

 private:
  friend class Thread;
  void WorkerStarted();
  void WorkerFinished();

  const std::thread::id FMainThread;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::deque<std::function<void()>> FCalls;
  std::size_t FLiveWorkers = 0;
};

// A main loop of its own for tests and headless tools: the thread that constructs it is the main thread.
class ManualMainLoop final : public MainThreadDispatcher {
 public:
  // Runs handed-over calls until APredicate holds or ATimeout passes; returns APredicate().
  bool RunUntil(const std::function<bool()>& APredicate, std::chrono::milliseconds ATimeout);

 protected:
  void Wake() override {}
};

// A worker thread: created suspended or running, an overridable Execute, FreeOnTerminate, and OnTerminate
// run on the main thread after Execute returns while the worker waits for it. A worker that frees itself
// does so on its own thread, after OnTerminate; its dispatcher's WaitForWorkers outlasts it.
class Thread {
 public:
  Thread(bool ACreateSuspended, MainThreadDispatcher& ADispatcher);
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts a suspended worker; EThread "Thread creation error: %s" when the system cannot.
  void Start();

  // Set before Start. A self-freeing worker must not be touched after its OnTerminate has run.
  void SetFreeOnTerminate(bool AValue) { FFreeOnTerminate = AValue; }
  bool FreeOnTerminate() const { return FFreeOnTerminate; }
  std::function<void(Thread& ASender)> OnTerminate;

  // Waits until Execute and OnTerminate are done; only for workers that do not free themselves.
  void WaitFor();

 protected:
  virtual void Execute() = 0;

  // Hands ACall to the main thread and returns at once; it runs before this worker's OnTerminate.
  void Queue(std::function<void()> ACall) { FDispatcher.Post(std::move(ACall)); }
  MainThreadDispatcher& Dispatcher() const { return FDispatcher; }

 private:
  void Run();

  MainThreadDispatcher& FDispatcher;
  bool FFreeOnTerminate = false;
  std::thread FThread;
};

}  // namespace zvq::platform
