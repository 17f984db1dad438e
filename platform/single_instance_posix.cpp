#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/files.h"
#include "platform/single_instance.h"

namespace zvq::platform {

namespace {

// The first instance takes its claim a moment before it listens; a later one asking in between tries again.
constexpr std::chrono::seconds kAskFor{2};
constexpr std::chrono::milliseconds kAskAgainAfter{20};

class Descriptor {
 public:
  explicit Descriptor(int AValue = -1) noexcept : FValue(AValue) {}
  ~Descriptor() {
    if (FValue >= 0) ::close(FValue);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& AOther) noexcept : FValue(AOther.Release()) {}

  int Get() const noexcept { return FValue; }
  bool IsValid() const noexcept { return FValue >= 0; }
  int Release() noexcept { return std::exchange(FValue, -1); }

 private:
  int FValue;
};

// False when the path does not fit a socket address; the instance then cannot be reached.
bool ToAddress(const std::string& APath, sockaddr_un& AAddress) {
  AAddress = {};
  AAddress.sun_family = AF_UNIX;
  if (APath.empty() || APath.size() >= sizeof AAddress.sun_path) return false;
  std::memcpy(AAddress.sun_path, APath.c_str(), APath.size() + 1);
  return true;
}

}  // namespace

struct ShowRequestListener::Worker {
  Worker(int AListening, Descriptor AStopRead, Descriptor AStopWrite, MainThreadDispatcher& ADispatcher,
         std::function<void()> AShow)
      : FListening(AListening),
        FStopRead(std::move(AStopRead)),
        FStopWrite(std::move(AStopWrite)),
        FDispatcher(ADispatcher),
        FShow(std::move(AShow)),
        FThread([this] { Run(); }) {}

  ~Worker() {
    while (::write(FStopWrite.Get(), "x", 1) < 0 && errno == EINTR) {
    }
    FThread.join();
  }

  // Each connection is one request; nothing is read from it, so a caller cannot make this thread wait.
  void Run() {
    pollfd watched[2] = {{FListening, POLLIN, 0}, {FStopRead.Get(), POLLIN, 0}};
    for (;;) {
      if (::poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (watched[1].revents != 0) return;
      if ((watched[0].revents & POLLIN) == 0) return;
      // The socket does not block: a caller that gave up before we accepted leaves nothing to wait for.
      const int peer = ::accept4(FListening, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer >= 0) {
        ::close(peer);
        FDispatcher.Post(FShow);
      }
    }
  }

  const int FListening;
  Descriptor FStopRead;
  Descriptor FStopWrite;
  MainThreadDispatcher& FDispatcher;
  const std::function<void()> FShow;
  std::thread FThread;
};

ShowRequestListener::ShowRequestListener() noexcept = default;
ShowRequestListener::ShowRequestListener(std::unique_ptr<Worker> AWorker) noexcept
    : FWorker(std::move(AWorker)) {}
ShowRequestListener::~ShowRequestListener() = default;
ShowRequestListener::ShowRequestListener(ShowRequestListener&&) noexcept = default;
ShowRequestListener& ShowRequestListener::operator=(ShowRequestListener&&) noexcept = default;

// Only the user can enter the private runtime directory, so nobody else can take the lock file's name first
// or stand in for the first instance's socket. The lock goes with the process, even one that crashed.
SingleInstance::SingleInstance(std::string_view AName) : FName(AName) {
  const std::string folder = PrivateRuntimeDirectory();
  if (folder.empty()) return;
  const std::string prefix = folder + "/" + FName;
  Descriptor claim(::open((prefix + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!claim.IsValid()) return;
  if (::flock(claim.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return;
    FFirst = false;
    FChannelPath = prefix + ".socket";
    return;
  }
  FClaim = claim.Release();

  FChannelPath = prefix + ".socket";
  sockaddr_un address{};
  if (!ToAddress(FChannelPath, address)) return;
  // Left by an instance that crashed; only the holder of the claim replaces it.
  ::unlink(FChannelPath.c_str());
  Descriptor listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listening.IsValid()) return;
  if (::bind(listening.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
  if (::listen(listening.Get(), SOMAXCONN) != 0) {
    ::unlink(FChannelPath.c_str());
    return;
  }
  FChannel = listening.Release();
}

SingleInstance::~SingleInstance() {
  // The socket goes while the claim is still held, so a new first instance's socket is never removed.
  if (FChannel != kNone) {
    ::close(static_cast<int>(FChannel));
    ::unlink(FChannelPath.c_str());
  }
  if (FClaim != kNone) ::close(static_cast<int>(FClaim));
}

bool SingleInstance::AskFirstToShow() const {
  sockaddr_un address{};
  if (FFirst || !ToAddress(FChannelPath, address)) return false;
  const auto deadline = std::chrono::steady_clock::now() + kAskFor;
  for (;;) {
    Descriptor asking(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!asking.IsValid()) return false;
    if (::connect(asking.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      return true;
    const bool notYetListening = errno == ENOENT || errno == ECONNREFUSED || errno == EINTR;
    if (!notYetListening || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kAskAgainAfter);
  }
}

ShowRequestListener SingleInstance::ListenForShowRequests(MainThreadDispatcher& ADispatcher,
                                                          std::function<void()> AShow) {
  if (!FFirst || FChannel == kNone) return {};
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  return ShowRequestListener(std::make_unique<ShowRequestListener::Worker>(
      static_cast<int>(FChannel), Descriptor(ends[0]), Descriptor(ends[1]), ADispatcher, std::move(AShow)));
}

}  // namespace zvq::platform
