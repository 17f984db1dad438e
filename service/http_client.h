#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.h"
#include "service/body_sink.h"
#include "service/byte_stream.h"

namespace zvq::http {

struct Header {
  std::string Name;
  std::string Value;
  bool operator==(const Header&) const = default;
};

struct Request {
  std::string Method;           // "GET" or "POST"
  std::string Url;              // absolute http(s) URL
  std::vector<Header> Headers;  // sent in this order, after the client's own User-Agent
  std::string Body;             // sent with its exact length when not empty or when the method is POST
};

struct Response {
  long StatusCode = 0;
  std::string Url;              // the URL that gave this (final) response
  std::vector<Header> Headers;  // of the final response, in the order received
  // The first header of that name, compared without regard to case; empty when absent.
  std::string HeaderValue(std::string_view AName) const;
};

struct Settings {
  std::chrono::milliseconds ConnectTimeout{60'000};  // name resolution and connection
  std::chrono::milliseconds StallTimeout{60'000};    // no byte sent or received for this long
  std::string ExtraTrustAnchor;                      // PEM file trusted besides the system's store
  int MaxRedirects = 5;
};

// One libcurl easy handle per client, so the calls of one launch share cookies and the connection.
// Status codes never raise; only transport faults do (ENetHTTPClientException and its kin).
class HttpClient {
 public:
  explicit HttpClient(Settings ASettings = {});
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
  HttpClient(HttpClient&&) noexcept;
  HttpClient& operator=(HttpClient&&) noexcept;

  // Executes the request, following redirects (at most Settings::MaxRedirects) by our own loop. ABody
  // receives the final response's body only; an exception ABody raises stops the transfer and is raised here. A redirect from https to a non-https URL is not followed:
  // the redirect response itself is returned as final.
  Response Execute(const Request& ARequest, BodySink& ABody);

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// Loads and initialises what the transport needs (its libraries, the TLS library's set-up), which the first
// request would otherwise wait for. Any thread, any number of times; transport faults as for Execute.
void PrepareTransport();

// The body as well-formed UTF-8 text without a leading byte-order mark: inflated when "Content-Encoding" is
// exactly "gzip", then decoded from the "Content-Type" charset, UTF-8 when none is declared. Neither the
// inflated bytes nor the text may pass ALimit bytes (EResponseTooLarge).
std::string ContentAsText(const Response& AResponse, const ByteStream& ABody, std::size_t ALimit);

}  // namespace zvq::http
