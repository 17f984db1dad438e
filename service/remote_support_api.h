#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/guid.h"
#include "service/byte_stream.h"
#include "service/http_client.h"

namespace zvq {

namespace json {
class Value;
}

// Where the client talks to. The shipped program uses the compiled-in constants; tests point it elsewhere.
struct TzqServiceEndpoint {
  std::string ValidationUrl;
  std::string ExtraTrustAnchor;
  http::Settings Transport{};
  std::function<platform::Guid()> NewGuid = platform::NewRandomGuid;

  static TzqServiceEndpoint Compiled();
};

// The launcher's only contact with the support service: the signed validation call and the applet
// download. One client serves one launch.
class TzqRemoteSupportAPI {
 public:
  static constexpr std::size_t kMaxReplyBytes = 1 << 20;          // validation reply as received
  static constexpr std::size_t kMaxReplyTextBytes = 4 << 20;      // ... after inflating, and as text
  // What is kept from a reply, far beyond anything the service sends: a message is shown in a message box
  // (longer ones are cut at a character boundary); a longer URL is not one we would ever be given, and is
  // refused as unusable.
  static constexpr std::size_t kMaxMessageBytes = 2 << 10;
  static constexpr std::size_t kMaxUrlBytes = 8 << 10;
  static constexpr std::size_t kMaxAppletBytes = std::size_t{1} << 30;

  // Loads and sets up the transport and the signing's cryptography, so that the first CheckCode waits for
  // neither. Any thread, any number of times. Raises transport faults as CheckCode would; one ignored here
  // comes back with the first request.
  static void Prepare();

  TzqRemoteSupportAPI();
  explicit TzqRemoteSupportAPI(TzqServiceEndpoint AEndpoint);
  ~TzqRemoteSupportAPI();
  TzqRemoteSupportAPI(const TzqRemoteSupportAPI&) = delete;
  TzqRemoteSupportAPI& operator=(const TzqRemoteSupportAPI&) = delete;

  // Sends the code (spaces removed) for validation. Returns normally when the service gave a download URL,
  // and also when the reply was unusable without naming an error; raises the launcher's errors otherwise.
  bool CheckCode(const std::u16string& ACode);

  // Downloads the applet into AStream (which should refuse more than kMaxAppletBytes); does nothing when no
  // URL is known. On failure AStream has been told to discard what it got.
  void DownloadApp(http::BodySink& AStream);

  const std::string& DownloadUrl() const { return FDownloadUrl; }

  // Member look-ups in a reply: they find something only inside an object that has the member. The string
  // form converts strings, numbers (their literal text), true/false and null (empty); objects and arrays fail.
  // AText is emptied first.
  static bool TryGetJsonString(const json::Value& AValue, std::string_view AName, std::string& AText);
  // Succeeds whenever the member exists, whatever its type.
  static bool TryGetJsonObject(const json::Value& AValue, std::string_view AName,
                               std::optional<json::Value>& AObject);

  // What CheckCode makes of the validation reply: the download URL, or "" for a reply that is not a JSON
  // object or names neither member; raises the launcher's errors. Needs no connection, so the reply rules
  // can be driven with any bytes.
  static std::string ProcessValidationResponse(const http::Response& AResponse, const ByteStream& ABody);

 private:
  [[noreturn]] static void ReadServiceError(const json::Value& AError);
  static std::string ReadServiceResponse(const json::Value& AResponse);
  void SignRequest(http::Request& ARequest);

  TzqServiceEndpoint FEndpoint;
  std::unique_ptr<http::HttpClient> FClient;
  std::string FDownloadUrl;
};

}  // namespace zvq
