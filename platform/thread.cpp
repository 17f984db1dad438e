#include "platform/thread.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "errors/errors.h"

namespace zvq::platform {

namespace {

// How long RunUntil sleeps at most between checks: its predicate may watch state the dispatcher does not
// track, such as an atomic a worker sets without handing anything over.
constexpr std::chrono::milliseconds kPredicateSlice{10};

void RequireMainThread(const MainThreadDispatcher& ADispatcher) {
  if (!ADispatcher.IsMainThread()) throw EThread("Handed-over calls can only run on the main thread");
}

}  // namespace

// ---- MainThreadDispatcher ----

MainThreadDispatcher::MainThreadDispatcher() : FMainThread(std::this_thread::get_id()) {}

MainThreadDispatcher::~MainThreadDispatcher() {
  std::lock_guard lock(FMutex);
  // A live worker would still post into, or return through, this dispatcher: failing loudly here is
  // better than a use after free later.
  if (FLiveWorkers != 0) std::terminate();
}

void MainThreadDispatcher::NotifyLocked() {
  ++FGeneration;
  FChanged.notify_all();
}

void MainThreadDispatcher::Signal(bool& AFlag) {
  std::lock_guard lock(FMutex);
  AFlag = true;
  // Notified under the lock: the waiter may destroy what it waited on as soon as it can take the lock.
  NotifyLocked();
}

void MainThreadDispatcher::Post(std::function<void()> ACall) {
  {
    std::lock_guard lock(FMutex);
    FCalls.push_back(std::move(ACall));
    NotifyLocked();
  }
  Wake();
}

void MainThreadDispatcher::Synchronize(const std::function<void()>& ACall) {
  if (IsMainThread()) {
    ACall();
    return;
  }
  bool done = false;
  std::exception_ptr error;
  {
    std::lock_guard lock(FMutex);
    FCalls.emplace_back([this, &ACall, &done, &error] {
      try {
        ACall();
      } catch (...) {
        error = std::current_exception();
      }
      Signal(done);
    });
    NotifyLocked();
  }
  Wake();
  {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&done] { return done; });
  }
  if (error) std::rethrow_exception(error);
}

std::size_t MainThreadDispatcher::RunPending() {
  RequireMainThread(*this);
  std::size_t pending = 0;
  {
    std::lock_guard lock(FMutex);
    pending = FCalls.size();
  }
  std::size_t ran = 0;
  while (ran < pending) {
    std::function<void()> call;
    {
      std::lock_guard lock(FMutex);
      if (FCalls.empty()) break;
      call = std::move(FCalls.front());
      FCalls.pop_front();
    }
    ++ran;
    try {
      call();
    } catch (...) {
      // The calls behind the failed one must not be stranded until something else wakes the main thread.
      bool more = false;
      {
        std::lock_guard lock(FMutex);
        more = !FCalls.empty();
      }
      if (more) Wake();
      throw;
    }
  }
  return ran;
}

bool MainThreadDispatcher::RunOnePending(std::chrono::milliseconds AWait) {
  RequireMainThread(*this);
  std::function<void()> call;
  {
    std::unique_lock lock(FMutex);
    if (!FChanged.wait_for(lock, AWait, [this] { return !FCalls.empty(); })) return false;
    call = std::move(FCalls.front());
    FCalls.pop_front();
  }
  call();
  return true;
}

bool MainThreadDispatcher::RunOneOrWait(std::chrono::milliseconds AWait) {
  RequireMainThread(*this);
  std::function<void()> call;
  {
    std::unique_lock lock(FMutex);
    const std::uint64_t generation = FGeneration;
    const bool changed = FChanged.wait_for(
        lock, AWait, [this, generation] { return !FCalls.empty() || FGeneration != generation; });
    if (!changed) return false;
    if (FCalls.empty()) return true;
    call = std::move(FCalls.front());
    FCalls.pop_front();
  }
  call();
  return true;
}

void MainThreadDispatcher::RunCallsUntil(const std::function<bool()>& ADone) {
  const bool runCalls = IsMainThread();
  std::unique_lock lock(FMutex);
  while (!ADone()) {
    if (runCalls && !FCalls.empty()) {
      std::function<void()> call = std::move(FCalls.front());
      FCalls.pop_front();
      lock.unlock();
      call();
      lock.lock();
      continue;
    }
    FChanged.wait(lock);
  }
}

void MainThreadDispatcher::WaitForWorkers() {
  RunCallsUntil([this] { return FLiveWorkers == 0; });
}

std::size_t MainThreadDispatcher::LiveWorkers() const {
  std::lock_guard lock(FMutex);
  return FLiveWorkers;
}

void MainThreadDispatcher::WorkerStarted() {
  std::lock_guard lock(FMutex);
  ++FLiveWorkers;
}

