// Input: the "Content-Type" value, a line feed, the "Content-Encoding" value, a line feed, then the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "errors/errors.h"
#include "fuzz/fuzz_check.h"
#include "service/byte_stream.h"
#include "service/charset.h"
#include "service/http_client.h"
#include "service/remote_support_api.h"

namespace {

using zvq::TzqRemoteSupportAPI;

std::string_view TakeLine(std::string_view& AInput) {
  const auto end = AInput.find('\n');
  const std::string_view line = AInput.substr(0, end);
  AInput.remove_prefix(end == std::string_view::npos ? AInput.size() : end + 1);
  return line;
}

bool IsWellFormedUtf8(const std::string& AText) { return zvq::RepairUtf8(AText) == AText; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  std::string_view input(reinterpret_cast<const char*>(AData), ASize);
  zvq::http::Response response;
  response.StatusCode = 200;
  response.Headers.push_back({"Content-Type", std::string(TakeLine(input))});
  response.Headers.push_back({"Content-Encoding", std::string(TakeLine(input))});
  zvq::ByteStream body(TzqRemoteSupportAPI::kMaxReplyBytes);
  if (!body.Append(input.data(), input.size())) return -1;

  try {
    const std::string url = TzqRemoteSupportAPI::ProcessValidationResponse(response, body);
    ZVQ_FUZZ_CHECK(url.size() <= TzqRemoteSupportAPI::kMaxUrlBytes);
    ZVQ_FUZZ_CHECK(IsWellFormedUtf8(url));
  } catch (const zvq::EInvalidCode& error) {
    ZVQ_FUZZ_CHECK(error.Message().size() <= TzqRemoteSupportAPI::kMaxMessageBytes);
    ZVQ_FUZZ_CHECK(IsWellFormedUtf8(error.Message()));
  } catch (const zvq::Exception& error) {
    // Every other failure has a fixed text or one about the transport, never the reply's own content.
    ZVQ_FUZZ_CHECK(error.Message().size() <= 256);
  }
  return 0;
}
