#include "launch/support_launcher_thread.h"

#include "errors/errors.h"
#include "launch/applet_signature.h"
#include "launch/staging.h"
#include "platform/system_error.h"

namespace zvq {

TSupportLauncherThread::TSupportLauncherThread(bool CreateSuspended, std::u16string ACode,
                                               platform::MainThreadDispatcher& ADispatcher)
    : TSupportLauncherThread(CreateSuspended, std::move(ACode), ADispatcher, TzqServiceEndpoint::Compiled()) {}

TSupportLauncherThread::TSupportLauncherThread(bool CreateSuspended, std::u16string ACode,
                                               platform::MainThreadDispatcher& ADispatcher,
                                               TzqServiceEndpoint AEndpoint)
    : platform::Thread(CreateSuspended, ADispatcher),
      FCode(std::move(ACode)),
      FApi(std::make_unique<TzqRemoteSupportAPI>(std::move(AEndpoint))) {}

TSupportLauncherThread::~TSupportLauncherThread() {
  // Someone else freeing a worker must not pull its members away from a running Execute; a self-freeing
  // worker is destroyed on its own thread after Execute and OnTerminate.
  if (!FreeOnTerminate()) WaitFor();
}

bool TSupportLauncherThread::StopBeforeFirstStage() {
  RunStart Expected = RunStart::Pending;
  return FRunStart.compare_exchange_strong(Expected, RunStart::Stopped) || Expected == RunStart::Stopped;
}

void TSupportLauncherThread::Execute() {
  // One exchange decides between a stop and the first stage, so a stop can never land after the run began.
  RunStart Expected = RunStart::Pending;
  if (!FRunStart.compare_exchange_strong(Expected, RunStart::Begun)) return;
  try {
    try {
      RunStages();
    } catch (...) {
      FApplet.reset();  // a held applet could not be deleted
      CleanStagingFolder();
      throw;
    }
    CleanStagingFolder();
  } catch (const std::exception& error) {
    FThreadError = FormatErrorText(error);
  }
}

void TSupportLauncherThread::RunStages() {
  ValidateCode();
  DownloadApplet();
  LaunchApplet();
  WaitForApplet();
}

void TSupportLauncherThread::ValidateCode() {
  SetThreadState(TSupportThreadState::tsValidatingCode);
  FApi->CheckCode(FCode);
}

void TSupportLauncherThread::DownloadApplet() {
  SetThreadState(TSupportThreadState::tsDownloadingApplet);
  // No URL, no request: nothing is saved, and the launch stage then finds no applet.
  if (FApi->DownloadUrl().empty()) return;
  // The body goes to disk as it arrives; a failed, refused or empty download leaves nothing behind.
  auto applet = std::make_unique<StagedApplet>(TzqRemoteSupportAPI::kMaxAppletBytes);
  FApi->DownloadApp(*applet);
  if (applet->Size() > 0) {
    applet->Commit();
    FApplet = std::move(applet);
  }
}

void TSupportLauncherThread::LaunchApplet() {
  SetThreadState(TSupportThreadState::tsLaunchingApplet);
  // A file left at the applet path by an earlier run (or by anyone else) is not what the service named for
  // this code: without a download of our own, the launch fails as it would with no file there.
  if (!FApplet) platform::RaiseOSError(platform::kErrorFileNotFound);
  // What the save holds is let go once the process exists or could not be made, so that the clean-up can
  // delete it.
  const std::unique_ptr<StagedApplet> applet = std::move(FApplet);
  // Checked through the handle the save holds until the process exists, so nothing can change the file
  // between the check and the start.
  VerifyAppletPublisher(*applet, CompiledPublisherPins());
  FProcessInfo = zvq::LaunchApplet(*applet);
}

void TSupportLauncherThread::WaitForApplet() {
  SetThreadState(TSupportThreadState::tsWaitingAppletShutdown);
  // Whatever happens from here, the handles are closed before the stage ends.
  struct HandleCloser {
    platform::ProcessInformation& Info;
    ~HandleCloser() {
      Info.Process.Close();
      Info.Thread.Close();
    }
  } closer{FProcessInfo};
  platform::WaitForProcess(FProcessInfo.Process);
  SetThreadState(TSupportThreadState::tsAppletTerminated);
}

void TSupportLauncherThread::SetThreadState(TSupportThreadState AStage) {
  if (AStage == FThreadState.load()) return;
  FThreadState.store(AStage);
  DoStateChanged();
}

void TSupportLauncherThread::DoStateChanged() {
  if (OnStateChange) OnStateChange(*this, FThreadState.load());
}

}  // namespace zvq
