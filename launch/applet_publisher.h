#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zvq {

// SHA-256 of a certificate's subject public key (its SubjectPublicKeyInfo, DER): what stays the same when a
// certificate is renewed with the same key, and what `openssl x509 -pubkey | openssl pkey -pubin -outform DER
// | openssl dgst -sha256` prints.
using KeyFingerprint = std::array<std::uint8_t, 32>;

// The publishers whose applets the launcher starts: keys of which one must be in the applet's signing chain
// (the publisher's own, or that of the CA that issues its code-signing certificates). "none" is the explicit
// choice of a build that starts applets without checking their publisher.
class PublisherPins {
 public:
  // One or more fingerprints of 64 hex digits (either case), separated by commas, semicolons or white space;
  // or exactly "none". Raises ESupportLauncherException for anything else.
  static PublisherPins Parse(std::string_view AText);

  // False only for "none".
  bool IsRequired() const noexcept { return FRequired; }
  const std::vector<KeyFingerprint>& Keys() const noexcept { return FKeys; }
  // True when any key of the chain is pinned.
  bool AnyPinned(std::span<const KeyFingerprint> AChain) const;

 private:
  bool FRequired = true;
  std::vector<KeyFingerprint> FKeys;
};

}  // namespace zvq
