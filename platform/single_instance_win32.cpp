#include <windows.h>

#include <cstdint>
#include <thread>
#include <utility>

#include "platform/owner_win32.h"
#include "platform/single_instance.h"
#include "platform/text_win32.h"

namespace zvq::platform {

namespace {

HANDLE ToHandle(long long AValue) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(AValue));
}

long long FromHandle(HANDLE AHandle) noexcept {
  return static_cast<long long>(reinterpret_cast<std::intptr_t>(AHandle));
}

// The session's own namespace: the user's other sessions and other users' sessions do not see these names.
std::wstring SessionName(const std::string& AName, std::wstring_view ASuffix) {
  return L"Local\\" + WidenUtf8(AName) + std::wstring(ASuffix);
}

}  // namespace

struct ShowRequestListener::Worker {
  Worker(HANDLE ARequests, HANDLE AStop, MainThreadDispatcher& ADispatcher, std::function<void()> AShow)
      : FRequests(ARequests),
        FStop(AStop),
        FDispatcher(ADispatcher),
        FShow(std::move(AShow)),
        FThread([this] { Run(); }) {}

  ~Worker() {
    SetEvent(FStop);
    FThread.join();
    CloseHandle(FStop);
  }

  void Run() {
    const HANDLE watched[2] = {FStop, FRequests};
    while (WaitForMultipleObjects(2, watched, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) FDispatcher.Post(FShow);
  }

  const HANDLE FRequests;
  const HANDLE FStop;
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

// The request event exists before the claim, so whoever finds the claim taken also finds the event to set.
// A claim someone else made under our name (another user's process in this session) is not ours to obey.
SingleInstance::SingleInstance(std::string_view AName) : FName(AName) {
  const HANDLE requests = CreateEventW(nullptr, FALSE, FALSE, SessionName(FName, L".show").c_str());
  if (requests == nullptr) return;
  const HANDLE claim = CreateMutexW(nullptr, FALSE, SessionName(FName, L".instance").c_str());
  const DWORD created = GetLastError();
  if (claim == nullptr) {
    CloseHandle(requests);
    return;
  }
  if (created == ERROR_ALREADY_EXISTS) {
    bool owned = false;
    const bool ours = QueryOwnedByUser(claim, SE_KERNEL_OBJECT, owned) == ERROR_SUCCESS && owned;
    CloseHandle(claim);
    if (!ours) {
      CloseHandle(requests);
      return;
    }
    FFirst = false;
    FChannel = FromHandle(requests);
    return;
  }
  FClaim = FromHandle(claim);
  FChannel = FromHandle(requests);
}

SingleInstance::~SingleInstance() {
  if (FChannel != kNone) CloseHandle(ToHandle(FChannel));
  if (FClaim != kNone) CloseHandle(ToHandle(FClaim));
}

// The user just started this instance, so it may hand the foreground on; without that the first instance's
// window could only flash in the taskbar.
bool SingleInstance::AskFirstToShow() const {
  if (FFirst || FChannel == kNone) return false;
  AllowSetForegroundWindow(ASFW_ANY);
  return SetEvent(ToHandle(FChannel));
}

ShowRequestListener SingleInstance::ListenForShowRequests(MainThreadDispatcher& ADispatcher,
                                                          std::function<void()> AShow) {
  if (!FFirst || FChannel == kNone) return {};
  const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stop == nullptr) return {};
  return ShowRequestListener(
      std::make_unique<ShowRequestListener::Worker>(ToHandle(FChannel), stop, ADispatcher, std::move(AShow)));
}

}  // namespace zvq::platform
