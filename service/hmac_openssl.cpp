#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>

#include "errors/errors.h"
#include "service/hmac.h"
#include "service/signing.h"

namespace zvq {

void WipeSecret(void* AData, std::size_t ASize) noexcept { OPENSSL_cleanse(AData, ASize); }

std::array<std::uint8_t, 32> HmacSha256(std::string_view AKeyUtf8, std::string_view AMessageUtf8) {
  static const unsigned char kNothing = 0;  // OpenSSL wants valid pointers even for empty inputs
  if (AKeyUtf8.size() > INT_MAX) throw ESupportLauncherException("Error computing the request signature");
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  auto bytes = [](std::string_view AText) {
    return AText.empty() ? &kNothing : reinterpret_cast<const unsigned char*>(AText.data());
  };
  if (HMAC(EVP_sha256(), bytes(AKeyUtf8), static_cast<int>(AKeyUtf8.size()), bytes(AMessageUtf8),
           AMessageUtf8.size(), digest.data(), &length) == nullptr ||
      length != digest.size()) {
    throw ESupportLauncherException("Error computing the request signature");
  }
  return digest;
}

}  // namespace zvq
