#include "window/form29_window_win32.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <optional>
#include <string>
#include <utility>

#include "errors/errors.h"
#include "platform/system_error.h"
#include "platform/text_win32.h"
#include "window/live_region_win32.h"

namespace zvq {

namespace {

constexpr wchar_t kWindowClass[] = L"ZvqSupportLauncherForm29";
constexpr wchar_t kCaption[] = L"Support Launcher";
constexpr wchar_t kLabelCaption[] = L"Enter the code given to you by the Velloran Technician";
constexpr wchar_t kSubmitCaption[] = L"Submit";
constexpr int kIconResource = 1;

// Layout at 96 DPI, scaled for the window's monitor. The panel's padding and each control's own margin add
// up, as they do between neighbouring controls.
constexpr int kBaseDpi = 96;
constexpr int kClientWidth = 297;
constexpr int kClientHeight = 171;
constexpr int kPanelPadding = 10;
constexpr int kControlMargin = 3;
constexpr int kLabelHeight = 46;
constexpr int kEditHeight = 37;
constexpr int kStatusBarHeight = 19;
// Character heights in pixels (negative LOGFONT heights).
constexpr int kFormFontHeight = 11;
constexpr int kLabelFontHeight = 19;
constexpr int kEditFontHeight = 24;
constexpr int kButtonFontHeight = 19;

constexpr UINT_PTR kLaunchTimer = 1;
constexpr UINT kLaunchTimerInterval = 100;  // milliseconds

// The status bar's one part, as accessibility clients number its children.
constexpr LONG kStatusPaneChild = 1;

enum ControlId : int { kLabelId = 100, kEditCodeId, kSubmitId, kStatusBarId };

struct Box {
  int Left, Top, Width, Height;
};

// The controls' places at 96 DPI.
constexpr int kInnerLeft = kPanelPadding + kControlMargin;
constexpr int kInnerWidth = kClientWidth - 2 * kInnerLeft;
constexpr int kPanelBottom = kClientHeight - kStatusBarHeight;
constexpr Box kLabelBox{kInnerLeft, kPanelPadding + kControlMargin, kInnerWidth, kLabelHeight};
constexpr Box kEditBox{kInnerLeft, kLabelBox.Top + kLabelHeight + 2 * kControlMargin, kInnerWidth, kEditHeight};
constexpr int kButtonTop = kEditBox.Top + kEditHeight + 2 * kControlMargin;
constexpr Box kButtonBox{kInnerLeft, kButtonTop, kInnerWidth, kPanelBottom - kPanelPadding - kControlMargin - kButtonTop};
constexpr Box kStatusBarBox{0, kPanelBottom, kClientWidth, kStatusBarHeight};
static_assert(kButtonBox.Height == 31);

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// A tool window has no taskbar button of its own; as the main window it still gets one.
constexpr DWORD kFormExStyle = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW;

// The DPI calls of Windows 10 1607 and later, looked up so that older systems fall back to the system DPI.
class DpiCalls {
 public:
  DpiCalls() {
    if (HMODULE user = GetModuleHandleW(L"user32.dll"); user != nullptr) {
      FGetDpiForWindow = reinterpret_cast<GetDpiForWindowCall>(
          reinterpret_cast<void (*)()>(GetProcAddress(user, "GetDpiForWindow")));
      FAdjustForDpi = reinterpret_cast<AdjustForDpiCall>(
          reinterpret_cast<void (*)()>(GetProcAddress(user, "AdjustWindowRectExForDpi")));
    }
  }

