#pragma once

#include <string>

namespace zvq::demo {

// Ctrl-C and SIGTERM as an ordinary event: create this before any thread starts so that every thread inherits
// the blocked signals, then Wait() on the thread that should stop the service.
class StopSignal {
 public:
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Blocks until one of the signals arrives; returns its name.
  std::string Wait();
};

}  // namespace zvq::demo
