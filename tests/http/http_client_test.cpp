#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "service/http_client.h"
#include "tests/support/test_service.h"

namespace zvq::http {
namespace {

using zvq::testing::ClosedPort;
using zvq::testing::RawTlsServer;
using zvq::testing::ReplyEnd;
using zvq::testing::TempDir;
using zvq::testing::TestPki;
using zvq::testing::TestService;

TestService& Service() { return TestService::Shared(); }

Settings Trusting(const TestPki& APki = Service().Pki()) {
  Settings settings;
  settings.ExtraTrustAnchor = APki.CaFile().string();
  return settings;
}

std::string Text(const ByteStream& AStream) {
  return {reinterpret_cast<const char*>(AStream.Bytes().data()), AStream.Size()};
}

void Reply(const std::string& APath, int AStatus, std::string ABody = {},
           std::vector<std::pair<std::string, std::string>> AHeaders = {}) {
  Service().On("GET", APath, [=](const httplib::Request&, httplib::Response& AReply) {
    AReply.status = AStatus;
    for (const auto& [name, value] : AHeaders) AReply.set_header(name, value);
    AReply.set_content(ABody, "text/plain");
  });
}

void Redirect(const std::string& AMethod, const std::string& APath, int AStatus, const std::string& ALocation) {
  Service().On(AMethod, APath, [=](const httplib::Request&, httplib::Response& AReply) {
    AReply.status = AStatus;
    AReply.set_header("Location", ALocation);
    AReply.set_content("body of the redirect", "text/plain");
  });
}

template <class E>
std::string FailureOf(HttpClient& AClient, const std::string& AUrl) {
  ByteStream ignored;
  try {
    AClient.Execute({"GET", AUrl, {}, {}}, ignored);
  } catch (const E& error) {
    return error.Message();
  } catch (const std::exception& error) {
    return std::string("wrong class: ") + error.what();
  }
  return "no failure";
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Service().RemoveAllRoutes();
    Service().ClearRequests();
  }
};

// --- The bytes on the wire -------------------------------------------------------------------------------

TEST_F(HttpClientTest, APostSendsOnlyTheUserAgentTheCallersHeadersInOrderAndTheExactBody) {
  RawTlsServer server(Service().Pki());
  server.SetReply("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-One: 1\r\nX-Two: 2\r\n"
                  "Content-Length: 2\r\nConnection: close\r\n\r\n{}");
  HttpClient client(Trusting());
  const std::string body = R"({"code":"123456789"})";
  ByteStream reply;
  auto response = client.Execute({"POST", server.Url("/validate"),
                                  {{"Content-Type", "application/json"},
                                   {"X-Zvq-Request-Id", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
                                   {"X-Zvq-Calltime", "1700000000"},
                                   {"X-Zvq-Auth", "c2ln"}},
                                  body},
                                 reply);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0],
            "POST /validate HTTP/1.1\r\n"
            "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
            "User-Agent: zvq-support-launcher/1.0\r\n"
            "Content-Type: application/json\r\n"
            "X-Zvq-Request-Id: {6F9619FF-8B86-D011-B42D-00C04FC964FF}\r\n"
            "X-Zvq-Calltime: 1700000000\r\n"
            "X-Zvq-Auth: c2ln\r\n"
            "Content-Length: 20\r\n"
            "\r\n" + body);
  EXPECT_EQ(response.StatusCode, 200);
  EXPECT_EQ(response.Url, server.Url("/validate"));
  ASSERT_GE(response.Headers.size(), 4u);
  EXPECT_EQ(response.Headers[0], (Header{"Content-Type", "application/json"}));
  EXPECT_EQ(response.Headers[1], (Header{"X-One", "1"}));
  EXPECT_EQ(response.Headers[2], (Header{"X-Two", "2"}));
  EXPECT_EQ(response.HeaderValue("content-length"), "2");
  EXPECT_EQ(Text(reply), "{}");
}

