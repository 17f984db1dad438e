#include "errors/errors.h"

#include <new>

namespace zvq {

Exception::Exception(std::string AMessage) : Exception("Exception", std::move(AMessage)) {}

Exception::Exception(std::string_view AClassName, std::string AMessage)
    : FClassName(AClassName), FMessage(std::move(AMessage)) {}

std::string FormatErrorText(const Exception& AError) {
  return "[" + AError.ClassName() + "] " + AError.Message();
}

std::string FormatErrorText(const std::exception& AError) {
  if (const auto* own = dynamic_cast<const Exception*>(&AError)) return FormatErrorText(*own);
  if (dynamic_cast<const std::bad_alloc*>(&AError)) return "[EOutOfMemory] Out of memory";
  return std::string("[Exception] ") + AError.what();
}

namespace {
std::string OSErrorMessage(int ACode, std::string_view ASystemText) {
  if (ACode == 0) return "A call to an OS function failed";
  return "System Error.  Code: " + std::to_string(ACode) + ".\r\n" + TrimSystemText(ASystemText);
}
}  // namespace

EOSError::EOSError(int ACode, std::string_view ASystemText)
    : NamedException(OSErrorMessage(ACode, ASystemText)), FErrorCode(ACode) {}

EFCreateError EFCreateError::ForFile(std::string_view APath, std::string_view ASystemText) {
  std::string message = "Cannot create file \"";
  message.append(APath);
  message += "\". ";
  message += TrimSystemText(ASystemText);
  return EFCreateError(std::move(message));
}

std::string TrimSystemText(std::string_view AText) {
  auto end = AText.find_last_not_of(" \t\r\n.");
  return end == std::string_view::npos ? std::string() : std::string(AText.substr(0, end + 1));
}

}  // namespace zvq
