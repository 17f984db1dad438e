#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "service/body_sink.h"

namespace zvq {

// A growable in-memory buffer fed from the network. Its limit bounds what a reply can make us hold:
// an append that would pass it is refused whole and the caller treats the reply as too large.
class ByteStream final : public http::BodySink {
 public:
  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

  explicit ByteStream(std::size_t ALimit = kNoLimit) : FLimit(ALimit) {}

  [[nodiscard]] bool Append(const void* AData, std::size_t ASize) {
    if (ASize > FLimit - FBytes.size()) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(AData);
    FBytes.insert(FBytes.end(), bytes, bytes + ASize);
    return true;
  }
  // A size the peer announced: trusted only up to the limit and a modest amount up front.
  void Reserve(std::size_t ASize) {
    constexpr std::size_t kMaxReservation = std::size_t{64} << 20;
    ASize = ASize < FLimit ? ASize : FLimit;
    FBytes.reserve(ASize < kMaxReservation ? ASize : kMaxReservation);
  }
  void Clear() noexcept { FBytes.clear(); }

  std::size_t Limit() const noexcept { return FLimit; }
  std::span<const std::uint8_t> Bytes() const noexcept { return FBytes; }

  // BodySink
  void Expect(std::uint64_t ALength) override {
    Reserve(ALength < FLimit ? static_cast<std::size_t>(ALength) : FLimit);
  }
  void Write(std::span<const std::uint8_t> ABytes) override {
    if (!Append(ABytes.data(), ABytes.size()))
      throw http::EResponseTooLarge("The reply is larger than " + std::to_string(FLimit) + " bytes");
  }
  void Discard() override { Clear(); }
  std::uint64_t Size() const noexcept override { return FBytes.size(); }

 private:
  std::size_t FLimit;
  std::vector<std::uint8_t> FBytes;
};

}  // namespace zvq
