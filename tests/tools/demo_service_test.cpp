#include "tools/demo_service/demo_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <rapidjson/document.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "service/ascii.h"

namespace zvq::demo {
namespace {

namespace fs = std::filesystem;

const std::string kKey = "zvq-demo-signing-key-2026 \xC3\xA9\xC3\xA8 never use outside demos";
const std::string kApplet = std::string("applet bytes\0\x01\xFF with a zero inside", 33);

// Recomputed here from OpenSSL, apart from the service's own code.
std::string HmacHex(const std::string& AKey, const std::string& AMessage) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), AKey.data(), static_cast<int>(AKey.size()),
       reinterpret_cast<const unsigned char*>(AMessage.data()), AMessage.size(), digest, &size);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string NewRequestId() {
  static std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) id += '-';
    id += kDigits[generator() % 16];
  }
  return id;
}

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A validation request as the launcher would send it; tests spoil one part at a time.
struct Call {
  std::string ContentType = "application/json";
  std::string RequestId = NewRequestId();
  std::string CallTime;
  std::string Auth;
  std::string Body;
};

struct Reply {
  int Status = 0;
  std::string ErrorType;
  std::string ErrorMessage;
  std::string Url;
  std::string SetCookie;
};

class DemoServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StateFolder() = fs::temp_directory_path() / ("zvq-demo-service-test-" + NewRequestId());
  }
  static void TearDownTestSuite() { fs::remove_all(StateFolder()); }
  static fs::path& StateFolder() {
    static fs::path folder;
    return folder;
  }

  void SetUp() override { Start(false); }

  void Start(bool ARedirect) {
    FService.reset();
    ServiceSettings settings;
    settings.Port = 0;
    settings.StateFolder = StateFolder();
    settings.SigningKey = kKey;
    settings.Applet = kApplet;
    settings.RedirectDownload = ARedirect;
    settings.Now = [this] { return std::chrono::system_clock::time_point(std::chrono::seconds(FNow.load())); };
    settings.OnRequestLine = [this](const std::string& ALine) {
      std::lock_guard lock(FLinesMutex);
      FLines.push_back(ALine);
    };
    FService = std::make_unique<DemoService>(std::move(settings));
  }

  std::unique_ptr<httplib::SSLClient> Client() const {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", FService->Port());
    client->set_ca_cert_path(FService->CaCertificatePath().string().c_str());
    client->enable_server_certificate_verification(true);
    return client;
  }

  Call SignedCall(const std::string& ACode, long long ACallTimeOffset = 0) const {
    Call call;
    call.CallTime = std::to_string(FNow.load() + ACallTimeOffset);
    call.Auth = HmacHex(kKey, call.CallTime + ":" + call.RequestId);
    call.Body = "{\"code\":\"" + ACode + "\"}";
    return call;
  }

  Reply Send(const Call& ACall, httplib::Headers headers = {}) const {
    if (!ACall.RequestId.empty()) headers.emplace("X-Zvq-Request-Id", ACall.RequestId);
    if (!ACall.CallTime.empty()) headers.emplace("X-Zvq-Calltime", ACall.CallTime);
    if (!ACall.Auth.empty()) headers.emplace("X-Zvq-Auth", ACall.Auth);
    const auto result = Client()->Post("/validate", headers, ACall.Body, ACall.ContentType.c_str());
    if (!result) {
      ADD_FAILURE() << "transport error " << httplib::to_string(result.error());
      return {};
    }
    Reply reply;
    reply.Status = result->status;
    reply.SetCookie = result->get_header_value("Set-Cookie");
    rapidjson::Document json;
    json.Parse(result->body.c_str(), result->body.size());
    EXPECT_FALSE(json.HasParseError()) << result->body;
    if (json.IsObject() && json.HasMember("error")) {
      reply.ErrorType = json["error"]["type"].GetString();
      reply.ErrorMessage = json["error"]["message"].GetString();
    }
    if (json.IsObject() && json.HasMember("response")) reply.Url = json["response"]["url"].GetString();
    return reply;
  }

  httplib::Result Get(const std::string& AUrl, const std::string& ACookie = {}) const {
    const std::string path = AUrl.substr(FService->BaseUrl().size());
    httplib::Headers headers;
    if (!ACookie.empty()) headers.emplace("Cookie", ACookie);
    return Client()->Get(path.c_str(), headers);
  }

  static std::string CookiePair(const std::string& ASetCookie) { return ASetCookie.substr(0, ASetCookie.find(';')); }

  std::vector<std::string> Lines() {
    std::lock_guard lock(FLinesMutex);
    return FLines;
  }

  std::atomic<long long> FNow{1'760'000'000};
  std::mutex FLinesMutex;
  std::vector<std::string> FLines;
  std::unique_ptr<DemoService> FService;
};

