#pragma once

#include <memory>

#include "window/form29.h"

namespace zvq {

// The launcher's window drawn with the system's own controls (common controls 6): owns them, passes their
// events to TForm29 and does what it asks. Everything the window decides is TForm29's. Main thread only.
class Win32Form29Window {
 public:
  // Makes the window and its controls, hidden. Raises EOSError when the system cannot.
  explicit Win32Form29Window(platform::MainThreadDispatcher& ADispatcher, TForm29::LauncherFactory AFactory = {});
  ~Win32Form29Window();
  Win32Form29Window(const Win32Form29Window&) = delete;
  Win32Form29Window& operator=(const Win32Form29Window&) = delete;

  // Sizes the window for its monitor's DPI, centres it on that monitor and shows it (AShowCommand as the
  // program was started with).
  void Show(int AShowCommand);

  TForm29& Form();

 private:
  class Impl;
  std::unique_ptr<Impl> FImpl;
};

// The thread's message loop: runs until the window has closed; returns the exit code it posted.
int RunMessageLoop();

// The application's default report of a failure nobody else handled: a box with the program's caption.
void ShowDefaultErrorReport(const std::exception_ptr& AError) noexcept;

}  // namespace zvq
