// zvq-demo-applet for Windows: stands in for the remote-support applet the launcher downloads, starts and
// waits for. A "Remote support session" window with an "End session" button; closing it ends the session.
// The launcher gives it no arguments and no environment of its own, so unattended runs steer it through the
// inherited environment: ZVQ_DEMO_APPLET_SECONDS ends the session by itself after that many seconds, and
// ZVQ_DEMO_APPLET_REPORT names a file that gets one line each for how it was started and how it ended.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kWindowClass[] = L"ZvqDemoAppletWindow";
constexpr UINT_PTR kSessionTimer = 1;
constexpr int kEndSessionId = 100;
constexpr int kBaseDpi = 96;

std::wstring Environment(const wchar_t* AName) {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(AName, buffer, 32768);
  if (length == 0 || length >= 32768) return {};
  return std::wstring(buffer, length);
}

std::string Utf8(const std::wstring& AText) {
  if (AText.empty()) return {};
  const int length = static_cast<int>(AText.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, AText.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, AText.data(), length, text.data(), needed, nullptr, nullptr);
  return text;
}

// To the inherited standard output when there is one (a console, or Wine's), and appended to the report file.
void Announce(const std::string& AWhat) {
  wchar_t directory[MAX_PATH * 4] = {};
  GetCurrentDirectoryW(MAX_PATH * 4, directory);
  const std::string line = "zvq-demo-applet: " + AWhat + " (process " + std::to_string(GetCurrentProcessId()) +
                           ", working directory " + Utf8(directory) + ", command line " +
                           Utf8(GetCommandLineW()) + ")\n";
  DWORD written = 0;
  if (HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE); out != nullptr && out != INVALID_HANDLE_VALUE) {
    WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  const std::wstring report = Environment(L"ZVQ_DEMO_APPLET_REPORT");
  if (report.empty()) return;
  HANDLE file = CreateFileW(report.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

// Whole seconds, or nothing for a text that is not one (the session then lasts until the user ends it).
bool SessionSeconds(UINT& ASeconds) {
  const std::wstring text = Environment(L"ZVQ_DEMO_APPLET_SECONDS");
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  const unsigned long seconds = std::wcstoul(text.c_str(), &end, 10);
  if (*end != L'\0' || text[0] == L'-' || seconds > 24UL * 3600) return false;
  ASeconds = static_cast<UINT>(seconds);
  return true;
}

struct Window {
  HFONT Heading = nullptr;
  HFONT Body = nullptr;
};

HFONT MakeFont(int APixelHeight, int AWeight, UINT ADpi) {
  return CreateFontW(-MulDiv(APixelHeight, static_cast<int>(ADpi), kBaseDpi), 0, 0, 0, AWeight, FALSE, FALSE,
                     FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

LRESULT CALLBACK WindowProcedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
  switch (AMessage) {
    case WM_COMMAND:
      if (LOWORD(AWParam) == kEndSessionId && HIWORD(AWParam) == BN_CLICKED) DestroyWindow(AWindow);
      return 0;
    case WM_TIMER:
      if (AWParam == kSessionTimer) DestroyWindow(AWindow);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
  }
}

HWND Child(HWND AParent, const wchar_t* AClass, const wchar_t* AText, DWORD AStyle, RECT ABox, int AId,
           HFONT AFont) {
  HWND child = CreateWindowExW(0, AClass, AText, WS_CHILD | WS_VISIBLE | AStyle, ABox.left, ABox.top,
                               ABox.right - ABox.left, ABox.bottom - ABox.top, AParent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(AId)), GetModuleHandleW(nullptr),
                               nullptr);
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(AFont), FALSE);
  return child;
}

}  // namespace

int WINAPI WinMain(HINSTANCE AInstance, HINSTANCE /*APrevious*/, LPSTR /*ACommandLine*/, int AShowCommand) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = AInstance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassExW(&windowClass) == 0) return 1;

  HDC screen = GetDC(nullptr);
  const UINT dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
  ReleaseDC(nullptr, screen);
  const auto scaled = [dpi](int AValue) { return MulDiv(AValue, static_cast<int>(dpi), kBaseDpi); };

  constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT frame{0, 0, scaled(440), scaled(130)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  HWND window = CreateWindowExW(0, kWindowClass, L"Remote support session", style,
                                (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                (GetSystemMetrics(SM_CYSCREEN) - height) / 6, width, height, nullptr, nullptr,
                                AInstance, nullptr);
  if (window == nullptr) return 1;

  Window fonts{MakeFont(17, FW_BOLD, dpi), MakeFont(13, FW_NORMAL, dpi)};
  Child(window, L"STATIC", L"A remote support session is in progress.", SS_LEFT,
        RECT{scaled(12), scaled(12), scaled(428), scaled(34)}, 0, fonts.Heading);
  Child(window, L"STATIC",
        L"Your technician can see and control this computer until you end the session.", SS_LEFT,
        RECT{scaled(12), scaled(40), scaled(428), scaled(76)}, 0, fonts.Body);
  HWND endSession = Child(window, L"BUTTON", L"End session", BS_DEFPUSHBUTTON | WS_TABSTOP,
                          RECT{scaled(318), scaled(88), scaled(428), scaled(118)}, kEndSessionId, fonts.Body);

  UINT seconds = 0;
  if (SessionSeconds(seconds)) SetTimer(window, kSessionTimer, seconds * 1000, nullptr);
  ShowWindow(window, AShowCommand);
  UpdateWindow(window);
  SetFocus(endSession);
  Announce("support session started");

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  DeleteObject(fonts.Heading);
  DeleteObject(fonts.Body);
  Announce("support session ended");
  return 0;
}
