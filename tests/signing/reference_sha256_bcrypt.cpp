// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <gtest/gtest.h>

#include "reference_sha256.h"

namespace zvq {

std::string ReferenceSha256(std::string_view AData) {
  std::string digest(32, '\0');
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  EXPECT_TRUE(BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)));
  EXPECT_TRUE(BCRYPT_SUCCESS(BCryptHash(algorithm, nullptr, 0,
                                        reinterpret_cast<PUCHAR>(const_cast<char*>(AData.data())),
                                        static_cast<ULONG>(AData.size()), reinterpret_cast<PUCHAR>(digest.data()),
                                        static_cast<ULONG>(digest.size()))));
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return digest;
}

}  // namespace zvq
