#include "service/signing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/guid.h"
#include "reference_sha256.h"
#include "service/charset.h"

namespace zvq {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

std::string Sha256(std::string_view AData) { return ReferenceSha256(AData); }

// HMAC as RFC 2104 defines it, built on plain SHA-256, to check the library call against.
std::string ReferenceHmac(std::string AKey, std::string_view AMessage) {
  if (AKey.size() > 64) AKey = Sha256(AKey);
  AKey.resize(64, '\0');
  std::string inner(64, '\0'), outer(64, '\0');
  for (std::size_t i = 0; i < 64; ++i) {
    inner[i] = static_cast<char>(AKey[i] ^ 0x36);
    outer[i] = static_cast<char>(AKey[i] ^ 0x5c);
  }
  const std::string digest = Sha256(outer + Sha256(inner + std::string(AMessage)));
  return HexLower(std::span(reinterpret_cast<const std::uint8_t*>(digest.data()), digest.size()));
}

std::string Hmac(std::string_view AKey, std::string_view AMessage) {
  return HexLower(HmacSha256(AKey, AMessage));
}

std::string KeyFileUtf8() {
  std::ifstream in(ZVQ_TEST_KEY_FILE, std::ios::binary);
  std::string key((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (key.ends_with("\r\n"))
    key.resize(key.size() - 2);
  else if (key.ends_with("\n"))
    key.pop_back();
  return key;
}

Clock::time_point AtSeconds(std::int64_t ASeconds) {
  return Clock::time_point(std::chrono::seconds(ASeconds));
}

struct HmacVector {
  const char* Name;
  std::string Key, Data, Expected;  // Expected may be a prefix: vector 5 is truncated to 128 bits
};

TEST(HmacSha256, ReproducesTheRfc4231VectorsInLowerCaseHex) {
  const std::string kKey25 = [] {
    std::string key;
    for (char c = 1; c <= 25; ++c) key += c;
    return key;
  }();
  const HmacVector kVectors[] = {
      {"1: short key", std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"2: key shorter than the digest", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"3: combined key and data", std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"4: 25-byte key", kKey25, std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"5: truncated output", std::string(20, '\x0c'), "Test With Truncation",
       "a3b6167473100ee06e0c796c2955552b"},
      {"6: key larger than the block", std::string(131, '\xaa'),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"7: key and data larger than the block", std::string(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than block-size data. The key needs "
       "to be "
       "hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const HmacVector& vector : kVectors) {
    const std::string mac = Hmac(vector.Key, vector.Data);
    EXPECT_EQ(mac.size(), 64u) << vector.Name;
    EXPECT_TRUE(mac.starts_with(vector.Expected)) << vector.Name << ": " << mac;
  }
}

TEST(HmacSha256, HashesOnlyAKeyLongerThanTheBlock) {
  const std::string kMessage = "1700000000:0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0ff";
  for (std::size_t length : {0u, 1u, 63u, 64u, 65u, 200u}) {
    std::string key(length, '\0');
    for (std::size_t i = 0; i < length; ++i) key[i] = static_cast<char>(0x80 + i);
    EXPECT_EQ(Hmac(key, kMessage), ReferenceHmac(key, kMessage)) << length << " bytes";
    // A long key is equivalent to its digest; a key that fits the block is used as it is.
    if (length > 64) {
      EXPECT_EQ(Hmac(key, kMessage), Hmac(Sha256(key), kMessage)) << length << " bytes";
    } else if (length > 0) {
      EXPECT_NE(Hmac(key, kMessage), Hmac(Sha256(key), kMessage)) << length << " bytes";
    }
  }
}

TEST(HmacSha256, TakesEmptyKeyAndMessage) {
  EXPECT_EQ(Hmac(std::string_view(), std::string_view()), ReferenceHmac("", ""));
}

TEST(HmacSha256, CountsTheKeyInUtf8Bytes) {
  // 32 characters, 64 bytes: exactly one block, so not hashed; one more character makes it 66 bytes.
  const std::u16string kBlock(32, u'\u00e9');
  const std::string block = KeyToUtf8(kBlock);
  ASSERT_EQ(block.size(), 64u);
  EXPECT_EQ(Hmac(block, "m"), ReferenceHmac(block, "m"));
  EXPECT_NE(Hmac(block, "m"), Hmac(Sha256(block), "m"));
  const std::string longer = KeyToUtf8(kBlock + u"\u00e9");
  EXPECT_EQ(Hmac(longer, "m"), Hmac(Sha256(longer), "m"));
}

TEST(KeyToUtf8, AgreesWithTheGeneralConverter) {
  const std::u16string kTexts[] = {
      u"plain ascii 0123",
      u"\u007f\u0080\u07ff\u0800\ud7ff\ue000\uffff",
      u"pair \U0001d11e and the last code point \U0010ffff",
      u"lone high at the end \xd800",
      u"lone low \xdc00 inside",
      u"high then letter \xdbff"
      u"A",
      u"reversed pair \xdc00\xd800!",
  };
  for (const std::u16string& text : kTexts) {
    EXPECT_EQ(KeyToUtf8(text), Utf16ToUtf8(text)) << Utf16ToUtf8(text);
  }
  EXPECT_EQ(KeyToUtf8(u"\U0001d11e"), "\xF0\x9D\x84\x9E");
  EXPECT_EQ(KeyToUtf8(std::u16string(1, u'\xd800')), "\xEF\xBF\xBD");
}

TEST(HexLower, WritesTwoLowerCaseDigitsPerByteHighHalfFirst) {
  EXPECT_EQ(HexLower({}), "");
  const std::uint8_t kBytes[] = {0x00, 0x0f, 0xf0, 0xff, 0xa5, 0x5a, 0x10};
  EXPECT_EQ(HexLower(kBytes), "000ff0ffa55a10");
}

TEST(MakeRequestId, IsTheGuidsFormWithoutBracesInLowerCase) {
  const platform::Guid kGuid = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                0x08, 0x09, 0x0a, 0x0b, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(MakeRequestId(kGuid), "03020100-0504-0706-0809-0a0bccddeeff");

  for (int run = 0; run < 50; ++run) {
    const std::string id = MakeRequestId(platform::NewRandomGuid());
    ASSERT_EQ(id.size(), 36u) << id;
    for (std::size_t i = 0; i < id.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        EXPECT_EQ(id[i], '-') << id;
      } else {
        EXPECT_TRUE((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f')) << id;
      }
    }
    EXPECT_EQ(id[14], '4') << "version nibble: " << id;
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << "variant: " << id;
  }
}

TEST(CallTimeFrom, KeepsTheLow32BitsOfWholeSecondsAsASignedNumber) {
  struct Row {
    const char* Name;
    Clock::time_point Now;
    std::int32_t Expected;
  };
  const Row kRows[] = {
      {"the epoch", AtSeconds(0), 0},
      {"milliseconds are truncated", AtSeconds(1700000000) + 999ms, 1700000000},
      {"the last second before the wrap", AtSeconds(0x7fffffff) + 999ms, 0x7fffffff},
      {"2038-01-19 03:14:08 wraps to the most negative", AtSeconds(0x80000000LL), INT32_MIN},
      {"a time in 2100 is negative", AtSeconds(4102444800LL),
       static_cast<std::int32_t>(4102444800LL - (1LL << 32))},
      {"2106 wraps to zero again", AtSeconds(1LL << 32) + 5s, 5},
  };
  for (const Row& row : kRows) EXPECT_EQ(CallTimeFrom(row.Now), row.Expected) << row.Name;
}

TEST(SignedMessage, IsTheDecimalCallTimeAColonAndTheId) {
  EXPECT_EQ(SignedMessage(1700000000, "ab-cd"), "1700000000:ab-cd");
  EXPECT_EQ(SignedMessage(0, "x"), "0:x");
  EXPECT_EQ(SignedMessage(INT32_MIN, "x"), "-2147483648:x");
}

TEST(ComputeSigningHeaders, SignsCallTimeAndIdWithTheConfiguredKey) {
  const platform::Guid kGuid = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x23, 0x45, 0x67,
                                0x89, 0xab, 0xcd, 0xef, 0x10, 0x32, 0x54, 0x76};
  const std::string kId = "efbeadde-2301-6745-89ab-cdef10325476";
  const std::string key = KeyFileUtf8();
  for (Clock::time_point now : {AtSeconds(1700000000) + 250ms, AtSeconds(0x80000000LL + 77), Clock::now()}) {
    const SigningHeaders headers = ComputeSigningHeaders(kGuid, now);
    EXPECT_EQ(headers.RequestId, kId);
    char callTime[16];
    std::snprintf(callTime, sizeof callTime, "%d", static_cast<int>(CallTimeFrom(now)));
    EXPECT_EQ(headers.CallTime, callTime);
    EXPECT_EQ(headers.Auth, ReferenceHmac(key, std::string(callTime) + ":" + kId)) << callTime;
  }
  EXPECT_EQ(ComputeSigningHeaders(kGuid, AtSeconds(0x80000000LL + 77)).CallTime, "-2147483571");
}

TEST(ComputeSigningHeaders, TwoCallsInTheSameSecondDifferInIdAndSignature) {
  const Clock::time_point now = AtSeconds(1750000000);
  const SigningHeaders first = ComputeSigningHeaders(platform::NewRandomGuid(), now);
  const SigningHeaders second = ComputeSigningHeaders(platform::NewRandomGuid(), now + 400ms);
  EXPECT_EQ(first.CallTime, second.CallTime);
  EXPECT_NE(first.RequestId, second.RequestId);
  EXPECT_NE(first.Auth, second.Auth);
  for (const SigningHeaders* headers : {&first, &second}) {
    EXPECT_EQ(headers->Auth.size(), 64u);
    EXPECT_TRUE(std::all_of(headers->Auth.begin(), headers->Auth.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    })) << headers->Auth;
  }
}

}  // namespace
}  // namespace zvq
