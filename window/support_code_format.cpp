#include "window/support_code_format.h"

#include <algorithm>

#include "window/decimal_digits.h"

namespace zvq {

namespace {
constexpr std::size_t kCompleteLength = 11;  // nine digits in three groups
constexpr char16_t kSeparator = u' ';
}  // namespace

bool IsSupportCodeDigit(char16_t AUnit) {
  if (AUnit <= 255) return AUnit >= u'0' && AUnit <= u'9';
  // Surrogates are category Cs, so the table never holds them.
  const auto* Range =
      std::upper_bound(std::begin(unicode::kDecimalDigitRanges), std::end(unicode::kDecimalDigitRanges),
                       AUnit, [](char16_t AValue, const auto& ARange) { return AValue < ARange.First; });
  return Range != std::begin(unicode::kDecimalDigitRanges) && AUnit <= std::prev(Range)->Last;
}

TSupportCodeFormat FormatSupportCode(std::u16string_view AText, std::size_t ACaret) {
  if (AText.empty()) return {std::u16string(), ACaret, false};

  std::u16string Text(AText);
  std::size_t Caret = ACaret;

  // 1-based walk: a deleted unit that stood before the caret pulls the caret back by one.
  for (std::size_t i = 1; i <= Text.size();) {
    if (IsSupportCodeDigit(Text[i - 1])) {
      ++i;
    } else {
      Text.erase(i - 1, 1);
      if (i <= Caret) --Caret;
    }
  }

  // A separator after the first k units; it only pushes a caret that stands strictly behind it, so a caret
  // at the end of a group stays before the separator.
  for (std::size_t k = 3; Text.size() > k; k += 4) {
    Text.insert(k, 1, kSeparator);
    if (k < Caret) ++Caret;
  }

  if (Text.size() > kCompleteLength) Text.resize(kCompleteLength);
  const bool Complete = Text.size() == kCompleteLength;
  return {std::move(Text), Caret, Complete};
}

}  // namespace zvq
