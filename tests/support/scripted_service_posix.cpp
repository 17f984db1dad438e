#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "tests/support/scripted_service_io.h"

extern char** environ;

namespace zvq::testing::scripted {

namespace {

class Fd {
 public:
  explicit Fd(int AFd = -1) : FFd(AFd) {}
  ~Fd() {
    if (FFd >= 0) ::close(FFd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const noexcept { return FFd; }
  int Release() noexcept { return std::exchange(FFd, -1); }

 private:
  int FFd;
};

[[noreturn]] void Fail(const std::string& AWhat) {
  throw std::runtime_error("scripted service: " + AWhat + ": " + std::strerror(errno));
}

// The line the service prints once it listens; a service that dies or hangs before it is an error, not a
// hang.
std::string ReadReadyLine(int AFd) {
  constexpr int kStartLimitMs = 30'000;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    pollfd ready{AFd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, kStartLimitMs);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) throw std::runtime_error("scripted service: not ready in time");
    char buffer[64];
    const ssize_t got = ::read(AFd, buffer, sizeof buffer);
    if (got <= 0) throw std::runtime_error("scripted service: ended before it was ready");
    line.append(buffer, static_cast<std::size_t>(got));
  }
  return line.substr(0, line.find('\n'));
}

}  // namespace

std::string Exchange(std::uint16_t APort, std::string_view AMessage) {
  Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.Get() < 0) Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(APort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("connect");
  while (!AMessage.empty()) {
    const ssize_t sent = ::send(socket.Get(), AMessage.data(), AMessage.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) Fail("send");
    AMessage.remove_prefix(static_cast<std::size_t>(sent));
  }
  ::shutdown(socket.Get(), SHUT_WR);
  std::string answer;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(socket.Get(), buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("recv");
    if (got == 0) return answer;
    answer.append(buffer, static_cast<std::size_t>(got));
  }
}

ServiceProcess LaunchService() {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) Fail("pipe");
  Fd inputRead(input[0]);
  Fd inputWrite(input[1]);
  if (::pipe2(output, O_CLOEXEC) != 0) Fail("pipe");
  Fd outputRead(output[0]);
  Fd outputWrite(output[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputRead.Get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputWrite.Get(), STDOUT_FILENO);
  const char* program = ZVQ_SCRIPTED_SERVICE_PATH;
  char* const arguments[] = {const_cast<char*>(program), const_cast<char*>("--watch-stdin"), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program, &actions, nullptr, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    errno = spawned;
    Fail(std::string("cannot start ") + program);
  }
  ServiceProcess service{0, pid, inputWrite.Release()};
  // Only the service may hold these ends, so its end of file and ours come when the other side goes.
  ::close(outputWrite.Release());
  try {
    const std::string line = ReadReadyLine(outputRead.Get());
    if (!line.starts_with("control "))
      throw std::runtime_error("scripted service: unexpected output: " + line);
    service.ControlPort = static_cast<std::uint16_t>(std::stoul(line.substr(8)));
  } catch (...) {
    EndService(service);
    throw;
  }
  return service;
}

void EndService(const ServiceProcess& AService) noexcept {
  if (AService.Process == 0) return;
  ::close(AService.Stdin);  // the service ends when its input does
  int status = 0;
  while (::waitpid(static_cast<pid_t>(AService.Process), &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace zvq::testing::scripted
