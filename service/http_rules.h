#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "service/http_client.h"

// The rules every HTTP backend follows, written once so that libcurl and WinHTTP cannot drift apart.
namespace zvq::http::rules {

inline constexpr const char* kUserAgent = "zvq-support-launcher/1.0";
// The head of one response, status line included: what a peer can make us hold before the body starts.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// The body of a redirect we follow is dropped unread, but it still arrives and keeps the stall watch
// content; a real redirect says a line or two. Past this the transfer fails as a receiving error.
inline constexpr std::size_t kMaxRedirectBodyBytes = 64 * 1024;

// AText without surrounding blanks, tabs and line ends.
std::string_view Trim(std::string_view AText);
bool IsRedirectStatus(long AStatus);
// Header names and values never carry CR, LF or NUL: they would split or cut the request.
bool IsHeaderTextValid(std::string_view AText);
// The first header of that name, compared by ASCII rules whatever the locale; empty when absent.
std::string HeaderOf(const std::vector<Header>& AHeaders, std::string_view AName);

// The redirect loop: APerformHop makes one exchange and sets ANextUrl to the URL to follow, or leaves it
// empty when the response is final. At most AMaxRedirects are followed; a 303, or a 301/302 answering a
// POST, is repeated as a GET without body and "Content-Type".
Response ExecuteFollowingRedirects(const Request& ARequest, int AMaxRedirects,
                                   const std::function<Response(const Request& AHop, std::string& ANextUrl)>& APerformHop);

}  // namespace zvq::http::rules