void MainThreadDispatcher::WorkerFinished() {
  std::lock_guard lock(FMutex);
  --FLiveWorkers;
  // Under the lock: WaitForWorkers may return and its caller destroy this dispatcher right after.
  NotifyLocked();
}

// ---- ManualMainLoop ----

ManualMainLoop::~ManualMainLoop() {
  // Nobody is left to report a failing call to; what matters now is that no worker outlives the loop.
  for (;;) {
    try {
      WaitForWorkers();
      return;
    } catch (...) {
    }
  }
}

bool ManualMainLoop::RunUntil(const std::function<bool()>& APredicate, std::chrono::milliseconds ATimeout) {
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (!APredicate()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    RunOneOrWait(std::min(left, kPredicateSlice));
  }
  return true;
}

// ---- Thread ----

// The handle through which the main thread starts a worker created running; the worker's destructor
// clears it, so a worker destroyed before its turn is never started.
struct Thread::PendingStart {
  explicit PendingStart(Thread* AThread) : FThread(AThread) {}
  std::mutex FMutex;
  Thread* FThread;
};

Thread::Thread(bool ACreateSuspended, MainThreadDispatcher& ADispatcher) : FDispatcher(ADispatcher) {
  if (ACreateSuspended) return;
  // The main thread does not take its next turn before the creating code returns to the main loop, so
  // the derived constructor has finished when the start runs. From another thread there is no such turn.
  if (!FDispatcher.IsMainThread())
    throw EThread("A thread created running must be created on the main thread");
  FStartRequested.store(true);
  FPendingStart = std::make_shared<PendingStart>(this);
  FDispatcher.Post([pending = FPendingStart] {
    std::unique_lock lock(pending->FMutex);
    Thread* thread = std::exchange(pending->FThread, nullptr);
    if (thread == nullptr) return;
    try {
      thread->StartThread();
    } catch (...) {
      // Nobody else would free a worker that was to free itself but never ran.
      if (thread->FreeOnTerminate()) {
        lock.unlock();
        delete thread;
      }
      throw;
    }
  });
}

Thread::~Thread() {
  if (FPendingStart) {
    std::lock_guard lock(FPendingStart->FMutex);
    FPendingStart->FThread = nullptr;
  }
  bool joinable = false;
  {
    std::lock_guard lock(FStartMutex);
    joinable = FThread.joinable();
  }
  if (!joinable) return;
  // The std::thread must not be destroyed while joinable; a failing handed-over call must not stop that.
  for (;;) {
    try {
      FDispatcher.RunCallsUntil([this] { return FDone; });
      break;
    } catch (...) {
    }
  }
  FThread.join();
}

void Thread::Start() {
  if (FStartRequested.exchange(true)) throw EThread("Thread already started");
  try {
    StartThread();
  } catch (...) {
    FStartRequested.store(false);
    throw;
  }
}

void Thread::StartThread() {
  // Counted before the thread exists, so WaitForWorkers cannot miss a worker that is just starting.
  FDispatcher.WorkerStarted();
  try {
    std::lock_guard lock(FStartMutex);
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    FDispatcher.WorkerFinished();
    throw EThread("Thread creation error: " + TrimSystemText(error.code().message()));
  } catch (...) {
    FDispatcher.WorkerFinished();
    throw;
  }
}

void Thread::WaitFor() {
  if (FreeOnTerminate()) throw EThread("Cannot wait for a thread that frees itself");
  {
    // Not started yet (a worker created running waits for the main loop's turn) or already joined.
    std::lock_guard lock(FStartMutex);
    if (!FThread.joinable()) return;
    if (FThread.get_id() == std::this_thread::get_id()) throw EThread("A thread cannot wait for itself");
  }
  FDispatcher.RunCallsUntil([this] { return FDone; });
  std::lock_guard lock(FStartMutex);
  if (FThread.joinable()) FThread.join();
}

void Thread::Run() {
  // Kept apart from the object: a worker that frees itself is gone before the last statement.
  MainThreadDispatcher& dispatcher = FDispatcher;
  {
    // Start holds this while it stores FThread; once it is free, FThread is complete.
    std::lock_guard lock(FStartMutex);
  }
  try {
    Execute();
  } catch (...) {
    FFatalException = std::current_exception();
  }
  if (OnTerminate) {
    try {
      dispatcher.Synchronize([this] { OnTerminate(*this); });
    } catch (...) {
      if (!FFatalException) FFatalException = std::current_exception();
    }
  }
  if (FreeOnTerminate()) {
    FThread.detach();
    delete this;
  } else {
    dispatcher.Signal(FDone);
  }
  // The very last statement: until it has run, the worker counts as live and the dispatcher stays.
  dispatcher.WorkerFinished();
}

}  // namespace zvq::platform
