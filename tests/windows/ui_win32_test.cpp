// The library's Win32 windows driven as a host and a technician use them:
// vrsilo.dll loaded by a host window whose menu bar has "&Настройка", the
// settings item added by slot 15, the dialogs opened through the host's menu
// command and worked by messages. A modal window's loop tells its owner when
// it is idle (WM_ENTERIDLE); the tour's next step runs then, so no step waits
// on a clock. Runs under Wine with a display (scripts/test-windows), COM1
// leading to the gauge simulator; screenshots go next to the program.
#include <gtest/gtest.h>
#include <windows.h>

#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "vrsilo.h"
#include "win_test_support.h"
#include "window_capture.h"

namespace vr::wintest {
namespace {

std::wstring W(const char* utf8) {
  wchar_t buf[256];
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, buf, 256);
  return std::wstring(buf, n > 0 ? n - 1 : 0);
}
// A message box's text as the library hands it over: Windows-1251 bytes to an
// ANSI function, read back in the process's code page.
std::wstring AnsiBox(const char* utf8) {
  const std::wstring wide = W(utf8);
  char bytes[256];
  const int n = WideCharToMultiByte(1251, 0, wide.c_str(), -1, bytes, 256, nullptr, nullptr);
  wchar_t back[256];
  const int m = MultiByteToWideChar(CP_ACP, 0, bytes, n, back, 256);
  return std::wstring(back, m > 0 ? m - 1 : 0);
}
std::wstring Text(HWND w) {
  wchar_t buf[256] = {};
  GetWindowTextW(w, buf, 256);
  return buf;
}

// Steps run when a modal window owned by the host goes idle, one per idle.
std::deque<std::function<void(HWND)>> g_steps;
// Message boxes are answered with OK as soon as they are active; their texts.
std::vector<std::wstring> g_boxes;

BOOL CALLBACK FindText(HWND child, LPARAM found) {
  wchar_t cls[16] = {};
  GetClassNameW(child, cls, 16);
  if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextLengthW(child) > 0) {
    *reinterpret_cast<std::wstring*>(found) = Text(child);
    return FALSE;
  }
  return TRUE;
}

LRESULT CALLBACK AnswerBoxes(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_ACTIVATE) {
    const auto w = reinterpret_cast<HWND>(wp);
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    // A dialog of the system's, not one of the library's (those have id 101).
    if (lstrcmpW(cls, L"#32770") == 0 && !GetDlgItem(w, 101) && !GetDlgItem(w, 200)) {
      std::wstring text;
      EnumChildWindows(w, &FindText, reinterpret_cast<LPARAM>(&text));
      g_boxes.push_back(text);
      PostMessageW(w, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_ENTERIDLE && wp == MSGF_DIALOGBOX && !g_steps.empty()) {
    auto step = std::move(g_steps.front());
    g_steps.pop_front();
    step(reinterpret_cast<HWND>(lp));
    return 0;
  }
  return DefWindowProcW(w, m, wp, lp);
}

std::string SettingsPath() {
  char dir[MAX_PATH];
  GetWindowsDirectoryA(dir, MAX_PATH);
  return std::string(dir) + "\\cnf.INI";
}
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class Win32UiTour : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = ReadFile(SettingsPath());
    WriteFile(SettingsPath(), "[VeederRoot]\r\nConnectionType=3\r\nCriticalUpdateTime=0\r\n");
    lib_ = LoadLibraryA("vrsilo.dll");
    ASSERT_NE(lib_, nullptr);
    ex2_ = reinterpret_cast<VrGetSiloEx2Fn>(
        reinterpret_cast<void*>(GetProcAddress(lib_, "GetSiloEx2")));
    WNDCLASSW wc{};
    wc.lpfnWndProc = &HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VrTestHost";
    RegisterClassW(&wc);
    bar_ = CreateMenu();
    AppendMenuW(bar_, MF_STRING, 1, L"&Файл");
    settings_ = CreatePopupMenu();
    AppendMenuW(settings_, MF_STRING, 2, L"Принтер");
    AppendMenuW(bar_, MF_POPUP, reinterpret_cast<UINT_PTR>(settings_), W("&Настройка").c_str());
    hook_ = SetWindowsHookExW(WH_CBT, &AnswerBoxes, nullptr, GetCurrentThreadId());
    host_ = CreateWindowW(L"VrTestHost", L"Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                          nullptr, bar_, wc.hInstance, nullptr);
    ASSERT_NE(host_, nullptr);
  }
  void TearDown() override {
    if (host_) DestroyWindow(host_);
    if (hook_) UnhookWindowsHookEx(hook_);
    g_boxes.clear();
    if (lib_) FreeLibrary(lib_);
    WriteFile(SettingsPath(), saved_settings_);
    g_steps.clear();
  }

  VrSilo* Create() { return ex2_(nullptr, 0, reinterpret_cast<uintptr_t>(host_)); }
  // Clicks the item as the host's menu would.
  void Click(UINT command) { SendMessageW(host_, WM_COMMAND, command, 0); }

  std::string saved_settings_;
  HMODULE lib_ = nullptr;
  VrGetSiloEx2Fn ex2_ = nullptr;
  HMENU bar_ = nullptr, settings_ = nullptr;
  HWND host_ = nullptr;
  HHOOK hook_ = nullptr;
};

