// zvq-scripted-service: the HTTPS service that test programs script over a control port (see
// scripted_service.h for the client and control_fields.h for the control messages). Linux only; Windows
// test programs under Wine reach it over loopback.
//
//   zvq-scripted-service [--watch-stdin] [--ca-file PATH]
//
// Once every port listens it prints "control <port>" on a line of its own. --watch-stdin: it ends when its
// standard input reaches end of file, so it never outlives the test program that spawned it.
// --ca-file: the CA's PEM is also written there, for scripts. A script that runs test programs elsewhere
// (Windows ones under Wine) starts it and hands the port on:
//
//   coproc SERVICE { exec zvq-scripted-service --watch-stdin; }
//   read -r _ ZVQ_SCRIPTED_SERVICE <&"${SERVICE[0]}" && export ZVQ_SCRIPTED_SERVICE
//   ... run the test programs ...
//   eval "exec ${SERVICE[1]}>&-"; wait "$SERVICE_PID"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/control_fields.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace zvq::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMaxRequestHead = 1 << 20;
constexpr std::size_t kMaxControlMessage = 256 << 20;
constexpr std::uint32_t kDefaultManyHeaders = 10'000;
constexpr std::uint32_t kDefaultHugeLine = 1 << 20;
// A client should have taken in the partial body before the connection breaks, so the break is seen
// mid-body rather than as a connection that never answered.
constexpr auto kPauseBeforeBreak = 100ms;

