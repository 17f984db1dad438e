#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>

namespace zvq::demo {

struct X509Deleter {
  void operator()(X509* ACertificate) const noexcept { X509_free(ACertificate); }
};
struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* AKey) const noexcept { EVP_PKEY_free(AKey); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;

// What the service presents: a server certificate for 127.0.0.1 and localhost, issued by a CA of its own
// whose certificate a demo build trusts as its extra trust anchor.
struct ServerCredentials {
  X509Ptr Certificate;
  EvpPkeyPtr Key;
  std::filesystem::path CaCertificatePath;
};

// Reuses the CA and the server certificate kept in AStateFolder while they are intact and valid for at least
// another day, so a configured ZVQ_CA_BUNDLE stays valid across restarts; makes whatever is missing.
// Raises zvq::Exception when OpenSSL or the file system fails.
ServerCredentials LoadOrMakeCredentials(const std::filesystem::path& AStateFolder);

}  // namespace zvq::demo
