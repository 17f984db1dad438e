#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "errors/errors.h"
#include "service/remote_support_api.h"
#include "tests/support/test_service.h"

namespace zvq {
namespace {

using testing::RecordedRequest;
using testing::TestService;

std::string ReadKeyFile() {
  std::ifstream file(ZVQ_SIGNING_KEY_FILE, std::ios::binary);
  std::string key((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  return key;
}

// Recomputed here with OpenSSL's one-shot HMAC, independently of the client's signing code.
std::string ExpectedSignature(const std::string& ACallTime, const std::string& ARequestId) {
  std::string key = ReadKeyFile();
  std::string message = ACallTime + ":" + ARequestId;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length);
  std::ostringstream hex;
  for (unsigned int i = 0; i < length; ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex << kDigits[digest[i] >> 4] << kDigits[digest[i] & 0xF];
  }
  return hex.str();
}

TzqServiceEndpoint EndpointFor(const std::string& AValidationUrl, const std::filesystem::path& ACaFile) {
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = AValidationUrl;
  endpoint.ExtraTrustAnchor = ACaFile.string();
  endpoint.Transport.StallTimeout = std::chrono::seconds(5);
  return endpoint;
}

// "" when AAction raised nothing, otherwise the text the user would see.
template <class Action>
std::string ErrorTextOf(Action&& AAction) {
  try {
    AAction();
  } catch (const Exception& error) {
    return FormatErrorText(error);
  }
  return "";
}

std::string Gzip(const std::string& AText) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, AText.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AText.data()));
  stream.avail_in = static_cast<uInt>(AText.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// --- The validation request on the wire -------------------------------------------------------------------

class ValidationRequestOnTheWire : public ::testing::Test {
 protected:
  ValidationRequestOnTheWire() : FServer(TestService::Shared().Pki()) {
    FServer.SetReply("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                     "Connection: close\r\n\r\n{}");
  }

  std::string SendCode(const std::u16string& ACode) {
    TzqRemoteSupportAPI api(EndpointFor(FServer.Url("/validate"), TestService::Shared().CaFile()));
    api.CheckCode(ACode);
    EXPECT_EQ(FServer.Requests().size(), 1u);
    return FServer.Requests().empty() ? "" : FServer.Requests().front();
  }

  testing::RawTlsServer FServer;
};

TEST_F(ValidationRequestOnTheWire, IsExactlyTheSignedPostOfTheDigits) {
  const std::string request = SendCode(u"123 456 789");

  auto headEnd = request.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  EXPECT_EQ(request.substr(headEnd + 4), R"({"code":"123456789"})");

  std::vector<std::string> lines;
  std::istringstream head(request.substr(0, headEnd + 2));
  for (std::string line; std::getline(head, line);) {
    ASSERT_TRUE(!line.empty() && line.back() == '\r') << line;
    line.pop_back();
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 8u) << request;
  EXPECT_EQ(lines[0], "POST /validate HTTP/1.1");
  EXPECT_EQ(lines[1], "Host: 127.0.0.1:" + std::to_string(FServer.Port()));
  EXPECT_EQ(lines[2], "User-Agent: zvq-support-launcher/1.0");
  EXPECT_EQ(lines[3], "Content-Type: application/json");
  ASSERT_THAT(lines[4], ::testing::MatchesRegex("X-Zvq-Request-Id: [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-"
                                                "[89ab][0-9a-f]{3}-[0-9a-f]{12}"));
  ASSERT_THAT(lines[5], ::testing::MatchesRegex("X-Zvq-Calltime: -?[1-9][0-9]*"));
  ASSERT_THAT(lines[6], ::testing::MatchesRegex("X-Zvq-Auth: [0-9a-f]{64}"));
  EXPECT_EQ(lines[7], "Content-Length: 20");

  const std::string requestId = lines[4].substr(std::string("X-Zvq-Request-Id: ").size());
  const std::string callTime = lines[5].substr(std::string("X-Zvq-Calltime: ").size());
  EXPECT_EQ(lines[6].substr(std::string("X-Zvq-Auth: ").size()), ExpectedSignature(callTime, requestId));
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_LE(std::llabs(static_cast<std::int32_t>(now) - std::stoll(callTime)), 5);
}

TEST_F(ValidationRequestOnTheWire, OtherDigitsTravelAsAsciiEscapes) {
  // Arabic-Indic digits as the field keeps them; only the spaces go.
  const std::string request = SendCode(u"\u0661\u0662\u0663 456 7/\"\\");
  EXPECT_THAT(request, ::testing::EndsWith(R"({"code":"\u0661\u0662\u06634567\/\"\\"})"));
}

TEST_F(ValidationRequestOnTheWire, TwoRequestsDifferInIdentifierAndSignature) {
  SendCode(u"123456789");
  TzqRemoteSupportAPI api(EndpointFor(FServer.Url("/validate"), TestService::Shared().CaFile()));
  api.CheckCode(u"123456789");
  auto requests = FServer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  auto headerOf = [](const std::string& ARequest, const std::string& AName) {
    auto start = ARequest.find(AName + ": ");
    return ARequest.substr(start, ARequest.find("\r\n", start) - start);
  };
  EXPECT_NE(headerOf(requests[0], "X-Zvq-Request-Id"), headerOf(requests[1], "X-Zvq-Request-Id"));
  EXPECT_NE(headerOf(requests[0], "X-Zvq-Auth"), headerOf(requests[1], "X-Zvq-Auth"));
}

TEST_F(ValidationRequestOnTheWire, AFailingGuidGeneratorSendsNothing) {
  TzqServiceEndpoint endpoint = EndpointFor(FServer.Url("/validate"), TestService::Shared().CaFile());
  endpoint.NewGuid = []() -> platform::Guid { throw EOSError(0, ""); };
  TzqRemoteSupportAPI api(endpoint);
  EXPECT_EQ(ErrorTextOf([&] { api.CheckCode(u"123456789"); }), "[EOSError] A call to an OS function failed");
  EXPECT_TRUE(FServer.Requests().empty());
}

// --- What the validation reply means --------------------------------------------------------------------

struct ReplyCase {
  const char* Name;
  std::string Body;
  std::string ExpectedError;  // "" for none
  std::string ExpectedUrl;    // kept when no error
  friend void PrintTo(const ReplyCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }
};

std::string Nested(int ADepth, const std::string& AInner) {
  return std::string(static_cast<std::size_t>(ADepth), '[') + AInner + std::string(static_cast<std::size_t>(ADepth), ']');
}

std::string Repeated(const std::string& AText, int ACount) {
  std::string text;
  for (int i = 0; i < ACount; ++i) text += AText;
  return text;
}

const std::string kUnknown = "[ESupportLauncherException] Unknown error occurred validating code";

std::vector<ReplyCase> ReplyCases() {
  return {
      {"AUrlIsKept", R"({"response":{"url":"https://h.example/applet"}})", "", "https://h.example/applet"},
      {"OtherMembersAreIgnored", R"({"x":1,"response":{"y":[],"url":"https://h/a"},"z":null})", "", "https://h/a"},
      {"AnInvalidCodeCarriesTheServicesMessage",
       R"({"error":{"type":"InvalidCodeException","message":"Code 123 456 789 is not valid"}})",
       "[EInvalidCode] Code 123 456 789 is not valid", ""},
      {"ANullMessageIsEmpty", R"({"error":{"type":"InvalidCodeException","message":null}})", "[EInvalidCode] ", ""},
      {"AStaleCallUsesItsOwnText", R"({"error":{"type":"StaleCallException","message":"clock skew"}})",
       "[EStaleCall] Error validating code - please try again", ""},
      {"TypeIsCaseSensitive", R"({"error":{"type":"invalidcodeexception","message":"m"}})", kUnknown, ""},
      {"AnotherTypeIsUnknown", R"({"error":{"type":"AuthenticationException","message":"m"}})", kUnknown, ""},
      {"AMissingMessageIsUnknown", R"({"error":{"type":"InvalidCodeException"}})", kUnknown, ""},
      {"AnObjectMessageIsUnknown", R"({"error":{"type":"InvalidCodeException","message":{}}})", kUnknown, ""},
      {"AStringErrorStillFails", R"({"error":"nope"})", kUnknown, ""},
      {"ANullErrorStillFails", R"({"error":null})", kUnknown, ""},
      {"AnArrayErrorStillFails", R"({"error":[{"type":"InvalidCodeException","message":"m"}]})", kUnknown, ""},
      {"AnErrorWinsOverAResponse",
       R"({"response":{"url":"https://h/a"},"error":{"type":"InvalidCodeException","message":"m"}})",
       "[EInvalidCode] m", ""},
      {"AnEmptyUrlIsUnknown", R"({"response":{"url":""}})", kUnknown, ""},
      {"ANullUrlIsUnknown", R"({"response":{"url":null}})", kUnknown, ""},
      {"AMissingUrlIsUnknown", R"({"response":{}})", kUnknown, ""},
      {"AResponseThatIsNotAnObjectIsUnknown", R"({"response":"https://h/a"})", kUnknown, ""},
      {"ANumberUrlIsItsLiteralText", R"({"response":{"url":1.50e3}})", "", "1.50e3"},
      {"ABooleanUrlIsItsName", R"({"response":{"url":true}})", "", "true"},
      {"TheFirstOfDuplicatedMembersCounts",
       R"({"response":{"url":"https://h/first","url":"https://h/second"},"response":{"url":"https://h/third"}})",
       "", "https://h/first"},
      {"EscapesAreDecoded", R"({"response":{"url":"https:\/\/h\/\u0061pplet"}})", "", "https://h/applet"},
      {"NotJsonIsNoErrorAndNoUrl", "<html>Service unavailable</html>", "", ""},
      {"AnEmptyBodyIsNoErrorAndNoUrl", "", "", ""},
      {"AnArrayIsNoErrorAndNoUrl", R"([{"error":{"type":"InvalidCodeException","message":"m"}}])", "", ""},
      {"ALiteralIsNoErrorAndNoUrl", "true", "", ""},
      {"TrailingContentIsNotJson", R"({"response":{"url":"https://h/a"}} {})", "", ""},
      {"NeitherMemberIsNoErrorAndNoUrl", R"({"status":"ok"})", "", ""},
      {"SurroundingWhitespaceIsFine", " \r\n\t{\"response\":{\"url\":\"https://h/a\"}}\n ", "", "https://h/a"},
      {"NestingOf512LevelsIsRead",
       R"({"response":{"url":"https://h/a"},"pad":)" + Nested(511, "") + "}", "", "https://h/a"},
      {"NestingOf513LevelsIsNotJson",
       R"({"response":{"url":"https://h/a"},"pad":)" + Nested(512, "") + "}", "", ""},
      {"VeryDeepNestingIsNotJsonAndDoesNotCrash", Nested(200000, ""), "", ""},
      {"ANulAfterTheObjectIsNotJson", std::string(R"({"response":{"url":"https://h/a"}})") + '\0' + "junk", "", ""},
      {"ANulAloneAfterTheObjectIsNotJson", std::string(R"({"response":{"url":"https://h/a"}})") + '\0', "", ""},
      {"ANumberBeyondADoubleIsItsText", R"({"response":{"url":-1.5E+400}})", "", "-1.5E+400"},
      {"ANumberOfHundredsOfDigitsIsItsText", R"({"response":{"url":1)" + std::string(400, '0') + "}}", "",
       "1" + std::string(400, '0')},
      {"ANumberBeyondADoubleElsewhereSpoilsNothing",
       R"({"big":[1e99999,-0.5e-99999,)" + std::string(500, '9') + R"(],"response":{"url":"https://h/a"}})", "",
       "https://h/a"},
      {"AMalformedLongNumberIsStillNotJson", R"({"response":{"url":"https://h/a"},"n":01e400})", "", ""},
      {"AMinusWithoutDigitsIsNotJson", R"({"response":{"url":"https://h/a"},"n":-e5})", "", ""},
      {"ALoneHighSurrogateIsAReplacementCharacter",
       R"({"error":{"type":"InvalidCodeException","message":"a\uD800b\udbff\u0041"}})",
       "[EInvalidCode] a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "A", ""},
      {"ALoneLowSurrogateIsAReplacementCharacter",
       R"({"error":{"type":"InvalidCodeException","message":"\uDC00\uD83D\uDE00"}})",
       "[EInvalidCode] \xEF\xBF\xBD\xF0\x9F\x98\x80", ""},
      {"AnEscapedBackslashBeforeUIsNoEscape",
       R"({"error":{"type":"InvalidCodeException","message":"\\uD800"}})", "[EInvalidCode] \\uD800", ""},
      {"ALoneSurrogateInANameIsAReplacementCharacterToo",
       R"({"x\uDFFF":1,"error":{"type":"InvalidCodeException","message":"m"}})", "[EInvalidCode] m", ""},
      {"AByteOrderMarkBeforeTheTextIsFine",
       "\xEF\xBB\xBF" R"({"error":{"type":"StaleCallException","message":"m"}})",
       "[EStaleCall] Error validating code - please try again", ""},
      {"AMessageIsCutAtACharacterBoundary",
       R"({"error":{"type":"InvalidCodeException","message":")" + Repeated("\xE2\x82\xAC", 1000) + R"("}})",
       "[EInvalidCode] " + Repeated("\xE2\x82\xAC", 682), ""},
      {"AUrlOfTheLongestKeptLength",
       R"({"response":{"url":"https://h/)" + std::string(8192 - 10, 'a') + R"("}})", "",
       "https://h/" + std::string(8192 - 10, 'a')},
      {"ALongerUrlIsUnknown", R"({"response":{"url":"https://h/)" + std::string(8192 - 9, 'a') + R"("}})",
       kUnknown, ""},
  };
}

class ValidationReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ValidationReply, IsReadAsTheServiceMeantIt) {
  const ReplyCase& reply = GetParam();
  auto& service = TestService::Shared();
  service.On("POST", "/validate", [&](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_content(reply.Body, "application/json");
  });
  TzqRemoteSupportAPI api(EndpointFor(service.Url("/validate"), service.CaFile()));
  EXPECT_EQ(ErrorTextOf([&] { EXPECT_TRUE(api.CheckCode(u"123 456 789")); }), reply.ExpectedError);
  EXPECT_EQ(api.DownloadUrl(), reply.ExpectedUrl);
}

INSTANTIATE_TEST_SUITE_P(Rules, ValidationReply, ::testing::ValuesIn(ReplyCases()),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

class ValidationReplyTransport : public ::testing::Test {
 protected:
  void Reply(std::function<void(httplib::Response&)> AFill) {
    TestService::Shared().On("POST", "/validate",
                             [AFill](const httplib::Request&, httplib::Response& AResponse) { AFill(AResponse); });
  }
  std::string Check(TzqRemoteSupportAPI& AApi) { return ErrorTextOf([&] { AApi.CheckCode(u"123456789"); }); }
  TzqRemoteSupportAPI FApi{EndpointFor(TestService::Shared().Url("/validate"), TestService::Shared().CaFile())};
};

TEST_F(ValidationReplyTransport, TheStatusIsNotExaminedOnlyTheBody) {
  Reply([](httplib::Response& AResponse) {
    AResponse.status = 404;
    AResponse.set_content(R"({"error":{"type":"InvalidCodeException","message":"gone"}})", "application/json");
  });
  EXPECT_EQ(Check(FApi), "[EInvalidCode] gone");
  Reply([](httplib::Response& AResponse) {
    AResponse.status = 500;
    AResponse.set_content(R"({"response":{"url":"https://h/a"}})", "application/json");
  });
  TzqRemoteSupportAPI second(EndpointFor(TestService::Shared().Url("/validate"), TestService::Shared().CaFile()));
  EXPECT_EQ(Check(second), "");
  EXPECT_EQ(second.DownloadUrl(), "https://h/a");
}

TEST_F(ValidationReplyTransport, AGzipReplyIsInflated) {
  Reply([](httplib::Response& AResponse) {
    AResponse.set_header("Content-Encoding", "gzip");
    AResponse.set_content(Gzip(R"({"response":{"url":"https://h/zipped"}})"), "application/json");
  });
  EXPECT_EQ(Check(FApi), "");
  EXPECT_EQ(FApi.DownloadUrl(), "https://h/zipped");
}

TEST_F(ValidationReplyTransport, TheDeclaredCharsetDecodesTheMessage) {
  Reply([](httplib::Response& AResponse) {
    AResponse.set_content("{\"error\":{\"type\":\"InvalidCodeException\",\"message\":\"Code p\xE9rim\xE9\"}}",
                          "application/json; charset=ISO-8859-1");
  });
  EXPECT_EQ(Check(FApi), "[EInvalidCode] Code p\xC3\xA9rim\xC3\xA9");
}

TEST_F(ValidationReplyTransport, AnUnknownCharsetIsAnEncodingError) {
  Reply([](httplib::Response& AResponse) {
    AResponse.set_content(R"({"response":{"url":"https://h/a"}})", "application/json; charset=x-no-such-set");
  });
  EXPECT_EQ(Check(FApi), "[EEncodingError] Invalid encoding name");
  EXPECT_EQ(FApi.DownloadUrl(), "");
}

TEST_F(ValidationReplyTransport, AnOversizedReplyIsAnUnknownError) {
  Reply([](httplib::Response& AResponse) {
    std::string body = R"({"response":{"url":"https://h/a"},"pad":")";
    body.append(TzqRemoteSupportAPI::kMaxReplyBytes, 'x');
    body += "\"}";
    AResponse.set_content(body, "application/json");
  });
  EXPECT_EQ(Check(FApi), kUnknown);
  EXPECT_EQ(FApi.DownloadUrl(), "");
}

TEST_F(ValidationReplyTransport, AReplyThatInflatesPastItsLimitIsAnUnknownError) {
  Reply([](httplib::Response& AResponse) {
    std::string body = R"({"response":{"url":"https://h/a"},"pad":")";
    body.append(TzqRemoteSupportAPI::kMaxReplyTextBytes, ' ');
    body += "\"}";
    AResponse.set_header("Content-Encoding", "gzip");
    AResponse.set_content(Gzip(body), "application/json");
  });
  EXPECT_EQ(Check(FApi), kUnknown);
}

TEST_F(ValidationReplyTransport, TransportFailuresReachTheCaller) {
  testing::ClosedPort closed;
  TzqRemoteSupportAPI api(EndpointFor(closed.Url("/validate"), TestService::Shared().CaFile()));
  EXPECT_THAT(Check(api), ::testing::StartsWith("[ENetHTTPClientException] Error sending data: (7) "));
}

// --- The applet download --------------------------------------------------------------------------------

class AppletDownload : public ::testing::Test {
 protected:
  AppletDownload() {
    service().ClearRequests();
    GiveUrl(service().Url("/applet"));
  }
  static TestService& service() { return TestService::Shared(); }

  void GiveUrl(const std::string& AUrl) {
    service().On("POST", "/validate", [AUrl](const httplib::Request&, httplib::Response& AResponse) {
      AResponse.set_header("Set-Cookie", "session=s3cr3t; Path=/; Secure; HttpOnly");
      AResponse.set_content(R"({"response":{"url":")" + AUrl + R"("}})", "application/json");
    });
  }
  void Serve(const std::string& APath, int AStatus, const std::string& ABody) {
    service().On("GET", APath, [AStatus, ABody](const httplib::Request&, httplib::Response& AResponse) {
      AResponse.status = AStatus;
      AResponse.set_content(ABody, "application/octet-stream");
    });
  }
  // Validation then download, as a run does them; the error text or "".
  std::string Run(ByteStream& AStream) {
    return ErrorTextOf([&] {
      FApi.CheckCode(u"123 456 789");
      FApi.DownloadApp(AStream);
    });
  }
  std::vector<RecordedRequest> Downloads() {
    std::vector<RecordedRequest> downloads;
    for (auto& request : service().Requests())
      if (request.Method == "GET") downloads.push_back(request);
    return downloads;
  }

  TzqRemoteSupportAPI FApi{EndpointFor(service().Url("/validate"), service().CaFile())};
};

TEST_F(AppletDownload, StoresTheBodyAsReceivedAndCarriesTheSessionCookie) {
  const std::string applet("\x7F" "ELF\0\x01\x02 binary \xFF", 17);
  Serve("/applet", 200, applet);
  ByteStream stream(TzqRemoteSupportAPI::kMaxAppletBytes);
  EXPECT_EQ(Run(stream), "");
  EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), applet);
  auto downloads = Downloads();
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0].Header("Cookie"), "session=s3cr3t");
  EXPECT_FALSE(downloads[0].HasHeader("Content-Type"));
  EXPECT_FALSE(downloads[0].HasHeader("X-Zvq-Auth"));
  EXPECT_EQ(downloads[0].Body, "");
}

TEST_F(AppletDownload, FollowsARedirectAndOnlyTheFinalStatusCounts) {
  service().On("GET", "/applet", [](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_redirect("/applet-v2", 302);
  });
  Serve("/applet-v2", 200, "MZ applet");
  ByteStream stream;
  EXPECT_EQ(Run(stream), "");
  EXPECT_EQ(stream.Size(), 9u);
}

TEST_F(AppletDownload, ANon2xxStatusFails) {
  for (int status : {404, 403, 500, 300}) {
    SCOPED_TRACE(status);
    Serve("/applet", status, "not here");
    ByteStream stream;
    TzqRemoteSupportAPI api(EndpointFor(service().Url("/validate"), service().CaFile()));
    EXPECT_EQ(ErrorTextOf([&] {
                api.CheckCode(u"123456789");
                api.DownloadApp(stream);
              }),
              "[EDownloadError] Error downloading applet");
    EXPECT_EQ(stream.Size(), 0u);
  }
}

TEST_F(AppletDownload, AnEmptyBodyIsNoError) {
  Serve("/applet", 204, "");
  ByteStream stream;
  EXPECT_EQ(Run(stream), "");
  EXPECT_EQ(stream.Size(), 0u);
}

TEST_F(AppletDownload, AnythingButHttpsIsRefusedWithoutARequest) {
  GiveUrl("http://127.0.0.1:" + std::to_string(service().Port()) + "/applet");
  ByteStream stream;
  EXPECT_EQ(Run(stream), "[EDownloadError] Error downloading applet");
  EXPECT_TRUE(Downloads().empty());
}

TEST_F(AppletDownload, ARedirectToHttpIsNotFollowed) {
  service().On("GET", "/applet", [](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_redirect("http://127.0.0.1:1/applet", 302);
  });
  ByteStream stream;
  EXPECT_EQ(Run(stream), "[EDownloadError] Error downloading applet");
  EXPECT_EQ(stream.Size(), 0u);
}

TEST_F(AppletDownload, AnUrlThatIsNoUriFailsBeforeAnyRequest) {
  for (const std::string url : {"12345", "ftp://127.0.0.1/applet", "https://127.0.0.1:99999/applet", "//h/a"}) {
    SCOPED_TRACE(url);
    GiveUrl(url);
    TzqRemoteSupportAPI api(EndpointFor(service().Url("/validate"), service().CaFile()));
    ByteStream stream;
    EXPECT_EQ(ErrorTextOf([&] {
                api.CheckCode(u"123456789");
                api.DownloadApp(stream);
              }),
              "[ENetURIException] Invalid URL: \"" + url + "\"");
  }
  EXPECT_TRUE(Downloads().empty());
}

TEST_F(AppletDownload, WithoutAUrlNothingIsRequested) {
  service().On("POST", "/validate", [](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_content("not json", "text/plain");
  });
  ByteStream stream;
  EXPECT_EQ(Run(stream), "");
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_TRUE(Downloads().empty());
}

TEST_F(AppletDownload, ABodyPastTheStreamsLimitFails) {
  Serve("/applet", 200, std::string(4096, 'A'));
  ByteStream stream(1024);
  EXPECT_EQ(Run(stream), "[EDownloadError] Error downloading applet");
  EXPECT_EQ(stream.Size(), 0u);
}

}  // namespace
}  // namespace zvq
