#include "tests/support/test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace zvq::testing {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* AKey) const noexcept { EVP_PKEY_free(AKey); }
};
struct CertFree {
  void operator()(X509* ACert) const noexcept { X509_free(ACert); }
};
struct BioFree {
  void operator()(BIO* ABio) const noexcept { BIO_free_all(ABio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

void Check(bool AOk, const char* AWhat) {
  if (!AOk) throw std::runtime_error(std::string("test PKI: ") + AWhat + " failed");
}

KeyPtr NewKey() {
  KeyPtr key(EVP_EC_gen("P-256"));  // EC keys generate in microseconds, RSA ones would slow every test program
  Check(key != nullptr, "EVP_EC_gen");
  return key;
}

void AddExtension(X509* ACert, X509V3_CTX* AContext, int ANid, const char* AValue) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, AContext, ANid, AValue);
  Check(extension != nullptr, "X509V3_EXT_conf_nid");
  const int added = X509_add_ext(ACert, extension, -1);
  X509_EXTENSION_free(extension);
  Check(added == 1, "X509_add_ext");
}

constexpr long kDay = 24L * 3600;

struct Validity {
  long NotBefore = -3600;  // seconds from now
  long NotAfter = 7 * kDay;
};

// AIssuer/AIssuerKey null: self-signed. AAltNames empty: a CA.
CertPtr NewCert(EVP_PKEY* AKey, const std::string& ACommonName, long ASerial, X509* AIssuer, EVP_PKEY* AIssuerKey,
                const char* AAltNames = nullptr, Validity AValidity = {}) {
  const bool isCa = AAltNames == nullptr;
  CertPtr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  Check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");
  Check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ASerial) == 1, "ASN1_INTEGER_set");
  Check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), AValidity.NotBefore) != nullptr, "notBefore");
  Check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), AValidity.NotAfter) != nullptr, "notAfter");
  Check(X509_set_pubkey(cert.get(), AKey) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(cert.get());
  Check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("zvq test run"), -1, -1, 0) == 1,
        "O");
  Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(ACommonName.c_str()), -1, -1, 0) == 1,
        "CN");
  X509* issuer = AIssuer != nullptr ? AIssuer : cert.get();
  Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)) == 1, "X509_set_issuer_name");

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert.get(), nullptr, nullptr, 0);
  AddExtension(cert.get(), &context, NID_subject_key_identifier, "hash");
  AddExtension(cert.get(), &context, NID_authority_key_identifier, "keyid:always");
  if (isCa) {
    AddExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), &context, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), &context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), &context, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), &context, NID_subject_alt_name, AAltNames);
  }
  Check(X509_sign(cert.get(), AIssuerKey != nullptr ? AIssuerKey : AKey, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

BioPtr OpenForWriting(const std::filesystem::path& APath) {
  BioPtr bio(BIO_new_file(APath.string().c_str(), "w"));
  Check(bio != nullptr, "BIO_new_file");
  return bio;
}

void WriteCert(const std::filesystem::path& APath, X509* ACert) {
  auto bio = OpenForWriting(APath);
  Check(PEM_write_bio_X509(bio.get(), ACert) == 1, "PEM_write_bio_X509");
}

void WriteKey(const std::filesystem::path& APath, EVP_PKEY* AKey) {
  auto bio = OpenForWriting(APath);
  Check(PEM_write_bio_PrivateKey(bio.get(), AKey, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
}

}  // namespace

TestPki::TestPki(const std::filesystem::path& ADirectory, const std::string& ACaName)
    : FCaFile(ADirectory / (ACaName + "-ca.pem")),
      FServerCertFile(ADirectory / (ACaName + "-server.pem")),
      FServerKeyFile(ADirectory / (ACaName + "-server.key")),
      FWrongNameCertFile(ADirectory / (ACaName + "-wrong-name.pem")),
      FExpiredCertFile(ADirectory / (ACaName + "-expired.pem")) {
  constexpr const char* kLoopbackNames = "IP:127.0.0.1,DNS:localhost";
  auto caKey = NewKey();
  auto ca = NewCert(caKey.get(), ACaName, 1, nullptr, nullptr);
  auto serverKey = NewKey();
  auto server = NewCert(serverKey.get(), "localhost", 2, ca.get(), caKey.get(), kLoopbackNames);
  auto wrongName = NewCert(serverKey.get(), "wrong-name.invalid", 3, ca.get(), caKey.get(), "DNS:wrong-name.invalid");
  auto expired = NewCert(serverKey.get(), "localhost", 4, ca.get(), caKey.get(), kLoopbackNames,
                         Validity{-30 * kDay, -kDay});
  WriteCert(FCaFile, ca.get());
  WriteCert(FServerCertFile, server.get());
  WriteCert(FWrongNameCertFile, wrongName.get());
  WriteCert(FExpiredCertFile, expired.get());
  WriteKey(FServerKeyFile, serverKey.get());
}

}  // namespace zvq::testing
