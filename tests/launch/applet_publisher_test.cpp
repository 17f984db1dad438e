#include "launch/applet_publisher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors/errors.h"

namespace zvq {
namespace {

const std::string kA = "ad27809833712111d4d31dd198b41b75c41907b2164ca259cb963cb2efbee66f";
const std::string kB = "71FA8219837FA5A951BB0CA6AEEC522D6758088EEAD6B01597C05CB4685E1660";

KeyFingerprint Key(std::uint8_t AFirst, std::uint8_t ALast) {
  KeyFingerprint key{};
  key.front() = AFirst;
  key.back() = ALast;
  return key;
}

TEST(PublisherPins, ReadsEachFingerprintWhateverTheSeparatorOrCase) {
  struct Row {
    const char* Case;
    std::string Text;
    std::size_t Count;
  };
  const Row rows[] = {
      {"one", kA, 1},
      {"upper case", kB, 1},
      {"comma", kA + "," + kB, 2},
      {"CMake list", kA + ";" + kB, 2},
      {"blanks, line breaks and a trailing comma", "  " + kA + "\r\n\t" + kB + ",", 2},
  };
  for (const Row& row : rows) {
    const PublisherPins pins = PublisherPins::Parse(row.Text);
    EXPECT_TRUE(pins.IsRequired()) << row.Case;
    ASSERT_EQ(pins.Keys().size(), row.Count) << row.Case;
  }
  const PublisherPins pins = PublisherPins::Parse(kA + " " + kB);
  EXPECT_EQ(pins.Keys()[0].front(), 0xad);
  EXPECT_EQ(pins.Keys()[0].back(), 0x6f);
  EXPECT_EQ(pins.Keys()[1].front(), 0x71);
  EXPECT_EQ(pins.Keys()[1].back(), 0x60);
}

TEST(PublisherPins, RefusesAnythingButFingerprintsOrTheWordNone) {
  const std::string rows[] = {
      "",
      " ,; ",
      kA.substr(1),                            // 63 digits
      kA + "0",                                // 65 digits
      "g" + kA.substr(1),                      // not hex
      kA.substr(0, 32) + ":" + kA.substr(32),  // a colon is not a separator
      "demo",
      "None",
      "none " + kA,
  };
  for (const std::string& text : rows) {
    try {
      PublisherPins::Parse(text);
      ADD_FAILURE() << "accepted \"" << text << "\"";
    } catch (const ESupportLauncherException& error) {
      EXPECT_EQ(error.Message().rfind("The applet publisher's key fingerprints are malformed: ", 0), 0U);
    }
  }
  const PublisherPins none = PublisherPins::Parse("none");
  EXPECT_FALSE(none.IsRequired());
  EXPECT_TRUE(none.Keys().empty());
}

TEST(PublisherPins, AChainPassesWhenAnyOfItsKeysIsPinned) {
  PublisherPins pins = PublisherPins::Parse(kA + "," + kB);
  const KeyFingerprint pinnedLeaf = pins.Keys()[0];
  const KeyFingerprint pinnedCa = pins.Keys()[1];
  struct Row {
    const char* Case;
    std::vector<KeyFingerprint> Chain;
    bool Passes;
  };
  const Row rows[] = {
      {"the pinned leaf", {pinnedLeaf, Key(1, 2)}, true},
      {"a renewed leaf under the pinned CA", {Key(3, 4), pinnedCa}, true},
      {"no pinned key", {Key(1, 2), Key(3, 4)}, false},
      {"a key that differs in its last byte only", {Key(0xad, 0x6e)}, false},
      {"no chain at all", {}, false},
  };
  for (const Row& row : rows) EXPECT_EQ(pins.AnyPinned(row.Chain), row.Passes) << row.Case;
}

}  // namespace
}  // namespace zvq
