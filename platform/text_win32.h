#pragma once

#include <string>
#include <string_view>

// UTF-8 at the platform interfaces, UTF-16 at the system calls. Text that is not valid in the source encoding
// raises EEncodingError rather than being passed on with replacement characters.
namespace zvq::platform {

std::wstring WidenUtf8(std::string_view AText);
std::string NarrowToUtf8(std::wstring_view AText);

}  // namespace zvq::platform
