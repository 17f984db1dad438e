#pragma once

// The client side of zvq-scripted-service: an HTTPS service in its own Linux process on loopback that a test
// program scripts and queries over a plain-TCP control port. Because the service is a separate process
// and this client needs only sockets, the same test source runs against it from a Linux test program and
// from a Windows test program under Wine.
//
// Starting it:
// - Linux: Start() spawns the service program and waits for the line it prints once it listens; the
//   service ends with the ScriptedService object (or with the test program, whichever comes first).
// - Windows: Start() connects to a service already running on the Linux side of Wine. The script that runs
//   the Windows tests starts "zvq-scripted-service" and puts the port from its first output line,
//   "control <port>", into the environment variable ZVQ_SCRIPTED_SERVICE. Start() clears the script of the
//   previous test program.
//
// Scripting: replies are queued per path (the request target up to any "?"). Queued replies are served
// in order and the last one keeps being served, so one redirect to its own path is a loop. A path with
// nothing queued gets "404 Not Found". Connections are kept alive after a plain reply unless the reply says
// "Connection: close"; every other mode ends the connection (announcing it with "Connection: close" when it
// writes a head of its own).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zvq::testing {

class TempDir;

// What the service does instead of (or on top of) a plain reply.
enum class FaultMode : std::uint8_t {
  fmNone,          // status line, headers, "Content-Length" unless a length or transfer coding is given, body
  fmRaw,           // the body field is written as the whole reply, byte for byte; then the connection closes
  fmResetMidBody,  // head and the first half of the body, then a TCP reset
  fmTlsAlertMidBody,  // head and the first half of the body, then a fatal TLS alert record, then close
  fmShortBody,        // head announcing the full length, half the body, then a clean TLS close
  fmDrip,             // head at once, then the body one byte every Interval
  fmRedirectLoop,     // "302 Found" to the same path with "?hop=<n>" for ever (status, headers, body ignored)
  fmManyHeaders,      // Count (0: 10 000) filler lines "X-Filler-<i>: <i>" before the given headers
  fmHugeHeaderLine,   // one "X-Huge: aaa..." line Count (0: 1 MiB) bytes long before the given headers
  fmSilent,           // no reply at all: the connection stays open until the client gives up
};

// Each listener serves the same script; only its certificate differs. All certificates come from the CA
// in CaFile().
enum class Listener : std::uint8_t {
  lnValid,      // valid for "localhost" and 127.0.0.1
  lnWrongName,  // valid, but only for "wrong-name.invalid"
  lnExpired,    // for "localhost" and 127.0.0.1, but expired a day ago
};

struct HeaderLine {
  std::string Name;
  std::string Value;
  bool operator==(const HeaderLine&) const = default;
};

struct ScriptedReply {
  int Status = 200;
  std::vector<HeaderLine> Headers;  // written in this order, names as given
  std::string Body;
  FaultMode Fault = FaultMode::fmNone;
  std::chrono::milliseconds Interval{0};  // fmDrip
  std::uint32_t Count = 0;                // fmManyHeaders: lines; fmHugeHeaderLine: bytes of the line
};

// One request as the service read it from the wire.
struct ReceivedRequest {
  std::string Method;
  std::string Target;               // as sent, query included
  std::vector<HeaderLine> Headers;  // in the order and letter case received
  std::string Body;                 // the bytes "Content-Length" announced
  std::string Raw;                  // the exact bytes: request line, head, blank line, body
};

class ScriptedService {
 public:
  // Throws std::runtime_error when the service cannot be started or reached.
  static ScriptedService Start();

  ~ScriptedService();
  ScriptedService(ScriptedService&& AOther) noexcept;
  ScriptedService& operator=(ScriptedService&&) = delete;
  ScriptedService(const ScriptedService&) = delete;
  ScriptedService& operator=(const ScriptedService&) = delete;

  // "https://localhost:<port>": Windows under Wine checks a certificate's DNS names only.
  std::string BaseUrl(Listener AListener = Listener::lnValid) const;
  std::string Url(std::string_view APath, Listener AListener = Listener::lnValid) const;
  // The service's CA as a PEM file on this side (a copy the object owns).
  const std::filesystem::path& CaFile() const noexcept { return FCaFile; }

  // Queues a reply for APath ("/validate").
  void Reply(std::string_view APath, ScriptedReply AReply);
  void Reply(std::string_view APath, int AStatus, std::vector<HeaderLine> AHeaders = {},
             std::string ABody = {});
  void Fault(std::string_view APath, FaultMode AMode, ScriptedReply AReply = {});

  // Every request received since the last Clear(), in order of arrival.
  std::vector<ReceivedRequest> Requests() const;
  // Forgets the queued replies and the received requests.
  void Clear();

 private:
  ScriptedService() = default;
  std::vector<std::string> Call(const std::vector<std::string>& AFields) const;

  std::uint16_t FControlPort = 0;
  std::intptr_t FProcess = 0;  // the spawned service (Linux), 0 otherwise
  int FStdin = -1;             // its standard input: closing it ends the service
  std::uint16_t FPorts[3] = {};
  std::unique_ptr<TempDir> FDirectory;
  std::filesystem::path FCaFile;
};

}  // namespace zvq::testing
