#include "service/http_client.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>
#include <optional>
#include <stdexcept>

#include "service/ascii.h"
#include "service/curl_handles.h"
#include "service/http_rules.h"

namespace zvq::http {

namespace {

using rules::IsHeaderTextValid;
using rules::IsRedirectStatus;
using rules::kMaxHeadBytes;
using rules::kMaxRedirectBodyBytes;
using rules::kUserAgent;
using rules::Trim;

bool SameText(std::string_view A, std::string_view B) { return ascii::EqualsIgnoringCase(A, B); }

std::string Format(const char* ATemplate, CURLcode ACode, std::string_view AText) {
  std::string message(ATemplate);
  message += " (" + std::to_string(static_cast<int>(ACode)) + ") ";
  message += AText;
  return message;
}

// ALocation resolved against ABase; empty when it cannot be resolved.
std::string ResolveLocation(const std::string& ABase, const std::string& ALocation) {
  UrlHandle url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, ABase.c_str(), 0) != CURLUE_OK) return {};
  if (curl_url_set(url.get(), CURLUPART_URL, ALocation.c_str(), CURLU_URLENCODE) != CURLUE_OK) return {};
  char* text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return {};
  CurlText owned(text);
  return owned.get();
}

std::string SchemeOf(const std::string& AUrl) {
  UrlHandle url(curl_url());
  char* text = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, AUrl.c_str(), 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_SCHEME, &text, 0) != CURLUE_OK)
    return {};
  CurlText owned(text);
  return owned.get();
}

