#include "tests/support/raw_tls_server.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

// OpenSSL's socket calls are portable but take the system's socket-type constant.
#if defined(_WIN32)
#include <winsock2.h>
#else
#include <signal.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "service/ascii.h"

namespace zvq::testing {

namespace {

struct AddrInfoFree {
  void operator()(BIO_ADDRINFO* AInfo) const noexcept { BIO_ADDRINFO_free(AInfo); }
};
using AddrInfoPtr = std::unique_ptr<BIO_ADDRINFO, AddrInfoFree>;
struct AddrFree {
  void operator()(BIO_ADDR* AAddr) const noexcept { BIO_ADDR_free(AAddr); }
};
struct SslFree {
  void operator()(SSL* ASsl) const noexcept { SSL_free(ASsl); }
};

AddrInfoPtr Loopback(const char* APort) {
  BIO_ADDRINFO* info = nullptr;
  if (BIO_lookup_ex("127.0.0.1", APort, BIO_LOOKUP_SERVER, 0, SOCK_STREAM, 0, &info) != 1 || info == nullptr)
    throw std::runtime_error("raw TLS server: cannot look up 127.0.0.1");
  return AddrInfoPtr(info);
}

int NewSocket(const BIO_ADDRINFO* AInfo) {
  int socket = BIO_socket(BIO_ADDRINFO_family(AInfo), BIO_ADDRINFO_socktype(AInfo),
                          BIO_ADDRINFO_protocol(AInfo), 0);
  if (socket < 0) throw std::runtime_error("raw TLS server: cannot create a socket");
  return socket;
}

int PortOf(int ASocket) {
  std::unique_ptr<BIO_ADDR, AddrFree> address(BIO_ADDR_new());
  BIO_sock_info_u info{};
  info.addr = address.get();
  if (!address || BIO_sock_info(ASocket, BIO_SOCK_INFO_ADDRESS, &info) != 1)
    throw std::runtime_error("raw TLS server: cannot read the bound port");
  char* service = BIO_ADDR_service_string(address.get(), 1);
  const int port = service != nullptr ? std::stoi(service) : 0;
  OPENSSL_free(service);
  return port;
}

std::size_t ContentLength(std::string_view AHead) {
  const std::string lower = ascii::ToLower(AHead);
  const auto at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return static_cast<std::size_t>(std::stoull(lower.substr(at + 17)));
}

// The head up to the blank line and the body "Content-Length" announces; false when the peer went away.
bool ReadRequest(SSL* ASsl, std::string& ARequest) {
  char buffer[4096];
  std::size_t wanted = std::string::npos;
  while (wanted == std::string::npos || ARequest.size() < wanted) {
    const int got = SSL_read(ASsl, buffer, sizeof buffer);
    if (got <= 0) return false;
    ARequest.append(buffer, static_cast<std::size_t>(got));
    if (wanted == std::string::npos) {
      const auto end = ARequest.find("\r\n\r\n");
      if (end != std::string::npos) wanted = end + 4 + ContentLength(std::string_view(ARequest).substr(0, end));
    }
  }
  return true;
}

bool WriteAll(SSL* ASsl, std::string_view ABytes) {
  while (!ABytes.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(ABytes.size(), 16384));
    const int sent = SSL_write(ASsl, ABytes.data(), chunk);
    if (sent <= 0) return false;
    ABytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

RawTlsServer::RawTlsServer(const TestPki& APki) {
#if !defined(_WIN32)
  // A client that rejects the certificate hangs up while the server still writes its handshake: the write
  // must fail, not kill the test program.
  ::signal(SIGPIPE, SIG_IGN);
#endif
  FContext = SSL_CTX_new(TLS_server_method());
  if (FContext == nullptr) throw std::runtime_error("raw TLS server: SSL_CTX_new failed");
  if (SSL_CTX_use_certificate_chain_file(FContext, APki.ServerCertFile().string().c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(FContext, APki.ServerKeyFile().string().c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(FContext);
    throw std::runtime_error("raw TLS server: cannot load the server certificate");
  }
  try {
    auto address = Loopback("0");
    FListener = NewSocket(address.get());
    if (BIO_listen(FListener, BIO_ADDRINFO_address(address.get()), BIO_SOCK_REUSEADDR) != 1)
      throw std::runtime_error("raw TLS server: cannot listen on 127.0.0.1");
    FPort = PortOf(FListener);
  } catch (...) {
    if (FListener >= 0) BIO_closesocket(FListener);
    SSL_CTX_free(FContext);
    throw;
  }
  FAcceptThread = std::thread([this] { AcceptLoop(); });
}

RawTlsServer::~RawTlsServer() {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FStopped.notify_all();
  // accept() does not return when the listener is closed under it everywhere; a connection of our own does.
  try {
    auto address = Loopback(std::to_string(FPort).c_str());
    const int wake = NewSocket(address.get());
    BIO_connect(wake, BIO_ADDRINFO_address(address.get()), 0);
    FAcceptThread.join();
    BIO_closesocket(wake);
  } catch (...) {
    if (FAcceptThread.joinable()) FAcceptThread.detach();  // cannot happen on a working loopback
  }
  for (auto& connection : FConnections) connection.join();
  BIO_closesocket(FListener);
  SSL_CTX_free(FContext);
}

std::string RawTlsServer::BaseUrl() const { return "https://127.0.0.1:" + std::to_string(FPort); }

std::string RawTlsServer::Url(std::string_view APath) const { return BaseUrl() + std::string(APath); }

void RawTlsServer::SetReply(std::string AReply, ReplyEnd AEnd) {
  std::lock_guard lock(FMutex);
  FReply = std::move(AReply);
  FEnd = AEnd;
}

std::vector<std::string> RawTlsServer::Requests() const {
  std::lock_guard lock(FMutex);
  return FRequests;
}

void RawTlsServer::ClearRequests() {
  std::lock_guard lock(FMutex);
  FRequests.clear();
}

void RawTlsServer::AcceptLoop() {
  for (;;) {
    const int socket = BIO_accept_ex(FListener, nullptr, 0);
    std::lock_guard lock(FMutex);
    if (FStopping) {
      if (socket >= 0) BIO_closesocket(socket);
      return;
    }
    if (socket >= 0) FConnections.emplace_back([this, socket] { Serve(socket); });
  }
}

void RawTlsServer::Serve(int ASocket) {
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(FContext));
  if (ssl && SSL_set_fd(ssl.get(), ASocket) == 1 && SSL_accept(ssl.get()) == 1) {
    std::string request;
    if (ReadRequest(ssl.get(), request)) {
      std::string reply;
      ReplyEnd end;
      {
        std::lock_guard lock(FMutex);
        FRequests.push_back(std::move(request));
        reply = FReply;
        end = FEnd;
      }
      if (WriteAll(ssl.get(), reply)) {
        if (end == ReplyEnd::reHold) {
          std::unique_lock lock(FMutex);
          FStopped.wait(lock, [this] { return FStopping; });
        } else {
          SSL_shutdown(ssl.get());
        }
      }
    }
  }
  ERR_clear_error();
  ssl.reset();
  BIO_closesocket(ASocket);
}

ClosedPort::ClosedPort() {
  auto address = Loopback("0");
  FSocket = NewSocket(address.get());
  try {
    if (BIO_bind(FSocket, BIO_ADDRINFO_address(address.get()), 0) != 1)
      throw std::runtime_error("closed port: cannot bind 127.0.0.1");
    FPort = PortOf(FSocket);
  } catch (...) {
    BIO_closesocket(FSocket);
    throw;
  }
}

ClosedPort::~ClosedPort() { BIO_closesocket(FSocket); }

std::string ClosedPort::Url(std::string_view APath) const {
  return "https://127.0.0.1:" + std::to_string(FPort) + std::string(APath);
}

}  // namespace zvq::testing
