#include "service/http_rules.h"

#include <algorithm>

#include "errors/errors.h"
#include "service/ascii.h"

namespace zvq::http {

std::string Response::HeaderValue(std::string_view AName) const { return rules::HeaderOf(Headers, AName); }

namespace rules {

std::string_view Trim(std::string_view AText) {
  while (!AText.empty() && (AText.front() == ' ' || AText.front() == '\t')) AText.remove_prefix(1);
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t' || AText.back() == '\r' ||
                            AText.back() == '\n'))
    AText.remove_suffix(1);
  return AText;
}

bool IsRedirectStatus(long AStatus) {
  return (AStatus >= 300 && AStatus <= 303) || AStatus == 307 || AStatus == 308;
}

bool IsHeaderTextValid(std::string_view AText) {
  return AText.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string HeaderOf(const std::vector<Header>& AHeaders, std::string_view AName) {
  for (const auto& header : AHeaders)
    if (ascii::EqualsIgnoringCase(header.Name, AName)) return header.Value;
  return {};
}

Response ExecuteFollowingRedirects(const Request& ARequest, int AMaxRedirects,
                                   const std::function<Response(const Request& AHop, std::string& ANextUrl)>& APerformHop) {
  Request hop = ARequest;
  for (int followed = 0;; ++followed) {
    std::string nextUrl;
    Response response = APerformHop(hop, nextUrl);
    if (nextUrl.empty()) return response;
    if (followed >= AMaxRedirects)
      throw ENetHTTPRequestException("Maximum number of redirections (" + std::to_string(AMaxRedirects) +
                                     ") exceeded");
    const long status = response.StatusCode;
    if ((status == 303 && hop.Method != "GET" && hop.Method != "HEAD") ||
        ((status == 301 || status == 302) && hop.Method == "POST")) {
      hop.Method = "GET";
      hop.Body.clear();
      std::erase_if(hop.Headers,
                    [](const Header& AHeader) { return ascii::EqualsIgnoringCase(AHeader.Name, "Content-Type"); });
    }
    hop.Url = std::move(nextUrl);
  }
}

}  // namespace rules

}  // namespace zvq::http
