#include "tools/demo_service/demo_service.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "errors/errors.h"
#include "tools/demo_service/certificates.h"
#include "tools/demo_service/socket_options.h"

namespace zvq::demo {
namespace {

using Clock = std::chrono::system_clock;

constexpr std::size_t kMaxRequestBody = 64 * 1024;
constexpr std::chrono::minutes kSessionLifetime{10};

// A refusal of the validation call: the error member of the reply, with an HTTP status that a real service
// would plausibly use. The launcher judges the body alone.
struct Refusal {
  int Status;
  std::string Type;
  std::string Message;
};

std::string Hex(const unsigned char* AData, std::size_t ASize) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(ASize * 2);
  for (std::size_t i = 0; i < ASize; ++i) {
    text += kDigits[AData[i] >> 4];
    text += kDigits[AData[i] & 0x0f];
  }
  return text;
}

std::string RandomToken() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Exception("The random generator failed");
  return Hex(bytes, sizeof bytes);
}

std::string Signature(const std::string& AKey, const std::string& AMessage) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), AKey.data(), static_cast<int>(AKey.size()),
           reinterpret_cast<const unsigned char*>(AMessage.data()), AMessage.size(), digest, &size) == nullptr) {
    throw Exception("HMAC-SHA256 failed");
  }
  return Hex(digest, size);
}

bool SameSecret(const std::string& AExpected, const std::string& AGiven) {
  return AExpected.size() == AGiven.size() && CRYPTO_memcmp(AExpected.data(), AGiven.data(), AGiven.size()) == 0;
}

// The launcher's identifier: a GUID in its 8-4-4-4-12 form, lower-case hexadecimal.
bool IsRequestId(std::string_view AText) {
  if (AText.size() != 36) return false;
  for (std::size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<std::int32_t> ParseCallTime(std::string_view AText) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
  if (AText.empty() || error != std::errc() || end != AText.data() + AText.size()) return std::nullopt;
  return value;
}

// The launcher keeps only the low 32 bits of its clock, so the distance is taken modulo 2^32; this keeps
// working after 2038.
std::int64_t CallTimeDistance(std::int32_t ACallTime, Clock::time_point ANow) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(ANow.time_since_epoch()).count();
  const auto difference = static_cast<std::uint32_t>(ACallTime) - static_cast<std::uint32_t>(now);
  const auto distance = static_cast<std::int64_t>(static_cast<std::int32_t>(difference));
  return distance < 0 ? -distance : distance;
}

// "123 456 789" for nine ASCII digits, the text as sent otherwise.
std::string DisplayCode(const std::string& ACode) {
  const bool nineDigits =
      ACode.size() == 9 && ACode.find_first_not_of("0123456789") == std::string::npos;
  if (!nineDigits) return ACode;
  return ACode.substr(0, 3) + " " + ACode.substr(3, 3) + " " + ACode.substr(6, 3);
}

std::string ErrorBody(const Refusal& ARefusal) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("error");
  writer.StartObject();
  writer.Key("type");
  writer.String(ARefusal.Type.c_str(), static_cast<rapidjson::SizeType>(ARefusal.Type.size()));
  writer.Key("message");
  writer.String(ARefusal.Message.c_str(), static_cast<rapidjson::SizeType>(ARefusal.Message.size()));
  writer.EndObject();
  writer.EndObject();
  return buffer.GetString();
}

std::string ResponseBody(const std::string& AUrl) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("response");
  writer.StartObject();
  writer.Key("url");
  writer.String(AUrl.c_str(), static_cast<rapidjson::SizeType>(AUrl.size()));
  writer.EndObject();
  writer.EndObject();
  return buffer.GetString();
}

// Every value the named cookie has in the request's "Cookie" headers.
bool HasCookie(const httplib::Request& ARequest, std::string_view AName, const std::string& AValue) {
  const auto count = ARequest.get_header_value_count("Cookie");
  for (std::size_t n = 0; n < count; ++n) {
    const std::string header = ARequest.get_header_value("Cookie", n);
    std::string_view rest = header;
    while (!rest.empty()) {
      const auto end = rest.find(';');
      std::string_view pair = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
      const auto equals = pair.find('=');
      if (equals != std::string_view::npos && pair.substr(0, equals) == AName &&
          SameSecret(AValue, std::string(pair.substr(equals + 1)))) {
        return true;
      }
    }
  }
  return false;
}

struct Session {
  std::string Id;  // the cookie's value
  Clock::time_point Expires;
};

}  // namespace