  UINT WindowDpi(HWND AWindow) const {
    if (FGetDpiForWindow != nullptr) {
      if (const UINT dpi = FGetDpiForWindow(AWindow); dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
  }

  RECT FrameFor(RECT AClient, UINT ADpi) const {
    if (FAdjustForDpi == nullptr || !FAdjustForDpi(&AClient, kFormStyle, FALSE, kFormExStyle, ADpi)) {
      AdjustWindowRectEx(&AClient, kFormStyle, FALSE, kFormExStyle);
    }
    return AClient;
  }

 private:
  using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
  using AdjustForDpiCall = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  GetDpiForWindowCall FGetDpiForWindow = nullptr;
  AdjustForDpiCall FAdjustForDpi = nullptr;
};

struct FontDeleter {
  void operator()(HFONT AFont) const noexcept { DeleteObject(AFont); }
};
using OwnedFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// Rounded down, not to nearest: text grows a little faster than the layout when scaled (hinting), and the
// label's two lines must still fit its height.
OwnedFont MakeTahoma(int APixelHeight, UINT ADpi) {
  const int height = APixelHeight * static_cast<int>(ADpi) / kBaseDpi;
  HFONT font = CreateFontW(-height, 0, 0, 0, FW_NORMAL, FALSE,
                           FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
  if (font == nullptr) platform::RaiseOSError(platform::LastErrorCode());
  return OwnedFont(font);
}

std::wstring Wide(const std::u16string& AText) { return {AText.begin(), AText.end()}; }

// Text for a message box: UTF-8 as the launcher's errors carry it; a text that is not is shown as far as it is.
std::wstring MessageText(const std::string& AText) {
  try {
    return platform::WidenUtf8(AText);
  } catch (const Exception&) {
    return std::wstring(AText.begin(), AText.end());
  }
}

std::string DescribeFailure(const std::exception_ptr& AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const Exception& error) {
    return error.Message();
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "An unknown failure";
  }
}

}  // namespace

class Win32Form29Window::Impl final : private TForm29View {
 public:
  Impl(platform::MainThreadDispatcher& ADispatcher, TForm29::LauncherFactory AFactory) {
    FForm.emplace(static_cast<TForm29View&>(*this), ADispatcher, std::move(AFactory));
    RegisterWindowClass();
    FWindow = CreateWindowExW(kFormExStyle, kWindowClass, kCaption, kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (FWindow == nullptr) platform::RaiseOSError(platform::LastErrorCode());
    try {
      CreateControls();
      FStatusLiveRegion.emplace(FStatusBar);
      ApplyDpi(FDpiCalls.WindowDpi(FWindow));
      FForm->FormCreate();
    } catch (...) {
      // No destructor runs for a constructor that fails: the window would outlive this object.
      DestroyWindow(FWindow);
      throw;
    }
  }

  ~Impl() override {
    // The form goes first: a worker it waits for may still ask this view to show a caption.
    FForm.reset();
    if (FWindow != nullptr) DestroyWindow(FWindow);
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  TForm29& Form() { return *FForm; }

  void Show(int AShowCommand) {
    const RECT frame = FrameForClient();
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(FWindow, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    SetWindowPos(FWindow, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    // Centring may have moved it onto a monitor of another DPI.
    if (const UINT dpi = FDpiCalls.WindowDpi(FWindow); dpi != FDpi) {
      ApplyDpi(dpi);
      const RECT resized = FrameForClient();
      SetWindowPos(FWindow, nullptr, 0, 0, resized.right - resized.left, resized.bottom - resized.top,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
    FShown = true;
    ShowWindow(FWindow, AShowCommand);
    UpdateWindow(FWindow);
    SetFocus(FEditCode);
    FForm->FormShow();
  }

 private:
  // ---- the view TForm29 talks to ----

  std::u16string CodeText() const override {
    const int length = GetWindowTextLengthW(FEditCode);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(FEditCode, text.data(), length + 1)));
    return {text.begin(), text.end()};
  }

  std::size_t CodeCaret() const override {
    DWORD start = 0;
    DWORD end = 0;
    SendMessageW(FEditCode, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    return start;
  }

  void SetCodeText(const std::u16string& AText) override {
    const std::wstring text = Wide(AText);
    FSettingCodeText = true;
    SetWindowTextW(FEditCode, text.c_str());
    FSettingCodeText = false;
  }

  void SetCodeCaret(std::size_t ACaret) override {
    SendMessageW(FEditCode, EM_SETSEL, ACaret, static_cast<LPARAM>(ACaret));
  }

  void SelectAllCode() override { SendMessageW(FEditCode, EM_SETSEL, 0, -1); }

  void SetSubmitEnabled(bool AEnabled) override { EnableWindow(FSubmit, AEnabled ? TRUE : FALSE); }

  void SetStatusCaption(const std::u16string& ACaption) override {
    const std::wstring caption = Wide(ACaption);
    if (caption == FStatusCaption) return;
    FStatusCaption = caption;
    SendMessageW(FStatusBar, SB_SETTEXTW, MAKEWPARAM(0, SBT_NOBORDERS), reinterpret_cast<LPARAM>(caption.c_str()));
    // The focus stays in the code field for the whole run: screen readers learn of the new stage from the
    // pane's name change and, where live regions are known, speak it as one (the pane is marked polite).
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, FStatusBar, OBJID_CLIENT, kStatusPaneChild);
    if (!caption.empty()) NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, FStatusBar, OBJID_CLIENT, CHILDID_SELF);
  }

  void StartLaunchTimer() override {
    if (SetTimer(FWindow, kLaunchTimer, kLaunchTimerInterval, nullptr) == 0) {
      platform::RaiseOSError(platform::LastErrorCode());
    }
  }

  void StopLaunchTimer() override { KillTimer(FWindow, kLaunchTimer); }

  void ShowErrorBox(const std::string& AText) override {
    MessageBoxW(FWindow, MessageText(AText).c_str(), L"Error", MB_ICONERROR | MB_OK);
  }

  void ShowStartFailure(const std::string& AMessage) override {
    MessageBoxW(FWindow, MessageText(AMessage).c_str(), kCaption, MB_ICONERROR | MB_OK);
  }

  void CloseWindow() override { SendMessageW(FWindow, WM_CLOSE, 0, 0); }

  // ---- window making ----

  static void RegisterWindowClass() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    windowClass.hIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON),
                                                        GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      platform::RaiseOSError(platform::LastErrorCode());
    }
  }

