// clang-format off
#include <windows.h>
#include <winhttp.h>
#include <shlwapi.h>
// clang-format on

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

#include "errors/errors.h"
#include "platform/text_win32.h"
#include "service/http_client.h"
#include "service/http_rules.h"
#include "service/winhttp_handles.h"

namespace zvq::http {

namespace {

using winhttp::Handle;

using rules::HeaderOf;
using rules::IsHeaderTextValid;
using rules::IsRedirectStatus;
using rules::kMaxRedirectBodyBytes;
using rules::Trim;
// A reply head larger than this is refused rather than held.
constexpr DWORD kMaxHeadBytes = rules::kMaxHeadBytes;

std::optional<std::uint64_t> ParseLength(std::string_view AText) {
  std::uint64_t value = 0;
  const auto* end = AText.data() + AText.size();
  auto [ptr, error] = std::from_chars(AText.data(), end, value);
  if (error != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// WinHTTP's own text for its error codes lives in winhttp.dll; other codes (socket, security) are the
// system's.
std::string SystemText(DWORD ACode);

// The system's texts for the codes a transfer commonly ends with, for systems whose winhttp.dll carries no
// message table.
const char* KnownErrorText(DWORD ACode) {
  switch (ACode) {
    case ERROR_WINHTTP_TIMEOUT: return "The operation timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "The server name or address could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "The connection with the server was reset or terminated, or an incompatible SSL protocol was encountered";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "The server response could not be parsed";
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW: return "The size of the headers exceeded the limit";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "An error occurred in the secure channel support";
    case ERROR_WINHTTP_INVALID_URL: return "The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "The URL does not use a recognized protocol";
    default: return nullptr;
  }
}

std::string ErrorText(DWORD ACode) {
  std::string text = SystemText(ACode);
  if (text.empty()) {
    const char* known = KnownErrorText(ACode);
    if (known != nullptr) text = known;
  }
  return text;
}

std::string SystemText(DWORD ACode) {
  wchar_t* raw = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      GetModuleHandleW(L"winhttp.dll"), ACode, 0,
                                      reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  std::unique_ptr<wchar_t, decltype(&LocalFree)> owned(raw, &LocalFree);
  if (length == 0 || raw == nullptr) return {};
  try {
    return TrimSystemText(platform::NarrowToUtf8(std::wstring_view(raw, length)));
  } catch (const EEncodingError&) {
    return {};
  }
}

std::string Format(const char* ATemplate, DWORD ACode) {
  return std::string(ATemplate) + " (" + std::to_string(ACode) + ") " + ErrorText(ACode);
}

[[noreturn]] void RaiseOpening(DWORD ACode) {
  throw ENetHTTPRequestException(Format("Error opening request:", ACode));
}

bool IsCertificateError(DWORD ACode) {
  switch (ACode) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return true;
    default:
      return false;
  }
}

// Some WinHTTPs pass a socket's own time-out code through; it is the same failure as WinHTTP's.
DWORD Normalised(DWORD ACode) { return ACode == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : ACode; }

[[noreturn]] void RaiseCertificate() {
  throw ENetHTTPCertificateException("Server Certificate Invalid or not present");
}

// A failed WinHTTP call of a transfer: certificate trouble is its own error; anything else is reported by the
// side of the exchange that failed.
[[noreturn]] void RaiseTransfer(const char* ATemplate, DWORD ACode) {
  ACode = Normalised(ACode);
  if (IsCertificateError(ACode)) RaiseCertificate();
  throw ENetHTTPClientException(Format(ATemplate, ACode));
}
[[noreturn]] void RaiseSending(DWORD ACode) { RaiseTransfer("Error sending data:", ACode); }
[[noreturn]] void RaiseReceiving(DWORD ACode) { RaiseTransfer("Error receiving data:", ACode); }

// Marks a transfer whose server certificate WinHTTP refused. The error the call then returns does not say
// so everywhere: some WinHTTPs report a failed handshake, which alone would not be a certificate's fault.
constexpr DWORD kCertificateRefused = 0x80000000u;

void CALLBACK OnSecureFailure(HINTERNET, DWORD_PTR AContext, DWORD AStatus, LPVOID AInformation, DWORD) {
  if (AStatus != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || AContext == 0) return;
  auto& flags = *reinterpret_cast<DWORD*>(AContext);
  flags = kCertificateRefused | (AInformation != nullptr ? *static_cast<const DWORD*>(AInformation) : 0);
}

std::wstring Widen(std::string_view AText) {
  try {
    return platform::WidenUtf8(AText);
  } catch (const EEncodingError&) {
    RaiseOpening(ERROR_NO_UNICODE_TRANSLATION);
  }
}

void SetOption(HINTERNET AHandle, DWORD AOption, DWORD AValue) {
  if (!WinHttpSetOption(AHandle, AOption, &AValue, sizeof AValue)) RaiseOpening(GetLastError());
}

// ALocation resolved against ABase; empty when it cannot be resolved.
std::wstring ResolveLocation(const std::wstring& ABase, const std::wstring& ALocation) {
  std::wstring combined(2084, L'\0');  // the longest URL the shell functions expect
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD length = static_cast<DWORD>(combined.size());
    const HRESULT result = UrlCombineW(ABase.c_str(), ALocation.c_str(), combined.data(), &length, 0);
    if (SUCCEEDED(result)) {
      combined.resize(length);
      return combined;
    }
    if (result != E_POINTER || length <= combined.size()) return {};
    combined.assign(length + 1, L'\0');
  }
  return {};
}

// Global strings WinHTTP hands out with its proxy settings.
struct GlobalText {
  wchar_t* FText = nullptr;
  GlobalText() = default;
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;
  ~GlobalText() {
    if (FText != nullptr) GlobalFree(FText);
  }
};

// The proxy the user's system settings name for AUrl: the automatic configuration where one is set up and
// answers, else the user's fixed proxy, else none.
void ApplySystemProxy(HINTERNET ASession, HINTERNET ARequest, const std::wstring& AUrl) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) return;  // nothing configured: go direct
  GlobalText autoConfigUrl, proxy, bypass;
  autoConfigUrl.FText = settings.lpszAutoConfigUrl;
  proxy.FText = settings.lpszProxy;
  bypass.FText = settings.lpszProxyBypass;

