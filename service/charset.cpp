#include "service/charset.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "errors/errors.h"

namespace zvq {

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

// Runs the converter over the whole input, replacing each invalid or truncated unit of AUnitSize bytes.
std::string Convert(iconv_t AConverter, std::string_view AInput, std::size_t AUnitSize,
                    std::string_view AReplacement) {
  std::string output;
  output.reserve(AInput.size() + AInput.size() / 2 + 16);
  char* in = const_cast<char*>(AInput.data());  // iconv's interface is not const-correct
  std::size_t inLeft = AInput.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t result = iconv(AConverter, &in, &inLeft, &out, &outLeft);
    output.append(buffer, static_cast<std::size_t>(out - buffer));
    if (result != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a sequence cut off at the end): replace one unit and resynchronise after it.
    output.append(AReplacement);
    std::size_t skip = inLeft < AUnitSize ? inLeft : AUnitSize;
    in += skip;
    inLeft -= skip;
    iconv(AConverter, nullptr, nullptr, nullptr, nullptr);
  }
  char* out = buffer;
  std::size_t outLeft = sizeof buffer;
  iconv(AConverter, nullptr, nullptr, &out, &outLeft);
  output.append(buffer, static_cast<std::size_t>(out - buffer));
  return output;
}

std::size_t UnitSizeOf(std::string_view ACharset) {
  std::string upper(ACharset);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (upper.starts_with("UTF-32") || upper.starts_with("UCS-4")) return 4;
  if (upper.starts_with("UTF-16") || upper.starts_with("UCS-2")) return 2;
  return 1;
}

const char* NativeUtf16() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

}  // namespace

std::string ConvertToUtf8(std::string_view ABytes, std::string_view ACharset) {
  auto converter = OpenConverter("UTF-8", std::string(ACharset));
  return Convert(converter.get(), ABytes, UnitSizeOf(ACharset), kReplacementUtf8);
}

std::string Utf16ToUtf8(std::u16string_view AText) {
  auto converter = OpenConverter("UTF-8", NativeUtf16());
  std::string_view bytes(reinterpret_cast<const char*>(AText.data()), AText.size() * sizeof(char16_t));
  return Convert(converter.get(), bytes, sizeof(char16_t), kReplacementUtf8);
}

std::u16string Utf8ToUtf16(std::string_view AText) {
  auto converter = OpenConverter(NativeUtf16(), "UTF-8");
  static constexpr char16_t kReplacement = u'\uFFFD';
  std::string_view replacement(reinterpret_cast<const char*>(&kReplacement), sizeof kReplacement);
  std::string bytes = Convert(converter.get(), AText, 1, replacement);
  std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
  return text;
}

}  // namespace zvq
