// zvq-bench-fetch: the launcher's network path on its own, timed from the inside: the signed validation call
// and the applet's download into the staging folder, through the same client and staging code the worker
// uses. The bench compares it with curl doing the same requests.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "errors/errors.h"
#include "launch/staging.h"
#include "platform/guid.h"
#include "service/remote_support_api.h"
#include "service/signing.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kUsage =
    "usage: zvq-bench-fetch VALIDATION_URL [--anchor PEM] [--validate-only]\n"
    "       zvq-bench-fetch --signing-headers\n"
    "  prints validate_s=, download_s= and bytes= (the staged applet's size)\n"
    "  --signing-headers prints the three signing headers of a fresh request, one \"Name: value\" a line\n";

constexpr char16_t kCode[] = u"123 456 789";

double Seconds(Clock::duration ADuration) { return std::chrono::duration<double>(ADuration).count(); }

// Staging the download exactly as the worker does: straight into the staging folder, committed when complete.
// Returns the staged size.
std::uint64_t DownloadAndStage(zvq::TzqRemoteSupportAPI& AApi) {
  zvq::StagedApplet applet(zvq::TzqRemoteSupportAPI::kMaxAppletBytes);
  AApi.DownloadApp(applet);
  if (applet.Size() > 0) applet.Commit();
  return applet.Size();
}

int PrintSigningHeaders() {
  const zvq::SigningHeaders headers =
      zvq::ComputeSigningHeaders(zvq::platform::NewRandomGuid(), std::chrono::system_clock::now());
  std::printf("X-Zvq-Request-Id: %s\nX-Zvq-Calltime: %s\nX-Zvq-Auth: %s\n", headers.RequestId.c_str(),
              headers.CallTime.c_str(), headers.Auth.c_str());
  return 0;
}

}  // namespace

int main(int AArgc, char** AArgv) {
  if (AArgc == 2 && std::string_view(AArgv[1]) == "--signing-headers") return PrintSigningHeaders();
  if (AArgc < 2 || std::string_view(AArgv[1]).starts_with("-")) {
    std::fputs(kUsage.data(), stderr);
    return 2;
  }
  zvq::TzqServiceEndpoint endpoint;
  endpoint.ValidationUrl = AArgv[1];
  bool validateOnly = false;
  for (int i = 2; i < AArgc; ++i) {
    const std::string_view option = AArgv[i];
    if (option == "--anchor" && i + 1 < AArgc) {
      endpoint.ExtraTrustAnchor = AArgv[++i];
    } else if (option == "--validate-only") {
      validateOnly = true;
    } else {
      std::fputs(kUsage.data(), stderr);
      return 2;
    }
  }

  try {
    zvq::PrepareStagingFolder();  // as the program does before its window exists
    // As the program does while the user types the code: the round trip below is what Submit waits for.
    zvq::TzqRemoteSupportAPI::Prepare();
    const auto started = Clock::now();
    zvq::TzqRemoteSupportAPI api(std::move(endpoint));
    api.CheckCode(kCode);
    const auto validated = Clock::now();
    if (api.DownloadUrl().empty()) throw zvq::Exception("The validation reply named no applet");
    std::printf("validate_s=%.6f\n", Seconds(validated - started));
    if (validateOnly) return 0;

    const std::uint64_t bytes = DownloadAndStage(api);
    std::printf("download_s=%.6f\nbytes=%llu\n", Seconds(Clock::now() - validated),
                static_cast<unsigned long long>(bytes));
    return 0;
  } catch (const zvq::Exception& error) {
    std::fprintf(stderr, "zvq-bench-fetch: %s\n", zvq::FormatErrorText(error).c_str());
    return 1;
  }
}
