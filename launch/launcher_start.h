#pragma once

#include <memory>
#include <string_view>

#include "platform/single_instance.h"

namespace zvq {

inline constexpr std::string_view kLauncherInstanceName = "zvq-support-launcher";

// What every program entry does before it makes its window: puts the process into a known state and claims
// to be the user's one launcher. Null when another launcher already holds the claim: it has been asked to
// bring its window forward, and this one must end now (exit code 0) without touching the staging folder,
// whose files belong to the other's run. Otherwise the staging folder is prepared; keep the claim alive
// until the program ends, and listen on it for show requests once the window exists.
std::unique_ptr<platform::SingleInstance> BeginLauncher();

}  // namespace zvq