TEST_F(Win32UiTour, SettingsDialogFromTheHostsMenu) {
  // Anything that is not a menu handle is left alone; the first call is used.
  struct HostMenuItem {
    void* table;
    int tag;
  } own{nullptr, 0x5A5A};
  VrSilo* first = Create();
  ASSERT_NE(first, nullptr);
  VRSILO_SLOT(first, VrAddMenuItemFn, VRSILO_SLOT_ADD_MENU_ITEM)(first, &own, 0);
  EXPECT_EQ(own.tag, 0x5A5A);
  EXPECT_EQ(GetMenuItemCount(settings_), 1);
  vrsilo_destroy(first);

  VrSilo* silo = Create();
  ASSERT_NE(silo, nullptr);
  auto level = [&] { return VRSILO_SLOT(silo, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(silo, 0); };
  EXPECT_EQ(level(), kSimTanks[0].level);
  VRSILO_SLOT(silo, VrAddMenuItemFn, VRSILO_SLOT_ADD_MENU_ITEM)(silo, bar_, 0);
  ASSERT_EQ(GetMenuItemCount(settings_), 2);
  wchar_t caption[64] = {};
  GetMenuStringW(settings_, 1, caption, 64, MF_BYPOSITION);
  EXPECT_EQ(std::wstring(caption), W("Настройка Veeder-Root (COM №1)"));
  const UINT item = GetMenuItemID(settings_, 1);

  // Cancel writes nothing.
  const std::string before = ReadFile(SettingsPath());
  g_steps.push_back([](HWND dialog) {
    SetDlgItemTextW(dialog, 104, L"77");
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  Click(item);
  EXPECT_EQ(ReadFile(SettingsPath()), before);

  // The dialog shows the running object's values; COM2 and 45 s with OK are
  // written and applied (COM2 does not exist here: the object says so).
  std::wstring shown_caption, shown_seconds, shown_type;
  g_steps.push_back([&](HWND dialog) {
    shown_caption = Text(dialog);
    wchar_t buf[64] = {};
    GetDlgItemTextW(dialog, 104, buf, 64);
    shown_seconds = buf;
    GetDlgItemTextW(dialog, 106, buf, 64);
    shown_type = buf;
    CaptureWindow(dialog, "settings_dialog_win32.png");
    SendDlgItemMessageW(dialog, 106, CB_SETCURSEL, 4, 0);
    SetDlgItemTextW(dialog, 104, L"45");
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
  });
  Click(item);
  EXPECT_EQ(shown_caption, W("Параметры Veeder-Root"));
  EXPECT_EQ(shown_seconds, L"0");
  EXPECT_EQ(shown_type, W("Порт COM1"));
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0], AnsiBox("Невозможно открыть порт COM2 для уровнемера!"))
      << "the object tried to switch to COM2";
  const std::string written = ReadFile(SettingsPath());
  EXPECT_NE(written.find("ConnectionType=4"), std::string::npos) << written;
  EXPECT_NE(written.find("CriticalUpdateTime=45"), std::string::npos) << written;
  EXPECT_TRUE(g_steps.empty());

  // The item goes with its driver.
  vrsilo_destroy(silo);
  EXPECT_EQ(GetMenuItemCount(settings_), 1);
  Click(item);  // nothing answers the old command any more
}

}  // namespace
}  // namespace vr::wintest