TEST_F(HttpClientTest, AGetSendsNoBodyAndALargePostNeitherExpectsContinueNorChunks) {
  RawTlsServer server(Service().Pki());
  server.SetReply("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
  HttpClient client(Trusting());
  ByteStream ignored;
  client.Execute({"GET", server.Url("/applet?x=1"), {}, {}}, ignored);
  const std::string large(100'000, 'a');
  client.Execute({"POST", server.Url("/big"), {}, large}, ignored);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "GET /applet?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                             "\r\nUser-Agent: zvq-support-launcher/1.0\r\n\r\n");
  // No libcurl default Content-Type for a body the caller did not type.
  EXPECT_EQ(requests[1], "POST /big HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                             "\r\nUser-Agent: zvq-support-launcher/1.0\r\nContent-Length: 100000\r\n\r\n" + large);
}

TEST_F(HttpClientTest, ANegotiateChallengeWithoutCredentialsEndsInTheServersReply) {
  RawTlsServer server(Service().Pki());
  server.SetReply("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate\r\nContent-Length: 6\r\n"
                  "Connection: close\r\n\r\ndenied");
  HttpClient client(Trusting());
  ByteStream reply;
  auto response = client.Execute({"GET", server.Url("/"), {}, {}}, reply);
  EXPECT_EQ(response.StatusCode, 401);
  EXPECT_EQ(server.Requests()[0].find("Authorization"), std::string::npos);
}

TEST_F(HttpClientTest, HeadersThatWouldBreakTheRequestAreRefused) {
  HttpClient client(Trusting());
  ByteStream ignored;
  for (const Header& header : {Header{"X-Bad", "a\r\nInjected: 1"}, Header{"", "v"}, Header{"X:Y", "v"}}) {
    try {
      client.Execute({"GET", Service().Url("/"), {header}, {}}, ignored);
      ADD_FAILURE() << "accepted header " << header.Name;
    } catch (const ENetHTTPRequestException& error) {
      EXPECT_TRUE(std::string(error.Message()).starts_with("Error adding header: (43) ")) << error.Message();
    }
  }
  EXPECT_TRUE(Service().Requests().empty());
}

// --- Redirects ---------------------------------------------------------------------------------------------

TEST_F(HttpClientTest, RedirectedPostsBecomeGetsOrKeepMethodAndBodyByStatus) {
  struct Row {
    int Status;
    const char* Method;  // of the request that reaches the target
  };
  for (const Row row : {Row{301, "GET"}, Row{302, "GET"}, Row{303, "GET"}, Row{307, "POST"}, Row{308, "POST"}}) {
    SCOPED_TRACE(row.Status);
    Service().ClearRequests();
    Redirect("POST", "/from", row.Status, "/to");
    Service().On(row.Method, "/to", [](const httplib::Request&, httplib::Response& AReply) {
      AReply.set_content("final", "text/plain");
    });
    HttpClient client(Trusting());
    ByteStream reply;
    auto response = client.Execute(
        {"POST", Service().Url("/from"), {{"Content-Type", "application/json"}, {"X-Keep", "1"}}, "{\"a\":1}"}, reply);
    EXPECT_EQ(response.StatusCode, 200);
    EXPECT_EQ(response.Url, Service().Url("/to"));
    EXPECT_EQ(Text(reply), "final");  // the redirect's own body never reaches the stream

    const auto requests = Service().Requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& target = requests[1];
    EXPECT_EQ(target.Method, row.Method);
    EXPECT_EQ(target.Header("X-Keep"), "1");
    if (std::string(row.Method) == "GET") {
      EXPECT_EQ(target.Body, "");
      EXPECT_FALSE(target.HasHeader("Content-Type"));
      EXPECT_FALSE(target.HasHeader("Content-Length"));
    } else {
      EXPECT_EQ(target.Body, "{\"a\":1}");
      EXPECT_EQ(target.Header("Content-Type"), "application/json");
    }
  }
}

TEST_F(HttpClientTest, RelativeLocationsResolveAgainstTheCurrentUrl) {
  Redirect("GET", "/a/b/start", 302, "../c/next?q=1");
  Redirect("GET", "/a/c/next", 301, "last");
  Reply("/a/c/last", 200, "here");
  HttpClient client(Trusting());
  ByteStream reply;
  auto response = client.Execute({"GET", Service().Url("/a/b/start"), {}, {}}, reply);
  EXPECT_EQ(response.Url, Service().Url("/a/c/last"));
  EXPECT_EQ(Text(reply), "here");
  ASSERT_EQ(Service().Requests().size(), 3u);
  EXPECT_EQ(Service().Requests()[1].Target, "/a/c/next?q=1");
}

TEST_F(HttpClientTest, FiveRedirectsAreFollowedAndASixthFails) {
  for (int hop = 0; hop < 6; ++hop)
    Redirect("GET", "/r" + std::to_string(hop), 302, "/r" + std::to_string(hop + 1));
  Reply("/r6", 200, "end");
  HttpClient client(Trusting());
  ByteStream reply;
  EXPECT_EQ(client.Execute({"GET", Service().Url("/r1"), {}, {}}, reply).Url, Service().Url("/r6"));
  EXPECT_EQ(Text(reply), "end");

  ByteStream failed;
  try {
    client.Execute({"GET", Service().Url("/r0"), {}, {}}, failed);
    FAIL() << "six redirects were followed";
  } catch (const ENetHTTPRequestException& error) {
    EXPECT_EQ(error.Message(), "Maximum number of redirections (5) exceeded");
  }
  EXPECT_EQ(failed.Size(), 0u);
}

TEST_F(HttpClientTest, ARedirectLeavingHttpsOrWithoutLocationIsTheFinalReply) {
  Service().On("GET", "/downgrade", [](const httplib::Request&, httplib::Response& AReply) {
    AReply.status = 302;
    AReply.set_header("Location", "http://127.0.0.1:1/plain");
    AReply.set_content("moved", "text/plain");
  });
  Reply("/nowhere", 302, "no location");
  HttpClient client(Trusting());
  for (const char* path : {"/downgrade", "/nowhere"}) {
    SCOPED_TRACE(path);
    ByteStream reply;
    auto response = client.Execute({"GET", Service().Url(path), {}, {}}, reply);
    EXPECT_EQ(response.StatusCode, 302);
    EXPECT_EQ(response.Url, Service().Url(path));
    EXPECT_FALSE(Text(reply).empty());
  }
  EXPECT_EQ(Service().Requests().size(), 2u);
}

TEST_F(HttpClientTest, AFollowedRedirectsBodyDoesNotCountAgainstTheStreamLimitButHasItsOwn) {
  for (const std::size_t size : {std::size_t{65'536}, std::size_t{65'537}}) {
    SCOPED_TRACE(size);
    Service().On("GET", "/big-redirect", [size](const httplib::Request&, httplib::Response& AReply) {
      AReply.status = 302;
      AReply.set_header("Location", "/small");
      AReply.set_content(std::string(size, 'x'), "text/plain");
    });
    Reply("/small", 200, "ok");
    HttpClient client(Trusting());
    ByteStream reply(10);
    if (size <= 65'536) {
      client.Execute({"GET", Service().Url("/big-redirect"), {}, {}}, reply);
      EXPECT_EQ(Text(reply), "ok");
    } else {
      EXPECT_EQ(FailureOf<ENetHTTPClientException>(client, Service().Url("/big-redirect")),
                "Error receiving data: (23) The redirect's body is longer than 65536 bytes");
    }
  }
}

// --- Cookies and statuses ----------------------------------------------------------------------------------

TEST_F(HttpClientTest, CookiesFromAReplyAndARedirectHopGoWithTheSameClientsLaterRequests) {
  Service().On("POST", "/validate", [](const httplib::Request&, httplib::Response& AReply) {
    AReply.set_header("Set-Cookie", "session=abc; Path=/; Secure");
    AReply.set_content("{}", "application/json");
  });
  Service().On("GET", "/download", [](const httplib::Request&, httplib::Response& AReply) {
    AReply.status = 302;
    AReply.set_header("Set-Cookie", "hop=1; Path=/");
    AReply.set_header("Location", "/applet");
  });
  Reply("/applet", 200, "MZ");
  HttpClient client(Trusting());
  ByteStream ignored;
  client.Execute({"POST", Service().Url("/validate"), {}, "x"}, ignored);
  HttpClient moved(std::move(client));  // the handle, and with it the cookies, move along
  ByteStream applet;
  moved.Execute({"GET", Service().Url("/download"), {}, {}}, applet);

  const auto requests = Service().Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_FALSE(requests[0].HasHeader("Cookie"));
  EXPECT_EQ(requests[1].Header("Cookie"), "session=abc");
  const std::string cookies = requests[2].Header("Cookie");
  EXPECT_NE(cookies.find("session=abc"), std::string::npos) << cookies;
  EXPECT_NE(cookies.find("hop=1"), std::string::npos) << cookies;

  HttpClient fresh(Trusting());
  fresh.Execute({"GET", Service().Url("/applet"), {}, {}}, ignored);
  EXPECT_FALSE(Service().Requests().back().HasHeader("Cookie"));
}

TEST_F(HttpClientTest, ErrorStatusesAreReturnedWithTheirBody) {
  Reply("/missing", 404, R"({"error":{}})");
  HttpClient client(Trusting());
  ByteStream reply;
  auto response = client.Execute({"GET", Service().Url("/missing"), {}, {}}, reply);
  EXPECT_EQ(response.StatusCode, 404);
  EXPECT_EQ(Text(reply), R"({"error":{}})");
}

TEST_F(HttpClientTest, ABodyPastTheStreamLimitIsTooLarge) {
  Reply("/body", 200, std::string(5000, 'b'));
  HttpClient client(Trusting());
  ByteStream exact(5000);
  client.Execute({"GET", Service().Url("/body"), {}, {}}, exact);
  EXPECT_EQ(exact.Size(), 5000u);
  ByteStream small(4999);
  EXPECT_THROW(client.Execute({"GET", Service().Url("/body"), {}, {}}, small), EResponseTooLarge);
  // The client stays usable after an aborted transfer.
  ByteStream again;
  EXPECT_EQ(client.Execute({"GET", Service().Url("/body"), {}, {}}, again).StatusCode, 200);
}

// --- Transport failures ------------------------------------------------------------------------------------

TEST_F(HttpClientTest, AServerCertificateFromAnotherCaIsRejected) {
  TempDir directory;
  TestPki other(directory.Path(), "other");
  RawTlsServer server(other);
  server.SetReply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  HttpClient client(Trusting());
  EXPECT_EQ(FailureOf<ENetHTTPCertificateException>(client, server.Url("/")),
            "Server Certificate Invalid or not present");
  // Without the extra anchor the test CA is unknown as well: the system store alone decides.
  HttpClient plain;
  EXPECT_EQ(FailureOf<ENetHTTPCertificateException>(plain, Service().Url("/")),
            "Server Certificate Invalid or not present");
}

TEST_F(HttpClientTest, AnExtraAnchorThatGivesNoCertificateFailsTheRequestNotTheServer) {
  TempDir directory;
  std::ofstream(directory / "not-pem.pem") << "not a certificate\n";
  for (const char* name : {"missing.pem", "not-pem.pem"}) {
    SCOPED_TRACE(name);
    Settings settings;
    settings.ExtraTrustAnchor = (directory / name).string();
    HttpClient client(settings);
    const std::string message = FailureOf<ENetHTTPRequestException>(client, Service().Url("/"));
    EXPECT_TRUE(message.starts_with("Error opening request: (77) ")) << message;
  }
}

TEST_F(HttpClientTest, FailuresBeforeAnyReplyAreSendingErrors) {
  ClosedPort closed;
  HttpClient client(Trusting());
  EXPECT_TRUE(FailureOf<ENetHTTPClientException>(client, closed.Url("/")).starts_with("Error sending data: (7) "));

  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(FailureOf<ENetHTTPClientException>(client, "https://unknown-host.invalid/")
                  .starts_with("Error sending data: (6) "));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

  EXPECT_TRUE(FailureOf<ENetHTTPRequestException>(client, "not a url").starts_with("Error opening request: (3) "));

  // An option libcurl refuses sets no error text: the one left from the failure before must not show.
  EXPECT_TRUE(FailureOf<ENetHTTPClientException>(client, closed.Url("/")).starts_with("Error sending data: (7) "));
  EXPECT_EQ(FailureOf<ENetHTTPRequestException>(client, closed.Url("/") + std::string(8'000'000, 'a')),
            "Error opening request: (43) A libcurl function was given a bad argument");
}

TEST_F(HttpClientTest, StallsAndCutRepliesFailAsSendingOrReceivingByWhetherTheReplyBegan) {
  struct Row {
    const char* Name;
    std::string Reply;
    ReplyEnd End;
    std::string Prefix;
  };
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n";
  const Row rows[] = {
      {"no reply at all", "", ReplyEnd::reHold, "Error sending data: (28) "},
      {"reply stops mid-body", head + "half", ReplyEnd::reHold, "Error receiving data: (28) "},
      {"connection closed mid-body", head + "half", ReplyEnd::reClose, "Error receiving data: (18) "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    RawTlsServer server(Service().Pki());
    server.SetReply(row.Reply, row.End);
    Settings settings = Trusting();
    settings.StallTimeout = std::chrono::milliseconds(300);
    HttpClient client(settings);
    const auto started = std::chrono::steady_clock::now();
    const std::string message = FailureOf<ENetHTTPClientException>(client, server.Url("/"));
    EXPECT_TRUE(message.starts_with(row.Prefix)) << message;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  }
}

}  // namespace
}  // namespace zvq::http
