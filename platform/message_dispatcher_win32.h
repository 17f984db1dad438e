#pragma once

#include <atomic>
#include <exception>
#include <functional>

#include "platform/thread.h"

namespace zvq::platform {

// The main-thread side of the thread facility over the Windows message queue: a hand-over posts one message
// to a message-only window of the main thread, whose window procedure drains the FIFO. Calls therefore run
// wherever the main thread pumps messages, modal loops (a message box) included. Construct it on the thread
// that runs the message loop.
class WindowMessageDispatcher final : public MainThreadDispatcher {
 public:
  // A handed-over call that raises cannot unwind through the window procedure; its exception goes to
  // AOnCallFailed (on the main thread) and the calls behind it still run.
  using CallFailedHandler = std::function<void(const std::exception_ptr& AError)>;

  // Raises EOSError when the system cannot make the window.
  explicit WindowMessageDispatcher(CallFailedHandler AOnCallFailed);
  // Waits for every worker still alive: none may post into a window that is gone.
  ~WindowMessageDispatcher() override;

 protected:
  void Wake() override;

 private:
  friend struct DispatcherWindow;
  void RunPostedCalls() noexcept;

  CallFailedHandler FOnCallFailed;
  void* FWindow = nullptr;  // the message-only window (HWND)
  // Set while a wake message is on its way, so a worker handing over thousands of calls posts one message,
  // not one each (a thread's queue holds only so many).
  std::atomic<bool> FWakePosted{false};
};

}  // namespace zvq::platform
