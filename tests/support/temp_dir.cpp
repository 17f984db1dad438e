#include "tests/support/temp_dir.h"

#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zvq::testing {

TempDir::TempDir() {
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("zvq-test-" + std::to_string(random()) + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      FPath = std::move(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory under " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

}  // namespace zvq::testing
