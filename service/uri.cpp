#include "service/uri.h"

#include <curl/curl.h>

#include <memory>

#include "errors/errors.h"

namespace zvq::http {

namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* AHandle) const noexcept { curl_url_cleanup(AHandle); }
};
struct CurlStringDeleter {
  void operator()(char* AText) const noexcept { curl_free(AText); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

CurlString GetPart(CURLU* AHandle, CURLUPart APart) {
  char* text = nullptr;
  if (curl_url_get(AHandle, APart, &text, 0) != CURLUE_OK) return nullptr;
  return CurlString(text);
}

}  // namespace

Uri ParseUri(std::string_view AUrl) {
  std::string url(AUrl);
  auto invalid = [&url] { return ENetURIException("Invalid URL: \"" + url + "\""); };
  // A NUL would cut the text short for libcurl and make it parse something else than what was given.
  if (url.find('\0') != std::string::npos) throw invalid();

  std::unique_ptr<CURLU, UrlHandleDeleter> handle(curl_url());
  if (!handle) throw invalid();
  if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    throw invalid();
  CurlString scheme = GetPart(handle.get(), CURLUPART_SCHEME);
  CurlString host = GetPart(handle.get(), CURLUPART_HOST);
  if (!scheme || !host || host.get()[0] == '\0') throw invalid();
  Uri uri{scheme.get(), host.get()};
  if (uri.Scheme != "http" && uri.Scheme != "https") throw invalid();
  return uri;
}

}  // namespace zvq::http
