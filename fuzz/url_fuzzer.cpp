// Input: the text the service gave as "url".
#include <cstddef>
#include <cstdint>
#include <string>

#include "errors/errors.h"
#include "fuzz/fuzz_check.h"
#include "service/uri.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string url(reinterpret_cast<const char*>(AData), ASize);
  try {
    const zvq::http::Uri uri = zvq::http::ParseUri(url);
    ZVQ_FUZZ_CHECK(uri.Scheme == "http" || uri.Scheme == "https");
    ZVQ_FUZZ_CHECK(!uri.Host.empty());
    ZVQ_FUZZ_CHECK(url.find('\0') == std::string::npos);
  } catch (const zvq::ENetURIException& error) {
    ZVQ_FUZZ_CHECK(error.Message() == "Invalid URL: \"" + url + "\"");
  }
  return 0;
}