std::optional<std::size_t> ParseLength(std::string_view AText) {
  std::size_t value = 0;
  const auto* end = AText.data() + AText.size();
  auto [ptr, error] = std::from_chars(AText.data(), end, value);
  if (error != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Trust anchors from a PEM file, parsed once on first use and added to the store of every TLS context the
// client makes.
class ExtraTrustAnchors {
 public:
  explicit ExtraTrustAnchors(std::string APath) : FPath(std::move(APath)) {}

  static CURLcode OnSslContext(CURL*, void* AContext, void* AAnchors) {
    try {
      static_cast<ExtraTrustAnchors*>(AAnchors)->AddTo(static_cast<SSL_CTX*>(AContext));
      return CURLE_OK;
    } catch (...) {
      return CURLE_SSL_CACERT_BADFILE;
    }
  }

 private:
  struct X509Free {
    void operator()(X509* ACertificate) const noexcept { X509_free(ACertificate); }
  };
  struct BioFree {
    void operator()(BIO* ABio) const noexcept { BIO_free(ABio); }
  };

  void AddTo(SSL_CTX* AContext) {
    if (FCertificates.empty()) Load();
    X509_STORE* store = SSL_CTX_get_cert_store(AContext);
    for (const auto& certificate : FCertificates)
      if (store == nullptr || X509_STORE_add_cert(store, certificate.get()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("trust anchor not added");
      }
  }

  void Load() {
    std::unique_ptr<BIO, BioFree> file(BIO_new_file(FPath.c_str(), "r"));
    while (file) {
      std::unique_ptr<X509, X509Free> certificate(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
      if (!certificate) break;
      FCertificates.push_back(std::move(certificate));
    }
    ERR_clear_error();  // the end of the file reads as an error too
    if (FCertificates.empty()) throw std::runtime_error("no trust anchor in " + FPath);
  }

  std::string FPath;
  std::vector<std::unique_ptr<X509, X509Free>> FCertificates;
};

}  // namespace

struct HttpClient::Impl {
  explicit Impl(Settings ASettings);

  Response Execute(const Request& ARequest, BodySink& ABody);

  // One request/response exchange without following anything.
  Response PerformHop(const Request& AHop, BodySink& ABody, bool& AFollowable, std::string& ANextUrl);
  void PrepareHop(const Request& AHop);
  [[noreturn]] void RaiseTransportError(CURLcode ACode);
  std::string ErrorText(CURLcode ACode) const;

  template <class T>
  void SetOption(CURLoption AOption, T AValue) {
    const CURLcode code = curl_easy_setopt(FCurl.get(), AOption, AValue);
    if (code != CURLE_OK) throw ENetHTTPRequestException(Format("Error opening request:", code, ErrorText(code)));
  }

  static std::size_t OnHeader(char* AData, std::size_t ASize, std::size_t ACount, void* AImpl);
  static std::size_t OnWrite(char* AData, std::size_t ASize, std::size_t ACount, void* AImpl);
  static int OnProgress(void* AImpl, curl_off_t ADownTotal, curl_off_t ADownNow, curl_off_t AUpTotal,
                        curl_off_t AUpNow);
  std::size_t TakeHeaderLine(std::string_view ALine);
  void HeadersComplete();

  Settings FSettings;
  EasyHandle FCurl;
  std::array<char, CURL_ERROR_SIZE> FErrorBuffer{};
  HeaderList FHeaderList;
  std::optional<ExtraTrustAnchors> FExtraAnchors;

  // State of the hop in progress, read and written by the callbacks.
  std::string FHopUrl;
  BodySink* FBody = nullptr;
  long FStatus = 0;
  std::vector<Header> FHeaders;
  std::size_t FWritten = 0;  // body bytes this hop put into FBody
  std::size_t FDropped = 0;  // body bytes of a followed redirect
  bool FResponseStarted = false;
  bool FFollowable = false;  // a redirect we will follow: its body is dropped
  std::string FNextUrl;
  std::exception_ptr FSinkFailure;  // what the body sink raised; libcurl must not see it
  bool FStalled = false;
  std::size_t FHeadBytes = 0;  // of the response being received
  bool FHeadTooLarge = false;
  std::chrono::steady_clock::time_point FLastProgress;
  bool FConnected = false;
  curl_off_t FLastDown = 0;
  curl_off_t FLastUp = 0;
};

HttpClient::Impl::Impl(Settings ASettings) : FSettings(std::move(ASettings)) {
  FCurl.reset(curl_easy_init());
  if (!FCurl) throw ENetHTTPClientException("Error obtaining session handle");

  SetOption(CURLOPT_ERRORBUFFER, FErrorBuffer.data());
  SetOption(CURLOPT_NOSIGNAL, 1L);  // worker threads; name resolution time-outs must not use signals
  SetOption(CURLOPT_USERAGENT, kUserAgent);
  SetOption(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  SetOption(CURLOPT_PROTOCOLS_STR, "http,https");
  // Our own loop follows redirects: libcurl's would keep a custom "Content-Type" on a POST turned GET.
  SetOption(CURLOPT_FOLLOWLOCATION, 0L);
  SetOption(CURLOPT_COOKIEFILE, "");  // in-memory cookie engine, shared by the calls of this client
  SetOption(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  SetOption(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FSettings.ConnectTimeout.count()));
  SetOption(CURLOPT_SSL_VERIFYPEER, 1L);
  SetOption(CURLOPT_SSL_VERIFYHOST, 2L);

  // The system's store as libcurl would use it, but only through its hashed directory: OpenSSL then reads
  // the one certificate a handshake needs instead of parsing the whole bundle for every connection.
  char* systemDirectory = nullptr;
  if (curl_easy_getinfo(FCurl.get(), CURLINFO_CAPATH, &systemDirectory) == CURLE_OK && systemDirectory != nullptr)
    SetOption(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  if (!FSettings.ExtraTrustAnchor.empty()) {
    // Added to each connection's store beside the system's; read on the first handshake only.
    FExtraAnchors.emplace(FSettings.ExtraTrustAnchor);
    SetOption(CURLOPT_SSL_CTX_FUNCTION, &ExtraTrustAnchors::OnSslContext);
    SetOption(CURLOPT_SSL_CTX_DATA, &*FExtraAnchors);
  }

  // Integrated authentication with the user's own ticket, only when a server or proxy asks for it.
  if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SPNEGO) != 0) {
    SetOption(CURLOPT_HTTPAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_ONLY);
    SetOption(CURLOPT_USERPWD, ":");
    SetOption(CURLOPT_PROXYAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_ONLY);
    SetOption(CURLOPT_PROXYUSERPWD, ":");
  }

  SetOption(CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
  SetOption(CURLOPT_HEADERDATA, this);
  SetOption(CURLOPT_WRITEFUNCTION, &Impl::OnWrite);
  SetOption(CURLOPT_WRITEDATA, this);
  SetOption(CURLOPT_XFERINFOFUNCTION, &Impl::OnProgress);
  SetOption(CURLOPT_XFERINFODATA, this);
  SetOption(CURLOPT_NOPROGRESS, 0L);
}

std::string HttpClient::Impl::ErrorText(CURLcode ACode) const {
  if (FErrorBuffer[0] != '\0') return std::string(Trim(FErrorBuffer.data()));
  return curl_easy_strerror(ACode);
}

void HttpClient::Impl::PrepareHop(const Request& AHop) {
  for (const auto& header : AHop.Headers)
    if (header.Name.empty() || header.Name.find(':') != std::string::npos || !IsHeaderTextValid(header.Name) ||
        !IsHeaderTextValid(header.Value))
      throw ENetHTTPRequestException(
          Format("Error adding header:", CURLE_BAD_FUNCTION_ARGUMENT, curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT)));

  const bool isGet = AHop.Method == "GET";
  const bool isPost = AHop.Method == "POST";
  const bool sendsBody = !AHop.Body.empty() || isPost;

  // "Name:" removes a header libcurl would add by itself; nothing is sent besides what the caller asked for.
  std::vector<std::string> lines{"Accept:", "Expect:"};
  bool hasContentType = false;
  for (const auto& header : AHop.Headers) {
    hasContentType = hasContentType || SameText(header.Name, "Content-Type");
    // "Name;" is libcurl's way to send a header with an empty value.
    lines.push_back(header.Value.empty() ? header.Name + ";" : header.Name + ": " + header.Value);
  }
  if (sendsBody && !hasContentType) lines.emplace_back("Content-Type:");

  HeaderList list;
  for (const auto& line : lines) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr)
      throw ENetHTTPRequestException(
          Format("Error adding header:", CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY)));
    (void)list.release();
    list.reset(grown);
  }
  FHeaderList = std::move(list);

  SetOption(CURLOPT_URL, AHop.Url.c_str());
  SetOption(CURLOPT_HTTPHEADER, FHeaderList.get());
  SetOption(CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
  if (sendsBody) {
    // POSTFIELDS keeps a pointer: AHop outlives the transfer. The exact length rules out chunking.
    SetOption(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(AHop.Body.size()));
    SetOption(CURLOPT_POSTFIELDS, AHop.Body.data());
    if (!isPost) SetOption(CURLOPT_CUSTOMREQUEST, AHop.Method.c_str());
  } else {
    SetOption(CURLOPT_HTTPGET, 1L);
    if (!isGet) SetOption(CURLOPT_CUSTOMREQUEST, AHop.Method.c_str());
  }
}

Response HttpClient::Impl::PerformHop(const Request& AHop, BodySink& ABody, bool& AFollowable,
                                      std::string& ANextUrl) {
  // Cleared before the options are set: a failing option leaves no text of its own, and the previous
  // request's would be reported instead.
  FErrorBuffer[0] = '\0';
  PrepareHop(AHop);
  FHopUrl = AHop.Url;
  FBody = &ABody;
  FStatus = 0;
  FHeaders.clear();
  FWritten = 0;
  FDropped = 0;
  FResponseStarted = false;
  FFollowable = false;
  FNextUrl.clear();
  FSinkFailure = nullptr;
  FStalled = false;
  FHeadBytes = 0;
  FHeadTooLarge = false;
  FConnected = false;
  FLastDown = FLastUp = 0;
  FLastProgress = std::chrono::steady_clock::now();

  const CURLcode code = curl_easy_perform(FCurl.get());
  FBody = nullptr;
  if (FSinkFailure) std::rethrow_exception(FSinkFailure);
  if (code != CURLE_OK) RaiseTransportError(code);

  Response response;
  long status = 0;
  curl_easy_getinfo(FCurl.get(), CURLINFO_RESPONSE_CODE, &status);
  response.StatusCode = status != 0 ? status : FStatus;
  response.Url = AHop.Url;
  response.Headers = std::move(FHeaders);
  AFollowable = FFollowable;
  ANextUrl = std::move(FNextUrl);
  return response;
}

void HttpClient::Impl::RaiseTransportError(CURLcode ACode) {
  switch (ACode) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      throw ENetHTTPCertificateException("Server Certificate Invalid or not present");
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_NOT_BUILT_IN:
      throw ENetHTTPRequestException(Format("Error opening request:", ACode, ErrorText(ACode)));
    default:
      break;
  }
  std::string text = ErrorText(ACode);
  if (FStalled) text = "No data sent or received for " + std::to_string(FSettings.StallTimeout.count()) + " ms";
  if (FHeadTooLarge) text = "Reply header larger than " + std::to_string(kMaxHeadBytes) + " bytes";
  const bool receiving = FResponseStarted || ACode == CURLE_RECV_ERROR || ACode == CURLE_GOT_NOTHING;
  if (FStalled) {
    // The abort came from our own stall watch; report it as the time-out it is.
    ACode = CURLE_OPERATION_TIMEDOUT;
  }
  throw ENetHTTPClientException(
      Format(receiving ? "Error receiving data:" : "Error sending data:", ACode, text));
}

