#include "window/support_code_format.h"

namespace zvq {

namespace {
constexpr qsizetype kCompleteLength = 11;  // nine digits in three groups
constexpr QChar kSeparator = u' ';
}  // namespace

bool IsSupportCodeDigit(QChar AChar) {
  const char16_t Unit = AChar.unicode();
  if (Unit <= 255) return Unit >= u'0' && Unit <= u'9';
  if (AChar.isSurrogate()) return false;
  return AChar.category() == QChar::Number_DecimalDigit;
}

TSupportCodeFormat FormatSupportCode(const QString& AText, qsizetype ACaret) {
  if (AText.isEmpty()) return {QString(), ACaret, false};

  QString Text = AText;
  qsizetype Caret = ACaret;

  // 1-based walk: a deleted unit that stood before the caret pulls the caret back by one.
  for (qsizetype i = 1; i <= Text.size();) {
    if (IsSupportCodeDigit(Text[i - 1])) {
      ++i;
    } else {
      Text.remove(i - 1, 1);
      if (i <= Caret) --Caret;
    }
  }

  // A separator after the first k units; it only pushes a caret that stands strictly behind it, so a caret
  // at the end of a group stays before the separator.
  for (qsizetype k = 3; Text.size() > k; k += 4) {
    Text.insert(k, kSeparator);
    if (k < Caret) ++Caret;
  }

  if (Text.size() > kCompleteLength) Text.truncate(kCompleteLength);
  const bool Complete = Text.size() == kCompleteLength;
  return {std::move(Text), Caret, Complete};
}

}  // namespace zvq
