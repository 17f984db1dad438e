#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "service/charset.h"
#include "service/signing.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

bool Contains(const std::string& AHaystack, const std::string& ANeedle) {
  return std::search(AHaystack.begin(), AHaystack.end(),
                     std::boyer_moore_horspool_searcher(ANeedle.begin(), ANeedle.end())) != AHaystack.end();
}

void WriteBytes(const fs::path& APath, std::string_view ABytes) {
  std::ofstream out(APath, std::ios::binary | std::ios::trunc);
  out.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size()));
}

std::string StripLineEnd(std::string AText) {
  if (AText.ends_with("\r\n"))
    AText.resize(AText.size() - 2);
  else if (AText.ends_with("\n"))
    AText.pop_back();
  return AText;
}

std::string Utf16Le(std::u16string_view AText) {
  std::string bytes;
  for (char16_t unit : AText) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// Reads the generator's include back into the table the launcher fills from it.
KeyPieceTable ParsePieces(const std::string& AInclude) {
  std::vector<unsigned long> numbers;
  std::size_t pos = 0;
  while (pos < AInclude.size()) {
    if (AInclude.compare(pos, 2, "//") == 0) {
      pos = AInclude.find('\n', pos);
      if (pos == std::string::npos) break;
    } else if (std::isdigit(static_cast<unsigned char>(AInclude[pos]))) {
      char* end = nullptr;
      numbers.push_back(std::strtoul(AInclude.c_str() + pos, &end, 0));
      pos = static_cast<std::size_t>(end - AInclude.c_str());
      continue;
    }
    ++pos;
  }
  KeyPieceTable pieces{};
  EXPECT_EQ(numbers.size(), kKeyPieceCount * (1 + 2 * kKeyPieceStored));
  if (numbers.size() != kKeyPieceCount * (1 + 2 * kKeyPieceStored)) return pieces;
  auto next = numbers.begin();
  for (KeyPiece& piece : pieces) {
    piece.Constant = static_cast<std::uint16_t>(*next++);
    for (std::size_t k = 0; k < kKeyPieceStored; ++k) {
      piece.Slots[k] = static_cast<std::uint8_t>(*next++);
      piece.Values[k] = static_cast<std::uint16_t>(*next++);
    }
  }
  return pieces;
}

class KeygenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    FDir = fs::temp_directory_path() /
           ("zvq-keygen-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
    fs::create_directories(FDir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
  }

  struct Result {
    bool Succeeded;
    std::string Include, Errors;
  };

  Result Run(std::string_view AKeyFileBytes) {
    WriteBytes(FDir / "key.txt", AKeyFileBytes);
    return RunOn(FDir / "key.txt");
  }

  Result RunOn(const fs::path& AKeyFile) {
    const fs::path output = FDir / "out" / "pieces.inc";
    std::error_code ignored;
    fs::remove(output, ignored);
    const std::string command = "\"" ZVQ_TEST_KEYGEN "\" \"" + AKeyFile.string() + "\" \"" + output.string() +
                                "\" 2> \"" + (FDir / "errors.txt").string() + "\"";
    const bool succeeded = std::system(command.c_str()) == 0;
    return {succeeded, fs::exists(output) ? ReadBytes(output) : std::string(),
            ReadBytes(FDir / "errors.txt")};
  }

  fs::path FDir;
};

std::u16string LongestKey() {
  // Every unit a piece might mishandle: the values the unfilled slots restore to when empty (0x0001, 0xFFFF,
  // 0xFFF6...), non-ASCII text, and a surrogate pair split over the first two pieces.
  std::u16string key = u"abcdefg\U0001d11e";
  key += u"\u0001\uffff\ufff6\u00e9\u20ac";
  while (key.size() < 69) key += static_cast<char16_t>(u'A' + key.size() % 26);
  return key;
}

TEST_F(KeygenTest, PiecesRestoreToTheKeyFileForKeysOfEveryShape) {
  struct Row {
    const char* Name;
    std::string FileBytes;
    std::u16string Expected;
  };
  const std::u16string longest = LongestKey();
  const Row kRows[] = {
      {"an ASCII key with a trailing line feed", "s3cr3t-Key_with.punctuation!\n",
       u"s3cr3t-Key_with.punctuation!"},
      {"a key with umlauts, the euro sign and a surrogate pair",
       "Schl\xC3\xBCssel \xE2\x82\xAC \xF0\x9D\x84\x9E", u"Schl\u00fcssel \u20ac \U0001d11e"},
      {"a single character", "x", u"x"},
      {"a CR LF line end is stripped", "key\r\n", u"key"},
      {"only one line end is stripped", "key\n\n", u"key\n"},
      {"the longest key that fits, 69 units", Utf16ToUtf8(longest), longest},
  };
  for (const Row& row : kRows) {
    const Result result = Run(row.FileBytes);
    ASSERT_TRUE(result.Succeeded) << row.Name << ": " << result.Errors;
    const KeyPieceTable pieces = ParsePieces(result.Include);
    EXPECT_EQ(RestoreSigningKey(pieces), row.Expected) << row.Name;

    for (const KeyPiece& piece : pieces) {
      const std::set<std::uint8_t> slots(piece.Slots.begin(), piece.Slots.end());
      EXPECT_EQ(slots.size(), kKeyPieceStored) << row.Name << ": a slot filled twice";
      EXPECT_LT(*slots.rbegin(), kKeyPieceSlots) << row.Name;
      EXPECT_FALSE(std::is_sorted(piece.Slots.begin(), piece.Slots.end()))
          << row.Name << ": fill order is slot order";
    }
  }
}

TEST_F(KeygenTest, EachRunDrawsNewConstantsForTheSameKey) {
  const Result first = Run("same key");
  const Result second = Run("same key");
  ASSERT_TRUE(first.Succeeded && second.Succeeded);
  EXPECT_NE(first.Include, second.Include);
  EXPECT_EQ(RestoreSigningKey(ParsePieces(first.Include)), u"same key");
  EXPECT_EQ(RestoreSigningKey(ParsePieces(second.Include)), u"same key");
}

TEST_F(KeygenTest, RefusesAKeyItCannotRepresentWithAClearMessage) {
  struct Row {
    const char* Name;
    std::string FileBytes;
    const char* Message;
  };
  const Row kRows[] = {
      {"an empty file", "", "the key is empty"},
      {"a line end only", "\n", "the key is empty"},
      {"one unit over capacity", Utf16ToUtf8(LongestKey() + u"z"), "at most 69 fit"},
      {"a U+0000 inside", std::string("ab\0cd", 5), "U+0000"},
      {"invalid UTF-8", "ab\xC3(", "not valid UTF-8"},
      {"a sequence cut off at the end", "ab\xE2\x82", "not valid UTF-8"},
      {"an encoded surrogate", "ab\xED\xA0\x80", "not valid UTF-8"},
      {"an overlong encoding", "ab\xC0\xAF", "not valid UTF-8"},
      {"a byte-order mark", "\xEF\xBB\xBFkey", "byte-order mark"},
  };
  for (const Row& row : kRows) {
    const Result result = Run(row.FileBytes);
    EXPECT_FALSE(result.Succeeded) << row.Name;
    EXPECT_TRUE(result.Include.empty()) << row.Name << ": left an include behind";
    EXPECT_NE(result.Errors.find(row.Message), std::string::npos) << row.Name << ": " << result.Errors;
  }
  const Result missing = RunOn(FDir / "no-such-key.txt");
  EXPECT_FALSE(missing.Succeeded);
  EXPECT_NE(missing.Errors.find("cannot open the key file"), std::string::npos) << missing.Errors;
}

// Each piece restored by its own step, with stored values worked out by hand; the fill order is shuffled and
// the slots after each terminator hold noise that must not be read.
TEST(RestoreSigningKey, AppliesEachPiecesStepAndStopsAtTheFirstZero) {
  struct Stored {
    std::uint16_t Constant;
    std::vector<std::uint16_t>
        FirstSlots;  // slots 0, 1, ...; the rest up to slot 8 get noise, slot 9 is unfilled
  };
  const Stored kStored[kKeyPieceCount] = {
      {0, {0x0042, 0x0044, 0x0003}},  // subtract i+1: "AB"
      {0x1234, {0x1277, 0x1234}},     // exclusive-or 0x1234: "C"
      {0, {0xFFBC, 0x0000}},          // negate: "D"
      {0, {0x0044, 0xFFFF}},          // add 1: "E"
      {0, {0x0045, 0x0047, 0x0001}},  // subtract i, add 1: "FG"
      {0, {0xFFB7, 0xFFFF}},          // complement: "H"
      {0, {0x0048, 0xFFFF}},          // add 1: "I"
      {0x0100, {0x014A, 0x0101}},     // subtract i plus 0x100: "J"
  };
  KeyPieceTable pieces{};
  const std::array<std::uint8_t, kKeyPieceStored> kOrder = {4, 0, 8, 2, 7, 1, 5, 3, 6};
  for (std::size_t p = 0; p < kKeyPieceCount; ++p) {
    pieces[p].Constant = kStored[p].Constant;
    pieces[p].Slots = kOrder;
    for (std::size_t k = 0; k < kKeyPieceStored; ++k) {
      const std::uint8_t slot = kOrder[k];
      pieces[p].Values[k] = slot < kStored[p].FirstSlots.size() ? kStored[p].FirstSlots[slot] : 0x5A5A;
    }
  }
  EXPECT_EQ(RestoreSigningKey(pieces), u"ABCDEFGHIJ");
}

TEST(BuildSigningKey, AssemblesTheConfiguredKey) {
  EXPECT_EQ(BuildSigningKey(), Utf8ToUtf16(StripLineEnd(ReadBytes(ZVQ_TEST_KEY_FILE))));
}

TEST(BuildSigningKey, TheKeyNeverStandsWholeInTheBuiltBinaries) {
  const std::string keyUtf8 = StripLineEnd(ReadBytes(ZVQ_TEST_KEY_FILE));
  const std::u16string key = Utf8ToUtf16(keyUtf8);
  ASSERT_GE(key.size(), 8u) << "the configured key is too short for the prefix scan";
  const std::u16string prefix = key.substr(0, 8);
  const std::string needles[] = {keyUtf8, Utf16Le(key), Utf16ToUtf8(prefix), Utf16Le(prefix)};

  for (const char* binary : {ZVQ_TEST_EXECUTABLE, ZVQ_TEST_SIGNING_LIBRARY}) {
    const std::string bytes = ReadBytes(binary);
    ASSERT_FALSE(bytes.empty()) << binary;
    for (const std::string& needle : needles) {
      EXPECT_FALSE(Contains(bytes, needle)) << binary << " holds " << needle.size() << " bytes of the key";
    }
  }
  // The scan does find text that is there: the key file's path is compiled into this program.
  EXPECT_TRUE(Contains(ReadBytes(ZVQ_TEST_EXECUTABLE), ZVQ_TEST_KEY_FILE));
}

}  // namespace
}  // namespace zvq
