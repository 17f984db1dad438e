#include "service/signing.h"

#include "service/hmac.h"
#include "service/key_piece_steps.h"

namespace zvq {

namespace {

// Per piece: its constant, then nine (slot, value) pairs in fill order. Volatile, so the compiler must read
// the pieces at run time and cannot fold BuildSigningKey into the plain key.
constexpr std::size_t kStoredWordsPerPiece = 1 + 2 * kKeyPieceStored;
const volatile std::uint16_t kStoredPieces[kKeyPieceCount * kStoredWordsPerPiece] = {
#include "signing_key_pieces.inc"
};

// Overwrites the whole buffer, including capacity beyond the current length, then empties the text.
template <class CharT>
void WipeText(std::basic_string<CharT>& AText) noexcept {
  AText.resize(AText.capacity());
  WipeSecret(AText.data(), AText.size() * sizeof(CharT));
  AText.clear();
}

template <class CharT>
class ScopedWipe {
 public:
  explicit ScopedWipe(std::basic_string<CharT>& AText) : FText(AText) {}
  ~ScopedWipe() { WipeText(FText); }
  ScopedWipe(const ScopedWipe&) = delete;
  ScopedWipe& operator=(const ScopedWipe&) = delete;

 private:
  std::basic_string<CharT>& FText;
};

void AppendUtf8(std::string& AOut, char32_t ACode) {
  if (ACode < 0x80) {
    AOut += static_cast<char>(ACode);
  } else if (ACode < 0x800) {
    AOut += static_cast<char>(0xC0 | (ACode >> 6));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  } else if (ACode < 0x10000) {
    AOut += static_cast<char>(0xE0 | (ACode >> 12));
    AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (ACode >> 18));
    AOut += static_cast<char>(0x80 | ((ACode >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  }
}

bool IsHighSurrogate(char16_t AUnit) { return AUnit >= 0xD800 && AUnit <= 0xDBFF; }
bool IsLowSurrogate(char16_t AUnit) { return AUnit >= 0xDC00 && AUnit <= 0xDFFF; }

}  // namespace

std::u16string RestoreSigningKey(const KeyPieceTable& APieces) {
  std::u16string key;
  key.reserve(kMaxSigningKeyLength);  // never reallocates, so the only copy is the one returned
  std::array<std::uint16_t, kKeyPieceSlots> slots{};
  for (std::size_t piece = 0; piece < kKeyPieceCount; ++piece) {
    slots.fill(0);
    const KeyPiece& stored = APieces[piece];
    for (std::size_t k = 0; k < kKeyPieceStored; ++k) {
      if (stored.Slots[k] < kKeyPieceSlots) slots[stored.Slots[k]] = stored.Values[k];
    }
    for (std::size_t i = 0; i < kKeyPieceSlots; ++i) {
      slots[i] = RestoreKeySlot(piece, i, slots[i], stored.Constant);
    }
    for (std::size_t i = 0; i < kKeyPieceSlots && slots[i] != 0; ++i) key += static_cast<char16_t>(slots[i]);
  }
  WipeSecret(slots.data(), sizeof slots);
  return key;
}

std::u16string BuildSigningKey() {
  KeyPieceTable pieces{};
  for (std::size_t piece = 0; piece < kKeyPieceCount; ++piece) {
    const volatile std::uint16_t* stored = kStoredPieces + piece * kStoredWordsPerPiece;
    pieces[piece].Constant = stored[0];
    for (std::size_t k = 0; k < kKeyPieceStored; ++k) {
      pieces[piece].Slots[k] = static_cast<std::uint8_t>(stored[1 + 2 * k]);
      pieces[piece].Values[k] = stored[2 + 2 * k];
    }
  }
  std::u16string key = RestoreSigningKey(pieces);
  WipeSecret(pieces.data(), sizeof pieces);
  return key;
}

std::string KeyToUtf8(std::u16string_view AKey) {
  std::string out;
  out.reserve(AKey.size() * 3);  // the most any unit (or half of a pair) takes
  for (std::size_t i = 0; i < AKey.size(); ++i) {
    const char16_t unit = AKey[i];
    if (IsHighSurrogate(unit) && i + 1 < AKey.size() && IsLowSurrogate(AKey[i + 1])) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (AKey[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string HexLower(std::span<const std::uint8_t> ABytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(ABytes.size() * 2);
  for (std::uint8_t byte : ABytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string MakeRequestId(const platform::Guid& AGuid) {
  std::string id;
  for (char c : platform::FormatGuidBraced(AGuid)) {
    if (c == '{' || c == '}') continue;
    id += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;  // not std::tolower: no locale
  }
  return id;
}

std::int32_t CallTimeFrom(std::chrono::system_clock::time_point ANow) {
  using namespace std::chrono;
  const auto seconds = duration_cast<milliseconds>(ANow.time_since_epoch()).count() / 1000;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds)));
}

std::string SignedMessage(std::int32_t ACallTime, std::string_view ARequestId) {
  std::string message = std::to_string(ACallTime);
  message += ':';
  message += ARequestId;
  return message;
}

SigningHeaders ComputeSigningHeaders(const platform::Guid& AGuid,
                                     std::chrono::system_clock::time_point ANow) {
  SigningHeaders headers;
  headers.RequestId = MakeRequestId(AGuid);
  const std::int32_t callTime = CallTimeFrom(ANow);
  headers.CallTime = std::to_string(callTime);
  const std::string message = SignedMessage(callTime, headers.RequestId);

  std::u16string key = BuildSigningKey();
  ScopedWipe keyWipe(key);
  std::string keyUtf8 = KeyToUtf8(key);
  ScopedWipe keyUtf8Wipe(keyUtf8);
  headers.Auth = HexLower(HmacSha256(keyUtf8, message));
  return headers;
}

}  // namespace zvq
