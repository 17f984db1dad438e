#pragma once

#include <string>
#include <string_view>

namespace zvq {

// Converts bytes in the named character set to UTF-8 through iconv. A sequence that is not valid in that
// set becomes U+FFFD and decoding goes on, so a reply with a stray byte still reads. Raises EEncodingError
// "Invalid encoding name" when the system does not know the set.
std::string ConvertToUtf8(std::string_view ABytes, std::string_view ACharset);

// 16-bit text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view AText);

// UTF-8 as 16-bit text; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view AText);

}  // namespace zvq
