#pragma once

// What the scripted-service client needs from the system: one control exchange over loopback TCP, and
// the service process (spawned on Linux, found through the environment on Windows).

#include <cstdint>
#include <string>
#include <string_view>

namespace zvq::testing::scripted {

// Connects to 127.0.0.1:APort, sends AMessage, ends the sending side and returns all the service answered.
std::string Exchange(std::uint16_t APort, std::string_view AMessage);

struct ServiceProcess {
  std::uint16_t ControlPort = 0;
  std::intptr_t Process = 0;  // 0 when the service is not ours to end
  int Stdin = -1;
};

ServiceProcess LaunchService();
void EndService(const ServiceProcess& AService) noexcept;

}  // namespace zvq::testing::scripted
