// The transport as the Qt program reaches it: through zvq-transport.so, found where an installed program
// finds it (this test stands in bin/, the module in the library folder). transport_rules_test.cpp runs its
// wire rules through the module in the same program.

#include <gtest/gtest.h>
#include <link.h>

#include <string>

#include "errors/errors.h"
#include "platform/program_module.h"
#include "service/http_client.h"
#include "service/signing.h"
#include "service/uri.h"

namespace zvq {
namespace {

bool IsLoaded(std::string_view ANameEnd) {
  struct Search {
    std::string_view NameEnd;
    bool Found = false;
  } search{ANameEnd};
  dl_iterate_phdr(
      [](dl_phdr_info* AInfo, std::size_t, void* ASearch) {
        auto& s = *static_cast<Search*>(ASearch);
        s.Found = s.Found || std::string_view(AInfo->dlpi_name).ends_with(s.NameEnd);
        return 0;
      },
      &search);
  return search.Found;
}

TEST(TransportModule, IsLoadedFromTheInstalledLibraryFolderWithItsLibraries) {
  http::PrepareTransport();
  EXPECT_TRUE(IsLoaded("/zvq-support-launcher/zvq-transport.so"));
  EXPECT_TRUE(IsLoaded("/libcurl.so.4"));
}

TEST(TransportModule, HmacAndUrlsAnswerAsTheLinkedBackendDoes) {
  // RFC 4231, test case 2.
  EXPECT_EQ(HexLower(HmacSha256("Jefe", "what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  const http::Uri uri = http::ParseUri("HTTPS://support.example:8443/validate");
  EXPECT_EQ(uri.Scheme, "https");
  EXPECT_EQ(uri.Host, "support.example");
  // The module's copy of the error classes is caught as the program's own.
  for (const char* invalid : {"ftp://support.example/", "https://", "support.example/validate"})
    EXPECT_THROW(http::ParseUri(invalid), ENetURIException) << invalid;
}

TEST(TransportModule, AModuleThatIsNotThereIsAnOSErrorNamingIt) {
  try {
    platform::ProgramModule missing("zvq-no-such-module.so", {".", "../lib"});
    ADD_FAILURE() << "loaded " << missing.Path();
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), 2);
    EXPECT_NE(error.Message().find("zvq-no-such-module.so"), std::string::npos) << error.Message();
  }
}

}  // namespace
}  // namespace zvq
