#pragma once

#include <filesystem>
#include <string>

namespace zvq::testing {

// A certificate authority made for the test run and a server certificate it signed, valid for 127.0.0.1
// and localhost, written as PEM files into a directory the caller owns. Two instances are two unrelated
// CAs, so a server using one is rejected by a client trusting the other.
class TestPki {
 public:
  TestPki(const std::filesystem::path& ADirectory, const std::string& ACaName);

  const std::filesystem::path& CaFile() const noexcept { return FCaFile; }
  const std::filesystem::path& ServerCertFile() const noexcept { return FServerCertFile; }
  const std::filesystem::path& ServerKeyFile() const noexcept { return FServerKeyFile; }
  // With the server's key and from the same CA: one valid only for "wrong-name.invalid", one that expired
  // a day ago.
  const std::filesystem::path& WrongNameCertFile() const noexcept { return FWrongNameCertFile; }
  const std::filesystem::path& ExpiredCertFile() const noexcept { return FExpiredCertFile; }

 private:
  std::filesystem::path FCaFile;
  std::filesystem::path FServerCertFile;
  std::filesystem::path FServerKeyFile;
  std::filesystem::path FWrongNameCertFile;
  std::filesystem::path FExpiredCertFile;
};

}  // namespace zvq::testing
