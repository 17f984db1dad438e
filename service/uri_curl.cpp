#include "service/uri.h"

#include <curl/curl.h>

#include <memory>

#include "errors/errors.h"
#include "service/curl_handles.h"

namespace zvq::http {

namespace {

CurlText GetPart(CURLU* AHandle, CURLUPart APart) {
  char* text = nullptr;
  if (curl_url_get(AHandle, APart, &text, 0) != CURLUE_OK) return nullptr;
  return CurlText(text);
}

}  // namespace

Uri ParseUri(std::string_view AUrl) {
  std::string url(AUrl);
  auto invalid = [&url] { return ENetURIException("Invalid URL: \"" + url + "\""); };
  // A NUL would cut the text short for libcurl and make it parse something else than what was given.
  if (url.find('\0') != std::string::npos) throw invalid();

  UrlHandle handle(curl_url());
  if (!handle) throw invalid();
  if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    throw invalid();
  CurlText scheme = GetPart(handle.get(), CURLUPART_SCHEME);
  CurlText host = GetPart(handle.get(), CURLUPART_HOST);
  if (!scheme || !host || host.get()[0] == '\0') throw invalid();
  Uri uri{scheme.get(), host.get()};
  if (uri.Scheme != "http" && uri.Scheme != "https") throw invalid();
  return uri;
}

}  // namespace zvq::http
