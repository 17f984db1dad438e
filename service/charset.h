#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace zvq {

inline constexpr std::size_t kNoTextLimit = std::numeric_limits<std::size_t>::max();

// Converts bytes in the named character set to well-formed UTF-8. A sequence that is not valid in that set
// becomes U+FFFD and decoding goes on, so a reply with a stray byte still reads. Raises EEncodingError
// "Invalid encoding name" when the system does not know the set, and http::EResponseTooLarge when the text
// would pass ALimit bytes (a set that expands bytes must not turn a small reply into a huge text).
std::string ConvertToUtf8(std::string_view ABytes, std::string_view ACharset, std::size_t ALimit = kNoTextLimit);

// AText with every ill-formed UTF-8 sequence (each maximal invalid subpart, an encoded surrogate, anything
// above U+10FFFF) replaced by U+FFFD.
std::string RepairUtf8(std::string_view AText);

// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& AOut, char32_t ACodePoint);

// 16-bit text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view AText);

// UTF-8 as 16-bit text; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view AText);

namespace charset_backend {

// The system's decoder, one file per platform picked by the build: ABytes in ACharset to UTF-8, each invalid
// unit as U+FFFD, raising EEncodingError for an unknown set and http::EResponseTooLarge as soon as the output
// passes ALimit bytes. The result need not be well-formed: ConvertToUtf8 repairs it.
std::string DecodeToUtf8(std::string_view ABytes, std::string_view ACharset, std::size_t ALimit);

}  // namespace charset_backend

}  // namespace zvq
