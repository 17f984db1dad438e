// zvq-demo-pki: makes (or reuses) the demo service's state at build time, so that what is compiled in or
// signed then agrees with what the service presents later: its CA and server certificate, the demo applet's
// publisher certificate, and any further code-signing certificates that tests need.
//   zvq-demo-pki STATE-DIR [--pin-header FILE] [--fingerprints FILE] [--code-signing NAME]...
//   --pin-header FILE    the CA key's fingerprint as the launcher's compiled-in applet publisher
//   --fingerprints FILE  "<name> <fingerprint>" lines for the CA and every code-signing certificate
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "errors/errors.h"
#include "tools/demo_service/certificates.h"

namespace {

namespace fs = std::filesystem;

// Rewritten only when it changes, so the launcher is not compiled again at every build.
void WriteIfChanged(const fs::path& APath, const std::string& AText) {
  {
    std::ifstream in(APath, std::ios::binary);
    if (in && std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) == AText)
      return;
  }
  fs::create_directories(fs::absolute(APath).parent_path());
  std::ofstream out(APath, std::ios::binary | std::ios::trunc);
  out << AText;
  out.close();
  if (!out) throw zvq::Exception("Cannot write " + APath.string());
}

}  // namespace

int main(int AArgc, char** AArgv) {
  if (AArgc < 2) {
    std::cerr << "usage: zvq-demo-pki STATE-DIR [--pin-header FILE] [--fingerprints FILE] [--code-signing "
                 "NAME]...\n";
    return 2;
  }
  const fs::path state = AArgv[1];
  fs::path pinHeader;
  fs::path fingerprintsFile;
  std::vector<std::string> names{"publisher"};
  for (int i = 2; i + 1 < AArgc; i += 2) {
    const std::string option = AArgv[i];
    if (option == "--pin-header") {
      pinHeader = AArgv[i + 1];
    } else if (option == "--fingerprints") {
      fingerprintsFile = AArgv[i + 1];
    } else if (option == "--code-signing") {
      names.emplace_back(AArgv[i + 1]);
    } else {
      std::cerr << "zvq-demo-pki: unknown option " << option << "\n";
      return 2;
    }
  }
  if (AArgc % 2 != 0) {
    std::cerr << "zvq-demo-pki: " << AArgv[AArgc - 1] << " needs a value\n";
    return 2;
  }
  try {
    zvq::demo::LoadOrMakeCredentials(state);
    std::string fingerprints = "ca " + zvq::demo::CaKeyFingerprint(state) + "\n";
    for (const std::string& name : names)
      fingerprints += name + " " + zvq::demo::LoadOrMakeCodeSigning(state, name) + "\n";
    if (!pinHeader.empty()) {
      WriteIfChanged(
          pinHeader,
          "#pragma once\n"
          "// Made at build time from the demo service's state: the key of its CA, which issues the\n"
          "// demo applet's publisher certificate.\n"
          "namespace zvq::deployment {\n"
          "inline constexpr const char* kAppletPublisher = \"" +
              zvq::demo::CaKeyFingerprint(state) + "\";\n}  // namespace zvq::deployment\n");
    }
    if (!fingerprintsFile.empty()) WriteIfChanged(fingerprintsFile, fingerprints);
    return 0;
  } catch (const zvq::Exception& error) {
    std::cerr << "zvq-demo-pki: " << error.Message() << std::endl;
    return 1;
  }
}
