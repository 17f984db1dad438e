// The support library itself: other areas rely on these servers behaving as documented.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/support/test_service.h"

namespace zvq::testing {
namespace {

std::unique_ptr<httplib::SSLClient> ClientFor(int APort, const std::filesystem::path& ACaFile) {
  auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", APort);
  client->set_ca_cert_path(ACaFile.string().c_str());
  client->enable_server_certificate_verification(true);
  return client;
}

TEST(TestService, ServesRegisteredRoutesAndRecordsRequestsUnderVerification) {
  TestService service;
  service.On("POST", "/echo", [](const httplib::Request& ARequest, httplib::Response& AReply) {
    AReply.set_content("got " + ARequest.body, "text/plain");
  });
  auto client = ClientFor(service.Port(), service.CaFile());
  auto reply = client->Post("/echo?x=1", {{"X-Probe", "1"}}, "abc", "text/plain");
  ASSERT_TRUE(reply) << httplib::to_string(reply.error());
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->body, "got abc");

  auto missing = client->Get("/nowhere");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);

  auto requests = service.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Method, "POST");
  EXPECT_EQ(requests[0].Path, "/echo");
  EXPECT_EQ(requests[0].Target, "/echo?x=1");
  EXPECT_EQ(requests[0].Body, "abc");
  EXPECT_EQ(requests[0].Header("x-probe"), "1");
  EXPECT_EQ(requests[1].Path, "/nowhere");
}

TEST(TestService, ARouteCanBeReplacedWhileRunning) {
  TestService service;
  service.On("GET", "/v", [](const httplib::Request&, httplib::Response& AReply) { AReply.set_content("1", "text/plain"); });
  service.On("GET", "/v", [](const httplib::Request&, httplib::Response& AReply) { AReply.set_content("2", "text/plain"); });
  auto client = ClientFor(service.Port(), service.CaFile());
  auto reply = client->Get("/v");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "2");
}

TEST(TestService, StopsAtOnceEvenBeforeItsThreadHasStartedListening) {
  // Destroyed straight after construction, the accept thread has often not entered its loop yet.
  for (int round = 0; round < 20; ++round) TestService service;
}

TEST(RawTlsServer, RecordsTheExactRequestBytesAndSendsTheCannedReply) {
  TempDir directory;
  TestPki pki(directory.Path(), "raw");
  RawTlsServer server(pki);
  server.SetReply("HTTP/1.1 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  auto client = ClientFor(server.Port(), pki.CaFile());
  auto reply = client->Post("/p", "body!", "text/plain");
  ASSERT_TRUE(reply) << httplib::to_string(reply.error());
  EXPECT_EQ(reply->status, 201);
  EXPECT_EQ(reply->body, "ok");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].starts_with("POST /p HTTP/1.1\r\n")) << requests[0];
  EXPECT_TRUE(requests[0].ends_with("\r\n\r\nbody!")) << requests[0];
}

TEST(RawTlsServer, ACertificateFromAnotherCaIsRejected) {
  TempDir directory;
  TestPki trusted(directory.Path(), "trusted");
  TestPki other(directory.Path(), "other");
  RawTlsServer server(other);
  server.SetReply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  auto client = ClientFor(server.Port(), trusted.CaFile());
  auto reply = client->Get("/");
  EXPECT_FALSE(reply);
  EXPECT_TRUE(server.Requests().empty());
}

TEST(RawTlsServer, AHeldConnectionIsReleasedByTheDestructor) {
  TempDir directory;
  TestPki pki(directory.Path(), "hold");
  RawTlsServer server(pki);
  server.SetReply("", ReplyEnd::reHold);
  auto client = ClientFor(server.Port(), pki.CaFile());
  client->set_read_timeout(std::chrono::milliseconds(200));
  EXPECT_FALSE(client->Get("/"));
  EXPECT_EQ(server.Requests().size(), 1u);
}  // the server's destructor must end the held connection's thread, or this test hangs

TEST(ClosedPort, RefusesConnections) {
  ClosedPort port;
  httplib::SSLClient client("127.0.0.1", port.Port());
  auto reply = client.Get("/");
  ASSERT_FALSE(reply);
  EXPECT_EQ(reply.error(), httplib::Error::Connection);
}

TEST(TempDir, IsRemovedWithItsContents) {
  std::filesystem::path path;
  {
    TempDir directory;
    path = directory.Path();
    std::filesystem::create_directories(directory / "a" / "b");
    ASSERT_TRUE(std::filesystem::exists(path / "a" / "b"));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace zvq::testing
