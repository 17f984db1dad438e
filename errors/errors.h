#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace zvq {

// The root of every failure the launcher reports. It carries the class name because the user sees it:
// the text shown is "[<class name>] <message>".
class Exception : public std::exception {
 public:
  explicit Exception(std::string AMessage);

  const std::string& ClassName() const noexcept { return FClassName; }
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 protected:
  Exception(std::string_view AClassName, std::string AMessage);

 private:
  std::string FClassName;
  std::string FMessage;
};

// "[%s] %s" from the class name and the message: the one text a failed run leaves for the user.
std::string FormatErrorText(const Exception& AError);
// The same for failures raised by the runtime library itself (out of memory and the like), so that they too
// reach the user as a text rather than ending the run unexplained.
std::string FormatErrorText(const std::exception& AError);

// A class name usable as a template argument, so each error class states its own name once.
template <std::size_t N>
struct ExceptionName {
  constexpr ExceptionName(const char (&AText)[N]) {  // NOLINT(google-explicit-constructor)
    for (std::size_t i = 0; i < N; ++i) FText[i] = AText[i];
  }
  constexpr std::string_view View() const { return {FText, N - 1}; }
  char FText[N]{};
};

template <ExceptionName Name, class Base>
class NamedException : public Base {
 public:
  explicit NamedException(std::string AMessage) : Base(Name.View(), std::move(AMessage)) {}

 protected:
  NamedException(std::string_view AClassName, std::string AMessage) : Base(AClassName, std::move(AMessage)) {}
};

// Launcher-specific failures.
class ESupportLauncherException : public NamedException<"ESupportLauncherException", Exception> {
  using NamedException::NamedException;
};
class EInvalidCode : public NamedException<"EInvalidCode", ESupportLauncherException> {
  using NamedException::NamedException;
};
class EStaleCall : public NamedException<"EStaleCall", ESupportLauncherException> {
  using NamedException::NamedException;
};
class EDownloadError : public NamedException<"EDownloadError", ESupportLauncherException> {
  using NamedException::NamedException;
};
// The downloaded applet does not carry a valid signature of the publisher the launcher was built to trust.
class EAppletNotTrusted : public NamedException<"EAppletNotTrusted", ESupportLauncherException> {
  using NamedException::NamedException;
};

// Operating-system failures.
class EOSError : public NamedException<"EOSError", Exception> {
 public:
  // "System Error.  Code: %d." CR LF and the system's text; "A call to an OS function failed" for code 0.
  EOSError(int ACode, std::string_view ASystemText);
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};
class EStreamError : public NamedException<"EStreamError", Exception> {
  using NamedException::NamedException;
};
class EFCreateError : public NamedException<"EFCreateError", EStreamError> {
 public:
  using NamedException::NamedException;
  // "Cannot create file \"<path>\". <system text>"
  static EFCreateError ForFile(std::string_view APath, std::string_view ASystemText);
};
class EThread : public NamedException<"EThread", Exception> {
  using NamedException::NamedException;
};
class EEncodingError : public NamedException<"EEncodingError", Exception> {
  using NamedException::NamedException;
};

// Transport failures of the HTTP layer.
class ENetException : public NamedException<"ENetException", Exception> {
  using NamedException::NamedException;
};
class ENetHTTPClientException : public NamedException<"ENetHTTPClientException", ENetException> {
  using NamedException::NamedException;
};
class ENetHTTPCertificateException
    : public NamedException<"ENetHTTPCertificateException", ENetHTTPClientException> {
  using NamedException::NamedException;
};
class ENetHTTPRequestException : public NamedException<"ENetHTTPRequestException", ENetHTTPClientException> {
  using NamedException::NamedException;
};
class ENetURIException : public NamedException<"ENetURIException", ENetException> {
  using NamedException::NamedException;
};

// System texts end in blanks, line breaks or a full stop on some systems; messages append their own punctuation.
std::string TrimSystemText(std::string_view AText);

}  // namespace zvq
