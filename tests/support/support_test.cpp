// The support library itself: other areas rely on these servers behaving as documented.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/support/scripted_service.h"
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

TEST(ScriptedService, ServesQueuedRepliesInOrderAndRecordsRequestsAsReceived) {
  auto service = ScriptedService::Start();
  const std::string binary("\0,3:x\r\n", 7);  // bytes that mean something to the control framing
  service.Reply("/a", 201, {{"x-Mixed-Case", "1"}}, "one" + binary);
  service.Reply("/a", 202, {}, "two");
  httplib::SSLClient client("localhost", std::stoi(service.BaseUrl().substr(service.BaseUrl().rfind(':') + 1)));
  client.set_ca_cert_path(service.CaFile().string().c_str());
  client.enable_server_certificate_verification(true);

  auto first = client.Post("/a?q=1", {{"X-First", "1"}, {"x-second", "2"}}, binary, "application/octet-stream");
  ASSERT_TRUE(first) << httplib::to_string(first.error());
  EXPECT_EQ(first->status, 201);
  EXPECT_EQ(first->body, "one" + binary);
  EXPECT_EQ(first->get_header_value("X-Mixed-Case"), "1");
  // The last reply queued for a path stays; an unscripted path is not found.
  for (int expected : {202, 202}) EXPECT_EQ(client.Get("/a")->status, expected);
  EXPECT_EQ(client.Get("/b")->status, 404);

  auto requests = service.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].Method, "POST");
  EXPECT_EQ(requests[0].Target, "/a?q=1");
  EXPECT_EQ(requests[0].Body, binary);
  std::vector<std::string> ours;
  for (const auto& header : requests[0].Headers)
    if (header.Name == "X-First" || header.Name == "x-second") ours.push_back(header.Name + "=" + header.Value);
  EXPECT_EQ(ours, (std::vector<std::string>{"X-First=1", "x-second=2"}));
  EXPECT_TRUE(requests[0].Raw.starts_with("POST /a?q=1 HTTP/1.1\r\n"));
  EXPECT_TRUE(requests[0].Raw.ends_with("\r\n\r\n" + binary));

  service.Clear();
  EXPECT_TRUE(service.Requests().empty());
  EXPECT_EQ(client.Get("/a")->status, 404);
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
