#include "launch/applet_publisher.h"

#include <algorithm>
#include <string>

#include "errors/errors.h"

namespace zvq {

namespace {

constexpr std::string_view kSeparators = ", ;\t\r\n";

int HexValue(char ADigit) noexcept {
  if (ADigit >= '0' && ADigit <= '9') return ADigit - '0';
  if (ADigit >= 'a' && ADigit <= 'f') return ADigit - 'a' + 10;
  if (ADigit >= 'A' && ADigit <= 'F') return ADigit - 'A' + 10;
  return -1;
}

[[noreturn]] void Malformed(std::string_view AWhy) {
  throw ESupportLauncherException("The applet publisher's key fingerprints are malformed: " +
                                  std::string(AWhy));
}

// Built by appending: GCC 12 at -O3 misreads `"literal" + std::string&&` as an overlapping copy (-Wrestrict).
[[noreturn]] void NotHexDigits(std::string_view AHex) {
  std::string why = "\"";
  why.append(AHex).append("\" is not 64 hex digits");
  Malformed(why);
}

KeyFingerprint ParseFingerprint(std::string_view AHex) {
  if (AHex.size() != 2 * KeyFingerprint().size()) NotHexDigits(AHex);
  KeyFingerprint key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int high = HexValue(AHex[2 * i]);
    const int low = HexValue(AHex[2 * i + 1]);
    if (high < 0 || low < 0) NotHexDigits(AHex);
    key[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return key;
}

}  // namespace

PublisherPins PublisherPins::Parse(std::string_view AText) {
  PublisherPins pins;
  if (AText == "none") {
    pins.FRequired = false;
    return pins;
  }
  std::size_t position = 0;
  while ((position = AText.find_first_not_of(kSeparators, position)) != std::string_view::npos) {
    const std::size_t end = std::min(AText.find_first_of(kSeparators, position), AText.size());
    pins.FKeys.push_back(ParseFingerprint(AText.substr(position, end - position)));
    position = end;
  }
  // An empty list would pin nothing and so let no applet start; a build meant to check nothing says "none".
  if (pins.FKeys.empty()) Malformed("none given");
  return pins;
}

bool PublisherPins::AnyPinned(std::span<const KeyFingerprint> AChain) const {
  return std::any_of(AChain.begin(), AChain.end(), [this](const KeyFingerprint& AKey) {
    return std::find(FKeys.begin(), FKeys.end(), AKey) != FKeys.end();
  });
}

}  // namespace zvq
