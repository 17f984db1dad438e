#include <pthread.h>
#include <signal.h>

#include <cstring>

#include "errors/errors.h"
#include "tools/demo_service/stop_signal.h"

namespace zvq::demo {
namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

StopSignal::StopSignal() {
  const sigset_t signals = StopSignals();
  if (const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr); error != 0) {
    throw Exception(std::string("Cannot block the stop signals: ") + std::strerror(error));
  }
}

std::string StopSignal::Wait() {
  const sigset_t signals = StopSignals();
  int signal = 0;
  if (const int error = sigwait(&signals, &signal); error != 0) {
    throw Exception(std::string("Waiting for a stop signal failed: ") + std::strerror(error));
  }
  return signal == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace zvq::demo
