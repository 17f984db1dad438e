// The code field's formatter on any text and caret. Input: two bytes of caret (little-endian, taken modulo
// the text length plus one, as a field's caret never passes the end), then 16-bit units, little-endian.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "window/support_code_format.h"

namespace {

// A broken property is a finding: say which and stop, so libFuzzer keeps the input.
void Check(bool ACondition, const char* AProperty) {
  if (ACondition) return;
  std::fprintf(stderr, "property broken: %s\n", AProperty);
  std::abort();
}

std::size_t DigitsIn(std::u16string_view AText) {
  return static_cast<std::size_t>(std::count_if(AText.begin(), AText.end(), zvq::IsSupportCodeDigit));
}

std::u16string DigitsOf(std::u16string_view AText) {
  std::u16string Digits;
  std::copy_if(AText.begin(), AText.end(), std::back_inserter(Digits), zvq::IsSupportCodeDigit);
  return Digits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 2) return 0;
  std::u16string Text((ASize - 2) / 2, u'\0');
  for (std::size_t i = 0; i < Text.size(); ++i)
    Text[i] = static_cast<char16_t>(AData[2 + 2 * i] | (AData[3 + 2 * i] << 8));
  const std::size_t Caret = static_cast<std::size_t>(AData[0] | (AData[1] << 8)) % (Text.size() + 1);

  const zvq::TSupportCodeFormat Result = zvq::FormatSupportCode(Text, Caret);
  const std::u16string& Out = Result.Text;
  Check(Out.size() <= 11, "at most 11 units");
  for (std::size_t i = 0; i < Out.size(); ++i) {
    const bool SeparatorPlace = i == 3 || i == 7;
    Check(SeparatorPlace ? Out[i] == u' ' : zvq::IsSupportCodeDigit(Out[i]),
          "digits with a space after each third");
  }
  Check(Out.empty() || Out.back() != u' ', "no trailing space");
  Check(Result.SubmitEnabled == (Out.size() == 11), "Submit enabled exactly for 11 units");
  Check(DigitsOf(Out) == DigitsOf(Text).substr(0, 9), "the first nine digits typed, in order");

  // After d typed digits the caret stands behind them and the separators between them; past the ninth digit
  // that is beyond the end, which the field clamps.
  const std::size_t Before = DigitsIn(std::u16string_view(Text).substr(0, Caret));
  Check(Result.Caret == Before + (Before > 0 ? (Before - 1) / 3 : 0), "caret behind its digits");
  const std::size_t Shown = std::min(Result.Caret, Out.size());
  Check(DigitsIn(std::u16string_view(Out).substr(0, Shown)) == std::min<std::size_t>(Before, 9),
        "the clamped caret keeps its digits before it");

  // Its own output is a fixed point; only a caret just after a separator moves, to just before it.
  const zvq::TSupportCodeFormat Again = zvq::FormatSupportCode(Out, Shown);
  Check(Again.Text == Out, "idempotent text");
  Check(Again.Caret == (Shown > 0 && Out[Shown - 1] == u' ' ? Shown - 1 : Shown), "idempotent caret");
  Check(Again.SubmitEnabled == Result.SubmitEnabled, "idempotent Submit state");
  return 0;
}
