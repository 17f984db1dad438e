// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <limits>
#include <memory>

#include "errors/errors.h"
#include "service/hmac.h"
#include "service/signing.h"

namespace zvq {

namespace {

struct AlgorithmCloser {
  void operator()(void* AHandle) const noexcept { BCryptCloseAlgorithmProvider(AHandle, 0); }
};
struct HashDestroyer {
  void operator()(void* AHandle) const noexcept { BCryptDestroyHash(AHandle); }
};
using AlgorithmHandle = std::unique_ptr<void, AlgorithmCloser>;
using HashHandle = std::unique_ptr<void, HashDestroyer>;

[[noreturn]] void RaiseSigningError() { throw ESupportLauncherException("Error computing the request signature"); }

ULONG CheckedLength(std::string_view AText) {
  if (AText.size() > std::numeric_limits<ULONG>::max()) RaiseSigningError();
  return static_cast<ULONG>(AText.size());
}

// BCrypt takes non-const pointers for inputs it only reads.
PUCHAR BytesOf(std::string_view AText) {
  return reinterpret_cast<PUCHAR>(const_cast<char*>(AText.data()));
}

}  // namespace

void WipeSecret(void* AData, std::size_t ASize) noexcept { SecureZeroMemory(AData, ASize); }

std::array<std::uint8_t, 32> HmacSha256(std::string_view AKeyUtf8, std::string_view AMessageUtf8) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                  BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    RaiseSigningError();
  AlgorithmHandle algorithm(rawAlgorithm);

  // The hash object keeps its own copy of the key and wipes it when destroyed.
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, BytesOf(AKeyUtf8),
                                       CheckedLength(AKeyUtf8), 0)))
    RaiseSigningError();
  HashHandle hash(rawHash);

  std::array<std::uint8_t, 32> digest{};
  if ((!AMessageUtf8.empty() &&
       !BCRYPT_SUCCESS(BCryptHashData(hash.get(), BytesOf(AMessageUtf8), CheckedLength(AMessageUtf8), 0))) ||
      !BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
    RaiseSigningError();
  return digest;
}

}  // namespace zvq
