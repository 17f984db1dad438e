// clang-format off
#include <windows.h>
#include <objbase.h>
#include <mlang.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <memory>

#include "errors/errors.h"
#include "service/ascii.h"
#include "service/body_sink.h"
#include "service/charset.h"

namespace zvq {

namespace {

// MinGW's import libraries lack this interface identifier.
constexpr IID kIidMultiLanguage2 = {0xDCCFC164, 0x2B38, 0x11D2, {0xB7, 0xEC, 0x00, 0xC0, 0x4F, 0x8F, 0x5D, 0x9A}};

constexpr UINT kUtf16Le = 1200, kUtf16Be = 1201, kUtf32Le = 12000, kUtf32Be = 12001;
constexpr char32_t kReplacement = 0xFFFD;

[[noreturn]] void RaiseInvalidName() { throw EEncodingError("Invalid encoding name"); }

int CheckedLength(std::size_t ASize) {
  if (ASize > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw EEncodingError("Text too long to convert");
  return static_cast<int>(ASize);
}

// COM for this thread while MLang is asked; a thread that already has COM keeps it as it is.
class ComScope {
 public:
  ComScope() : FResult(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(FResult)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT FResult;
};

struct ComRelease {
  void operator()(IUnknown* AObject) const noexcept { AObject->Release(); }
};
struct BstrFree {
  void operator()(wchar_t* AText) const noexcept { SysFreeString(AText); }
};

// The Windows code page MLang knows the charset by (names compared without case, aliases included).
UINT CodePageOf(std::string_view ACharset) {
  // Charset names are ASCII; anything else cannot name one.
  std::wstring name;
  for (char c : ACharset) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) RaiseInvalidName();
    name += static_cast<wchar_t>(c);
  }
  if (name.empty()) RaiseInvalidName();

  ComScope com;
  IMultiLanguage2* raw = nullptr;
  if (FAILED(CoCreateInstance(CLSID_CMultiLanguage, nullptr, CLSCTX_INPROC_SERVER, kIidMultiLanguage2,
                              reinterpret_cast<void**>(&raw))) ||
      raw == nullptr)
    throw EEncodingError("The system's character set list is not available");
  std::unique_ptr<IMultiLanguage2, ComRelease> languages(raw);
  std::unique_ptr<wchar_t, BstrFree> bstr(SysAllocStringLen(name.data(), static_cast<UINT>(name.size())));
  if (!bstr) throw std::bad_alloc();
  MIMECSETINFO info{};
  if (languages->GetCharsetInfo(bstr.get(), &info) != S_OK) RaiseInvalidName();
  return info.uiInternetEncoding;
}

std::uint32_t ReadUnit(const unsigned char* ABytes, std::size_t ASize, bool ABigEndian) {
  std::uint32_t unit = 0;
  for (std::size_t i = 0; i < ASize; ++i) {
    const std::size_t at = ABigEndian ? i : ASize - 1 - i;
    unit = (unit << 8) | ABytes[at];
  }
  return unit;
}

// The UTF-16 and UTF-32 code pages are not ones MultiByteToWideChar converts: decoded here, each unpaired
// surrogate, invalid unit or cut-off unit at the end giving one U+FFFD.
std::string DecodeUtf16(std::string_view ABytes, bool ABigEndian) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(ABytes.data());
  const std::size_t units = ABytes.size() / 2;
  std::string out;
  out.reserve(ABytes.size() + ABytes.size() / 2);
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint32_t unit = ReadUnit(bytes + 2 * i, 2, ABigEndian);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      const std::uint32_t low = ReadUnit(bytes + 2 * (i + 1), 2, ABigEndian);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : static_cast<char32_t>(unit));
  }
  if (ABytes.size() % 2 != 0) AppendUtf8(out, kReplacement);
  return out;
}

