#include "platform/message_dispatcher_win32.h"

#include <windows.h>

#include <utility>

#include "platform/system_error.h"

namespace zvq::platform {

namespace {

constexpr wchar_t kWindowClass[] = L"ZvqMainThreadDispatcher";
// The window is private to the dispatcher, so an application-range message cannot collide with anyone's.
constexpr UINT kWakeMessage = WM_APP + 1;

HWND AsWindow(void* AWindow) { return static_cast<HWND>(AWindow); }

}  // namespace

// The window procedure's way into the dispatcher's private part.
struct DispatcherWindow {
  static LRESULT CALLBACK Procedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
      SetWindowLongPtrW(AWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (AMessage == kWakeMessage) {
      auto* dispatcher = reinterpret_cast<WindowMessageDispatcher*>(GetWindowLongPtrW(AWindow, GWLP_USERDATA));
      if (dispatcher != nullptr) dispatcher->RunPostedCalls();
      return 0;
    }
    return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
  }

  static void Register() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    // Every dispatcher of the process shares the class; only the first registers it.
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      RaiseOSError(LastErrorCode());
    }
  }
};

WindowMessageDispatcher::WindowMessageDispatcher(CallFailedHandler AOnCallFailed)
    : FOnCallFailed(std::move(AOnCallFailed)) {
  DispatcherWindow::Register();
  FWindow = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                            this);
  if (FWindow == nullptr) RaiseOSError(LastErrorCode());
}

WindowMessageDispatcher::~WindowMessageDispatcher() {
  for (;;) {
    try {
      WaitForWorkers();
      break;
    } catch (...) {
      // A failing call must not leave a worker posting into a window that is about to go.
      if (FOnCallFailed) FOnCallFailed(std::current_exception());
    }
  }
  DestroyWindow(AsWindow(FWindow));
}

void WindowMessageDispatcher::Wake() {
  if (FWakePosted.exchange(true, std::memory_order_acq_rel)) return;
  if (!PostMessageW(AsWindow(FWindow), kWakeMessage, 0, 0)) {
    // A full queue: the next hand-over tries again rather than none ever posting.
    FWakePosted.store(false, std::memory_order_release);
  }
}

void WindowMessageDispatcher::RunPostedCalls() noexcept {
  // Cleared before draining: a call handed over from now on posts a fresh message, and one handed over
  // before is seen by the drain (the exchange pairs with the poster's).
  FWakePosted.exchange(false, std::memory_order_acq_rel);
  try {
    RunPending();
  } catch (...) {
    // RunPending leaves the calls after a failed one pending and has posted a wake for them.
    if (FOnCallFailed) FOnCallFailed(std::current_exception());
  }
}

}  // namespace zvq::platform
