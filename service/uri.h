#pragma once

#include <string>
#include <string_view>

namespace zvq::http {

struct Uri {
  std::string Scheme;  // lower case: "http" or "https"
  std::string Host;
};

// Parses an absolute http(s) URL. No scheme, another scheme, a bad port or any other malformed URL raises
// ENetURIException "Invalid URL: \"<url>\"".
Uri ParseUri(std::string_view AUrl);

}  // namespace zvq::http
