#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zvq {

// What the code field shows after a change: three groups of three digits, the caret where the user expects
// it, and whether the code is complete enough to submit.
struct TSupportCodeFormat {
  std::u16string Text;
  std::size_t Caret = 0;
  bool SubmitEnabled = false;
};

// "0".."9" up to code 255, any decimal digit (Nd) above it; surrogate units never count.
bool IsSupportCodeDigit(char16_t AUnit);

// Keeps only digits, puts a space after every third one, cuts to nine digits and moves ACaret (the number of
// units before the insertion point) along with the text. The caret may come back past the end of the text;
// the field clamps it.
TSupportCodeFormat FormatSupportCode(std::u16string_view AText, std::size_t ACaret);

}  // namespace zvq