std::size_t HttpClient::Impl::OnHeader(char* AData, std::size_t ASize, std::size_t ACount, void* AImpl) {
  auto& self = *static_cast<Impl*>(AImpl);
  const std::string_view line(AData, ASize * ACount);
  self.FHeadBytes = line.starts_with("HTTP/") ? line.size() : self.FHeadBytes + line.size();
  if (self.FHeadBytes > kMaxHeadBytes) {
    self.FResponseStarted = true;
    self.FHeadTooLarge = true;
    return 0;
  }
  // Nothing may propagate into libcurl; a failure here (the sink's Discard among them) aborts the transfer
  // and is raised once curl_easy_perform has returned.
  try {
    return self.TakeHeaderLine(line);
  } catch (...) {
    self.FSinkFailure = std::current_exception();
    return 0;
  }
}

std::size_t HttpClient::Impl::TakeHeaderLine(std::string_view ALine) {
  FResponseStarted = true;
  FLastProgress = std::chrono::steady_clock::now();
  if (ALine.starts_with("HTTP/")) {
    // A new response begins: an interim one, or the reply after an authentication round.
    FHeaders.clear();
    FStatus = 0;
    // The body of a reply libcurl answered itself (an authentication challenge) is not the caller's.
    if (FBody != nullptr && FWritten > 0) FBody->Discard();
    FWritten = 0;
    const auto space = ALine.find(' ');
    if (space != std::string_view::npos) {
      const auto code = ALine.substr(space + 1, 3);
      std::from_chars(code.data(), code.data() + code.size(), FStatus);
    }
  } else if (Trim(ALine).empty()) {
    if (FStatus >= 200) HeadersComplete();
  } else if ((ALine.front() == ' ' || ALine.front() == '\t') && !FHeaders.empty()) {
    FHeaders.back().Value += ' ';
    FHeaders.back().Value += Trim(ALine);
  } else if (const auto colon = ALine.find(':'); colon != std::string_view::npos) {
    FHeaders.push_back({std::string(Trim(ALine.substr(0, colon))), std::string(Trim(ALine.substr(colon + 1)))});
  }
  return ALine.size();
}

