#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "reference_sha256.h"

namespace zvq {

std::string ReferenceSha256(std::string_view AData) {
  unsigned char digest[32];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(AData.data(), AData.size(), digest, &length, EVP_sha256(), nullptr), 1);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace zvq
