#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/test_pki.h"

struct ssl_ctx_st;

namespace zvq::testing {

// What the server does with a connection after writing its canned reply.
enum class ReplyEnd : std::uint8_t {
  reClose,  // close the connection (cleanly, with a TLS close_notify)
  reHold,   // keep it open and send nothing more until the server is destroyed: a stalled peer
};

// A TLS listener on 127.0.0.1 that serves one request per connection: it reads the request head and as
// many body bytes as "Content-Length" gives, records those bytes exactly, writes the canned reply and then
// closes or holds the connection. The reply is raw bytes, status line included; give it "Connection:
// close" so a client does not expect to reuse the connection. With an empty reply and reHold the server
// never answers at all. Each connection is served on its own thread; all are joined by the destructor.
class RawTlsServer {
 public:
  explicit RawTlsServer(const TestPki& APki);
  ~RawTlsServer();
  RawTlsServer(const RawTlsServer&) = delete;
  RawTlsServer& operator=(const RawTlsServer&) = delete;

  int Port() const noexcept { return FPort; }
  std::string BaseUrl() const;                    // "https://127.0.0.1:<port>"
  std::string Url(std::string_view APath) const;  // BaseUrl() + APath

  // The reply for connections accepted from now on.
  void SetReply(std::string AReply, ReplyEnd AEnd = ReplyEnd::reClose);

  // The exact bytes of each complete request received, in order of arrival.
  std::vector<std::string> Requests() const;
  void ClearRequests();

 private:
  void AcceptLoop();
  void Serve(int ASocket);

  ssl_ctx_st* FContext = nullptr;
  int FListener = -1;
  int FPort = 0;
  mutable std::mutex FMutex;
  std::condition_variable FStopped;
  bool FStopping = false;
  std::string FReply;
  ReplyEnd FEnd = ReplyEnd::reClose;
  std::vector<std::string> FRequests;
  std::vector<std::thread> FConnections;
  std::thread FAcceptThread;
};

// A loopback port bound but not listening, so a connection to it is refused at once. Held for the
// object's lifetime so no other program can take the port meanwhile.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;

  int Port() const noexcept { return FPort; }
  std::string Url(std::string_view APath) const;  // "https://127.0.0.1:<port>" + APath

 private:
  int FSocket = -1;
  int FPort = 0;
};

}  // namespace zvq::testing