std::string DecodeUtf32(std::string_view ABytes, bool ABigEndian) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(ABytes.data());
  std::string out;
  out.reserve(ABytes.size());
  for (std::size_t i = 0; i + 4 <= ABytes.size(); i += 4) {
    const std::uint32_t code = ReadUnit(bytes + i, 4, ABigEndian);
    const bool valid = code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    AppendUtf8(out, valid ? static_cast<char32_t>(code) : kReplacement);
  }
  if (ABytes.size() % 4 != 0) AppendUtf8(out, kReplacement);
  return out;
}

std::wstring ToWide(std::string_view ABytes, UINT ACodePage) {
  if (ABytes.empty()) return {};
  const int length = CheckedLength(ABytes.size());
  // No MB_ERR_INVALID_CHARS: an invalid sequence becomes the code page's replacement and decoding goes on.
  const int needed = MultiByteToWideChar(ACodePage, 0, ABytes.data(), length, nullptr, 0);
  if (needed <= 0) RaiseInvalidName();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(ACodePage, 0, ABytes.data(), length, wide.data(), needed) != needed) RaiseInvalidName();
  return wide;
}

std::string ConvertCodePageToUtf8(std::string_view ABytes, UINT ACodePage) {
  switch (ACodePage) {
    case kUtf16Le:
    case kUtf16Be:
      return DecodeUtf16(ABytes, ACodePage == kUtf16Be);
    case kUtf32Le:
    case kUtf32Be:
      return DecodeUtf32(ABytes, ACodePage == kUtf32Be);
    default:
      break;
  }
  // A name MLang knows for a code page this system cannot convert is as unusable as an unknown one.
  if (!IsValidCodePage(ACodePage)) RaiseInvalidName();
  const std::wstring wide = ToWide(ABytes, ACodePage);
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// The UTF-16 and UTF-32 names, which we decode ourselves whether or not MLang lists them (not every
// system's list has them all). Without an order in the name a byte-order mark decides, else little-endian.
std::optional<UINT> UnicodeCodePageOf(std::string_view ACharset, std::string_view& ABytes) {
  struct Name {
    std::string_view Text;
    UINT CodePage;
  };
  static constexpr Name kNames[] = {{"UTF-16LE", kUtf16Le}, {"UTF-16BE", kUtf16Be}, {"UTF-32LE", kUtf32Le},
                                    {"UTF-32BE", kUtf32Be}};
  for (const Name& name : kNames)
    if (ascii::EqualsIgnoringCase(ACharset, name.Text)) return name.CodePage;
  const bool utf16 = ascii::EqualsIgnoringCase(ACharset, "UTF-16"), utf32 = ascii::EqualsIgnoringCase(ACharset, "UTF-32");
  if (!utf16 && !utf32) return std::nullopt;
  const std::string_view bigMark = utf16 ? std::string_view("\xFE\xFF", 2) : std::string_view("\0\0\xFE\xFF", 4);
  const std::string_view littleMark =
      utf16 ? std::string_view("\xFF\xFE", 2) : std::string_view("\xFF\xFE\0\0", 4);
  const bool big = ABytes.starts_with(bigMark);
  if (big || ABytes.starts_with(littleMark)) ABytes.remove_prefix(bigMark.size());
  if (utf16) return big ? kUtf16Be : kUtf16Le;
  return big ? kUtf32Be : kUtf32Le;
}

}  // namespace

namespace charset_backend {

std::string DecodeToUtf8(std::string_view ABytes, std::string_view ACharset, std::size_t ALimit) {
  const UINT codePage = UnicodeCodePageOf(ACharset, ABytes).value_or(0);
  std::string text = ConvertCodePageToUtf8(ABytes, codePage != 0 ? codePage : CodePageOf(ACharset));
  if (text.size() > ALimit)
    throw http::EResponseTooLarge("The reply's text is longer than " + std::to_string(ALimit) + " bytes");
  return text;
}

}  // namespace charset_backend

}  // namespace zvq