  HWND MakeControl(DWORD AExStyle, const wchar_t* AClass, const wchar_t* AText, DWORD AStyle, ControlId AId) {
    HWND control = CreateWindowExW(AExStyle, AClass, AText, WS_CHILD | WS_VISIBLE | AStyle, 0, 0, 0, 0, FWindow,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(AId)), GetModuleHandleW(nullptr),
                                   nullptr);
    if (control == nullptr) platform::RaiseOSError(platform::LastErrorCode());
    return control;
  }

  void CreateControls() {
    // SS_LEFT wraps words; SS_NOPREFIX keeps an ampersand a character. Made just before the code field, so
    // the system names the field after it for screen readers.
    FLabel1 = MakeControl(0, L"STATIC", kLabelCaption, SS_LEFT | SS_NOPREFIX, kLabelId);
    // First and only stop in the tab order; the digits-only style refuses typed non-digits, the formatter
    // deals with pasted ones.
    FEditCode = MakeControl(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_TABSTOP | ES_NUMBER | ES_CENTER | ES_AUTOHSCROLL,
                            kEditCodeId);
    // No tab stop, and it hands the focus straight back (see ButtonProcedure): Submit never takes the focus.
    FSubmit = MakeControl(0, L"BUTTON", kSubmitCaption, BS_PUSHBUTTON | WS_DISABLED, kSubmitId);
    // Placed by Layout, not by itself; one pane, no borders, no size grip on a fixed-size window.
    FStatusBar = MakeControl(0, STATUSCLASSNAMEW, L"", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER,
                             kStatusBarId);
    int parts[] = {-1};
    SendMessageW(FStatusBar, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
    SendMessageW(FStatusBar, SB_SETTEXTW, MAKEWPARAM(0, SBT_NOBORDERS), reinterpret_cast<LPARAM>(L""));
    if (!SetWindowSubclass(FEditCode, EditProcedure, 0, reinterpret_cast<DWORD_PTR>(this)) ||
        !SetWindowSubclass(FSubmit, ButtonProcedure, 0, reinterpret_cast<DWORD_PTR>(this))) {
      platform::RaiseOSError(platform::LastErrorCode());
    }
  }

  int Scaled(int AValue) const { return MulDiv(AValue, static_cast<int>(FDpi), kBaseDpi); }

  RECT FrameForClient() const {
    return FDpiCalls.FrameFor(RECT{0, 0, Scaled(kClientWidth), Scaled(kClientHeight)}, FDpi);
  }

  // Fonts and control places for ADpi.
  void ApplyDpi(UINT ADpi) {
    FDpi = ADpi;
    FFormFont = MakeTahoma(kFormFontHeight, ADpi);
    FLabelFont = MakeTahoma(kLabelFontHeight, ADpi);
    FEditFont = MakeTahoma(kEditFontHeight, ADpi);
    FButtonFont = MakeTahoma(kButtonFontHeight, ADpi);
    SendMessageW(FLabel1, WM_SETFONT, reinterpret_cast<WPARAM>(FLabelFont.get()), FALSE);
    SendMessageW(FEditCode, WM_SETFONT, reinterpret_cast<WPARAM>(FEditFont.get()), FALSE);
    SendMessageW(FSubmit, WM_SETFONT, reinterpret_cast<WPARAM>(FButtonFont.get()), FALSE);
    SendMessageW(FStatusBar, WM_SETFONT, reinterpret_cast<WPARAM>(FFormFont.get()), FALSE);
    Place(FLabel1, kLabelBox);
    Place(FEditCode, kEditBox);
    Place(FSubmit, kButtonBox);
    Place(FStatusBar, kStatusBarBox);
    InvalidateRect(FWindow, nullptr, TRUE);
  }

  // Edges are scaled rather than sizes, so neighbours still meet after rounding.
  void Place(HWND AControl, const Box& ABox) const {
    const int left = Scaled(ABox.Left);
    const int top = Scaled(ABox.Top);
    SetWindowPos(AControl, nullptr, left, top, Scaled(ABox.Left + ABox.Width) - left,
                 Scaled(ABox.Top + ABox.Height) - top, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // ---- messages ----

  // A failure in a handler cannot unwind through the system's code that called it: it gets the
  // application's default report, and the window stays as it was.
  template <class Handler>
  void Guarded(Handler&& AHandler) noexcept {
    try {
      AHandler();
    } catch (...) {
      ShowDefaultErrorReport(std::current_exception());
    }
  }

  LRESULT HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    switch (AMessage) {
      case WM_COMMAND: {
        const auto id = LOWORD(AWParam);
        const auto code = HIWORD(AWParam);
        if (id == kEditCodeId && code == EN_CHANGE && !FSettingCodeText) {
          Guarded([this] { FForm->EditCodeChange(); });
        } else if (id == kSubmitId && code == BN_CLICKED) {
          Guarded([this] { FForm->ActionSubmitExecute(); });
        }
        return 0;
      }
      case WM_TIMER:
        if (AWParam == kLaunchTimer) Guarded([this] { FForm->TimerLaunchTimer(); });
        return 0;
      case WM_SETFOCUS:
        SetFocus(FEditCode);
        return 0;
      case WM_CLOSE: {
        // The caption's close button, Alt+F4 and the system menu's Close all arrive here.
        bool canClose = true;
        Guarded([this, &canClose] { FForm->FormCloseQuery(canClose); });
        if (canClose) DestroyWindow(FWindow);
        return 0;
      }
      case WM_DESTROY:
        KillTimer(FWindow, kLaunchTimer);
        // While the status bar still exists: its annotation is keyed by its handle.
        FStatusLiveRegion.reset();
        // Only a window that was shown ends the message loop; a quit left behind by one that failed to be made
        // would close the box that reports why.
        if (FShown) PostQuitMessage(0);
        return 0;
      case WM_DPICHANGED: {
        Guarded([this, AWParam] { ApplyDpi(HIWORD(AWParam)); });
        const RECT& suggested = *reinterpret_cast<const RECT*>(ALParam);
        SetWindowPos(FWindow, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                     suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
      }
      default:
        return DefWindowProcW(FWindow, AMessage, AWParam, ALParam);
    }
  }

  static LRESULT CALLBACK WindowProcedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
      auto* self = static_cast<Impl*>(reinterpret_cast<const CREATESTRUCTW*>(ALParam)->lpCreateParams);
      self->FWindow = AWindow;
      SetWindowLongPtrW(AWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(AWindow, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
    if (AMessage == WM_NCDESTROY) {
      SetWindowLongPtrW(AWindow, GWLP_USERDATA, 0);
      self->FWindow = nullptr;
      return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
    }
    return self->HandleMessage(AMessage, AWParam, ALParam);
  }

  static LRESULT CALLBACK EditProcedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam,
                                        UINT_PTR /*AId*/, DWORD_PTR AData) {
    auto* self = reinterpret_cast<Impl*>(AData);
    switch (AMessage) {
      case WM_CHAR: {
        auto key = static_cast<char16_t>(AWParam);
        self->Guarded([self, &key] { self->FForm->EditCodeKeyPress(key); });
        if (key == 0) return 0;  // consumed: the edit would only beep at a line break
        return DefSubclassProc(AWindow, AMessage, key, ALParam);
      }
      case WM_LBUTTONDBLCLK: {
        // After the edit's own word selection, so the whole code ends up selected.
        const LRESULT result = DefSubclassProc(AWindow, AMessage, AWParam, ALParam);
        self->Guarded([self] { self->FForm->EditCodeDblClick(); });
        return result;
      }
      case WM_NCDESTROY:
        RemoveWindowSubclass(AWindow, EditProcedure, 0);
        break;
      default:
        break;
    }
    return DefSubclassProc(AWindow, AMessage, AWParam, ALParam);
  }

  static LRESULT CALLBACK ButtonProcedure(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam,
                                          UINT_PTR /*AId*/, DWORD_PTR AData) {
    auto* self = reinterpret_cast<Impl*>(AData);
    switch (AMessage) {
      case WM_SETFOCUS: {
        // A click focuses the button before it captures the mouse; handing the focus back at once keeps the
        // caret in the code field and leaves the click itself working.
        const auto previous = reinterpret_cast<HWND>(AWParam);
        SetFocus(previous != nullptr && IsWindow(previous) ? previous : self->FEditCode);
        return 0;
      }
      case WM_NCDESTROY:
        RemoveWindowSubclass(AWindow, ButtonProcedure, 0);
        break;
      default:
        break;
    }
    return DefSubclassProc(AWindow, AMessage, AWParam, ALParam);
  }

  DpiCalls FDpiCalls;
  HWND FWindow = nullptr;
  HWND FLabel1 = nullptr;
  HWND FEditCode = nullptr;
  HWND FSubmit = nullptr;
  HWND FStatusBar = nullptr;
  UINT FDpi = kBaseDpi;
  OwnedFont FFormFont;
  OwnedFont FLabelFont;
  OwnedFont FEditFont;
  OwnedFont FButtonFont;
  std::wstring FStatusCaption;
  std::optional<PoliteLiveRegion> FStatusLiveRegion;
  bool FSettingCodeText = false;
  bool FShown = false;
  // Last, so it is gone before the window and its controls.
  std::optional<TForm29> FForm;
};

Win32Form29Window::Win32Form29Window(platform::MainThreadDispatcher& ADispatcher, TForm29::LauncherFactory AFactory)
    : FImpl(std::make_unique<Impl>(ADispatcher, std::move(AFactory))) {}

Win32Form29Window::~Win32Form29Window() = default;

void Win32Form29Window::Show(int AShowCommand) { FImpl->Show(AShowCommand); }

TForm29& Win32Form29Window::Form() { return FImpl->Form(); }

int RunMessageLoop() {
  MSG message{};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return got == 0 ? static_cast<int>(message.wParam) : 1;
}

void ShowDefaultErrorReport(const std::exception_ptr& AError) noexcept {
  try {
    MessageBoxW(GetActiveWindow(), MessageText(DescribeFailure(AError)).c_str(), kCaption,
                MB_ICONERROR | MB_OK | MB_TASKMODAL);
  } catch (...) {
    // Out of memory while reporting: nothing is left to report it with.
  }
}

}  // namespace zvq
