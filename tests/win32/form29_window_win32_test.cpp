// The Windows window as the keyboard and accessibility clients meet it: the focus in the code field, Enter to
// submit, the controls' order and texts the system's accessibility proxies name them from (Wine has no such
// proxies to ask), and the events a new stage raises.
// Needs a display (Wine draws on X): without one, the window cannot be made and the cases are skipped.

#include "window/form29_window_win32.h"

#include <windows.h>
// After windows.h, which they build on.
#include <commctrl.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/message_dispatcher_win32.h"
#include "tests/win32/win32_test_support.h"
#include "tests/window/form_test_support.h"

namespace zvq::testing {
namespace {

constexpr wchar_t kLabelText[] = L"Enter the code given to you by the Velloran Technician";

using test::PumpMessagesUntil;

std::wstring TextOf(HWND AWindow) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(AWindow)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(AWindow, text.data(), static_cast<int>(text.size()))));
  return text;
}

struct WinEvent {
  DWORD Event;
  HWND Window;
  LONG Object;
  LONG Child;
};
// An out-of-context hook is called on this thread, from its message loop; the hook procedure has no context
// argument, so what it sees goes here.
std::vector<WinEvent> GWinEvents;

void CALLBACK RecordWinEvent(HWINEVENTHOOK /*AHook*/, DWORD AEvent, HWND AWindow, LONG AObject, LONG AChild,
                             DWORD /*AThread*/, DWORD /*ATime*/) {
  GWinEvents.push_back({AEvent, AWindow, AObject, AChild});
}

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    try {
      Form.emplace(Dispatcher, [this](std::u16string ACode, platform::MainThreadDispatcher& ADispatcher) {
        Codes.push_back(ACode);
        return std::make_unique<ScriptedWorker>(std::move(ACode), ADispatcher, Script);
      });
    } catch (const std::exception& error) {
      GTEST_SKIP() << "no window without a display: " << error.what();
    }
    Window = FindWindowW(L"ZvqSupportLauncherForm29", nullptr);
    ASSERT_NE(Window, nullptr);
    Label = FindWindowExW(Window, nullptr, L"Static", nullptr);
    Edit = FindWindowExW(Window, nullptr, L"Edit", nullptr);
    Submit = FindWindowExW(Window, nullptr, L"Button", nullptr);
    StatusBar = FindWindowExW(Window, nullptr, STATUSCLASSNAMEW, nullptr);
    ASSERT_TRUE(Label && Edit && Submit && StatusBar);
    Hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_LIVEREGIONCHANGED, nullptr, RecordWinEvent,
                           GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    GWinEvents.clear();
  }
  void TearDown() override {
    if (Hook != nullptr) UnhookWinEvent(Hook);
    Script->Start->Open();
    if (Script->Hold) Script->Hold->Open();
    Dispatcher.WaitForWorkers();
    Form.reset();
  }

  void Type(std::wstring_view AKeys) {
    for (const wchar_t key : AKeys) SendMessageW(Edit, WM_CHAR, key, 0);
  }
  std::wstring StatusText() const {
    wchar_t text[64] = {};
    SendMessageW(StatusBar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return text;
  }
  int EventsFor(DWORD AEvent, HWND AWindow) const {
    int count = 0;
    for (const WinEvent& event : GWinEvents) count += event.Event == AEvent && event.Window == AWindow;
    return count;
  }

  platform::WindowMessageDispatcher Dispatcher{[](const std::exception_ptr&) {}};
  std::shared_ptr<WorkerScript> Script = std::make_shared<WorkerScript>();
  std::vector<std::u16string> Codes;
  std::optional<Win32Form29Window> Form;
  HWND Window = nullptr;
  HWND Label = nullptr;
  HWND Edit = nullptr;
  HWND Submit = nullptr;
  HWND StatusBar = nullptr;
  HWINEVENTHOOK Hook = nullptr;
};

TEST_F(Win32WindowTest, EveryControlHasTheNameAScreenReaderWillSay) {
  // The system names an edit after the static text just before it in the z order.
  EXPECT_EQ(GetWindow(Edit, GW_HWNDPREV), Label);
  EXPECT_EQ(TextOf(Label), kLabelText);
  EXPECT_EQ(TextOf(Submit), L"Submit");
  EXPECT_TRUE(GetWindowLongW(Edit, GWL_STYLE) & WS_TABSTOP);
  EXPECT_FALSE(GetWindowLongW(Submit, GWL_STYLE) & WS_TABSTOP) << "Submit never takes the focus";
}

TEST_F(Win32WindowTest, TheKeyboardAloneTypesAndSubmitsTheCode) {
  Form->Show(SW_SHOWNORMAL);
  EXPECT_EQ(GetFocus(), Edit) << "the field has the focus from the start";
  Type(L"12345678\r");
  EXPECT_TRUE(Codes.empty()) << "Enter does nothing before the ninth digit";
  Type(L"9");
  EXPECT_EQ(TextOf(Edit), L"123 456 789");
  Type(L"\r");
  ASSERT_EQ(Codes.size(), 1u);
  EXPECT_EQ(Codes[0], u"123 456 789");
}

TEST_F(Win32WindowTest, EachNewStageIsAnnouncedByTheStatusPane) {
  Form->Show(SW_SHOWNORMAL);
  Script->Stages = {TSupportThreadState::tsValidatingCode};
  Script->Hold = std::make_shared<Gate>();
  Type(L"123456789\r");
  Script->Start->Open();
  ASSERT_TRUE(PumpMessagesUntil([this] { return StatusText() == L"Validating Code"; }));
  ASSERT_TRUE(PumpMessagesUntil([this] { return EventsFor(EVENT_OBJECT_LIVEREGIONCHANGED, StatusBar) == 1; }));
  EXPECT_EQ(EventsFor(EVENT_OBJECT_NAMECHANGE, StatusBar), 1);

  GWinEvents.clear();
  Script->Hold->Open();
  ASSERT_TRUE(PumpMessagesUntil([this] { return StatusText().empty() && Dispatcher.LiveWorkers() == 0; }));
  ASSERT_TRUE(PumpMessagesUntil([this] { return EventsFor(EVENT_OBJECT_NAMECHANGE, StatusBar) == 1; }));
  EXPECT_EQ(EventsFor(EVENT_OBJECT_LIVEREGIONCHANGED, StatusBar), 0) << "an emptied pane has nothing to say";
}

}  // namespace
}  // namespace zvq::testing