struct DemoService::Impl {
  explicit Impl(ServiceSettings ASettings)
      : FSettings(std::move(ASettings)),
        FCredentials(LoadOrMakeCredentials(FSettings.StateFolder)),
        FServer(FCredentials.Certificate.get(), FCredentials.Key.get()) {
    if (!FServer.is_valid()) throw Exception("The demo service's TLS context could not be set up");
    FServer.set_socket_options(SetListenSocketOptions);
    // Replies go out as header and body writes; Nagle would hold the second until the client's delayed ACK.
    FServer.set_tcp_nodelay(true);
    FServer.set_payload_max_length(kMaxRequestBody);
    FServer.set_keep_alive_timeout(FSettings.IdleTimeout.count());
    Route();
    constexpr const char* kHost = "127.0.0.1";
    if (FSettings.Port == 0) {
      FPort = FServer.bind_to_any_port(kHost);
    } else if (FServer.bind_to_port(kHost, FSettings.Port)) {
      FPort = FSettings.Port;
    } else {
      FPort = -1;
    }
    if (FPort <= 0) {
      throw Exception("Cannot listen on " + std::string(kHost) + ":" + std::to_string(FSettings.Port) +
                      " (is another service running there?)");
    }
    // The socket listens from the bind on, so clients may connect before this thread accepts.
    FThread = std::thread([this] {
      FServer.listen_after_bind();
      FListenEnded = true;
    });
  }

  void Stop() {
    if (!FThread.joinable()) return;
    // stop() only takes effect once the accept loop is running; the window before that is a few instructions.
    while (!FServer.is_running() && !FListenEnded) std::this_thread::yield();
    FServer.stop();
    FThread.join();
  }

  std::string BaseUrl() const { return "https://127.0.0.1:" + std::to_string(FPort); }

  // Links in replies use the name the client reached the service by, when that is "localhost": some TLS
  // stacks (Wine's) check only names, not IP addresses, against a certificate. Any other Host gets the address.
  std::string BaseUrlFor(const httplib::Request& ARequest) const {
    const std::string localhost = "localhost:" + std::to_string(FPort);
    return ARequest.get_header_value("Host") == localhost ? "https://" + localhost : BaseUrl();
  }

  void Route() {
    FServer.Post("/validate", [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
      Guarded(ARequest, AResponse, [&] { return Validate(ARequest, AResponse); });
    });
    FServer.Get(R"(/applet/([0-9a-f]{32}))", [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
      Guarded(ARequest, AResponse, [&] { return Download(ARequest, AResponse); });
    });
    FServer.Get(R"(/download/([0-9a-f]{32}))",
                [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
                  Guarded(ARequest, AResponse, [&] {
                    const std::string target = BaseUrlFor(ARequest) + "/applet/" + ARequest.matches[1].str();
                    AResponse.set_redirect(target, 302);
                    return "redirect to " + target;
                  });
                });
    const auto unknown = [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
      Guarded(ARequest, AResponse, [&] {
        AResponse.status = 404;
        AResponse.set_content("Not found\n", "text/plain");
        return std::string("no such resource");
      });
    };
    FServer.Get(".*", unknown);
    FServer.Post(".*", unknown);
  }

  template <class Handler>
  void Guarded(const httplib::Request& ARequest, httplib::Response& AResponse, Handler AHandler) {
    std::string outcome;
    try {
      outcome = AHandler();
      if (AResponse.status == -1) AResponse.status = 200;  // the library's "not set yet"
    } catch (const std::exception& error) {
      AResponse.status = 500;
      AResponse.set_content("Internal error\n", "text/plain");
      outcome = std::string("internal error: ") + error.what();
    }
    std::lock_guard lock(FMutex);
    if (FSettings.OnRequestLine) {
      FSettings.OnRequestLine(ARequest.method + " " + ARequest.path + " " + std::to_string(AResponse.status) +
                              " " + outcome);
    }
  }

  std::string Refuse(httplib::Response& AResponse, Refusal ARefusal) {
    AResponse.status = ARefusal.Status;
    AResponse.set_content(ErrorBody(ARefusal), "application/json; charset=utf-8");
    return ARefusal.Type + ": " + ARefusal.Message;
  }

