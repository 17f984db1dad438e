#include "service/charset.h"

#include <gtest/gtest.h>

#include <string>

#include "errors/errors.h"
#include "service/body_sink.h"

namespace zvq {
namespace {

std::string Replacements(int ACount) {
  std::string text;
  for (int i = 0; i < ACount; ++i) text += "\xEF\xBF\xBD";
  return text;
}

TEST(ConvertToUtf8, DecodesNamedCharsetsAndReplacesWhatIsInvalid) {
  struct Row {
    const char* Name;
    const char* Charset;
    std::string Bytes;
    std::string Utf8;
  };
  const Row rows[] = {
      {"valid UTF-8 is unchanged", "UTF-8", "\xE2\x82\xAC \xF0\x9F\x98\x80", "\xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"names are not case-sensitive", "utf-8", "x", "x"},
      {"a stray byte becomes one U+FFFD", "UTF-8", "a\x80z", "a\xEF\xBF\xBDz"},
      {"an overlong encoding is invalid", "UTF-8", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
#ifdef _WIN32
      // The system's decoder replaces a maximal invalid sequence, iconv each byte.
      {"a surrogate encoded in UTF-8 is invalid", "UTF-8", "\xED\xA0\x80!", "\xEF\xBF\xBD\xEF\xBF\xBD!"},
      {"a sequence cut off at the end", "UTF-8", "ab\xE2\x82", "ab\xEF\xBF\xBD"},
#else
      {"a surrogate encoded in UTF-8 is invalid", "UTF-8", "\xED\xA0\x80!", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!"},
      {"a sequence cut off at the end", "UTF-8", "ab\xE2\x82", "ab\xEF\xBF\xBD\xEF\xBF\xBD"},
#endif
      {"latin-1 maps every byte", "ISO-8859-1", "\xA9\xFF", "\xC2\xA9\xC3\xBF"},
      {"windows-1252 has the euro sign at 0x80", "WINDOWS-1252", "\x80", "\xE2\x82\xAC"},
      {"UTF-16LE", "UTF-16LE", std::string("h\0i\0", 4), "hi"},
      {"an odd trailing byte of UTF-16", "UTF-16LE", std::string("h\0i", 3), "h\xEF\xBF\xBD"},
      {"UTF-16BE with a pair", "UTF-16BE", std::string("\xD8\x34\xDD\x1E\0!", 6), "\xF0\x9D\x84\x9E!"},
      {"an unpaired surrogate in UTF-16", "UTF-16LE", std::string("\x00\xDC" "a\0", 4), "\xEF\xBF\xBD" "a"},
      {"UTF-32BE", "UTF-32BE", std::string("\0\x01\xF6\x00\0\0\0a", 8), "\xF0\x9F\x98\x80" "a"},
      {"UTF-32LE beyond U+10FFFF and cut off", "UTF-32LE", std::string("\0\0\x11\0z", 5), "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"empty input", "UTF-8", "", ""},
#ifndef _WIN32
      // Names iconv knows that Windows' list has no entry for.
      {"a UTF-16 alias without the family name", "UNICODELITTLE", std::string("h\0\xFF\xDBi\0", 6),
       "h\xEF\xBF\xBDi"},
      {"a UTF-32 alias without the family name", "10646-1:1993", std::string("\0\0\0h\0\0\xD8\0\0\0\0i", 12),
       "h\xEF\xBF\xBDi"},
      // iconv writes U+68000000 in the old six-byte form; each of its bytes is then replaced.
      {"a code point past U+10FFFF from a decoder that passes it", "UCS-4BE", std::string("\x68\0\0\0\0\0\0i", 8),
       Replacements(6) + "i"},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(ConvertToUtf8(row.Bytes, row.Charset), row.Utf8);
  }
}

TEST(ConvertToUtf8, OutputLongerThanOneConversionBufferIsComplete) {
  const std::string latin(20'000, '\xE9');  // each byte doubles in UTF-8
  std::string expected;
  for (int i = 0; i < 20'000; ++i) expected += "\xC3\xA9";
  EXPECT_EQ(ConvertToUtf8(latin, "ISO-8859-1"), expected);
}

TEST(ConvertToUtf8, TheTextStopsAtTheLimitWhateverTheInputSize) {
  const std::string latin(1000, '\xE9');  // 1000 bytes become 2000
  EXPECT_EQ(ConvertToUtf8(latin, "ISO-8859-1", 2000).size(), 2000u);
  EXPECT_THROW(ConvertToUtf8(latin, "ISO-8859-1", 1999), http::EResponseTooLarge);
  // Repair grows each stray byte to three.
  EXPECT_THROW(ConvertToUtf8(std::string(100, '\xFF'), "UTF-8", 299), http::EResponseTooLarge);
}

TEST(RepairUtf8, ReplacesEachMaximalInvalidSubpart) {
  struct Row {
    const char* Name;
    std::string Bytes;
    std::string Utf8;
  };
  const Row rows[] = {
      {"well-formed text is kept", "a\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF", "a\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF"},
      {"a truncated sequence is one replacement", "\xE2\x82z", "\xEF\xBF\xBDz"},
      {"an encoded surrogate", "\xED\xB0\x80", Replacements(3)},
      {"past U+10FFFF", "\xF4\x90\x80\x80", Replacements(4)},
      {"a five-byte form", "\xF8\x88\x80\x80\x80", Replacements(5)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(RepairUtf8(row.Bytes), row.Utf8);
  }
}

TEST(ConvertToUtf8, AnUnknownCharsetIsAnEncodingError) {
  try {
    ConvertToUtf8("abc", "x-no-such-set");
    FAIL() << "converted from an unknown set";
  } catch (const EEncodingError& error) {
    EXPECT_EQ(error.Message(), "Invalid encoding name");
  }
}

TEST(Utf16, RoundTripsAndReplacesUnpairedSurrogates) {
  const std::u16string text = u"Code 123 \u20AC \U0001F600";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800" u"b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFD" u"b");
}

}  // namespace
}  // namespace zvq
