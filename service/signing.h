#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/guid.h"

namespace zvq {

// The key is kept as eight scrambled pieces of ten 16-bit slots; nine slots of each are stored, in a shuffled
// order, and the restoring step of the piece turns the slots back into text (see RestoreSigningKey).
inline constexpr std::size_t kKeyPieceCount = 8;
inline constexpr std::size_t kKeyPieceSlots = 10;
inline constexpr std::size_t kKeyPieceStored = kKeyPieceSlots - 1;
inline constexpr std::size_t kMaxSigningKeyLength = kKeyPieceCount * kKeyPieceSlots;

struct KeyPiece {
  std::uint16_t Constant = 0;                         // used by the steps of pieces 2 and 8 only
  std::array<std::uint8_t, kKeyPieceStored> Slots{};  // fill order: the slot each value goes to
  std::array<std::uint16_t, kKeyPieceStored> Values{};
};
using KeyPieceTable = std::array<KeyPiece, kKeyPieceCount>;

// Fills each piece's slots (all zero at first) in its fill order, applies the piece's restoring step to all
// ten slots and joins the pieces' texts, each read up to its first zero slot. Leaves no copy of the key
// behind but the result.
std::u16string RestoreSigningKey(const KeyPieceTable& APieces);

// Assembles the key from the pieces compiled into this build. The caller wipes the result after use.
std::u16string BuildSigningKey();

// The key as UTF-8 (an unpaired surrogate becomes U+FFFD), written into one buffer sized up front so that no
// stray copy of the key is left in freed memory.
std::string KeyToUtf8(std::u16string_view AKey);

std::array<std::uint8_t, 32> HmacSha256(std::string_view AKeyUtf8, std::string_view AMessageUtf8);

// Two digits from "0123456789abcdef" per byte, high half first.
std::string HexLower(std::span<const std::uint8_t> ABytes);

// The GUID's 8-4-4-4-12 form without braces, lower case: 36 characters.
std::string MakeRequestId(const platform::Guid& AGuid);

// Whole seconds since the Unix epoch (truncated from milliseconds), keeping the low 32 bits as a signed
// number.
std::int32_t CallTimeFrom(std::chrono::system_clock::time_point ANow);

// "%d:%s" from the call time and the request id.
std::string SignedMessage(std::int32_t ACallTime, std::string_view ARequestId);

// The values of "X-Zvq-Request-Id", "X-Zvq-Calltime" and "X-Zvq-Auth", in the order they are sent.
struct SigningHeaders {
  std::string RequestId, CallTime, Auth;
};

// Assembles the key for this call only, signs "<call time>:<request id>" with HMAC-SHA256 and wipes every
// copy of the key before returning.
SigningHeaders ComputeSigningHeaders(const platform::Guid& AGuid, std::chrono::system_clock::time_point ANow);

}  // namespace zvq