  if (settings.fAutoDetect || autoConfigUrl.FText != nullptr) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (autoConfigUrl.FText != nullptr) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = autoConfigUrl.FText;
    }
    if (settings.fAutoDetect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO found{};
    if (WinHttpGetProxyForUrl(ASession, AUrl.c_str(), &options, &found)) {
      GlobalText foundProxy, foundBypass;
      foundProxy.FText = found.lpszProxy;
      foundBypass.FText = found.lpszProxyBypass;
      if (!WinHttpSetOption(ARequest, WINHTTP_OPTION_PROXY, &found, sizeof found)) RaiseOpening(GetLastError());
      return;
    }
    // No script found or it failed: the fixed settings, if any, still apply.
  }
  if (proxy.FText != nullptr) {
    WINHTTP_PROXY_INFO fixed{};
    fixed.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    fixed.lpszProxy = proxy.FText;
    fixed.lpszProxyBypass = bypass.FText;
    if (!WinHttpSetOption(ARequest, WINHTTP_OPTION_PROXY, &fixed, sizeof fixed)) RaiseOpening(GetLastError());
  }
}

// The final response's headers as WinHTTP received them, in order, without the status line.
std::vector<Header> ReadHeaders(HINTERNET ARequest) {
  DWORD size = 0;
  WinHttpQueryHeaders(ARequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) RaiseReceiving(GetLastError());
  if (size / sizeof(wchar_t) > kMaxHeadBytes) RaiseReceiving(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
  std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(raw.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(ARequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, raw.data(),
                           &size, WINHTTP_NO_HEADER_INDEX))
    RaiseReceiving(GetLastError());
  raw.resize(size / sizeof(wchar_t));

  std::string text;
  try {
    text = platform::NarrowToUtf8(raw);
  } catch (const EEncodingError&) {
    RaiseReceiving(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
  }
  std::vector<Header> headers;
  std::string_view rest(text);
  bool statusLine = true;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (statusLine) {
      statusLine = false;
      continue;
    }
    if (Trim(line).empty()) continue;
    if ((line.front() == ' ' || line.front() == '\t') && !headers.empty()) {
      headers.back().Value += ' ';
      headers.back().Value += Trim(line);
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
      headers.push_back({std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
    }
  }
  return headers;
}

}  // namespace

struct HttpClient::Impl {
  explicit Impl(Settings ASettings);

  Response Execute(const Request& ARequest, BodySink& ABody);
  // One request/response exchange (with its authentication rounds) without following redirects.
  Response PerformHop(const Request& AHop, BodySink& ABody, std::wstring& ANextUrl);
  Handle OpenHop(const Request& AHop, const std::wstring& AUrl, const winhttp::UrlParts& AParts,
                 Handle& AConnection);
  long SendAndReceive(HINTERNET ARequest, const Request& AHop);
  void ReadBody(HINTERNET ARequest, BodySink& ABody, const std::vector<Header>& AHeaders, long AStatus);
  static void DrainBody(HINTERNET ARequest);

  Settings FSettings;
  DWORD FStallMs = 0;
  DWORD FSecureFailure = 0;  // set by OnSecureFailure for the request in progress
  // One session per client: it keeps the cookies and the connections the calls of one launch share.
  Handle FSession;
};

HttpClient::Impl::Impl(Settings ASettings) : FSettings(std::move(ASettings)) {
  // No extra trust anchor: WinHTTP trusts the system's certificate store, where test set-ups import theirs.
  if (!FSettings.ExtraTrustAnchor.empty()) RaiseOpening(ERROR_INVALID_PARAMETER);
  // Direct by default; the system's proxy is looked up for each request (ApplySystemProxy).
  FSession.reset(WinHttpOpen(platform::WidenUtf8(rules::kUserAgent).c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!FSession) throw ENetHTTPClientException("Error obtaining session handle");

  const auto clamp = [](std::chrono::milliseconds AValue) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(AValue.count(), 1, 0x7fffffff));
  };
  FStallMs = static_cast<DWORD>(clamp(FSettings.StallTimeout));
  // Send and receive time-outs count from the last byte that moved, which makes them the stall watch.
  if (!WinHttpSetTimeouts(FSession.get(), clamp(FSettings.ConnectTimeout), clamp(FSettings.ConnectTimeout),
                          clamp(FSettings.StallTimeout), clamp(FSettings.StallTimeout)))
    RaiseOpening(GetLastError());
}

Handle HttpClient::Impl::OpenHop(const Request& AHop, const std::wstring& AUrl, const winhttp::UrlParts& AParts,
                                 Handle& AConnection) {
  for (const auto& header : AHop.Headers)
    if (header.Name.empty() || header.Name.find(':') != std::string::npos || !IsHeaderTextValid(header.Name) ||
        !IsHeaderTextValid(header.Value))
      throw ENetHTTPRequestException(Format("Error adding header:", ERROR_INVALID_PARAMETER));

  AConnection.reset(WinHttpConnect(FSession.get(), AParts.Host.c_str(), AParts.Port, 0));
  if (!AConnection) RaiseOpening(GetLastError());
  // No accept types: WinHTTP then sends no "Accept" header.
  Handle request(WinHttpOpenRequest(AConnection.get(), Widen(AHop.Method).c_str(), AParts.Object.c_str(),
                                    nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    AParts.Secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) RaiseOpening(GetLastError());

  // Our own loop follows redirects: WinHTTP's would keep a custom "Content-Type" on a POST turned GET.
  SetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS);
  // Not every WinHTTP lets the limit be set; ReadHeaders checks it all the same.
  DWORD headLimit = kMaxHeadBytes;
  (void)WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headLimit, sizeof headLimit);
  // Waiting for the reply's head is a stall like any other (some WinHTTPs wait for ever by default).
  SetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, FStallMs);
  // The user's own logon is offered to any server or proxy that asks for integrated authentication.
  SetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW);
  ApplySystemProxy(FSession.get(), request.get(), AUrl);

  FSecureFailure = 0;
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&FSecureFailure);
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context))
    RaiseOpening(GetLastError());
  if (WinHttpSetStatusCallback(request.get(), &OnSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK)
    RaiseOpening(GetLastError());

  for (const auto& header : AHop.Headers) {
    const std::wstring line = Widen(header.Name) + L": " + Widen(header.Value);
    if (!WinHttpAddRequestHeaders(request.get(), line.c_str(), static_cast<DWORD>(line.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD))
      throw ENetHTTPRequestException(Format("Error adding header:", GetLastError()));
  }
  return request;
}

long HttpClient::Impl::SendAndReceive(HINTERNET ARequest, const Request& AHop) {
  const bool sendsBody = !AHop.Body.empty() || AHop.Method == "POST";
  if (AHop.Body.size() > MAXDWORD) RaiseOpening(ERROR_INVALID_PARAMETER);
  const auto bodySize = static_cast<DWORD>(AHop.Body.size());
  void* body = sendsBody && bodySize > 0 ? const_cast<char*>(AHop.Body.data()) : WINHTTP_NO_REQUEST_DATA;

  bool triedServerLogon = false, triedProxyLogon = false, declinedClientCertificate = false;
  for (;;) {
    if (!WinHttpSendRequest(ARequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, bodySize, bodySize, 0)) {
      const DWORD error = GetLastError();
      // A server that asks for a client certificate gets none, as it would from any browser without one.
      if (error == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED && !declinedClientCertificate) {
        declinedClientCertificate = true;
        if (!WinHttpSetOption(ARequest, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0))
          RaiseSending(GetLastError());
        continue;
      }
      if (FSecureFailure != 0) RaiseCertificate();
      RaiseSending(error);
    }
    if (!WinHttpReceiveResponse(ARequest, nullptr)) {
      const DWORD error = Normalised(GetLastError());
      if (FSecureFailure != 0) RaiseCertificate();
      // No reply has begun: like a request that never got through, as opposed to a reply broken off.
      if (error == ERROR_WINHTTP_TIMEOUT) RaiseSending(error);
      RaiseReceiving(error);
    }

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(ARequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      RaiseReceiving(GetLastError());
    if (status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) return static_cast<long>(status);

    // Integrated authentication with the user's own logon, once per side; any other scheme, or a second
    // refusal, leaves the challenge as the response.
    bool& tried = status == HTTP_STATUS_DENIED ? triedServerLogon : triedProxyLogon;
    DWORD supported = 0, first = 0, target = 0;
    if (tried || !WinHttpQueryAuthSchemes(ARequest, &supported, &first, &target))
      return static_cast<long>(status);
    DWORD scheme = 0;
    if ((supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0)
      scheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
    else if ((supported & WINHTTP_AUTH_SCHEME_NTLM) != 0)
      scheme = WINHTTP_AUTH_SCHEME_NTLM;
    else
      return static_cast<long>(status);
    tried = true;
    if (!WinHttpSetCredentials(ARequest, target, scheme, nullptr, nullptr, nullptr))
      return static_cast<long>(status);
  }
}

void HttpClient::Impl::DrainBody(HINTERNET ARequest) {
  std::array<char, 8192> buffer;
  std::size_t drained = 0;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(ARequest, buffer.data(), static_cast<DWORD>(buffer.size()), &read))
      RaiseReceiving(GetLastError());
    if (read == 0) return;
    drained += read;
    if (drained > kMaxRedirectBodyBytes)
      throw ENetHTTPClientException("Error receiving data: (" + std::to_string(ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW) +
                                    ") The redirect's body is longer than " +
                                    std::to_string(kMaxRedirectBodyBytes) + " bytes");
  }
}

void HttpClient::Impl::ReadBody(HINTERNET ARequest, BodySink& ABody, const std::vector<Header>& AHeaders,
                                long AStatus) {
  std::optional<std::uint64_t> announced;
  // Content-Length is decoded away when the reply is chunked; a HEAD-like status has no body whatever it says.
  if (HeaderOf(AHeaders, "Transfer-Encoding").empty() && AStatus != 204 && AStatus != 304)
    announced = ParseLength(HeaderOf(AHeaders, "Content-Length"));
  // Only a hint: a peer's claim never makes the sink hold more than its limit.
  if (announced) ABody.Expect(*announced);

  std::array<std::uint8_t, 64 * 1024> buffer;
  std::uint64_t received = 0;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(ARequest, buffer.data(), static_cast<DWORD>(buffer.size()), &read))
      RaiseReceiving(GetLastError());
    if (read == 0) break;
    received += read;
    ABody.Write(std::span(buffer.data(), read));
  }
  // A reply cut short of its announced length is a broken transfer, not a shorter body.
  if (announced && received < *announced) RaiseReceiving(ERROR_WINHTTP_CONNECTION_ERROR);
}

