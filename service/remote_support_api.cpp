#include "service/remote_support_api.h"

#include <algorithm>
#include <chrono>

#include "service/deployment.h"
#include "errors/errors.h"
#include "service/json.h"
#include "service/signing.h"
#include "service/uri.h"

namespace zvq {

namespace {

constexpr const char* kUnknownValidationError = "Unknown error occurred validating code";
constexpr const char* kDownloadError = "Error downloading applet";

// At most ALimit bytes of the UTF-8 text AText, never ending inside a character.
std::string TruncateUtf8(std::string AText, std::size_t ALimit) {
  if (AText.size() <= ALimit) return AText;
  std::size_t end = ALimit;
  while (end > 0 && (static_cast<unsigned char>(AText[end]) & 0xC0) == 0x80) --end;
  AText.resize(end);
  return AText;
}

}  // namespace

TzqServiceEndpoint TzqServiceEndpoint::Compiled() {
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = deployment::kServiceUrl;
  endpoint.ExtraTrustAnchor = deployment::kExtraTrustAnchor;
  return endpoint;
}

void TzqRemoteSupportAPI::Prepare() {
  http::PrepareTransport();
  // The first HMAC looks its algorithm up in the cryptography library; one over nothing does that now.
  (void)HmacSha256({}, {});
}

TzqRemoteSupportAPI::TzqRemoteSupportAPI() : TzqRemoteSupportAPI(TzqServiceEndpoint::Compiled()) {}

TzqRemoteSupportAPI::TzqRemoteSupportAPI(TzqServiceEndpoint AEndpoint) : FEndpoint(std::move(AEndpoint)) {
  http::Settings settings = FEndpoint.Transport;
  settings.ExtraTrustAnchor = FEndpoint.ExtraTrustAnchor;
  FClient = std::make_unique<http::HttpClient>(std::move(settings));
}

TzqRemoteSupportAPI::~TzqRemoteSupportAPI() = default;

bool TzqRemoteSupportAPI::CheckCode(const std::u16string& ACode) {
  std::u16string code = ACode;
  std::erase(code, u' ');

  http::Request request;
  request.Method = "POST";
  request.Url = FEndpoint.ValidationUrl;
  request.Body = json::SerializeCodeRequest(code);
  request.Headers.push_back({"Content-Type", "application/json"});
  SignRequest(request);

  ByteStream body(kMaxReplyBytes);
  http::Response response;
  try {
    response = FClient->Execute(request, body);
  } catch (const http::EResponseTooLarge&) {
    throw ESupportLauncherException(kUnknownValidationError);
  }
  FDownloadUrl = ProcessValidationResponse(response, body);
  return true;
}

void TzqRemoteSupportAPI::SignRequest(http::Request& ARequest) {
  SigningHeaders signing = ComputeSigningHeaders(FEndpoint.NewGuid(), std::chrono::system_clock::now());
  ARequest.Headers.push_back({"X-Zvq-Request-Id", std::move(signing.RequestId)});
  ARequest.Headers.push_back({"X-Zvq-Calltime", std::move(signing.CallTime)});
  ARequest.Headers.push_back({"X-Zvq-Auth", std::move(signing.Auth)});
}

std::string TzqRemoteSupportAPI::ProcessValidationResponse(const http::Response& AResponse,
                                                           const ByteStream& ABody) {
  std::string text;
  try {
    text = http::ContentAsText(AResponse, ABody, kMaxReplyTextBytes);
  } catch (const http::EResponseTooLarge&) {
    throw ESupportLauncherException(kUnknownValidationError);
  }

  // A reply that is not a JSON object names no error: the run goes on without a URL.
  std::optional<json::Document> document = json::Document::Parse(text);
  if (!document || !document->Root().Raw().IsObject()) return {};

  std::optional<json::Value> member;
  if (TryGetJsonObject(document->Root(), "error", member)) ReadServiceError(*member);
  if (TryGetJsonObject(document->Root(), "response", member)) return ReadServiceResponse(*member);
  return {};
}

void TzqRemoteSupportAPI::ReadServiceError(const json::Value& AError) {
  std::string type;
  std::string message;
  if (TryGetJsonString(AError, "type", type) && TryGetJsonString(AError, "message", message)) {
    if (type == "InvalidCodeException") throw EInvalidCode(TruncateUtf8(message, kMaxMessageBytes));
    if (type == "StaleCallException") throw EStaleCall("Error validating code - please try again");
  }
  throw ESupportLauncherException(kUnknownValidationError);
}

std::string TzqRemoteSupportAPI::ReadServiceResponse(const json::Value& AResponse) {
  std::string url;
  TryGetJsonString(AResponse, "url", url);
  if (url.empty() || url.size() > kMaxUrlBytes) throw ESupportLauncherException(kUnknownValidationError);
  return url;
}

bool TzqRemoteSupportAPI::TryGetJsonString(const json::Value& AValue, std::string_view AName,
                                           std::string& AText) {
  AText.clear();
  std::optional<json::Value> member = json::FindMember(AValue, AName);
  if (!member) return false;
  std::optional<std::string> text = json::AsText(*member);
  if (!text) return false;
  AText = std::move(*text);
  return true;
}

bool TzqRemoteSupportAPI::TryGetJsonObject(const json::Value& AValue, std::string_view AName,
                                           std::optional<json::Value>& AObject) {
  AObject = json::FindMember(AValue, AName);
  return AObject.has_value();
}

void TzqRemoteSupportAPI::DownloadApp(http::BodySink& AStream) {
  if (FDownloadUrl.empty()) return;

  // We are about to run what this returns: only https, all the way (the client does not follow a redirect
  // to anything else, and that redirect's status then fails the download below).
  http::Uri uri = http::ParseUri(FDownloadUrl);
  if (uri.Scheme != "https") throw EDownloadError(kDownloadError);

  http::Request request;
  request.Method = "GET";
  request.Url = FDownloadUrl;
  http::Response response;
  try {
    response = FClient->Execute(request, AStream);
  } catch (const http::EResponseTooLarge&) {
    AStream.Discard();
    throw EDownloadError(kDownloadError);
  } catch (...) {
    // A transfer broken off mid-body leaves part of an applet: nothing anyone may keep.
    AStream.Discard();
    throw;
  }
  if (response.StatusCode < 200 || response.StatusCode >= 300) {
    AStream.Discard();
    throw EDownloadError(kDownloadError);
  }
}

}  // namespace zvq
