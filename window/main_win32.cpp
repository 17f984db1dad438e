#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include "launch/staging.h"
#include "platform/message_dispatcher_win32.h"
#include "window/form29_window_win32.h"

int WINAPI WinMain(HINSTANCE /*AInstance*/, HINSTANCE /*APrevious*/, LPSTR /*ACommandLine*/, int AShowCommand) {
  zvq::PrepareStagingFolder();
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  try {
    zvq::platform::WindowMessageDispatcher Dispatcher(zvq::ShowDefaultErrorReport);
    int ExitCode = 0;
    {
      zvq::Win32Form29Window Form29(Dispatcher);
      Form29.Show(AShowCommand);
      ExitCode = zvq::RunMessageLoop();
    }
    // A worker whose window has closed still runs to its end (and cleans up) before the process does.
    Dispatcher.WaitForWorkers();
    return ExitCode;
  } catch (...) {
    zvq::ShowDefaultErrorReport(std::current_exception());
    return 1;
  }
}
