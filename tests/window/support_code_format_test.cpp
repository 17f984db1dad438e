#include "window/support_code_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace zvq {
namespace {

struct FormatCase {
  const char* Name;
  std::u16string Text;
  std::size_t Caret;
  std::u16string ExpectedText;
  std::size_t ExpectedCaret;
  bool ExpectedEnabled;
};

void ExpectFormats(const std::vector<FormatCase>& ACases) {
  for (const FormatCase& Case : ACases) {
    SCOPED_TRACE(Case.Name);
    const TSupportCodeFormat Result = FormatSupportCode(Case.Text, Case.Caret);
    EXPECT_EQ(Result.Text, Case.ExpectedText);
    EXPECT_EQ(Result.Caret, Case.ExpectedCaret);
    EXPECT_EQ(Result.SubmitEnabled, Case.ExpectedEnabled);
  }
}

TEST(FormatSupportCode, GroupsDigitsAndKeepsTheCaretWithThem) {
  ExpectFormats({
      {"nine bare digits with the caret at the end give three groups", u"123456789", 9, u"123 456 789", 11,
       true},
      {"a fourth digit typed at the end moves past the new separator", u"1234", 4, u"123 4", 5, false},
      {"a caret at the end of the first group stays before the separator", u"1234", 3, u"123 4", 3, false},
      {"three digits get no trailing separator", u"123", 3, u"123", 3, false},
      {"a digit typed into the middle of a complete code pushes the last digit out", u"123 4056 789", 6,
       u"123 405 678", 6, true},
      {"a caret at the start stays at the start", u"123456789", 0, u"123 456 789", 0, true},
  });
}

TEST(FormatSupportCode, RemovesWhatIsNotADigit) {
  ExpectFormats({
      {"a letter before the caret pulls the caret back", u"12a3", 4, u"123", 3, false},
      {"a letter after the caret leaves it alone", u"1a23", 1, u"123", 1, false},
      {"a hyphenated paste becomes the spaced code", u"123-456-789", 11, u"123 456 789", 11, true},
      {"leading junk before the caret at zero", u"ab123", 0, u"123", 0, false},
      {"text without a digit leaves an empty field", u"  -x", 4, u"", 0, false},
      {"superscripts, circled and roman numerals are not digits", u"1\u00B2\u2460\u216B2", 5, u"12", 2,
       false},
      {"a digit outside the basic plane is dropped unit by unit", u"1\U0001D7CF2", 4, u"12", 2, false},
      {"a no-break space is not a separator to keep", u"123\u00A0456", 7, u"123 456", 7, false},
  });
}

TEST(FormatSupportCode, EditsOfACompleteCode) {
  ExpectFormats({
      {"a tenth digit at the end is dropped and the caret runs past the end", u"123 456 7890", 12,
       u"123 456 789", 13, true},
      {"backspace over the second separator puts it back before the caret", u"123 456789", 7, u"123 456 789",
       7, true},
      {"deleting a digit leaves an incomplete code", u"123 456 78", 10, u"123 456 78", 10, false},
      {"a longer paste keeps the first nine digits", u"12345678901234", 14, u"123 456 789", 18, true},
      {"clearing the field disables submit and keeps the caret", u"", 0, u"", 0, false},
  });
}

TEST(FormatSupportCode, KeepsOtherDecimalDigitsAsTheyAre) {
  ExpectFormats({
      {"Arabic-Indic digits", u"\u0660\u0661\u0662\u0663\u0664\u0665\u0666\u0667\u0668", 9,
       u"\u0660\u0661\u0662 \u0663\u0664\u0665 \u0666\u0667\u0668", 11, true},
      {"fullwidth and Devanagari digits mixed with ASCII", u"1\uFF12\u0969", 3, u"1\uFF12\u0969", 3, false},
  });
}

TEST(IsSupportCodeDigit, AcceptsDecimalDigitsOnly) {
  struct DigitCase {
    char16_t Unit;
    bool Expected;
  };
  const std::vector<DigitCase> Cases = {
      {u'0', true},
      {u'9', true},
      {u'/', false},
      {u':', false},
      {u'a', false},
      {u' ', false},
      {u'\u00B2', false},
      {u'\u00BD', false},
      {u'\u0660', true},
      {u'\u0966', true},
      {u'\uFF10', true},
      {u'\u2460', false},
      {u'\u216B', false},
      {char16_t(0xD835), false},
      {char16_t(0xDFCE), false},
  };
  for (const DigitCase& Case : Cases) {
    EXPECT_EQ(IsSupportCodeDigit(Case.Unit), Case.Expected) << "U+" << std::hex << int(Case.Unit);
  }
}

std::size_t CountDigits(std::u16string_view AText) {
  return static_cast<std::size_t>(std::count_if(AText.begin(), AText.end(), IsSupportCodeDigit));
}

std::u16string DigitsOf(std::u16string_view AText) {
  std::u16string Digits;
  std::copy_if(AText.begin(), AText.end(), std::back_inserter(Digits), IsSupportCodeDigit);
  return Digits;
}

bool HasCanonicalShape(std::u16string_view AText) {
  for (std::size_t i = 0; i < AText.size(); ++i) {
    const bool SeparatorPlace = i == 3 || i == 7;
    if (SeparatorPlace ? AText[i] != u' ' : !IsSupportCodeDigit(AText[i])) return false;
  }
  return AText.empty() || AText.back() != u' ';
}

// Random edits and pastes: every result is canonical, is a fixed point of the routine, keeps the digits the
// user entered in order, and leaves the same digits before the caret as before it.
TEST(FormatSupportCode, HoldsItsInvariantsOverRandomInput) {
  const std::u16string Alphabet =
      u"0123456789012345678901234567890123456789   --..ab\u00B2\u00A0\u0660\u0669\uFF15\u2460\u0967" +
      std::u16string{char16_t(0xD835), char16_t(0xDFCE)};  // a supplementary-plane digit as a surrogate pair
  std::mt19937 Random(20240611);
  std::uniform_int_distribution<int> LengthOf(0, 20);
  std::uniform_int_distribution<std::size_t> UnitOf(0, Alphabet.size() - 1);

  for (int Iteration = 0; Iteration < 20000; ++Iteration) {
    std::u16string Text;
    for (int n = LengthOf(Random); n > 0; --n) Text += Alphabet[UnitOf(Random)];
    const std::size_t Caret = std::uniform_int_distribution<std::size_t>(0, Text.size())(Random);
    SCOPED_TRACE(testing::Message() << "input " << testing::PrintToString(Text) << " caret " << Caret);

    const TSupportCodeFormat Result = FormatSupportCode(Text, Caret);
    ASSERT_LE(Result.Text.size(), 11u);
    ASSERT_TRUE(HasCanonicalShape(Result.Text)) << testing::PrintToString(Result.Text);
    ASSERT_EQ(Result.SubmitEnabled, Result.Text.size() == 11);
    ASSERT_EQ(DigitsOf(Result.Text), DigitsOf(Text).substr(0, 9));

    const std::size_t Shown = std::min(Result.Caret, Result.Text.size());
    ASSERT_EQ(CountDigits(std::u16string_view(Result.Text).substr(0, Shown)),
              std::min<std::size_t>(CountDigits(std::u16string_view(Text).substr(0, Caret)), 9));

    const TSupportCodeFormat Again = FormatSupportCode(Result.Text, Shown);
    ASSERT_EQ(Again.Text, Result.Text);
    const bool AfterSeparator = Shown > 0 && Result.Text[Shown - 1] == u' ';
    ASSERT_EQ(Again.Caret, AfterSeparator ? Shown - 1 : Shown);
  }
}

}  // namespace
}  // namespace zvq
