// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "launch/applet_publisher_pins.h"
#include "launch/applet_signature.h"
#include "platform/system_error.h"
#include "platform/text_win32.h"

namespace zvq {

namespace {

[[noreturn]] void Refuse(const std::string& AReason) {
  throw EAppletNotTrusted(std::string(kAppletNotTrustedText) + " (" + AReason + ")");
}

std::string SystemRefusal(LONG AResult) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(AResult));
  return "the system does not accept its signature: " + platform::SystemErrorText(static_cast<int>(AResult)) +
         " (" + code + ")";
}

// One verification of the file's Authenticode signature. Its state (the signer and its chain) lives until
// the close action releases it in the destructor. Revocation is not checked and nothing is fetched from the
// network: the launch never waits on a certificate authority's servers. An expired signer is accepted only
// when a time stamp shows it signed while valid, which is the system's own rule.
class AuthenticodeVerification {
 public:
  AuthenticodeVerification(HANDLE AFile, const std::wstring& APath) : FPath(APath) {
    FFile.cbStruct = sizeof FFile;
    FFile.pcwszFilePath = FPath.c_str();
    FFile.hFile = AFile;  // the file is read through this handle, not opened again by its path
    FData.cbStruct = sizeof FData;
    FData.dwUIChoice = WTD_UI_NONE;
    FData.fdwRevocationChecks = WTD_REVOKE_NONE;
    FData.dwUnionChoice = WTD_CHOICE_FILE;
    FData.pFile = &FFile;
    FData.dwStateAction = WTD_STATEACTION_VERIFY;
    FData.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    FResult = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &FAction, &FData);
  }
  ~AuthenticodeVerification() {
    FData.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &FAction, &FData);
  }
  AuthenticodeVerification(const AuthenticodeVerification&) = delete;
  AuthenticodeVerification& operator=(const AuthenticodeVerification&) = delete;

  LONG Result() const noexcept { return FResult; }

  // The primary signer's chain, its own certificate first; empty when the system kept none.
  std::vector<PCCERT_CONTEXT> SignerChain() const {
    std::vector<PCCERT_CONTEXT> chain;
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(FData.hWVTStateData);
    if (provider == nullptr) return chain;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) return chain;
    for (DWORD i = 0; i < signer->csCertChain; ++i) {
      if (signer->pasCertChain[i].pCert != nullptr) chain.push_back(signer->pasCertChain[i].pCert);
    }
    return chain;
  }

 private:
  GUID FAction = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  std::wstring FPath;
  WINTRUST_FILE_INFO FFile{};
  WINTRUST_DATA FData{};
  LONG FResult = TRUST_E_FAIL;
};

struct AlgorithmCloser {
  void operator()(void* AHandle) const noexcept { BCryptCloseAlgorithmProvider(AHandle, 0); }
};
struct HashDestroyer {
  void operator()(void* AHandle) const noexcept { BCryptDestroyHash(AHandle); }
};
struct LocalFreer {
  void operator()(void* AMemory) const noexcept { LocalFree(AMemory); }
};

[[noreturn]] void RaiseFingerprintError() {
  throw ESupportLauncherException("Error computing the applet publisher's key fingerprint");
}

KeyFingerprint Sha256(const BYTE* AData, DWORD ASize) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    RaiseFingerprintError();
  const std::unique_ptr<void, AlgorithmCloser> algorithm(rawAlgorithm);
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, nullptr, 0, 0)))
    RaiseFingerprintError();
  const std::unique_ptr<void, HashDestroyer> hash(rawHash);
  KeyFingerprint digest{};
  // BCrypt takes a non-const pointer for input it only reads.
  if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), const_cast<BYTE*>(AData), ASize, 0)) ||
      !BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
    RaiseFingerprintError();
  return digest;
}

// The certificate keeps its subject public key decoded; encoded again it is the DER that the pin hashes.
KeyFingerprint SubjectKeyFingerprint(PCCERT_CONTEXT ACertificate) {
  BYTE* encoded = nullptr;
  DWORD size = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                           &ACertificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                           &encoded, &size))
    RaiseFingerprintError();
  const std::unique_ptr<BYTE, LocalFreer> owned(encoded);
  return Sha256(encoded, size);
}

}  // namespace

PublisherPins CompiledPublisherPins() { return PublisherPins::Parse(deployment::kAppletPublisher); }

void VerifyAppletPublisher(const StagedApplet& AApplet, const PublisherPins& APins) {
  if (!APins.IsRequired()) return;
  if (!AApplet.IsCommitted() || AApplet.HeldHandle() == -1) Refuse("it was not saved");
  const HANDLE file = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(AApplet.HeldHandle()));
  const AuthenticodeVerification verification(
      file, platform::WidenUtf8(JoinPath(AApplet.Folder().Path(), kAppletFileName)));

  switch (verification.Result()) {
    case ERROR_SUCCESS:
      break;
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
      Refuse("it is not signed");
    case TRUST_E_BAD_DIGEST:
      Refuse("it was changed after it was signed");
    default:
      Refuse(SystemRefusal(verification.Result()));
  }
  std::vector<KeyFingerprint> chain;
  for (PCCERT_CONTEXT certificate : verification.SignerChain())
    chain.push_back(SubjectKeyFingerprint(certificate));
  if (!APins.AnyPinned(chain)) Refuse("it is signed by another publisher");
}

}  // namespace zvq
