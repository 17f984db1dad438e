#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace zvq::demo {

// The demo's codes, as the launcher sends them (digits only).
inline constexpr std::string_view kWorkingCode = "123456789";
inline constexpr std::string_view kExpiredCode = "111222333";

inline constexpr std::string_view kSessionCookieName = "zvq_session";

// How far a call time may be from the service's clock, and how long a request id stays spent.
inline constexpr std::chrono::seconds kCallTimeTolerance{300};
inline constexpr std::chrono::minutes kReplayWindow{10};

struct ServiceSettings {
  int Port = 47443;  // 0: any free port; DemoService::Port() tells which
  std::filesystem::path StateFolder;
  std::string SigningKey;  // UTF-8, exactly the bytes the launcher's HMAC uses
  std::string Applet;      // the bytes served as the applet
  bool RedirectDownload = false;
  // How long a connection may sit idle, the first request included, before the service drops it; also what
  // stopping waits at most for an idle connection. A slow client (Wine checking a certificate) needs more.
  std::chrono::seconds IdleTimeout{1};
  std::function<std::chrono::system_clock::time_point()> Now = [] { return std::chrono::system_clock::now(); };
  // One line per request: method, path, status, outcome. Called from the service's threads, one at a time.
  std::function<void(const std::string& ALine)> OnRequestLine;
};

// The key file's text as the HMAC key: its UTF-8 bytes without a byte-order mark or trailing line breaks,
// which editors add and the key never ends in. Raises zvq::Exception when the file cannot be read.
std::string LoadSigningKey(const std::filesystem::path& AKeyFile);

// The whole file; raises zvq::Exception when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& AFile);

// The stand-in for the support service: HTTPS on 127.0.0.1 only. The constructor makes or reuses the
// certificates, binds the port and starts serving on a thread of its own; the destructor stops it.
// Raises zvq::Exception when the certificates cannot be made or the port cannot be bound.
class DemoService {
 public:
  explicit DemoService(ServiceSettings ASettings);
  ~DemoService();
  DemoService(const DemoService&) = delete;
  DemoService& operator=(const DemoService&) = delete;

  int Port() const noexcept;
  std::string BaseUrl() const;  // "https://127.0.0.1:<port>"
  const std::filesystem::path& CaCertificatePath() const noexcept;

  // Idempotent; returns once the serving thread has ended.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace zvq::demo
