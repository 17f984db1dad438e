#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tests/support/scripted_service_io.h"

namespace zvq::testing::scripted {

namespace {

[[noreturn]] void Fail(const std::string& AWhat) {
  throw std::runtime_error("scripted service: " + AWhat + " failed, error " +
                           std::to_string(WSAGetLastError()));
}

struct Winsock {
  Winsock() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
      throw std::runtime_error("scripted service: WSAStartup failed");
  }
  ~Winsock() { WSACleanup(); }
};

class Socket {
 public:
  explicit Socket(SOCKET ASocket) : FSocket(ASocket) {}
  ~Socket() {
    if (FSocket != INVALID_SOCKET) closesocket(FSocket);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET Get() const noexcept { return FSocket; }

 private:
  SOCKET FSocket;
};

}  // namespace

std::string Exchange(std::uint16_t APort, std::string_view AMessage) {
  static Winsock winsock;
  Socket owner(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const SOCKET raw = owner.Get();
  if (raw == INVALID_SOCKET) Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(APort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("connect");
  while (!AMessage.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(AMessage.size(), 1 << 20));
    const int sent = send(raw, AMessage.data(), chunk, 0);
    if (sent <= 0) Fail("send");
    AMessage.remove_prefix(static_cast<std::size_t>(sent));
  }
  shutdown(raw, SD_SEND);
  std::string answer;
  char buffer[65536];
  for (;;) {
    const int got = recv(raw, buffer, sizeof buffer, 0);
    if (got < 0) Fail("recv");
    if (got == 0) return answer;
    answer.append(buffer, static_cast<std::size_t>(got));
  }
}

// The script that runs the Windows tests starts the service on the Linux side and passes its port on.
ServiceProcess LaunchService() {
  const char* port = std::getenv("ZVQ_SCRIPTED_SERVICE");
  if (port == nullptr || *port == '\0')
    throw std::runtime_error("scripted service: ZVQ_SCRIPTED_SERVICE (its control port) is not set");
  return ServiceProcess{static_cast<std::uint16_t>(std::stoul(port)), 0, -1};
}

void EndService(const ServiceProcess&) noexcept {}

}  // namespace zvq::testing::scripted
