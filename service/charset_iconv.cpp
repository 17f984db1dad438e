#include <iconv.h>

#include <cerrno>
#include <memory>

#include "errors/errors.h"
#include "service/body_sink.h"
#include "service/charset.h"

namespace zvq::charset_backend {

namespace {

struct IconvCloser {
  void operator()(iconv_t AHandle) const noexcept { iconv_close(AHandle); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

IconvHandle OpenConverter(const std::string& ATo, const std::string& AFrom) {
  iconv_t handle = iconv_open(ATo.c_str(), AFrom.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) throw EEncodingError("Invalid encoding name");
  return IconvHandle(handle);
}

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

class BoundedOutput {
 public:
  explicit BoundedOutput(std::size_t ALimit) : FLimit(ALimit) {}
  void Append(std::string_view ABytes) {
    if (ABytes.size() > FLimit - FText.size())
      throw http::EResponseTooLarge("The reply's text is longer than " + std::to_string(FLimit) + " bytes");
    FText.append(ABytes);
  }
  std::string Take() { return std::move(FText); }

 private:
  std::size_t FLimit;
  std::string FText;
};

// Runs the converter over the whole input, replacing each invalid or truncated unit of AUnitSize bytes.
std::string Convert(iconv_t AConverter, std::string_view AInput, std::size_t AUnitSize, std::size_t ALimit) {
  BoundedOutput output(ALimit);
  char* in = const_cast<char*>(AInput.data());  // iconv's interface is not const-correct
  std::size_t inLeft = AInput.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t result = iconv(AConverter, &in, &inLeft, &out, &outLeft);
    output.Append(std::string_view(buffer, static_cast<std::size_t>(out - buffer)));
    if (result != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a sequence cut off at the end): replace one unit and resynchronise after it.
    output.Append(kReplacementUtf8);
    std::size_t skip = inLeft < AUnitSize ? inLeft : AUnitSize;
    in += skip;
    inLeft -= skip;
    iconv(AConverter, nullptr, nullptr, nullptr, nullptr);
  }
  char* out = buffer;
  std::size_t outLeft = sizeof buffer;
  iconv(AConverter, nullptr, nullptr, &out, &outLeft);
  output.Append(std::string_view(buffer, static_cast<std::size_t>(out - buffer)));
  return output.Take();
}

// Bytes one character takes in the set, learnt from the system rather than from the name, whose aliases
// ("UNICODELITTLE", "10646-1:1993", ...) say nothing of it: how much longer "AA" encodes than "A" (which
// also cancels a byte-order mark the encoder puts first).
std::size_t UnitSizeOf(const std::string& ACharset) {
  IconvHandle encoder(iconv_open(ACharset.c_str(), "UTF-8"));
  if (encoder.get() == reinterpret_cast<iconv_t>(-1)) {
    (void)encoder.release();
    return 1;
  }
  auto encodedSize = [&encoder](std::string_view AText) -> std::size_t {
    iconv(encoder.get(), nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(AText.data());
    std::size_t inLeft = AText.size();
    char buffer[64];
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    if (iconv(encoder.get(), &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) return 0;
    return sizeof buffer - outLeft;
  };
  const std::size_t one = encodedSize("A");
  const std::size_t two = encodedSize("AA");
  return two > one && two - one <= 4 ? two - one : 1;
}

}  // namespace

std::string DecodeToUtf8(std::string_view ABytes, std::string_view ACharset, std::size_t ALimit) {
  const std::string charset(ACharset);
  auto converter = OpenConverter("UTF-8", charset);
  return Convert(converter.get(), ABytes, UnitSizeOf(charset), ALimit);
}

}  // namespace zvq::charset_backend
