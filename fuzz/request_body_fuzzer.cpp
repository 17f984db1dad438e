// Input: 16-bit units, little-endian, as the code field might hold them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "service/charset.h"
#include "service/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  std::u16string code(ASize / 2, u'\0');
  for (std::size_t i = 0; i < code.size(); ++i)
    code[i] = static_cast<char16_t>(AData[2 * i] | (AData[2 * i + 1] << 8));

  const std::string body = zvq::json::SerializeCodeRequest(code);
  for (const char c : body) ZVQ_FUZZ_CHECK(c >= 0x20 && c <= 0x7F);

  // The service reads it back as the one member "code" holding the text, an unpaired surrogate as U+FFFD
  // just as the launcher's own conversions give it.
  const auto document = zvq::json::Document::Parse(body);
  ZVQ_FUZZ_CHECK(document.has_value());
  const auto& root = document->Root().Raw();
  ZVQ_FUZZ_CHECK(root.IsObject() && root.MemberCount() == 1);
  const auto value = zvq::json::FindMember(document->Root(), "code");
  ZVQ_FUZZ_CHECK(value.has_value() && value->Raw().IsString());
  ZVQ_FUZZ_CHECK(zvq::json::AsText(*value) == zvq::Utf16ToUtf8(code));
  return 0;
}
