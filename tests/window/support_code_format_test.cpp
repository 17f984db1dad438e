#include "window/support_code_format.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/window/qt_print.h"

namespace zvq {
namespace {

struct FormatCase {
  const char* Name;
  QString Text;
  qsizetype Caret;
  QString ExpectedText;
  qsizetype ExpectedCaret;
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
      {"nine bare digits with the caret at the end give three groups", u"123456789"_qs, 9, u"123 456 789"_qs, 11,
       true},
      {"a fourth digit typed at the end moves past the new separator", u"1234"_qs, 4, u"123 4"_qs, 5, false},
      {"a caret at the end of the first group stays before the separator", u"1234"_qs, 3, u"123 4"_qs, 3, false},
      {"three digits get no trailing separator", u"123"_qs, 3, u"123"_qs, 3, false},
      {"a digit typed into the middle of a complete code pushes the last digit out", u"123 4056 789"_qs, 6,
       u"123 405 678"_qs, 6, true},
      {"a caret at the start stays at the start", u"123456789"_qs, 0, u"123 456 789"_qs, 0, true},
  });
}

TEST(FormatSupportCode, RemovesWhatIsNotADigit) {
  ExpectFormats({
      {"a letter before the caret pulls the caret back", u"12a3"_qs, 4, u"123"_qs, 3, false},
      {"a letter after the caret leaves it alone", u"1a23"_qs, 1, u"123"_qs, 1, false},
      {"a hyphenated paste becomes the spaced code", u"123-456-789"_qs, 11, u"123 456 789"_qs, 11, true},
      {"leading junk before the caret at zero", u"ab123"_qs, 0, u"123"_qs, 0, false},
      {"text without a digit leaves an empty field", u"  -x"_qs, 4, QString(), 0, false},
      {"superscripts, circled and roman numerals are not digits", u"1\u00B2\u2460\u216B2"_qs, 5, u"12"_qs, 2, false},
      {"a digit outside the basic plane is dropped unit by unit", u"1\U0001D7CF2"_qs, 4, u"12"_qs, 2, false},
      {"a no-break space is not a separator to keep", u"123\u00A0456"_qs, 7, u"123 456"_qs, 7, false},
  });
}

TEST(FormatSupportCode, EditsOfACompleteCode) {
  ExpectFormats({
      {"a tenth digit at the end is dropped and the caret runs past the end", u"123 456 7890"_qs, 12,
       u"123 456 789"_qs, 13, true},
      {"backspace over the second separator puts it back before the caret", u"123 456789"_qs, 7,
       u"123 456 789"_qs, 7, true},
      {"deleting a digit leaves an incomplete code", u"123 456 78"_qs, 10, u"123 456 78"_qs, 10, false},
      {"a longer paste keeps the first nine digits", u"12345678901234"_qs, 14, u"123 456 789"_qs, 18, true},
      {"clearing the field disables submit and keeps the caret", QString(), 0, QString(), 0, false},
  });
}

TEST(FormatSupportCode, KeepsOtherDecimalDigitsAsTheyAre) {
  ExpectFormats({
      {"Arabic-Indic digits", u"\u0660\u0661\u0662\u0663\u0664\u0665\u0666\u0667\u0668"_qs, 9,
       u"\u0660\u0661\u0662 \u0663\u0664\u0665 \u0666\u0667\u0668"_qs, 11, true},
      {"fullwidth and Devanagari digits mixed with ASCII", u"1\uFF12\u0969"_qs, 3, u"1\uFF12\u0969"_qs, 3, false},
  });
}

TEST(IsSupportCodeDigit, AcceptsDecimalDigitsOnly) {
  struct DigitCase {
    char16_t Unit;
    bool Expected;
  };
  const std::vector<DigitCase> Cases = {
      {u'0', true},      {u'9', true},       {u'/', false},     {u':', false},      {u'a', false},
      {u' ', false},     {u'\u00B2', false}, {u'\u00BD', false}, {u'\u0660', true}, {u'\u0966', true},
      {u'\uFF10', true}, {u'\u2460', false}, {u'\u216B', false}, {char16_t(0xD835), false}, {char16_t(0xDFCE), false},
  };
  for (const DigitCase& Case : Cases) {
    EXPECT_EQ(IsSupportCodeDigit(QChar(Case.Unit)), Case.Expected) << "U+" << std::hex << int(Case.Unit);
  }
}

qsizetype CountDigits(const QString& AText) {
  qsizetype Count = 0;
  for (QChar Unit : AText) Count += IsSupportCodeDigit(Unit) ? 1 : 0;
  return Count;
}

QString DigitsOf(const QString& AText) {
  QString Digits;
  for (QChar Unit : AText)
    if (IsSupportCodeDigit(Unit)) Digits += Unit;
  return Digits;
}

bool HasCanonicalShape(const QString& AText) {
  for (qsizetype i = 0; i < AText.size(); ++i) {
    const bool SeparatorPlace = i == 3 || i == 7;
    if (SeparatorPlace ? AText[i] != u' ' : !IsSupportCodeDigit(AText[i])) return false;
  }
  return AText.isEmpty() || AText.back() != u' ';
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
    QString Text;
    for (int n = LengthOf(Random); n > 0; --n) Text += QChar(Alphabet[UnitOf(Random)]);
    const qsizetype Caret = std::uniform_int_distribution<qsizetype>(0, Text.size())(Random);
    SCOPED_TRACE(testing::Message() << "input " << Text.toStdString() << " caret " << Caret);

    const TSupportCodeFormat Result = FormatSupportCode(Text, Caret);
    ASSERT_LE(Result.Text.size(), 11);
    ASSERT_TRUE(HasCanonicalShape(Result.Text)) << Result.Text.toStdString();
    ASSERT_EQ(Result.SubmitEnabled, Result.Text.size() == 11);
    ASSERT_EQ(DigitsOf(Result.Text), DigitsOf(Text).left(9));

    const qsizetype Shown = std::min(Result.Caret, Result.Text.size());
    ASSERT_GE(Shown, 0);
    ASSERT_EQ(CountDigits(Result.Text.left(Shown)), std::min<qsizetype>(CountDigits(Text.left(Caret)), 9));

    const TSupportCodeFormat Again = FormatSupportCode(Result.Text, Shown);
    ASSERT_EQ(Again.Text, Result.Text);
    const bool AfterSeparator = Shown > 0 && Result.Text[Shown - 1] == u' ';
    ASSERT_EQ(Again.Caret, AfterSeparator ? Shown - 1 : Shown);
  }
}

}  // namespace
}  // namespace zvq
