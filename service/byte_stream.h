#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace zvq {

// A growable in-memory buffer fed from the network. Its limit bounds what a reply can make us hold:
// an append that would pass it is refused whole and the caller treats the reply as too large.
class ByteStream {
 public:
  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

  explicit ByteStream(std::size_t ALimit = kNoLimit) : FLimit(ALimit) {}

  [[nodiscard]] bool Append(const void* AData, std::size_t ASize) {
    if (ASize > FLimit - FBytes.size()) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(AData);
    FBytes.insert(FBytes.end(), bytes, bytes + ASize);
    return true;
  }
  // A size the peer announced: trusted only up to the limit.
  void Reserve(std::size_t ASize) { FBytes.reserve(ASize < FLimit ? ASize : FLimit); }
  void Clear() noexcept { FBytes.clear(); }

  std::size_t Size() const noexcept { return FBytes.size(); }
  std::size_t Limit() const noexcept { return FLimit; }
  std::span<const std::uint8_t> Bytes() const noexcept { return FBytes; }

 private:
  std::size_t FLimit;
  std::vector<std::uint8_t> FBytes;
};

}  // namespace zvq