class Socket {
 public:
  explicit Socket(int AFd) : FFd(AFd) {}
  ~Socket() {
    if (FFd >= 0) ::close(FFd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Get() const noexcept { return FFd; }

 private:
  int FFd;
};

struct SslFree {
  void operator()(SSL* ASsl) const noexcept { SSL_free(ASsl); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
struct ContextFree {
  void operator()(SSL_CTX* AContext) const noexcept { SSL_CTX_free(AContext); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextFree>;

// A listening socket on 127.0.0.1 with a port the system chose.
int ListenOnLoopback(int& APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  APort = ntohs(address.sin_port);
  return fd;
}

ContextPtr NewContext(const std::filesystem::path& ACert, const std::filesystem::path& AKey) {
  ContextPtr context(SSL_CTX_new(TLS_server_method()));
  if (!context || SSL_CTX_use_certificate_chain_file(context.get(), ACert.string().c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), AKey.string().c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("cannot load " + ACert.string());
  return context;
}

bool SameText(std::string_view A, std::string_view B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool HasHeader(const ScriptedReply& AReply, std::string_view AName) {
  return std::any_of(AReply.Headers.begin(), AReply.Headers.end(),
                     [&](const HeaderLine& AHeader) { return SameText(AHeader.Name, AName); });
}

// The "Content-Length" of a request head (the request line and header lines, without the blank line).
std::size_t ContentLength(std::string_view AHead) {
  std::size_t start = AHead.find("\r\n");
  while (start != std::string_view::npos) {
    const auto end = AHead.find("\r\n", start + 2);
    const auto line =
        AHead.substr(start + 2, end == std::string_view::npos ? std::string_view::npos : end - start - 2);
    const auto colon = line.find(':');
    if (colon != std::string_view::npos && SameText(line.substr(0, colon), "Content-Length"))
      return std::stoull(std::string(line.substr(colon + 1)));
    start = end;
  }
  return 0;
}

std::string PathOf(std::string_view ARequest) {
  const auto first = ARequest.find(' ');
  const auto second = ARequest.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return {};
  const auto target = ARequest.substr(first + 1, second - first - 1);
  return std::string(target.substr(0, target.find('?')));
}

const char* Reason(int AStatus) {
  switch (AStatus) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

// The replies scripted so far and the requests received, shared by every connection.
class Script {
 public:
  void Queue(const std::string& APath, ScriptedReply AReply) {
    std::lock_guard lock(FMutex);
    FReplies[APath].push_back(std::move(AReply));
  }

  ScriptedReply Next(const std::string& APath) {
    std::lock_guard lock(FMutex);
    auto found = FReplies.find(APath);
    if (found == FReplies.end() || found->second.empty()) return ScriptedReply{404, {}, {}};
    ScriptedReply reply = found->second.front();
    if (found->second.size() > 1) found->second.pop_front();
    if (reply.Fault == FaultMode::fmRedirectLoop)
      reply.Headers.insert(reply.Headers.begin(), {"Location", APath + "?hop=" + std::to_string(++FHops)});
    return reply;
  }

  void Record(std::string ARequest) {
    std::lock_guard lock(FMutex);
    FRequests.push_back(std::move(ARequest));
  }

  std::vector<std::string> Requests() const {
    std::lock_guard lock(FMutex);
    return FRequests;
  }

  void Clear() {
    std::lock_guard lock(FMutex);
    FReplies.clear();
    FRequests.clear();
  }

 private:
  mutable std::mutex FMutex;
  std::map<std::string, std::deque<ScriptedReply>> FReplies;
  std::vector<std::string> FRequests;
  unsigned FHops = 0;
};

std::string Head(const ScriptedReply& AReply, bool ACloses) {
  const bool redirectLoop = AReply.Fault == FaultMode::fmRedirectLoop;
  const int status = redirectLoop ? 302 : AReply.Status;
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  if (AReply.Fault == FaultMode::fmManyHeaders) {
    const auto count = AReply.Count != 0 ? AReply.Count : kDefaultManyHeaders;
    for (std::uint32_t i = 0; i < count; ++i)
      head += "X-Filler-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
  } else if (AReply.Fault == FaultMode::fmHugeHeaderLine) {
    const auto length = std::max<std::uint32_t>(AReply.Count != 0 ? AReply.Count : kDefaultHugeLine, 9);
    head += "X-Huge: " + std::string(length - 8, 'a') + "\r\n";
  }
  for (const auto& header : AReply.Headers) {
    if (redirectLoop && header.Name != "Location") continue;
    head += header.Name + ": " + header.Value + "\r\n";
  }
  const std::size_t bodyLength = redirectLoop ? 0 : AReply.Body.size();
  if (!HasHeader(AReply, "Content-Length") && !HasHeader(AReply, "Transfer-Encoding"))
    head += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
  if (ACloses && !HasHeader(AReply, "Connection")) head += "Connection: close\r\n";
  return head + "\r\n";
}

bool WriteAll(SSL* ASsl, std::string_view ABytes) {
  while (!ABytes.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(ABytes.size(), 16384));
    const int sent = SSL_write(ASsl, ABytes.data(), chunk);
    if (sent <= 0) return false;
    ABytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// One request, byte for byte, taken from the front of APending (topped up from the connection); false when
// the peer went away or sent a head beyond any client's.
bool ReadRequest(SSL* ASsl, std::string& APending, std::string& ARequest) {
  char buffer[16384];
  std::size_t wanted = std::string::npos;
  for (;;) {
    if (wanted == std::string::npos) {
      const auto end = APending.find("\r\n\r\n");
      if (end != std::string::npos)
        wanted = end + 4 + ContentLength(std::string_view(APending).substr(0, end));
      else if (APending.size() > kMaxRequestHead)
        return false;
    }
    if (wanted != std::string::npos && APending.size() >= wanted) break;
    const int got = SSL_read(ASsl, buffer, sizeof buffer);
    if (got <= 0) return false;
    APending.append(buffer, static_cast<std::size_t>(got));
  }
  ARequest = APending.substr(0, wanted);
  APending.erase(0, wanted);
  return true;
}

enum class After : std::uint8_t { afKeepAlive, afClose, afAbandon };

// Writes AReply the way its fault mode asks; says what is left to do with the connection.
After Answer(SSL* ASsl, int ASocket, const ScriptedReply& AReply) {
  const std::string_view body = AReply.Body;
  const std::string_view half = body.substr(0, body.size() / 2);
  switch (AReply.Fault) {
    case FaultMode::fmRaw:
      return WriteAll(ASsl, body) ? After::afClose : After::afAbandon;
    case FaultMode::fmNone: {
      bool closes = false;
      for (const auto& header : AReply.Headers)
        closes = closes || (SameText(header.Name, "Connection") && SameText(header.Value, "close"));
      if (!WriteAll(ASsl, Head(AReply, false) + std::string(body))) return After::afAbandon;
      return closes ? After::afClose : After::afKeepAlive;
    }
    case FaultMode::fmRedirectLoop:
      return WriteAll(ASsl, Head(AReply, true)) ? After::afClose : After::afAbandon;
    case FaultMode::fmManyHeaders:
    case FaultMode::fmHugeHeaderLine:
      return WriteAll(ASsl, Head(AReply, true) + std::string(body)) ? After::afClose : After::afAbandon;
    case FaultMode::fmResetMidBody: {
      if (WriteAll(ASsl, Head(AReply, true) + std::string(half)))
        std::this_thread::sleep_for(kPauseBeforeBreak);
      const linger reset{1, 0};
      ::setsockopt(ASocket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return After::afAbandon;
    }
    case FaultMode::fmTlsAlertMidBody: {
      if (WriteAll(ASsl, Head(AReply, true) + std::string(half))) {
        std::this_thread::sleep_for(kPauseBeforeBreak);
        // OpenSSL has no call to send an alert of our choosing; this fatal internal_error alert goes
        // unprotected where only protected records may come, which every TLS stack rejects as fatal.
        const unsigned char alert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x50};
        (void)::send(ASocket, alert, sizeof alert, MSG_NOSIGNAL);
      }
      return After::afAbandon;
    }
    case FaultMode::fmShortBody:
      if (WriteAll(ASsl, Head(AReply, true) + std::string(half)))
        std::this_thread::sleep_for(kPauseBeforeBreak);
      return After::afClose;
    case FaultMode::fmDrip:
      if (!WriteAll(ASsl, Head(AReply, true))) return After::afAbandon;
      for (char byte : body) {
        std::this_thread::sleep_for(AReply.Interval);
        if (!WriteAll(ASsl, std::string_view(&byte, 1))) return After::afAbandon;
      }
      return After::afClose;
    case FaultMode::fmSilent: {
      char ignored[4096];
      while (SSL_read(ASsl, ignored, sizeof ignored) > 0) {
      }
      return After::afAbandon;
    }
  }
  return After::afClose;
}

void Serve(SSL_CTX* AContext, int AFd, Script& AScript) {
  Socket socket(AFd);
  SslPtr ssl(SSL_new(AContext));
  // A request the service cannot read ends its connection, never the service.
  try {
    if (ssl && SSL_set_fd(ssl.get(), AFd) == 1 && SSL_accept(ssl.get()) == 1) {
      std::string pending;
      std::string request;
      After after = After::afKeepAlive;
      while (after == After::afKeepAlive && ReadRequest(ssl.get(), pending, request)) {
        const std::string path = PathOf(request);
        AScript.Record(request);
        after = Answer(ssl.get(), AFd, AScript.Next(path));
      }
      if (after == After::afClose) SSL_shutdown(ssl.get());
    }
  } catch (const std::exception&) {
  }
  ERR_clear_error();
}

void AcceptLoop(int AListener, SSL_CTX* AContext, Script& AScript) {
  for (;;) {
    const int fd = ::accept4(AListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread([=, &AScript] { Serve(AContext, fd, AScript); }).detach();
  }
}

std::string ReadToEnd(int AFd) {
  std::string message;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(AFd, buffer, sizeof buffer, 0);
    if (got <= 0) return message;
    message.append(buffer, static_cast<std::size_t>(got));
    if (message.size() > kMaxControlMessage) throw std::runtime_error("control message too long");
  }
}

std::uint32_t Number(const std::string& AText) { return static_cast<std::uint32_t>(std::stoul(AText)); }

std::vector<std::string> Command(const std::vector<std::string>& AFields, Script& AScript,
                                 const std::vector<std::string>& AInfo) {
  const std::string verb = AFields.empty() ? "" : AFields[0];
  if (verb == "info") return AInfo;
  if (verb == "clear") {
    AScript.Clear();
    return {"ok"};
  }
  if (verb == "requests") {
    std::vector<std::string> answer{"ok"};
    for (auto& request : AScript.Requests()) answer.push_back(std::move(request));
    return answer;
  }
  if (verb == "reply" && AFields.size() >= 7 && AFields.size() % 2 == 1) {
    ScriptedReply reply;
    reply.Status = static_cast<int>(Number(AFields[2]));
    const auto fault = Number(AFields[3]);
    if (fault > static_cast<std::uint32_t>(FaultMode::fmSilent)) throw std::runtime_error("unknown fault");
    reply.Fault = static_cast<FaultMode>(fault);
    reply.Interval = std::chrono::milliseconds(Number(AFields[4]));
    reply.Count = Number(AFields[5]);
    reply.Body = AFields[6];
    for (std::size_t i = 7; i < AFields.size(); i += 2) reply.Headers.push_back({AFields[i], AFields[i + 1]});
    AScript.Queue(AFields[1], std::move(reply));
    return {"ok"};
  }
  return {"error", "unknown or malformed command: " + verb};
}

void ControlLoop(int AListener, Script& AScript, const std::vector<std::string>& AInfo) {
  for (;;) {
    const int fd = ::accept4(AListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Socket socket(fd);
    std::string answer;
    try {
      answer = control::Message(Command(control::Fields(ReadToEnd(fd)), AScript, AInfo));
    } catch (const std::exception& AError) {
      answer = control::Message({"error", AError.what()});
    }
    std::string_view rest = answer;
    while (!rest.empty()) {
      const ssize_t sent = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (sent <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(sent));
    }
  }
}

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream file(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

int Run(int argc, char** argv) {
  bool watchStdin = false;
  std::string caFile;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--watch-stdin") {
      watchStdin = true;
    } else if (arg == "--ca-file" && i + 1 < argc) {
      caFile = argv[++i];
    } else {
      std::fprintf(stderr, "usage: zvq-scripted-service [--watch-stdin] [--ca-file PATH]\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);

  // The certificates live in memory once loaded; no file of the run is left behind.
  std::vector<ContextPtr> contexts;
  std::string caPem;
  {
    TempDir directory;
    TestPki pki(directory.Path(), "zvq-scripted-service");
    contexts.push_back(NewContext(pki.ServerCertFile(), pki.ServerKeyFile()));
    contexts.push_back(NewContext(pki.WrongNameCertFile(), pki.ServerKeyFile()));
    contexts.push_back(NewContext(pki.ExpiredCertFile(), pki.ServerKeyFile()));
    caPem = ReadFile(pki.CaFile());
  }
  if (!caFile.empty()) std::ofstream(caFile, std::ios::binary) << caPem;

  static Script script;  // lives until _Exit: connection threads are never joined
  std::vector<std::string> info{"ok"};
  for (auto& context : contexts) {
    int port = 0;
    const int listener = ListenOnLoopback(port);
    info.push_back(std::to_string(port));
    std::thread(AcceptLoop, listener, context.release(), std::ref(script)).detach();
  }
  info.push_back(caPem);
  int controlPort = 0;
  const int control = ListenOnLoopback(controlPort);
  std::thread(ControlLoop, control, std::ref(script), info).detach();

  std::printf("control %d\n", controlPort);
  std::fflush(stdout);
  if (watchStdin) {
    char buffer[256];
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
  } else {
    for (;;) ::pause();
  }
  // Threads may be mid-reply; ending the process is the one clean way out of all of them.
  std::_Exit(0);
}

}  // namespace
}  // namespace zvq::testing

int main(int argc, char** argv) {
  try {
    return zvq::testing::Run(argc, argv);
  } catch (const std::exception& AError) {
    std::fprintf(stderr, "zvq-scripted-service: %s\n", AError.what());
    return 1;
  }
}
