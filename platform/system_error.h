#pragma once

#include <string>

namespace zvq::platform {

// "The system cannot find the file specified" / ENOENT: the same number on every system we build for.
inline constexpr int kErrorFileNotFound = 2;

// The calling thread's last system error code (errno on POSIX, GetLastError on Windows).
int LastErrorCode() noexcept;

// The system's text for an error code, trimmed of trailing blanks, line breaks and full stops.
std::string SystemErrorText(int ACode);

// Raises EOSError for the code, with the system's text.
[[noreturn]] void RaiseOSError(int ACode);

}  // namespace zvq::platform
