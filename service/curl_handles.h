#pragma once

#include <curl/curl.h>

#include <memory>

// Owners for the libcurl handles the transport uses; private to zvq_http.
namespace zvq::http {

struct EasyCleanup {
  void operator()(CURL* AHandle) const noexcept { curl_easy_cleanup(AHandle); }
};
struct SlistFree {
  void operator()(curl_slist* AList) const noexcept { curl_slist_free_all(AList); }
};
struct UrlCleanup {
  void operator()(CURLU* AUrl) const noexcept { curl_url_cleanup(AUrl); }
};
struct CurlFree {
  void operator()(char* AText) const noexcept { curl_free(AText); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;
using CurlText = std::unique_ptr<char, CurlFree>;

}  // namespace zvq::http
