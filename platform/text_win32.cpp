#include "platform/text_win32.h"

#include <windows.h>

#include <limits>

#include "errors/errors.h"
#include "platform/system_error.h"

namespace zvq::platform {

namespace {

[[noreturn]] void RaiseEncodingError() { throw EEncodingError(SystemErrorText(LastErrorCode())); }

int CheckedLength(std::size_t ASize) {
  if (ASize > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw EEncodingError("Text too long to convert");
  }
  return static_cast<int>(ASize);
}

}  // namespace

std::wstring WidenUtf8(std::string_view AText) {
  if (AText.empty()) return {};
  const int length = CheckedLength(AText.size());
  const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, AText.data(), length, nullptr, 0);
  if (needed <= 0) RaiseEncodingError();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, AText.data(), length, wide.data(), needed) !=
      needed) {
    RaiseEncodingError();
  }
  return wide;
}

std::string NarrowToUtf8(std::wstring_view AText) {
  if (AText.empty()) return {};
  const int length = CheckedLength(AText.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, AText.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) RaiseEncodingError();
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, AText.data(), length, narrow.data(), needed, nullptr,
                          nullptr) != needed) {
    RaiseEncodingError();
  }
  return narrow;
}

}  // namespace zvq::platform
