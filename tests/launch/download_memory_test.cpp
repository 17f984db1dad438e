// The applet goes to disk as it arrives: downloading one far larger than the allowance below must not
// raise the program's peak memory by more than that allowance. A program of its own, so that no other
// test's allocations count, and left out of sanitizer builds, whose allocators keep freed memory.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "launch/staging.h"
#include "service/remote_support_api.h"
#include "tests/support/test_service.h"

namespace zvq {
namespace {

namespace fs = std::filesystem;
using testing::TestService;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// The byte at each position of the served applet; positions differ, so a piece lost or repeated shows.
std::uint8_t ByteAt(std::uint64_t AOffset) {
  return static_cast<std::uint8_t>((AOffset * 2654435761U) >> 13 ^ AOffset >> 20);
}

std::uint64_t PeakResidentBytes() {
  struct rusage usage {};
  EXPECT_EQ(::getrusage(RUSAGE_SELF, &usage), 0);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // reported in KiB
}

// The whole path of a download: the service client's GET into a staged applet, committed.
void Download(std::size_t ASize) {
  auto& service = TestService::Shared();
  service.On("POST", "/validate", [&service](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_content(R"({"response":{"url":")" + service.Url("/applet") + R"("}})", "application/json");
  });
  service.On("GET", "/applet", [ASize](const httplib::Request&, httplib::Response& AResponse) {
    AResponse.set_content_provider(ASize, "application/octet-stream",
                                   [](std::size_t AOffset, std::size_t ALength, httplib::DataSink& ASink) {
                                     std::string piece(std::min<std::size_t>(ALength, 64 * 1024), '\0');
                                     for (std::size_t i = 0; i < piece.size(); ++i)
                                       piece[i] = static_cast<char>(ByteAt(AOffset + i));
                                     return ASink.write(piece.data(), piece.size());
                                   });
  });
  TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = service.Url("/validate");
  endpoint.ExtraTrustAnchor = service.CaFile().string();
  TzqRemoteSupportAPI api(endpoint);
  api.CheckCode(u"123 456 789");
  StagedApplet applet(TzqRemoteSupportAPI::kMaxAppletBytes);
  api.DownloadApp(applet);
  ASSERT_EQ(applet.Size(), ASize);
  applet.Commit();
}

TEST(AppletDownload, PeakMemoryStaysFlatWhateverTheAppletsSize) {
  constexpr std::size_t kSize = 200 * kMiB;
  constexpr std::uint64_t kAllowance = 64 * kMiB;
  PrepareStagingFolder();
  // The one-time allocations of TLS, the client and the service belong to any download, however small.
  Download(4 * kMiB);
  const std::uint64_t before = PeakResidentBytes();
  Download(kSize);
  const std::uint64_t growth = PeakResidentBytes() - before;
  RecordProperty("PeakGrowthKiB", std::to_string(growth / 1024));
  std::cout << "peak resident memory grew by " << growth / 1024 << " KiB for a " << kSize / kMiB
            << " MiB applet\n";
  EXPECT_LT(growth, kAllowance);

  std::ifstream file(GetAppletPath(), std::ios::binary);
  std::string chunk(kMiB, '\0');
  std::uint64_t offset = 0;
  std::uint64_t mismatches = 0;
  while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0) {
    for (std::streamsize i = 0; i < file.gcount(); ++i, ++offset)
      mismatches += static_cast<std::uint8_t>(chunk[static_cast<std::size_t>(i)]) != ByteAt(offset);
  }
  EXPECT_EQ(offset, kSize);
  EXPECT_EQ(mismatches, 0U);
  CleanStagingFolder();
}

}  // namespace
}  // namespace zvq

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  zvq::testing::TempDir temporary;
  std::filesystem::permissions(temporary.Path(), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  ::setenv("TMPDIR", temporary.Path().c_str(), 1);
  return RUN_ALL_TESTS();
}