  std::string Validate(const httplib::Request& ARequest, httplib::Response& AResponse) {
    const auto now = FSettings.Now();
    if (ARequest.get_header_value_count("Content-Type") != 1 ||
        ARequest.get_header_value("Content-Type") != "application/json") {
      return Refuse(AResponse, {400, "BadRequestException", "The request must be sent as application/json."});
    }
    for (const char* header : {"X-Zvq-Request-Id", "X-Zvq-Calltime", "X-Zvq-Auth"}) {
      if (ARequest.get_header_value_count(header) != 1) {
        return Refuse(AResponse, {401, "AuthenticationException",
                                  std::string("The request is not signed: one ") + header + " header is required."});
      }
    }
    const std::string requestId = ARequest.get_header_value("X-Zvq-Request-Id");
    const std::string callTimeText = ARequest.get_header_value("X-Zvq-Calltime");
    const auto callTime = ParseCallTime(callTimeText);
    if (!IsRequestId(requestId) || !callTime) {
      return Refuse(AResponse, {400, "BadRequestException", "The request id or the call time is malformed."});
    }
    if (!SameSecret(Signature(FSettings.SigningKey, callTimeText + ":" + requestId),
                    ARequest.get_header_value("X-Zvq-Auth"))) {
      return Refuse(AResponse, {401, "AuthenticationException", "The request's signature is not valid."});
    }
    if (CallTimeDistance(*callTime, now) > kCallTimeTolerance.count()) {
      return Refuse(AResponse, {401, "StaleCallException", "The call time is too far from the service's clock."});
    }
    if (!SpendRequestId(requestId, now)) {
      return Refuse(AResponse, {401, "StaleCallException", "This request id has been used already."});
    }

    rapidjson::Document body;
    body.Parse(ARequest.body.c_str(), ARequest.body.size());
    if (body.HasParseError() || !body.IsObject() || !body.HasMember("code") || !body["code"].IsString()) {
      return Refuse(AResponse, {400, "BadRequestException", "The body must be a JSON object with a string \"code\"."});
    }
    const std::string code(body["code"].GetString(), body["code"].GetStringLength());
    if (code == kExpiredCode) {
      return Refuse(AResponse, {410, "InvalidCodeException",
                                "The support code " + DisplayCode(code) +
                                    " has expired. Please ask your technician for a new one."});
    }
    if (code != kWorkingCode) {
      return Refuse(AResponse, {404, "InvalidCodeException",
                                "The support code " + DisplayCode(code) +
                                    " is not valid. Please check it with your technician."});
    }

    const std::string token = RandomToken();
    const std::string sessionId = RandomToken();
    {
      std::lock_guard lock(FMutex);
      FSessions[token] = Session{sessionId, now + kSessionLifetime};
    }
    const std::string url = BaseUrlFor(ARequest) + (FSettings.RedirectDownload ? "/download/" : "/applet/") + token;
    AResponse.set_header("Set-Cookie", std::string(kSessionCookieName) + "=" + sessionId +
                                           "; Path=/; Max-Age=" +
                                           std::to_string(std::chrono::seconds(kSessionLifetime).count()) +
                                           "; Secure; HttpOnly");
    AResponse.set_content(ResponseBody(url), "application/json; charset=utf-8");
    return "accepted code " + DisplayCode(code) + ", applet at " + url;
  }

  // False when the id was seen within the replay window; records it otherwise.
  bool SpendRequestId(const std::string& ARequestId, Clock::time_point ANow) {
    std::lock_guard lock(FMutex);
    std::erase_if(FSeenRequestIds, [&](const auto& AEntry) { return AEntry.second + kReplayWindow <= ANow; });
    return FSeenRequestIds.emplace(ARequestId, ANow).second;
  }

  std::string Download(const httplib::Request& ARequest, httplib::Response& AResponse) {
    const auto now = FSettings.Now();
    std::optional<Session> session;
    {
      std::lock_guard lock(FMutex);
      std::erase_if(FSessions, [&](const auto& AEntry) { return AEntry.second.Expires <= now; });
      const auto found = FSessions.find(ARequest.matches[1].str());
      if (found != FSessions.end()) session = found->second;
    }
    if (!session) {
      AResponse.status = 404;
      AResponse.set_content("Unknown or expired applet link\n", "text/plain");
      return "unknown or expired applet link";
    }
    if (!HasCookie(ARequest, kSessionCookieName, session->Id)) {
      AResponse.status = 403;
      AResponse.set_content("No session for this applet link\n", "text/plain");
      return "refused: no session cookie for this link";
    }
    // Streamed from the one copy the service holds: a copy per request would make the stand-in, not the
    // launcher, the slow side of a large download.
    const std::string& applet = FSettings.Applet;
    AResponse.set_content_provider(
        applet.size(), "application/octet-stream",
        [&applet](std::size_t AOffset, std::size_t ALength, httplib::DataSink& ASink) {
          constexpr std::size_t kChunk = std::size_t{1} << 20;
          return ASink.write(applet.data() + AOffset, ALength < kChunk ? ALength : kChunk);
        });
    return "applet sent (" + std::to_string(FSettings.Applet.size()) + " bytes)";
  }

  ServiceSettings FSettings;
  ServerCredentials FCredentials;
  httplib::SSLServer FServer;
  int FPort = 0;
  std::mutex FMutex;  // the tables and the line sink
  std::map<std::string, Clock::time_point> FSeenRequestIds;
  std::map<std::string, Session> FSessions;  // by applet token
  std::atomic<bool> FListenEnded{false};
  std::thread FThread;
};

std::string ReadWholeFile(const std::filesystem::path& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  std::string bytes;
  if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) throw Exception("Cannot read " + AFile.string());
  return bytes;
}

std::string LoadSigningKey(const std::filesystem::path& AKeyFile) {
  std::string key = ReadWholeFile(AKeyFile);
  if (key.starts_with("\xEF\xBB\xBF")) key.erase(0, 3);
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  if (key.empty()) throw Exception("The signing key file " + AKeyFile.string() + " is empty");
  return key;
}

DemoService::DemoService(ServiceSettings ASettings) : FImpl(std::make_unique<Impl>(std::move(ASettings))) {}

DemoService::~DemoService() { FImpl->Stop(); }

int DemoService::Port() const noexcept { return FImpl->FPort; }

std::string DemoService::BaseUrl() const { return FImpl->BaseUrl(); }

const std::filesystem::path& DemoService::CaCertificatePath() const noexcept {
  return FImpl->FCredentials.CaCertificatePath;
}

void DemoService::Stop() { FImpl->Stop(); }

}  // namespace zvq::demo