Response HttpClient::Impl::PerformHop(const Request& AHop, BodySink& ABody, std::wstring& ANextUrl) {
  const std::wstring url = Widen(AHop.Url);
  unsigned long error = 0;
  const auto parts = winhttp::CrackUrl(url, error);
  if (!parts) RaiseOpening(error);

  Handle connection;
  Handle request = OpenHop(AHop, url, *parts, connection);
  const long status = SendAndReceive(request.get(), AHop);

  Response response;
  response.StatusCode = status;
  response.Url = AHop.Url;
  response.Headers = ReadHeaders(request.get());

  ANextUrl.clear();
  if (IsRedirectStatus(status)) {
    const std::string location = response.HeaderValue("Location");
    if (!location.empty()) {
      std::wstring next;
      try {
        next = ResolveLocation(url, platform::WidenUtf8(location));
      } catch (const EEncodingError&) {
      }
      unsigned long ignored = 0;
      const auto nextParts = next.empty() ? std::nullopt : winhttp::CrackUrl(next, ignored);
      // Leaving https for anything else is not followed: the redirect itself becomes the final reply.
      // A Location WinHTTP cannot use is followed all the same and fails as a request that cannot be opened.
      if (!next.empty() && !(parts->Secure && !(nextParts && nextParts->Secure))) ANextUrl = std::move(next);
    }
  }
  if (!ANextUrl.empty()) {
    DrainBody(request.get());
  } else {
    ReadBody(request.get(), ABody, response.Headers, status);
  }
  return response;
}

Response HttpClient::Impl::Execute(const Request& ARequest, BodySink& ABody) {
  return rules::ExecuteFollowingRedirects(ARequest, FSettings.MaxRedirects,
                                          [&](const Request& AHop, std::string& ANextUrl) {
                                            std::wstring nextUrl;
                                            Response response = PerformHop(AHop, ABody, nextUrl);
                                            ANextUrl = platform::NarrowToUtf8(nextUrl);
                                            return response;
                                          });
}

// winhttp.dll is linked and sets itself up with each session: nothing to do ahead of the first request.
void PrepareTransport() {}

HttpClient::HttpClient(Settings ASettings) : FImpl(std::make_unique<Impl>(std::move(ASettings))) {}
HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

Response HttpClient::Execute(const Request& ARequest, BodySink& ABody) { return FImpl->Execute(ARequest, ABody); }

}  // namespace zvq::http
