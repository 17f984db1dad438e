#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>

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

// A code-signing certificate of the same CA, "<AName>-cert.pem" with its key "<AName>-key.pem" in the state
// folder, made or reused like the server's: the demo applet's publisher, and other publishers for tests.
// Returns the fingerprint of its subject key (see SubjectKeyFingerprint).
std::string LoadOrMakeCodeSigning(const std::filesystem::path& AStateFolder, const std::string& AName);

// The state's CA (made when missing, as above): the fingerprint of its key, which the demo launcher pins.
std::string CaKeyFingerprint(const std::filesystem::path& AStateFolder);

// SHA-256 of the certificate's SubjectPublicKeyInfo (DER) in lower-case hex: the Windows launcher's pin.
std::string SubjectKeyFingerprint(X509* ACertificate);

}  // namespace zvq::demo
