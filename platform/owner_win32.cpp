#include "platform/owner_win32.h"

#include <memory>
#include <vector>

namespace zvq::platform {

namespace {

struct LocalFreer {
  void operator()(void* AMemory) const noexcept { LocalFree(AMemory); }
};
struct HandleCloser {
  void operator()(HANDLE AHandle) const noexcept { CloseHandle(AHandle); }
};

// One kind of token information, in a buffer of the size the system asks for.
DWORD QueryToken(HANDLE AToken, TOKEN_INFORMATION_CLASS AClass, std::vector<BYTE>& ABuffer) {
  DWORD size = 0;
  GetTokenInformation(AToken, AClass, nullptr, 0, &size);
  if (size == 0) return GetLastError();
  ABuffer.resize(size);
  return GetTokenInformation(AToken, AClass, ABuffer.data(), size, &size) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

DWORD QueryOwnedByUser(HANDLE AObject, SE_OBJECT_TYPE AType, bool& AOwned) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (const DWORD code = GetSecurityInfo(AObject, AType, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                         nullptr, &descriptor);
      code != ERROR_SUCCESS) {
    return code;
  }
  const std::unique_ptr<void, LocalFreer> heldDescriptor(descriptor);

  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return GetLastError();
  const std::unique_ptr<void, HandleCloser> token(opened);
  std::vector<BYTE> user;
  std::vector<BYTE> defaultOwner;
  if (const DWORD code = QueryToken(token.get(), TokenUser, user); code != ERROR_SUCCESS) return code;
  if (const DWORD code = QueryToken(token.get(), TokenOwner, defaultOwner); code != ERROR_SUCCESS)
    return code;
  const PSID userSid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  const PSID ownerSid = reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner;

  AOwned = IsUsersOwner(owner, userSid, ownerSid);
  return ERROR_SUCCESS;
}

// An object without an owner (on a volume that keeps none) is nobody else's either.
bool IsUsersOwner(PSID AOwner, PSID AUser, PSID ADefaultOwner) {
  return AOwner == nullptr || EqualSid(AOwner, AUser) ||
         (IsWellKnownSid(ADefaultOwner, WinBuiltinAdministratorsSid) && EqualSid(AOwner, ADefaultOwner));
}

}  // namespace zvq::platform