TEST_F(DemoServiceTest, AWorkingCodeGivesTheAppletUrlAndASessionCookieThatTheDownloadNeeds) {
  const Reply reply = Send(SignedCall("123456789"));
  ASSERT_EQ(reply.Status, 200) << reply.ErrorType << ": " << reply.ErrorMessage;
  EXPECT_TRUE(reply.ErrorType.empty());
  EXPECT_TRUE(reply.Url.starts_with(FService->BaseUrl() + "/applet/")) << reply.Url;
  EXPECT_TRUE(reply.SetCookie.starts_with("zvq_session=")) << reply.SetCookie;
  for (const char* attribute : {"; Path=/", "; Secure", "; HttpOnly"}) {
    EXPECT_NE(reply.SetCookie.find(attribute), std::string::npos) << attribute << " in " << reply.SetCookie;
  }

  const auto withoutCookie = Get(reply.Url);
  ASSERT_TRUE(withoutCookie);
  EXPECT_EQ(withoutCookie->status, 403);

  const Reply other = Send(SignedCall("123456789"));
  const auto withAnotherSessionsCookie = Get(reply.Url, CookiePair(other.SetCookie));
  ASSERT_TRUE(withAnotherSessionsCookie);
  EXPECT_EQ(withAnotherSessionsCookie->status, 403);

  const auto download = Get(reply.Url, "other=1; " + CookiePair(reply.SetCookie));
  ASSERT_TRUE(download);
  EXPECT_EQ(download->status, 200);
  EXPECT_EQ(download->get_header_value("Content-Type"), "application/octet-stream");
  EXPECT_EQ(download->body, kApplet);

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_TRUE(lines[0].starts_with("POST /validate 200 accepted code 123 456 789")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("GET /applet/") && lines[1].find(" 403 ") != std::string::npos) << lines[1];
  EXPECT_TRUE(lines[4].starts_with("GET /applet/") && lines[4].find(" 200 applet sent (33 bytes)") != std::string::npos)
      << lines[4];
}

TEST_F(DemoServiceTest, AClientThatAskedForLocalhostGetsItsAppletUrlUnderThatName) {
  const std::string port = std::to_string(FService->Port());
  const struct {
    const char* Host;
    std::string UrlStart;
  } rows[] = {
      {"localhost:", "https://localhost:" + port + "/applet/"},
      {"127.0.0.1:", FService->BaseUrl() + "/applet/"},
      {"elsewhere.example:", FService->BaseUrl() + "/applet/"},
  };
  for (const auto& row : rows) {
    const Reply reply = Send(SignedCall("123456789"), {{"Host", row.Host + port}});
    EXPECT_TRUE(reply.Url.starts_with(row.UrlStart)) << row.Host << " gave " << reply.Url;
  }
}

