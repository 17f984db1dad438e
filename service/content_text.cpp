#include <zlib.h>

#include <algorithm>

#include "service/ascii.h"
#include "service/charset.h"
#include "service/http_client.h"

namespace zvq::http {

namespace {

struct InflateStream {
  z_stream FStream{};
  bool FOpen = false;
  InflateStream() {
    // 16 + MAX_WBITS: the gzip wrapper only; a zlib or raw deflate body counts as corrupt.
    FOpen = inflateInit2(&FStream, 16 + MAX_WBITS) == Z_OK;
  }
  ~InflateStream() {
    if (FOpen) inflateEnd(&FStream);
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
};

[[noreturn]] void RaiseCorrupt(const char* AReason) {
  throw ENetHTTPClientException(std::string("The reply's gzip content is corrupt: ") +
                                (AReason != nullptr ? AReason : "unexpected end of data"));
}

std::string Gunzip(std::span<const std::uint8_t> AInput, std::size_t ALimit) {
  InflateStream inflater;
  if (!inflater.FOpen) throw ENetHTTPClientException("The reply's gzip content cannot be decoded: out of memory");
  z_stream& stream = inflater.FStream;
  // zlib's interface is not const-correct; it never writes the input.
  stream.next_in = const_cast<Bytef*>(AInput.data());
  std::size_t inputLeft = AInput.size();
  std::string output;
  char buffer[16384];
  bool memberDone = false;
  for (;;) {
    const uInt feed = static_cast<uInt>(std::min<std::size_t>(inputLeft, 1u << 30));
    stream.avail_in = feed;
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    const int result = inflate(&stream, Z_NO_FLUSH);
    inputLeft -= feed - stream.avail_in;
    const std::size_t produced = sizeof buffer - stream.avail_out;
    if (produced > ALimit - output.size())
      throw EResponseTooLarge("The reply inflates to more than " + std::to_string(ALimit) + " bytes");
    output.append(buffer, produced);
    if (result == Z_STREAM_END) {
      memberDone = true;
      if (inputLeft == 0) break;
      // Another gzip member follows (RFC 1952 allows several).
      if (inflateReset(&stream) != Z_OK) RaiseCorrupt(stream.msg);
      memberDone = false;
      continue;
    }
    if (result == Z_BUF_ERROR && produced == 0) break;  // no progress: the input ended inside a member
    if (result != Z_OK && result != Z_BUF_ERROR) RaiseCorrupt(stream.msg);
  }
  if (!memberDone) RaiseCorrupt(nullptr);
  return output;
}

std::string_view TrimBlanks(std::string_view AText) {
  while (!AText.empty() && (AText.front() == ' ' || AText.front() == '\t')) AText.remove_prefix(1);
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t')) AText.remove_suffix(1);
  return AText;
}

bool IsCharsetName(std::string_view AName) { return ascii::EqualsIgnoringCase(AName, "charset"); }

// The charset parameter of a "Content-Type" value: name compared without case, value possibly quoted.
std::string CharsetOf(std::string_view AContentType) {
  const auto firstSemicolon = AContentType.find(';');
  if (firstSemicolon == std::string_view::npos) return {};
  std::string_view rest = AContentType.substr(firstSemicolon + 1);
  auto skipPast = [&rest](std::size_t AAt) {
    rest = AAt == std::string_view::npos ? std::string_view() : rest.substr(AAt + 1);
  };
  while (!rest.empty()) {
    const auto separator = rest.find_first_of("=;");
    if (separator == std::string_view::npos) break;
    const std::string_view name = TrimBlanks(rest.substr(0, separator));
    const bool hasValue = rest[separator] == '=';
    skipPast(separator);
    if (!hasValue) continue;
    rest = TrimBlanks(rest);
    std::string value;
    if (!rest.empty() && rest.front() == '"') {
      std::size_t at = 1;
      for (; at < rest.size() && rest[at] != '"'; ++at) {
        if (rest[at] == '\\' && at + 1 < rest.size()) ++at;
        value += rest[at];
      }
      rest.remove_prefix(std::min(at + 1, rest.size()));
      skipPast(rest.find(';'));
    } else {
      const auto next = rest.find(';');
      value = std::string(TrimBlanks(rest.substr(0, next)));
      skipPast(next);
    }
    if (IsCharsetName(name)) return value;
  }
  return {};
}

}  // namespace

std::string ContentAsText(const Response& AResponse, const ByteStream& ABody, std::size_t ALimit) {
  std::string bytes;
  if (AResponse.HeaderValue("Content-Encoding") == "gzip") {
    bytes = Gunzip(ABody.Bytes(), ALimit);
  } else {
    bytes.assign(reinterpret_cast<const char*>(ABody.Bytes().data()), ABody.Size());
  }
  std::string charset = CharsetOf(AResponse.HeaderValue("Content-Type"));
  std::string text = ConvertToUtf8(bytes, charset.empty() ? "UTF-8" : charset, ALimit);
  // A byte-order mark only tells the encoding (decoders that take it from the set's name leave it in).
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
  return text;
}

}  // namespace zvq::http
