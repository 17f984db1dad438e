#include "tools/demo_service/certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

#include "errors/errors.h"

namespace zvq::demo {
namespace {

namespace fs = std::filesystem;

constexpr long kSecondsPerDay = 24L * 60 * 60;
constexpr long kCaDays = 3650;
constexpr long kServerDays = 825;

struct BioDeleter {
  void operator()(BIO* ABio) const noexcept { BIO_free(ABio); }
};
struct BignumDeleter {
  void operator()(BIGNUM* ANumber) const noexcept { BN_free(ANumber); }
};
struct ExtensionDeleter {
  void operator()(X509_EXTENSION* AExtension) const noexcept { X509_EXTENSION_free(AExtension); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using BignumPtr = std::unique_ptr<BIGNUM, BignumDeleter>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, ExtensionDeleter>;

[[noreturn]] void ThrowOpenSslError(const std::string& AWhat) {
  std::string detail;
  while (const unsigned long code = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    detail += detail.empty() ? " (" : "; ";
    detail += text;
  }
  if (!detail.empty()) detail += ")";
  throw Exception("Cannot make the demo service's certificates: " + AWhat + detail);
}

void Check(bool AOk, const char* AWhat) {
  if (!AOk) ThrowOpenSslError(AWhat);
}

std::optional<std::string> ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return text;
}

// Written beside the target and renamed over it, so an interrupted start never leaves half a PEM file.
void WriteFile(const fs::path& APath, const std::string& AText, bool APrivate) {
  const fs::path temporary = fs::path(APath).concat(".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(AText.data(), static_cast<std::streamsize>(AText.size()));
    out.close();
    if (!out) throw Exception("Cannot write " + temporary.string());
  }
  std::error_code error;
  if (APrivate) {
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, error);
  }
  fs::rename(temporary, APath, error);
  if (error) throw Exception("Cannot write " + APath.string() + ": " + error.message());
}

std::string BioText(BIO* ABio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(ABio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string CertificatePem(X509* ACertificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(bio && PEM_write_bio_X509(bio.get(), ACertificate) == 1, "PEM_write_bio_X509");
  return BioText(bio.get());
}

std::string KeyPem(EVP_PKEY* AKey) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(bio && PEM_write_bio_PrivateKey(bio.get(), AKey, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
  return BioText(bio.get());
}

X509Ptr LoadCertificate(const fs::path& APath) {
  const auto text = ReadFile(APath);
  if (!text) return nullptr;
  BioPtr bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return certificate;
}

EvpPkeyPtr LoadKey(const fs::path& APath) {
  const auto text = ReadFile(APath);
  if (!text) return nullptr;
  BioPtr bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

// Usable when the pair belongs together and the certificate is valid now and for another day.
bool Usable(X509* ACertificate, EVP_PKEY* AKey) {
  if (ACertificate == nullptr || AKey == nullptr) return false;
  time_t tomorrow = time(nullptr) + kSecondsPerDay;
  const bool ok = X509_check_private_key(ACertificate, AKey) == 1 &&
                  X509_cmp_current_time(X509_get0_notBefore(ACertificate)) < 0 &&
                  X509_cmp_time(X509_get0_notAfter(ACertificate), &tomorrow) > 0;
  ERR_clear_error();
  return ok;
}

EvpPkeyPtr MakeKey() {
  EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  Check(key != nullptr, "EVP_PKEY_Q_keygen");
  return key;
}

void AddExtension(X509* ACertificate, X509V3_CTX& AContext, int ANid, const char* AValue) {
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &AContext, ANid, AValue));
  Check(extension && X509_add_ext(ACertificate, extension.get(), -1) == 1, "X509_add_ext");
}

enum class Kind { Authority, Server, CodeSigning };

// An authority signs itself with ASubjectKey; the others are issued by AIssuer.
X509Ptr MakeCertificate(Kind AKind, EVP_PKEY* ASubjectKey, const char* ACommonName, long ADays, X509* AIssuer,
                        EVP_PKEY* AIssuerKey) {
  X509Ptr certificate(X509_new());
  Check(certificate != nullptr, "X509_new");
  X509* self = certificate.get();
  Check(X509_set_version(self, 2) == 1, "X509_set_version");

  BignumPtr serial(BN_new());
  Check(serial && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(self)) != nullptr,
        "serial number");
  // An hour of slack for clocks that run a little behind.
  Check(X509_gmtime_adj(X509_getm_notBefore(self), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(self), ADays * kSecondsPerDay) != nullptr,
        "validity");
  Check(X509_set_pubkey(self, ASubjectKey) == 1, "X509_set_pubkey");

  X509_NAME* name = X509_get_subject_name(self);
  const auto* organisation = reinterpret_cast<const unsigned char*>("zvq demo support service");
  Check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, organisation, -1, -1, 0) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(ACommonName), -1, -1, 0) == 1,
        "subject name");
  Check(X509_set_issuer_name(self, AIssuer ? X509_get_subject_name(AIssuer) : name) == 1, "issuer name");

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, AIssuer ? AIssuer : self, self, nullptr, nullptr, 0);
  if (AKind == Kind::Authority) {
    AddExtension(self, context, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    AddExtension(self, context, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(self, context, NID_subject_key_identifier, "hash");
  } else {
    AddExtension(self, context, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(self, context, NID_key_usage, "critical,digitalSignature");
    if (AKind == Kind::Server) {
      AddExtension(self, context, NID_ext_key_usage, "serverAuth");
      AddExtension(self, context, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    } else {
      AddExtension(self, context, NID_ext_key_usage, "codeSigning");
    }
    AddExtension(self, context, NID_subject_key_identifier, "hash");
    AddExtension(self, context, NID_authority_key_identifier, "keyid:always");
  }
  Check(X509_sign(self, AIssuerKey ? AIssuerKey : ASubjectKey, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

// A leaf is reused only while it is of its kind and the current CA's: a CA made anew takes every leaf with it.
bool IssuedBy(X509* ACertificate, EVP_PKEY* AIssuerKey, Kind AKind) {
  const bool ok = X509_verify(ACertificate, AIssuerKey) == 1 &&
                  (AKind == Kind::Server ? X509_check_ip_asc(ACertificate, "127.0.0.1", 0) == 1
                                         : (X509_get_extended_key_usage(ACertificate) & XKU_CODE_SIGN) != 0);
  ERR_clear_error();
  return ok;
}

// Windows code signatures are checked with RSA keys everywhere, Wine included (its message signature check
// knows no ECDSA).
EvpPkeyPtr MakeRsaKey() {
  EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
  Check(key != nullptr, "EVP_PKEY_Q_keygen");
  return key;
}

struct Authority {
  X509Ptr Certificate;
  EvpPkeyPtr Key;
  fs::path CertificatePath;
};

Authority LoadOrMakeAuthority(const fs::path& AStateFolder) {
  std::error_code error;
  fs::create_directories(AStateFolder, error);
  if (error) throw Exception("Cannot create the state folder " + AStateFolder.string() + ": " + error.message());
  const fs::path certificatePath = AStateFolder / "ca-cert.pem";
  const fs::path keyPath = AStateFolder / "ca-key.pem";
  Authority authority{LoadCertificate(certificatePath), LoadKey(keyPath), fs::absolute(certificatePath)};
  if (!Usable(authority.Certificate.get(), authority.Key.get())) {
    authority.Key = MakeKey();
    authority.Certificate =
        MakeCertificate(Kind::Authority, authority.Key.get(), "zvq demo support CA", kCaDays, nullptr, nullptr);
    WriteFile(keyPath, KeyPem(authority.Key.get()), true);
    WriteFile(certificatePath, CertificatePem(authority.Certificate.get()), false);
  }
  return authority;
}

// "<name>-cert.pem" and "<name>-key.pem" in the state folder, reused while usable and issued by the CA.
std::pair<X509Ptr, EvpPkeyPtr> LoadOrMakeLeaf(const fs::path& AStateFolder, const Authority& AAuthority,
                                              const std::string& AName, Kind AKind, const char* ACommonName) {
  const fs::path certificatePath = AStateFolder / (AName + "-cert.pem");
  const fs::path keyPath = AStateFolder / (AName + "-key.pem");
  X509Ptr certificate = LoadCertificate(certificatePath);
  EvpPkeyPtr key = LoadKey(keyPath);
  if (!Usable(certificate.get(), key.get()) || !IssuedBy(certificate.get(), AAuthority.Key.get(), AKind)) {
    key = AKind == Kind::CodeSigning ? MakeRsaKey() : MakeKey();
    certificate = MakeCertificate(AKind, key.get(), ACommonName, kServerDays, AAuthority.Certificate.get(),
                                  AAuthority.Key.get());
    WriteFile(keyPath, KeyPem(key.get()), true);
    WriteFile(certificatePath, CertificatePem(certificate.get()), false);
  }
  return {std::move(certificate), std::move(key)};
}

}  // namespace

ServerCredentials LoadOrMakeCredentials(const fs::path& AStateFolder) {
  const Authority authority = LoadOrMakeAuthority(AStateFolder);
  auto [certificate, key] = LoadOrMakeLeaf(AStateFolder, authority, "server", Kind::Server, "127.0.0.1");
  return ServerCredentials{std::move(certificate), std::move(key), authority.CertificatePath};
}

std::string LoadOrMakeCodeSigning(const fs::path& AStateFolder, const std::string& AName) {
  const Authority authority = LoadOrMakeAuthority(AStateFolder);
  const std::string commonName = "zvq demo " + AName;
  auto [certificate, key] = LoadOrMakeLeaf(AStateFolder, authority, AName, Kind::CodeSigning, commonName.c_str());
  return SubjectKeyFingerprint(certificate.get());
}

std::string SubjectKeyFingerprint(X509* ACertificate) {
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(X509_get0_pubkey(ACertificate), &der);
  Check(size > 0, "i2d_PUBKEY");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestSize = 0;
  const bool hashed = EVP_Digest(der, static_cast<size_t>(size), digest, &digestSize, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  Check(hashed, "EVP_Digest");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < digestSize; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

std::string CaKeyFingerprint(const fs::path& AStateFolder) {
  return SubjectKeyFingerprint(LoadOrMakeAuthority(AStateFolder).Certificate.get());
}

}  // namespace zvq::demo
