#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/process.h"
#include "platform/thread.h"
#include "service/remote_support_api.h"

namespace zvq {

// The stages of one launch, in order; the stage only moves forward.
enum class TSupportThreadState : std::uint8_t {
  tsNone = 0,
  tsValidatingCode = 1,
  tsDownloadingApplet = 2,
  tsLaunchingApplet = 3,
  tsWaitingAppletShutdown = 4,
  tsAppletTerminated = 5,
};

class TSupportLauncherThread;
using TSupportLauncherThreadStateChangedEvent =
    std::function<void(TSupportLauncherThread& Sender, TSupportThreadState AStage)>;

// Carries one support code through validation, download, launch and the wait for the applet's exit, off the
// user-interface thread, and cleans the staging folder on every path. A failure leaves "[class] message"
// in ThreadError and the stage where it happened.
class TSupportLauncherThread : public platform::Thread {
 public:
  TSupportLauncherThread(bool CreateSuspended, std::u16string ACode, platform::MainThreadDispatcher& ADispatcher);
  // For tests: the same worker talking to another service.
  TSupportLauncherThread(bool CreateSuspended, std::u16string ACode, platform::MainThreadDispatcher& ADispatcher,
                         TzqServiceEndpoint AEndpoint);
  ~TSupportLauncherThread() override;

  // Read from the main thread while the worker runs.
  TSupportThreadState State() const { return FThreadState.load(); }
  // Read only after Execute has returned (from OnTerminate).
  const std::string& ThreadError() const { return FThreadError; }

  // Set before Start; called on the worker thread.
  TSupportLauncherThreadStateChangedEvent OnStateChange;

  // Tells a worker that has not begun its first stage never to begin: it then ends without a stage, a request
  // or a clean-up. True when the worker will not begin (told now or before), false once it has begun. From
  // any thread, while the worker object exists.
  bool StopBeforeFirstStage();

 protected:
  void Execute() override;

  // The stages of one run; stand-ins in tests replace them and keep the rest of the run around them.
  virtual void RunStages();
  // Announces AStage unless it is the stage already set.
  void SetThreadState(TSupportThreadState AStage);

 private:
  enum class RunStart : std::uint8_t { Pending, Begun, Stopped };

  void ValidateCode();
  void DownloadApplet();
  void LaunchApplet();
  void WaitForApplet();
  void DoStateChanged();

  std::atomic<TSupportThreadState> FThreadState{TSupportThreadState::tsNone};
  static_assert(std::atomic<TSupportThreadState>::is_always_lock_free);
  std::atomic<RunStart> FRunStart{RunStart::Pending};
  std::string FThreadError;
  std::u16string FCode;
  std::unique_ptr<TzqRemoteSupportAPI> FApi;
  platform::ProcessInformation FProcessInfo;
  bool FAppletSaved = false;  // only a file this run downloaded is ever started
};

}  // namespace zvq
