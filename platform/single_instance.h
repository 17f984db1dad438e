#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/thread.h"

namespace zvq::platform {

// Runs a show callback on the main thread for every request a later instance sends, for as long as it lives.
// Destroy it before the dispatcher it posts to.
class ShowRequestListener {
 public:
  ShowRequestListener() noexcept;  // listens to nothing
  ~ShowRequestListener();
  ShowRequestListener(ShowRequestListener&&) noexcept;
  ShowRequestListener& operator=(ShowRequestListener&&) noexcept;

 private:
  friend class SingleInstance;
  struct Worker;
  explicit ShowRequestListener(std::unique_ptr<Worker> AWorker) noexcept;
  std::unique_ptr<Worker> FWorker;
};

// The user's one running instance of a program, claimed under AName for as long as this object lives.
// POSIX: a lock file and a socket in the user's private runtime directory, which no other user can enter;
// Windows: a named mutex and event in the session's namespace. When the claim cannot be made for any reason
// but another instance holding it (no private runtime directory, a name another user took), this instance
// counts as the first and simply cannot be reached: running alone beats not running.
class SingleInstance {
 public:
  explicit SingleInstance(std::string_view AName);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  bool IsFirst() const noexcept { return FFirst; }

  // A later instance: asks the first to bring its window forward (and lets it take the foreground). False
  // when the request could not be delivered.
  bool AskFirstToShow() const;

  // The first instance: from now on AShow runs on ADispatcher's main thread for each request. Requests sent
  // since the claim was made are not lost. The listener must not outlive this object.
  [[nodiscard]] ShowRequestListener ListenForShowRequests(MainThreadDispatcher& ADispatcher,
                                                          std::function<void()> AShow);

 private:
  static constexpr long long kNone = -1;
  std::string FName;
  std::string FChannelPath;    // POSIX: the socket's path
  long long FClaim = kNone;    // POSIX: the locked file; Windows: the mutex
  long long FChannel = kNone;  // POSIX: the listening socket; Windows: the show event
  bool FFirst = true;
};

}  // namespace zvq::platform
