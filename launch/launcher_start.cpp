#include "launch/launcher_start.h"

#include "launch/staging.h"
#include "platform/process.h"

namespace zvq {

std::unique_ptr<platform::SingleInstance> BeginLauncher() {
  platform::ResetChildExitSignal();
  auto instance = std::make_unique<platform::SingleInstance>(kLauncherInstanceName);
  if (!instance->IsFirst()) {
    // Whether or not the request arrives, a second window would only compete for the same staging folder.
    instance->AskFirstToShow();
    return nullptr;
  }
  PrepareStagingFolder();
  return instance;
}

}  // namespace zvq
