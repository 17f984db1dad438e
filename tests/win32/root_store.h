#pragma once

#include <filesystem>

// The current user's Root certificate store, where Windows test runs put the CA of their test service:
// the WinHTTP client trusts nothing else.
namespace zvq::testing {

// Adds (or keeps) the PEM file's certificate; throws std::runtime_error on failure.
void ImportRootCertificate(const std::filesystem::path& APemFile);

}  // namespace zvq::testing
