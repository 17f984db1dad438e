// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include "tests/win32/root_store.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zvq::testing {

namespace {

[[noreturn]] void Fail(const std::string& AWhat) {
  throw std::runtime_error(AWhat + " failed, error " + std::to_string(GetLastError()));
}

struct StoreCloser {
  // Closing is what saves the store: without it nothing added reaches the registry.
  void operator()(void* AStore) const noexcept { CertCloseStore(AStore, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

std::vector<BYTE> ReadDer(const std::filesystem::path& APemFile) {
  std::ifstream in(APemFile, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (pem.empty()) throw std::runtime_error("cannot read " + APemFile.string());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                            &size, nullptr, nullptr))
    Fail("decoding " + APemFile.string());
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                            &size, nullptr, nullptr))
    Fail("decoding " + APemFile.string());
  der.resize(size);
  return der;
}

Store OpenRoot() {
  Store store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
  if (!store) Fail("opening the current user's Root store");
  return store;
}

}  // namespace

void ImportRootCertificate(const std::filesystem::path& APemFile) {
  const std::vector<BYTE> der = ReadDer(APemFile);
  Store store = OpenRoot();
  if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    Fail("adding the certificate to the Root store");
}

}  // namespace zvq::testing
