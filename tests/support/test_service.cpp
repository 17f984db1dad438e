#include "tests/support/test_service.h"

#include <algorithm>
#include <stdexcept>

#include "service/ascii.h"

namespace zvq::testing {

namespace {

bool SameName(std::string_view A, std::string_view B) { return ascii::EqualsIgnoringCase(A, B); }

}  // namespace

std::string RecordedRequest::Header(std::string_view AName) const {
  for (const auto& [name, value] : Headers)
    if (SameName(name, AName)) return value;
  return {};
}

bool RecordedRequest::HasHeader(std::string_view AName) const {
  return std::any_of(Headers.begin(), Headers.end(), [&](const auto& AHeader) { return SameName(AHeader.first, AName); });
}

TestService::TestService()
    : FPki(FDirectory.Path(), "zvq-test-service"),
      FServer(FPki.ServerCertFile().string().c_str(), FPki.ServerKeyFile().string().c_str()) {
  if (!FServer.is_valid()) throw std::runtime_error("test service: the TLS context could not be set up");
  auto dispatch = [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
    Dispatch(ARequest, AResponse);
  };
  FServer.Get(".*", dispatch);
  FServer.Post(".*", dispatch);
  FServer.Put(".*", dispatch);
  FServer.Patch(".*", dispatch);
  FServer.Delete(".*", dispatch);
  FServer.Options(".*", dispatch);
  // Binding listens already: connections made before the thread runs wait in the backlog.
  FPort = FServer.bind_to_any_port("127.0.0.1");
  if (FPort <= 0) throw std::runtime_error("test service: cannot bind a loopback port");
  FThread = std::thread([this] {
    FServer.listen_after_bind();
    FListenEnded = true;
  });
}

TestService::~TestService() {
  // stop() does nothing until the accept loop runs: stopping earlier would leave the join waiting forever.
  while (!FServer.is_running() && !FListenEnded) std::this_thread::yield();
  FServer.stop();
  if (FThread.joinable()) FThread.join();
}

TestService& TestService::Shared() {
  static TestService service;
  return service;
}

std::string TestService::BaseUrl() const { return "https://127.0.0.1:" + std::to_string(FPort); }

std::string TestService::Url(std::string_view APath) const { return BaseUrl() + std::string(APath); }

void TestService::On(const std::string& AMethod, const std::string& APath, Handler AHandler) {
  std::lock_guard lock(FMutex);
  FRoutes[{AMethod, APath}] = std::move(AHandler);
}

void TestService::RemoveAllRoutes() {
  std::lock_guard lock(FMutex);
  FRoutes.clear();
}

std::vector<RecordedRequest> TestService::Requests() const {
  std::lock_guard lock(FMutex);
  return FRequests;
}

void TestService::ClearRequests() {
  std::lock_guard lock(FMutex);
  FRequests.clear();
}

void TestService::Dispatch(const httplib::Request& ARequest, httplib::Response& AResponse) {
  RecordedRequest record{ARequest.method, ARequest.path, ARequest.target, {}, ARequest.body};
  for (const auto& [name, value] : ARequest.headers) record.Headers.emplace_back(name, value);
  Handler handler;
  {
    std::lock_guard lock(FMutex);
    FRequests.push_back(std::move(record));
    auto route = FRoutes.find({ARequest.method, ARequest.path});
    if (route != FRoutes.end()) handler = route->second;
  }
  // Run outside the lock so a handler may read the record or change routes.
  if (handler) {
    handler(ARequest, AResponse);
  } else {
    AResponse.status = 404;
  }
}

}  // namespace zvq::testing
