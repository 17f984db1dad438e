// The HTTP client's rules as the service sees them on the wire, against the scripted service in its own
// process: the same cases hold for every backend (libcurl on Linux, WinHTTP under Wine).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "service/http_client.h"
#include "tests/support/scripted_service.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace zvq::http {
namespace {

using testing::HeaderLine;
using testing::ReceivedRequest;
using testing::ScriptedService;

ScriptedService& Service() {
  static ScriptedService service = ScriptedService::Start();
  return service;
}

// Windows trusts the service's CA through the user's Root store, where the test script imported it.
Settings Trusting() {
  Settings settings;
#ifndef _WIN32
  settings.ExtraTrustAnchor = Service().CaFile().string();
#endif
  return settings;
}

std::string HeaderOf(const ReceivedRequest& ARequest, std::string_view AName) {
  for (const auto& header : ARequest.Headers) {
    if (std::equal(header.Name.begin(), header.Name.end(), AName.begin(), AName.end(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      return header.Value;
  }
  return "<absent>";
}

struct Outcome {
  std::string Class, Message;
};

class TransportRules : public ::testing::Test {
 protected:
  void SetUp() override { Service().Clear(); }
};

TEST_F(TransportRules, SendsOnlyItsUserAgentAndTheCallersHeadersInOrderAndTheExactBody) {
  Service().Reply("/validate", 200, {}, "{}");
  HttpClient client(Trusting());
  ByteStream body;
  const Request request{"POST", Service().Url("/validate?x=1"),
                        {{"Content-Type", "application/json"}, {"X-Zvq-Request-Id", "id"}, {"X-Zvq-Auth", "ab"}},
                        R"({"code":"123456789"})"};
  EXPECT_EQ(client.Execute(request, body).StatusCode, 200);

  const auto requests = Service().Requests();
  ASSERT_EQ(requests.size(), 1u);
  const ReceivedRequest& got = requests[0];
  EXPECT_EQ(got.Method, "POST");
  EXPECT_EQ(got.Target, "/validate?x=1");
  EXPECT_EQ(got.Body, R"({"code":"123456789"})");
  EXPECT_EQ(HeaderOf(got, "Content-Length"), "20");
  EXPECT_EQ(HeaderOf(got, "User-Agent"), "zvq-support-launcher/1.0");
  for (const char* absent : {"Accept", "Accept-Encoding", "Accept-Language", "Expect", "Transfer-Encoding"})
    EXPECT_EQ(HeaderOf(got, absent), "<absent>") << absent;
  std::vector<std::string> ours;
  for (const auto& header : got.Headers)
    if (header.Name == "Content-Type" || header.Name.starts_with("X-Zvq-")) ours.push_back(header.Name);
  EXPECT_EQ(ours, (std::vector<std::string>{"Content-Type", "X-Zvq-Request-Id", "X-Zvq-Auth"}));
}

TEST_F(TransportRules, CookiesOfOneCallGoWithTheNextCallOfTheSameClientOnly) {
  Service().Reply("/validate", 200, {{"Set-Cookie", "session=abc; Path=/"}}, "{}");
  Service().Reply("/applet", 200, {}, "MZ");
  {
    HttpClient client(Trusting());
    ByteStream body;
    client.Execute({"POST", Service().Url("/validate"), {}, "{}"}, body);
    client.Execute({"GET", Service().Url("/applet"), {}, {}}, body);
  }
  HttpClient another(Trusting());
  ByteStream body;
  another.Execute({"GET", Service().Url("/applet"), {}, {}}, body);
  const auto requests = Service().Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(HeaderOf(requests[1], "Cookie"), "session=abc");
  EXPECT_EQ(HeaderOf(requests[2], "Cookie"), "<absent>");
}

TEST_F(TransportRules, RedirectsAreFollowedByTheirStatusAndMethodRules) {
  struct Row {
    const char* Name;
    int Status;
    std::string Location;  // "" for none; "@" stands for the service's own base URL
    bool Followed;
    const char* NextMethod;
  };
  const Row rows[] = {
      {"301 turns a POST into a GET", 301, "/next", true, "GET"},
      {"302 turns a POST into a GET", 302, "/next", true, "GET"},
      {"303 turns a POST into a GET", 303, "@/next", true, "GET"},
      {"307 repeats the POST with its body", 307, "/next", true, "POST"},
      {"308 repeats the POST with its body", 308, "next", true, "POST"},
      {"a redirect without Location is the reply", 302, "", false, nullptr},
      {"304 is not a redirect", 304, "/next", false, nullptr},
      {"https to http is not followed", 302, "http://localhost:1/next", false, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    Service().Clear();
    std::vector<HeaderLine> headers;
    if (!row.Location.empty()) {
      std::string location = row.Location;
      if (location.starts_with("@")) location = Service().BaseUrl() + location.substr(1);
      headers.push_back({"Location", location});
    }
    Service().Reply("/start", row.Status, headers, "redirect body");
    Service().Reply("/next", 200, {}, "final body");
    HttpClient client(Trusting());
    ByteStream body;
    const Response response =
        client.Execute({"POST", Service().Url("/start"), {{"Content-Type", "text/plain"}}, "payload"}, body);
    const auto requests = Service().Requests();
    if (!row.Followed) {
      EXPECT_EQ(response.StatusCode, row.Status);
      EXPECT_EQ(requests.size(), 1u);
      continue;
    }
    EXPECT_EQ(response.StatusCode, 200);
    EXPECT_EQ(response.Url, Service().Url("/next"));
    EXPECT_EQ(std::string(body.Bytes().begin(), body.Bytes().end()), "final body");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Method, row.NextMethod);
    const bool keepsBody = std::string(row.NextMethod) == "POST";
    EXPECT_EQ(requests[1].Body, keepsBody ? "payload" : "");
    EXPECT_EQ(HeaderOf(requests[1], "Content-Type"), keepsBody ? "text/plain" : "<absent>");
  }
}

TEST_F(TransportRules, WhatTheBodySinkRaisesStopsTheTransferAndComesOut) {
  Service().Reply("/applet", 200, {}, std::string(1 << 20, 'a'));
  Service().Reply("/fine", 200, {}, "fine");
  HttpClient client(Trusting());
  ByteStream small(1000);
  EXPECT_THROW(client.Execute({"GET", Service().Url("/applet"), {}, {}}, small), EResponseTooLarge);
  EXPECT_EQ(small.Size(), 0u);
  ByteStream fine;
  EXPECT_EQ(client.Execute({"GET", Service().Url("/fine"), {}, {}}, fine).StatusCode, 200);
  EXPECT_EQ(fine.Size(), 4u);
}

TEST_F(TransportRules, RequestsThatCannotBeMadeFailAsTheFailureTableSays) {
  struct Row {
    const char* Name;
    Request Call;
    std::string Class, MessageStart;
  };
  const Row rows[] = {
      {"a header value with a line break", {"GET", Service().Url("/x"), {{"X-A", "a\r\nX-B: b"}}, {}},
       "ENetHTTPRequestException", "Error adding header: ("},
      {"a URL that is not one", {"GET", "https://", {}, {}}, "ENetHTTPRequestException", "Error opening request: ("},
      {"a port nobody listens on", {"GET", "https://localhost:1/x", {}, {}}, "ENetHTTPClientException",
       "Error sending data: ("},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    HttpClient client(Trusting());
    ByteStream body;
    try {
      client.Execute(row.Call, body);
      ADD_FAILURE() << "no error";
    } catch (const Exception& error) {
      EXPECT_EQ(error.ClassName(), row.Class) << error.Message();
      EXPECT_TRUE(error.Message().starts_with(row.MessageStart)) << error.Message();
    }
  }
  EXPECT_TRUE(Service().Requests().empty());
}

TEST_F(TransportRules, AServerWhoseCaIsNotTrustedIsRefused) {
#ifdef _WIN32
  // A process keeps what it has once trusted, so this runs in one started before the CA was imported.
  if (std::getenv("ZVQ_SCRIPTED_SERVICE_CA_NOT_IMPORTED") == nullptr)
    GTEST_SKIP() << "runs before the service's CA is imported (tools/wine-tests.sh)";
#endif
  Service().Reply("/validate", 200, {}, "{}");
  Outcome outcome;
  {
    // Linux trusts the CA only when Settings name it, and these do not.
    HttpClient client{Settings{}};
    ByteStream body;
    try {
      client.Execute({"GET", Service().Url("/validate"), {}, {}}, body);
    } catch (const Exception& error) {
      outcome = {error.ClassName(), error.Message()};
    }
  }
#ifdef _WIN32
  // Wine's WinHTTP refuses the certificate but reports a failed handshake (see fault_injection_test).
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    EXPECT_EQ(outcome.Class, "ENetHTTPClientException");
    EXPECT_TRUE(outcome.Message.starts_with("Error sending data: (12157)")) << outcome.Message;
    return;
  }
#endif
  EXPECT_EQ(outcome.Class, "ENetHTTPCertificateException") << outcome.Message;
  EXPECT_EQ(outcome.Message, "Server Certificate Invalid or not present");
}

}  // namespace
}  // namespace zvq::http
