#include "service/charset.h"

#include <optional>

#include "service/body_sink.h"

namespace zvq {

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char AByte) { return (AByte & 0xC0) == 0x80; }

// The code point at AAt, advancing past it; on an ill-formed sequence nothing, advancing past its maximal
// subpart (the longest prefix of a well-formed sequence, at least one byte), so that each such subpart
// becomes one U+FFFD as Unicode recommends.
std::optional<char32_t> NextCodePoint(std::string_view AText, std::size_t& AAt) {
  const auto lead = static_cast<unsigned char>(AText[AAt++]);
  if (lead < 0x80) return lead;
  int length = 0;
  char32_t value = 0;
  unsigned char low = 0x80;  // the second byte's range narrows for some leads (no overlong, surrogate, >U+10FFFF)
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return std::nullopt;
  }
  for (int i = 1; i < length; ++i) {
    if (AAt >= AText.size()) return std::nullopt;
    const auto next = static_cast<unsigned char>(AText[AAt]);
    if (i == 1 ? (next < low || next > high) : !IsContinuation(next)) return std::nullopt;
    value = (value << 6) | (next & 0x3F);
    ++AAt;
  }
  return value;
}


}  // namespace

void AppendUtf8(std::string& AOut, char32_t ACodePoint) {
  if (ACodePoint < 0x80) {
    AOut += static_cast<char>(ACodePoint);
  } else if (ACodePoint < 0x800) {
    AOut += static_cast<char>(0xC0 | (ACodePoint >> 6));
    AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
  } else if (ACodePoint < 0x10000) {
    AOut += static_cast<char>(0xE0 | (ACodePoint >> 12));
    AOut += static_cast<char>(0x80 | ((ACodePoint >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (ACodePoint >> 18));
    AOut += static_cast<char>(0x80 | ((ACodePoint >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((ACodePoint >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
  }
}

std::string RepairUtf8(std::string_view AText) {
  std::string output;
  output.reserve(AText.size());
  std::size_t at = 0;
  while (at < AText.size()) {
    const std::size_t start = at;
    if (NextCodePoint(AText, at))
      output.append(AText.substr(start, at - start));
    else
      output.append(kReplacementUtf8);
  }
  return output;
}

std::string ConvertToUtf8(std::string_view ABytes, std::string_view ACharset, std::size_t ALimit) {
  std::string text = RepairUtf8(charset_backend::DecodeToUtf8(ABytes, ACharset, ALimit));
  // Repair can grow the text (one stray byte becomes three).
  if (text.size() > ALimit)
    throw http::EResponseTooLarge("The reply's text is longer than " + std::to_string(ALimit) + " bytes");
  return text;
}

std::string Utf16ToUtf8(std::u16string_view AText) {
  std::string output;
  output.reserve(AText.size());
  for (std::size_t at = 0; at < AText.size(); ++at) {
    const char16_t unit = AText[at];
    char32_t codePoint = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < AText.size() && AText[at + 1] >= 0xDC00 &&
        AText[at + 1] <= 0xDFFF) {
      codePoint = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{AText[++at]} - 0xDC00);
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      codePoint = kReplacement;
    }
    AppendUtf8(output, codePoint);
  }
  return output;
}

std::u16string Utf8ToUtf16(std::string_view AText) {
  std::u16string output;
  output.reserve(AText.size());
  std::size_t at = 0;
  while (at < AText.size()) {
    const char32_t codePoint = NextCodePoint(AText, at).value_or(kReplacement);
    if (codePoint >= 0x10000) {
      output += static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10));
      output += static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
    } else {
      output += static_cast<char16_t>(codePoint);
    }
  }
  return output;
}

}  // namespace zvq
