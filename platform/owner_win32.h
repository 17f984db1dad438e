#pragma once

#include <windows.h>
// After the system header, which it needs.
#include <aclapi.h>

namespace zvq::platform {

// Whether AObject's owner is the user: the user's own account, or the Administrators group where the user's
// token makes that group the owner of what it creates (as an elevated administrator's does). Returns
// ERROR_SUCCESS with the answer in AOwned, or the system's error code. AObject needs READ_CONTROL access.
DWORD QueryOwnedByUser(HANDLE AObject, SE_OBJECT_TYPE AType, bool& AOwned);

// The rule itself, for an owner (null when the object has none), the token's user and its default owner.
bool IsUsersOwner(PSID AOwner, PSID AUser, PSID ADefaultOwner);

}  // namespace zvq::platform
