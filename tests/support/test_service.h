#pragma once

// Shared test support for everything that talks HTTPS.
//
//   TestService     an HTTPS server (cpp-httplib) on 127.0.0.1 with a CA made for the run. Tests register
//                   handlers per method and path at any time and read back every request it received.
//                   Trust it with Settings::ExtraTrustAnchor = service.CaFile().
//   RawTlsServer    (raw_tls_server.h) a TLS listener that records the exact request bytes and answers
//                   canned bytes; also stalls or cuts replies short on demand.
//   ClosedPort      (raw_tls_server.h) a loopback port where connections are refused.
//   TestPki         (test_pki.h) a CA and a server certificate for 127.0.0.1/localhost, as PEM files.
//   TempDir         (temp_dir.h) a temporary directory removed recursively at the end.
//
// Typical use, one server per test program:
//
//   TEST(Download, FollowsTheServiceRedirect) {
//     auto& service = zvq::testing::TestService::Shared();
//     service.On("GET", "/applet", [](const httplib::Request&, httplib::Response& AReply) {
//       AReply.set_content("MZ...", "application/octet-stream");
//     });
//     ... client with ExtraTrustAnchor = service.CaFile().string(), request service.Url("/applet") ...
//     EXPECT_EQ(service.Requests().back().Method, "GET");
//   }
//
// cpp-httplib keeps request headers in a case-insensitive sorted map, so RecordedRequest::Headers are in
// that order, not in the order sent; use RawTlsServer to check header order.

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/raw_tls_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace zvq::testing {

struct RecordedRequest {
  std::string Method;
  std::string Path;    // without the query
  std::string Target;  // path and query as sent
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;

  // The first header of that name, compared without regard to case; empty when absent.
  std::string Header(std::string_view AName) const;
  bool HasHeader(std::string_view AName) const;
};

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

class TestService {
 public:
  // Makes the CA and certificate, binds a free loopback port and serves on its own thread. The port is
  // listening when the constructor returns.
  TestService();
  // Stops the server and joins its thread.
  ~TestService();
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  // One service for the whole test program, made on first use and stopped at exit.
  static TestService& Shared();

  int Port() const noexcept { return FPort; }
  std::string BaseUrl() const;                // "https://127.0.0.1:<port>"
  std::string Url(std::string_view APath) const;  // BaseUrl() + APath
  const std::filesystem::path& CaFile() const noexcept { return FPki.CaFile(); }
  const TestPki& Pki() const noexcept { return FPki; }
  const TempDir& Directory() const noexcept { return FDirectory; }

  // Adds or replaces the handler for AMethod ("GET", "POST", ...) and the exact path APath. A request
  // without a handler gets 404 with an empty body.
  void On(const std::string& AMethod, const std::string& APath, Handler AHandler);
  void RemoveAllRoutes();

  // Every request received, in the order handled (recorded before its handler runs).
  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();

 private:
  void Dispatch(const httplib::Request& ARequest, httplib::Response& AResponse);

  TempDir FDirectory;
  TestPki FPki;
  httplib::SSLServer FServer;
  int FPort = 0;
  mutable std::mutex FMutex;
  std::map<std::pair<std::string, std::string>, Handler> FRoutes;
  std::vector<RecordedRequest> FRequests;
  std::atomic<bool> FListenEnded{false};
  std::thread FThread;
};

}  // namespace zvq::testing
