#pragma once

#include <cstddef>

// What the signing code needs from the system's cryptography besides HmacSha256 (signing.h): both come from
// one backend, libcrypto or BCrypt, picked by CMake.
namespace zvq {

// Overwrites the bytes in a way the compiler may not drop as a dead store.
void WipeSecret(void* AData, std::size_t ASize) noexcept;

}  // namespace zvq