TEST_F(DemoServiceTest, TheRedirectOptionSendsTheDownloadThroughOne302) {
  Start(true);
  const Reply reply = Send(SignedCall("123456789"));
  ASSERT_EQ(reply.Status, 200);
  const std::string token = reply.Url.substr(reply.Url.rfind('/') + 1);
  EXPECT_EQ(reply.Url, FService->BaseUrl() + "/download/" + token);

  const auto redirect = Get(reply.Url, CookiePair(reply.SetCookie));
  ASSERT_TRUE(redirect);
  EXPECT_EQ(redirect->status, 302);
  const std::string location = redirect->get_header_value("Location");
  EXPECT_EQ(location, FService->BaseUrl() + "/applet/" + token);

  const auto download = Get(location, CookiePair(reply.SetCookie));
  ASSERT_TRUE(download);
  EXPECT_EQ(download->body, kApplet);
}

TEST_F(DemoServiceTest, AnAppletLinkLastsTenMinutes) {
  const Reply reply = Send(SignedCall("123456789"));
  FNow += 599;
  EXPECT_EQ(Get(reply.Url, CookiePair(reply.SetCookie))->status, 200);
  FNow += 1;
  EXPECT_EQ(Get(reply.Url, CookiePair(reply.SetCookie))->status, 404);
}

struct RefusalRow {
  const char* Name;
  void (*Spoil)(Call&);
  long long CallTimeOffset;
  const char* Code;
  const char* Type;
  const char* Message;  // exact when given
};

TEST_F(DemoServiceTest, RequestsTheServiceRefuses) {
  const RefusalRow rows[] = {
      {"a signature with one digit changed",
       [](Call& ACall) { ACall.Auth[10] = ACall.Auth[10] == '0' ? '1' : '0'; }, 0, "123456789",
       "AuthenticationException", nullptr},
      {"a signature made with another key",
       [](Call& ACall) { ACall.Auth = HmacHex("another key", ACall.CallTime + ":" + ACall.RequestId); }, 0,
       "123456789", "AuthenticationException", nullptr},
      {"a signature over another call time",
       [](Call& ACall) {
         ACall.CallTime = std::to_string(std::stoll(ACall.CallTime) + 1);
       },
       0, "123456789", "AuthenticationException", nullptr},
      {"no signature header", [](Call& ACall) { ACall.Auth.clear(); }, 0, "123456789", "AuthenticationException",
       nullptr},
      {"an upper-case request id",
       [](Call& ACall) {
         for (char& c : ACall.RequestId) c = ascii::ToUpper(c);
         ACall.Auth = HmacHex(kKey, ACall.CallTime + ":" + ACall.RequestId);
       },
       0, "123456789", "BadRequestException", nullptr},
      {"a call time 301 s ahead", [](Call&) {}, 301, "123456789", "StaleCallException", nullptr},
      {"a call time 301 s behind", [](Call&) {}, -301, "123456789", "StaleCallException", nullptr},
      {"Content-Type text/plain", [](Call& ACall) { ACall.ContentType = "text/plain"; }, 0, "123456789",
       "BadRequestException", nullptr},
      {"Content-Type with a charset parameter",
       [](Call& ACall) { ACall.ContentType = "application/json; charset=utf-8"; }, 0, "123456789",
       "BadRequestException", nullptr},
      {"a body that is not JSON", [](Call& ACall) { ACall.Body = "code=123456789"; }, 0, "123456789",
       "BadRequestException", nullptr},
      {"a code given as a number", [](Call& ACall) { ACall.Body = "{\"code\":123456789}"; }, 0, "123456789",
       "BadRequestException", nullptr},
      {"an unknown code", [](Call&) {}, 0, "987654321", "InvalidCodeException",
       "The support code 987 654 321 is not valid. Please check it with your technician."},
      {"an expired code", [](Call&) {}, 0, "111222333", "InvalidCodeException",
       "The support code 111 222 333 has expired. Please ask your technician for a new one."},
  };
  for (const RefusalRow& row : rows) {
    SCOPED_TRACE(row.Name);
    Call call = SignedCall(row.Code, row.CallTimeOffset);
    row.Spoil(call);
    const Reply reply = Send(call);
    EXPECT_EQ(reply.ErrorType, row.Type);
    EXPECT_FALSE(reply.ErrorMessage.empty());
    if (row.Message != nullptr) {
      EXPECT_EQ(reply.ErrorMessage, row.Message);
    }
    EXPECT_TRUE(reply.Url.empty());
    EXPECT_TRUE(reply.SetCookie.empty());
  }
}

