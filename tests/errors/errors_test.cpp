#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "errors/errors.h"
#include "platform/guid.h"
#include "platform/system_error.h"

namespace zvq {
namespace {

TEST(ErrorText, IsTheClassNameInBracketsThenTheMessage) {
  EXPECT_EQ(FormatErrorText(EDownloadError("Error downloading applet")),
            "[EDownloadError] Error downloading applet");
  EXPECT_EQ(FormatErrorText(ENetHTTPCertificateException("Server Certificate Invalid or not present")),
            "[ENetHTTPCertificateException] Server Certificate Invalid or not present");
}

TEST(ErrorText, NamesTheMostDerivedClassWhenCaughtThroughItsBase) {
  try {
    throw EStaleCall("Error validating code - please try again");
  } catch (const ESupportLauncherException& error) {
    EXPECT_EQ(FormatErrorText(error), "[EStaleCall] Error validating code - please try again");
  }
  try {
    throw ENetHTTPRequestException("Maximum number of redirections (5) exceeded");
  } catch (const Exception& error) {
    EXPECT_EQ(error.ClassName(), "ENetHTTPRequestException");
    EXPECT_NE(dynamic_cast<const ENetHTTPClientException*>(&error), nullptr);
  }
}

TEST(ErrorText, RuntimeFailuresAreReportedToo) {
  EXPECT_EQ(FormatErrorText(static_cast<const std::exception&>(EInvalidCode("No such code"))),
            "[EInvalidCode] No such code");
  EXPECT_EQ(FormatErrorText(std::bad_alloc()), "[EOutOfMemory] Out of memory");
  EXPECT_EQ(FormatErrorText(std::runtime_error("odd")), "[Exception] odd");
}

TEST(OSError, CarriesTheCodeAndTheSystemsTextAfterALineBreak) {
  EOSError error(2, "No such file or directory.\r\n");
  EXPECT_EQ(error.ErrorCode(), 2);
  EXPECT_EQ(error.Message(), "System Error.  Code: 2.\r\nNo such file or directory");
  EXPECT_EQ(EOSError(0, "ignored").Message(), "A call to an OS function failed");
}

TEST(OSError, RaisedFromACodeUsesTheSystemsOwnText) {
  try {
    platform::RaiseOSError(ENOENT);
    FAIL() << "RaiseOSError returned";
  } catch (const EOSError& error) {
    EXPECT_EQ(FormatErrorText(error), "[EOSError] System Error.  Code: 2.\r\nNo such file or directory");
  }
}

TEST(FileCreateError, QuotesThePathAndTrimsTheSystemText) {
  EXPECT_EQ(EFCreateError::ForFile("/tmp/a b/x.exe", "Permission denied. \n").Message(),
            "Cannot create file \"/tmp/a b/x.exe\". Permission denied");
}

TEST(Guid, BracedFormPutsTheFirstThreeFieldsLittleEndian) {
  platform::Guid guid{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                      0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(platform::FormatGuidBraced(guid), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
}

TEST(Guid, RandomOnesAreVersionFourAndDiffer) {
  auto first = platform::FormatGuidBraced(platform::NewRandomGuid());
  auto second = platform::FormatGuidBraced(platform::NewRandomGuid());
  EXPECT_NE(first, second);
  EXPECT_EQ(first[15], '4');
  EXPECT_NE(std::string("89AB").find(first[20]), std::string::npos);
}

}  // namespace
}  // namespace zvq
