// zvq_import_root_ca <pem file>: puts a test service's CA into the current user's Root store of this Wine
// prefix, so the WinHTTP client trusts that service and nothing else is relaxed.
#include <cstdio>
#include <exception>

#include "tests/win32/root_store.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zvq_import_root_ca <pem file>\n");
    return 2;
  }
  try {
    zvq::testing::ImportRootCertificate(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zvq_import_root_ca: %s\n", error.what());
    return 1;
  }
  return 0;
}
