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

// AIssuer null: self-signed with ASubjectKey.
X509Ptr MakeCertificate(EVP_PKEY* ASubjectKey, const char* ACommonName, long ADays, X509* AIssuer,
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
  if (AIssuer == nullptr) {
    AddExtension(self, context, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    AddExtension(self, context, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(self, context, NID_subject_key_identifier, "hash");
  } else {
    AddExtension(self, context, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(self, context, NID_key_usage, "critical,digitalSignature");
    AddExtension(self, context, NID_ext_key_usage, "serverAuth");
    AddExtension(self, context, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    AddExtension(self, context, NID_subject_key_identifier, "hash");
    AddExtension(self, context, NID_authority_key_identifier, "keyid:always");
  }
  Check(X509_sign(self, AIssuerKey ? AIssuerKey : ASubjectKey, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

bool IssuedBy(X509* ACertificate, EVP_PKEY* AIssuerKey) {
  const bool ok = X509_verify(ACertificate, AIssuerKey) == 1 && X509_check_ip_asc(ACertificate, "127.0.0.1", 0) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace

ServerCredentials LoadOrMakeCredentials(const fs::path& AStateFolder) {
  std::error_code error;
  fs::create_directories(AStateFolder, error);
  if (error) throw Exception("Cannot create the state folder " + AStateFolder.string() + ": " + error.message());

  const fs::path caCertificatePath = AStateFolder / "ca-cert.pem";
  const fs::path caKeyPath = AStateFolder / "ca-key.pem";
  const fs::path serverCertificatePath = AStateFolder / "server-cert.pem";
  const fs::path serverKeyPath = AStateFolder / "server-key.pem";

  X509Ptr caCertificate = LoadCertificate(caCertificatePath);
  EvpPkeyPtr caKey = LoadKey(caKeyPath);
  if (!Usable(caCertificate.get(), caKey.get())) {
    caKey = MakeKey();
    caCertificate = MakeCertificate(caKey.get(), "zvq demo support CA", kCaDays, nullptr, nullptr);
    WriteFile(caKeyPath, KeyPem(caKey.get()), true);
    WriteFile(caCertificatePath, CertificatePem(caCertificate.get()), false);
  }

  ServerCredentials credentials{LoadCertificate(serverCertificatePath), LoadKey(serverKeyPath),
                                fs::absolute(caCertificatePath)};
  if (!Usable(credentials.Certificate.get(), credentials.Key.get()) ||
      !IssuedBy(credentials.Certificate.get(), caKey.get())) {
    credentials.Key = MakeKey();
    credentials.Certificate =
        MakeCertificate(credentials.Key.get(), "127.0.0.1", kServerDays, caCertificate.get(), caKey.get());
    WriteFile(serverKeyPath, KeyPem(credentials.Key.get()), true);
    WriteFile(serverCertificatePath, CertificatePem(credentials.Certificate.get()), false);
  }
  return credentials;
}

}  // namespace zvq::demo
