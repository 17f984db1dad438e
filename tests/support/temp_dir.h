#pragma once

#include <filesystem>

namespace zvq::testing {

// A fresh, uniquely named directory under the system's temporary directory, removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const noexcept { return FPath; }
  std::filesystem::path operator/(const std::filesystem::path& AName) const { return FPath / AName; }

 private:
  std::filesystem::path FPath;
};

}  // namespace zvq::testing