void HttpClient::Impl::HeadersComplete() {
  FFollowable = false;
  FNextUrl.clear();
  if (IsRedirectStatus(FStatus)) {
    std::string location;
    for (const auto& header : FHeaders)
      if (SameText(header.Name, "Location")) {
        location = header.Value;
        break;
      }
    if (!location.empty()) {
      std::string next = ResolveLocation(FHopUrl, location);
      // Leaving https for anything else is not followed: the redirect itself becomes the final reply.
      if (!next.empty() && !(SameText(SchemeOf(FHopUrl), "https") && !SameText(SchemeOf(next), "https"))) {
        FFollowable = true;
        FNextUrl = std::move(next);
      }
    }
  }
  if (!FFollowable && FBody != nullptr) {
    for (const auto& header : FHeaders)
      if (SameText(header.Name, "Content-Length")) {
        // Only a hint: a peer's claim never makes us allocate more than a modest amount up front.
        if (auto length = ParseLength(header.Value)) FBody->Expect(*length);
        break;
      }
  }
}

std::size_t HttpClient::Impl::OnWrite(char* AData, std::size_t ASize, std::size_t ACount, void* AImpl) {
  auto& self = *static_cast<Impl*>(AImpl);
  const std::size_t size = ASize * ACount;
  self.FResponseStarted = true;
  if (self.FFollowable) {
    self.FDropped += size;
    if (self.FDropped <= kMaxRedirectBodyBytes) return size;
    self.FSinkFailure = std::make_exception_ptr(ENetHTTPClientException(
        Format("Error receiving data:", CURLE_WRITE_ERROR,
               "The redirect's body is longer than " + std::to_string(kMaxRedirectBodyBytes) + " bytes")));
    return CURL_WRITEFUNC_ERROR;
  }
  if (self.FBody == nullptr) return size;
  try {
    self.FBody->Write(std::span(reinterpret_cast<const std::uint8_t*>(AData), size));
  } catch (...) {
    // Exceptions must not cross libcurl; this one is raised once curl_easy_perform has returned.
    self.FSinkFailure = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  self.FWritten += size;
  return size;
}

int HttpClient::Impl::OnProgress(void* AImpl, curl_off_t, curl_off_t ADownNow, curl_off_t, curl_off_t AUpNow) {
  auto& self = *static_cast<Impl*>(AImpl);
  const auto now = std::chrono::steady_clock::now();
  if (!self.FConnected) {
    // The connect time-out covers resolution and connection; the stall watch starts once the request can go.
    curl_off_t pretransfer = 0;
    if (curl_easy_getinfo(self.FCurl.get(), CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK ||
        pretransfer == 0)
      return 0;
    self.FConnected = true;
    self.FLastProgress = now;
  }
  if (ADownNow != self.FLastDown || AUpNow != self.FLastUp) {
    self.FLastDown = ADownNow;
    self.FLastUp = AUpNow;
    self.FLastProgress = now;
    return 0;
  }
  if (now - self.FLastProgress >= self.FSettings.StallTimeout) {
    self.FStalled = true;
    return 1;
  }
  return 0;
}

Response HttpClient::Impl::Execute(const Request& ARequest, BodySink& ABody) {
  return rules::ExecuteFollowingRedirects(ARequest, FSettings.MaxRedirects,
                                          [&](const Request& AHop, std::string& ANextUrl) {
                                            bool followable = false;
                                            Response response = PerformHop(AHop, ABody, followable, ANextUrl);
                                            if (!followable) ANextUrl.clear();
                                            return response;
                                          });
}

void PrepareTransport() {
  // Also what the first curl_easy_init would do; done once, and safe on any thread in libcurl 7.84 and later.
  const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK)
    throw ENetHTTPClientException(Format("Error obtaining session handle:", code, curl_easy_strerror(code)));
}

HttpClient::HttpClient(Settings ASettings) : FImpl(std::make_unique<Impl>(std::move(ASettings))) {}
HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

Response HttpClient::Execute(const Request& ARequest, BodySink& ABody) { return FImpl->Execute(ARequest, ABody); }

}  // namespace zvq::http
