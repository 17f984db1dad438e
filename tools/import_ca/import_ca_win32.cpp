// zvq-import-ca: puts a CA certificate (PEM) into the current user's Root store, so that the system's TLS
// trusts a local test or demo service. The Windows program itself takes no extra trust anchor.
//   zvq-import-ca.exe [CA.pem]      (no argument: the PEM is read from standard input)
// Exit status 0 when the certificate is in the store afterwards.
#include <windows.h>
// After windows.h, which it builds on.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct StoreCloser {
  void operator()(HCERTSTORE AStore) const noexcept {
    // Without the close nothing is written to the registry.
    CertCloseStore(AStore, 0);
  }
};
using OwnedStore = std::unique_ptr<void, StoreCloser>;

int Fail(const char* AWhat) {
  std::cerr << "zvq-import-ca: " << AWhat << " (error " << GetLastError() << ")" << std::endl;
  return 1;
}

}  // namespace

int main(int AArgc, char** AArgv) {
  if (AArgc > 2) {
    std::cerr << "usage: zvq-import-ca [CA.pem]" << std::endl;
    return 2;
  }
  std::string pem;
  if (AArgc == 2) {
    std::ifstream file(AArgv[1], std::ios::binary);
    if (!file) return Fail("cannot read the certificate file");
    pem.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } else {
    pem.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }

  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                            &size, nullptr, nullptr)) {
    return Fail("no PEM certificate in the input");
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                            &size, nullptr, nullptr)) {
    return Fail("no PEM certificate in the input");
  }

  OwnedStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
  if (!store) return Fail("cannot open the current user's Root store");
  if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    return Fail("the store refused the certificate");
  }
  std::cout << "zvq-import-ca: the CA is in the current user's Root store" << std::endl;
  return 0;
}
