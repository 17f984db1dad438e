// The build-time digit table against Qt's Unicode data for every 16-bit unit: both come from the Unicode
// Character Database, so a difference means one side's data is of another version or wrong.

#include <gtest/gtest.h>

#include <QChar>
#include <QString>
#include <algorithm>
#include <string>

#include "window/decimal_digits.h"
#include "window/support_code_format.h"

namespace zvq {
namespace {

bool InTable(char16_t AUnit) {
  return std::any_of(std::begin(unicode::kDecimalDigitRanges), std::end(unicode::kDecimalDigitRanges),
                     [AUnit](const auto& ARange) { return ARange.First <= AUnit && AUnit <= ARange.Last; });
}

// Above 255 the code field's digit test is the table; the table is checked on every unit, the lookup too.
TEST(DecimalDigitTable, AgreesWithQtOnEverySixteenBitUnit) {
  std::string Differences;
  int Digits = 0;
  for (char32_t Unit = 0; Unit <= 0xFFFF; ++Unit) {
    const auto Unit16 = static_cast<char16_t>(Unit);
    const bool Qt = QChar::category(Unit) == QChar::Number_DecimalDigit;
    const bool Table = InTable(Unit16);
    Digits += Table;
    if (Table != Qt || (Unit > 255 && IsSupportCodeDigit(Unit16) != Qt)) {
      Differences += QString::asprintf("U+%04X Qt=%d table=%d field=%d\n", static_cast<unsigned>(Unit), Qt,
                                       Table, IsSupportCodeDigit(Unit16))
                         .toStdString();
    }
  }
  EXPECT_EQ(Differences, "") << "table from Unicode " << unicode::kDecimalDigitVersion
                             << ", Qt's Unicode version " << QChar::currentUnicodeVersion();
  EXPECT_GT(Digits, 300) << "the table cannot be empty";
}

}  // namespace
}  // namespace zvq