TEST_F(DemoServiceTest, ACallTimeExactly300SecondsOffIsStillFresh) {
  for (const long long offset : {300LL, -300LL}) {
    SCOPED_TRACE(offset);
    const Reply reply = Send(SignedCall("123456789", offset));
    EXPECT_EQ(reply.ErrorType, "");
    EXPECT_FALSE(reply.Url.empty());
  }
}

TEST_F(DemoServiceTest, ARequestIdIsSpentForTenMinutes) {
  Call call = SignedCall("123456789");
  EXPECT_TRUE(Send(call).ErrorType.empty());
  EXPECT_EQ(Send(call).ErrorType, "StaleCallException");

  const auto resignedAfter = [&](long long ASeconds) {
    FNow += ASeconds;
    call.CallTime = std::to_string(FNow.load());
    call.Auth = HmacHex(kKey, call.CallTime + ":" + call.RequestId);
    return Send(call);
  };
  EXPECT_EQ(resignedAfter(599).ErrorType, "StaleCallException");
  EXPECT_EQ(resignedAfter(1).ErrorType, "");
}

TEST_F(DemoServiceTest, UnknownPathsAndTokensAreNotFound) {
  EXPECT_EQ(Client()->Get("/")->status, 404);
  EXPECT_EQ(Client()->Get("/validate")->status, 404);
  EXPECT_EQ(Get(FService->BaseUrl() + "/applet/" + std::string(32, 'a'))->status, 404);
}

TEST_F(DemoServiceTest, TheCertificatesAreMadeOnceAndServe127001AndLocalhost) {
  const std::string ca = ReadFile(StateFolder() / "ca-cert.pem");
  const std::string server = ReadFile(StateFolder() / "server-cert.pem");
  Start(false);
  EXPECT_EQ(ReadFile(StateFolder() / "ca-cert.pem"), ca);
  EXPECT_EQ(ReadFile(StateFolder() / "server-cert.pem"), server);

  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(server.data(), static_cast<int>(server.size())),
                                                &BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                          &X509_free);
  ASSERT_NE(certificate, nullptr);
  EXPECT_EQ(X509_check_ip_asc(certificate.get(), "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_host(certificate.get(), "localhost", 0, 0, nullptr), 1);

  // A damaged server certificate is issued again by the same CA, so a trusted CA file stays trusted.
  FService.reset();
  std::ofstream(StateFolder() / "server-cert.pem", std::ios::trunc) << "damaged";
  Start(false);
  EXPECT_EQ(ReadFile(StateFolder() / "ca-cert.pem"), ca);
  EXPECT_NE(ReadFile(StateFolder() / "server-cert.pem"), server);
  EXPECT_EQ(Send(SignedCall("123456789")).ErrorType, "");
}

TEST_F(DemoServiceTest, ATakenPortIsReportedNotIgnored) {
  ServiceSettings settings;
  settings.Port = FService->Port();
  settings.StateFolder = StateFolder();
  settings.SigningKey = kKey;
  EXPECT_THROW(DemoService{std::move(settings)}, Exception);
}

TEST(SigningKeyFile, TheKeyIsTheFilesTextWithoutByteOrderMarkOrTrailingLineBreaks) {
  const fs::path file = fs::temp_directory_path() / ("zvq-demo-key-" + NewRequestId());
  std::ofstream(file, std::ios::binary) << "\xEF\xBB\xBF" << kKey << "\r\n";
  EXPECT_EQ(LoadSigningKey(file), kKey);
  fs::remove(file);
  EXPECT_THROW(LoadSigningKey(file), Exception);
}

}  // namespace
}  // namespace zvq::demo
