// The library's Win32 windows driven as a host and a technician use them:
// vrsilo.dll loaded by a host window whose menu bar has "&Настройка", the
// settings item added by slot 15, the dialogs opened through the host's menu
// command and worked by messages. Each step runs when a window becomes active
// or a transfer has finished, so no step waits on a clock. Runs under Wine with a display
// (scripts/test-windows), COM1 leading to the gauge simulator; screenshots go next to the program.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "vrsilo.h"
// after windows.h
#include <commctrl.h>

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

// The tour's steps. Each runs when the next of the library's windows (or a
// file dialog) becomes active, or when a calibration transfer has finished
// in its window: the hooks below post the event to the host window, whose
// procedure runs the step from inside whatever modal loop is running.
std::deque<std::function<void(HWND)>> g_steps;
// Message boxes are answered with OK as soon as they are active; their texts.
std::vector<std::wstring> g_boxes;
HWND g_host = nullptr;
constexpr UINT kStepMessage = WM_APP + 1;
constexpr UINT kTransferDone = WM_APP + 0x58;  // the calibration window's own

BOOL CALLBACK FindText(HWND child, LPARAM found) {
  wchar_t cls[16] = {};
  GetClassNameW(child, cls, 16);
  if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextLengthW(child) > 0) {
    *reinterpret_cast<std::wstring*>(found) = Text(child);
    return FALSE;
  }
  return TRUE;
}

bool IsDialog(HWND w) {
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  return lstrcmpW(cls, L"#32770") == 0;
}
// The settings dialog (control 101), the calibration window (202) or a file
// dialog (1148, its file name); any other dialog is a message box.
bool HasSteps(HWND w) {
  return GetDlgItem(w, 101) || GetDlgItem(w, 202) || GetDlgItem(w, 1148);
}

std::vector<HWND> g_seen;  // windows whose activation was taken

LRESULT CALLBACK OnActivate(int code, WPARAM wp, LPARAM lp) {
  const auto w = reinterpret_cast<HWND>(wp);
  if (code == HCBT_ACTIVATE && IsDialog(w) &&
      std::find(g_seen.begin(), g_seen.end(), w) == g_seen.end()) {
    g_seen.push_back(w);
    if (HasSteps(w)) {
      PostMessageW(g_host, kStepMessage, 0, static_cast<LPARAM>(wp));
    } else {
      std::wstring text;
      EnumChildWindows(w, &FindText, reinterpret_cast<LPARAM>(&text));
      g_boxes.push_back(text);
      PostMessageW(w, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK OnMessage(int code, WPARAM wp, LPARAM lp) {
  const auto* m = reinterpret_cast<const MSG*>(lp);
  if (code == HC_ACTION && wp == PM_REMOVE && m->message == kTransferDone)
    PostMessageW(g_host, kStepMessage, 0, reinterpret_cast<LPARAM>(m->hwnd));
  return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == kStepMessage && !g_steps.empty()) {
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
    // Loaded once for the program, as a host does (Wine 8's loader faults when
    // a DLL with thread-local storage is loaded a second time).
    static HMODULE lib = LoadLibraryA("vrsilo.dll");
    lib_ = lib;
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
    hooks_[0] = SetWindowsHookExW(WH_CBT, &OnActivate, nullptr, GetCurrentThreadId());
    hooks_[1] = SetWindowsHookExW(WH_GETMESSAGE, &OnMessage, nullptr, GetCurrentThreadId());
    host_ = CreateWindowW(L"VrTestHost", L"Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                          nullptr, bar_, wc.hInstance, nullptr);
    ASSERT_NE(host_, nullptr);
    g_host = host_;
  }
  void TearDown() override {
    if (host_) DestroyWindow(host_);
    for (HHOOK h : hooks_)
      if (h) UnhookWindowsHookEx(h);
    g_boxes.clear();
    g_seen.clear();
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
  HHOOK hooks_[2] = {};
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

  // A settings file that cannot be written (a directory in its place: the
  // tests run as root under Wine, where no permission refuses anything): the
  // refusal is reported, the dialog stays, nothing is applied.
  DeleteFileA(SettingsPath().c_str());
  CreateDirectoryA(SettingsPath().c_str(), nullptr);
  bool stayed = false;
  g_steps.push_back([&](HWND dialog) {
    SendDlgItemMessageW(dialog, 106, CB_SETCURSEL, 5, 0);
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    stayed = !IsWindowEnabled(g_host);  // ending a dialog enables its owner
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  Click(item);
  EXPECT_TRUE(RemoveDirectoryA(SettingsPath().c_str())) << "nothing written in its place";
  WriteFile(SettingsPath(), before);
  EXPECT_TRUE(stayed);
  ASSERT_EQ(g_boxes.size(), 1u) << "one error report, no port message";
  EXPECT_EQ(level(), kSimTanks[0].level) << "still on COM1";
  g_boxes.clear();

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

// The text of a grid cell (row 1.. are the list's items).
std::wstring Cell(HWND dialog, int grid, int row, int col) {
  wchar_t buf[64] = {};
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = buf;
  item.cchTextMax = 64;
  SendDlgItemMessageW(dialog, grid, LVM_GETITEMTEXTW, row - 1, reinterpret_cast<LPARAM>(&item));
  return buf;
}
int Rows(HWND dialog, int grid) {
  return static_cast<int>(SendDlgItemMessageW(dialog, grid, LVM_GETITEMCOUNT, 0, 0));
}
void Press(HWND dialog, int id) {
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}
void ChooseGauge(HWND dialog, int index) {
  SendDlgItemMessageW(dialog, 202, CB_SETCURSEL, index, 0);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(202, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, 202)));
}

TEST_F(Win32UiTour, CalibrationWindowReadsInterpolatesWritesAndCloses) {
  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  const std::wstring tar = std::wstring(cwd) + L"\\tour.tar";
  const std::wstring saved = std::wstring(cwd) + L"\\saved.tar";
  DeleteFileW(saved.c_str());
  {
    std::ofstream out(tar.c_str(), std::ios::binary);
    out << "[Silo]\r\nCount=3\r\nItem0=0=0\r\nItem1=125=15000\r\nItem2=250=30000\r\n";
  }
  VrSilo* silo = Create();
  ASSERT_NE(silo, nullptr);
  VRSILO_SLOT(silo, VrAddMenuItemFn, VRSILO_SLOT_ADD_MENU_ITEM)(silo, bar_, 0);
  ASSERT_EQ(GetMenuItemCount(settings_), 2);

  bool locked = false, closed = false;
  int rows = 0, config_rows = 0;
  std::wstring height, level20, interpolated10, read_back10, typed, restored, before;
  g_steps = {
      [&](HWND settings) {  // the settings dialog: "Градуировка", afterwards Cancel
        Press(settings, 107);
        closed = true;
        SendMessageW(settings, WM_COMMAND, IDCANCEL, 0);
      },
      [&](HWND w) {  // the calibration window: only the gauge number and exit open
        locked = !IsWindowEnabled(GetDlgItem(w, 216)) && !IsWindowEnabled(GetDlgItem(w, 212)) &&
                 IsWindowEnabled(GetDlgItem(w, 202)) && IsWindowEnabled(GetDlgItem(w, 220));
        ChooseGauge(w, 0);
      },
      [&](HWND w) {  // read: table file, interpolation, write
        rows = Rows(w, 212);
        wchar_t buf[32] = {};
        GetDlgItemTextW(w, 209, buf, 32);
        height = buf;
        level20 = Cell(w, 212, 20, 1);
        Press(w, 203);  // the file dialog's step follows
        config_rows = Rows(w, 215);
        Press(w, 213);
        interpolated10 = Cell(w, 212, 10, 2);
        CaptureWindow(w, "grad_table_win32.png");
        Press(w, 214);  // the gauge table becomes the comparison table
        Press(w, 204);  // and goes to a file (the save dialog's step follows)
        Press(w, 216);
      },
      [&](HWND file) {
        SetDlgItemTextW(file, 1148, tar.c_str());
        SendMessageW(file, WM_COMMAND, IDOK, 0);
      },
      [&](HWND file) {
        SetDlgItemTextW(file, 1148, saved.c_str());
        SendMessageW(file, WM_COMMAND, IDOK, 0);
      },
      [&](HWND w) { ChooseGauge(w, 0); },  // written: read it back
      [&](HWND w) {
        read_back10 = Cell(w, 212, 10, 2);
        // F2 edits a volume; Esc gives the cell its text back.
        HWND list = GetDlgItem(w, 212);
        SetFocus(list);
        ListView_SetItemState(list, 2, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        before = Cell(w, 212, 3, 2);
        SendMessageW(list, WM_KEYDOWN, VK_F2, 0);
        HWND editor = FindWindowExW(list, nullptr, L"Edit", nullptr);
        SendMessageW(editor, WM_CHAR, L'7', 0);
        typed = Cell(w, 212, 3, 2);
        SendMessageW(editor, WM_KEYDOWN, VK_ESCAPE, 0);
        restored = Cell(w, 212, 3, 2);
        // Closed while a read is under way.
        ChooseGauge(w, 0);
        Press(w, 220);
      },
  };
  Click(GetMenuItemID(settings_, 1));
  EXPECT_TRUE(closed);
  EXPECT_TRUE(locked);
  EXPECT_EQ(rows, 20);
  EXPECT_EQ(height, L"2500");
  EXPECT_TRUE(level20 == L"250.0" || level20 == L"250,0") << level20;
  EXPECT_EQ(config_rows, 3);
  EXPECT_EQ(interpolated10, L"15000");
  std::ifstream in(saved.c_str(), std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(file.find("Count=20"), std::string::npos) << file;
  EXPECT_TRUE(file.find("=125.00=15000.00") != std::string::npos ||
              file.find("=125,00=15000,00") != std::string::npos)
      << file;
  EXPECT_EQ(read_back10, L"15000") << "written to the gauge and read back";
  EXPECT_EQ(typed, L"7");
  EXPECT_EQ(restored, before);
  EXPECT_TRUE(g_steps.empty());
  EXPECT_TRUE(g_boxes.empty()) << "no error on the way";
  vrsilo_destroy(silo);  // waits for the read the closed window left
  EXPECT_EQ(GetMenuItemCount(settings_), 1);
  DeleteFileW(tar.c_str());
  DeleteFileW(saved.c_str());
}

// vr-setup.exe beside the library: its own window, the tanks' readings from a
// thread of its own, a clean exit. (Its menu lives in its own process, out of
// this one's reach under Wine; the item itself is the first tour's.)
TEST_F(Win32UiTour, TechnicianProgramListsTheTanks) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  wchar_t command[] = L"vr-setup.exe 1 2";
  ASSERT_TRUE(
      CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WaitForInputIdle(pi.hProcess, 10000);
  HWND window = FindWindowW(L"VrSetup", nullptr);
  ASSERT_NE(window, nullptr);
  HWND list = FindWindowExW(window, nullptr, L"SysListView32", nullptr);
  // Its reader thread refreshes every second: the first pass is awaited.
  auto cell = [&](int row, int col) {
    // The list belongs to another process: LVM_GETITEMTEXTW gets a buffer
    // in that process.
    HANDLE process = pi.hProcess;
    const SIZE_T size = sizeof(LVITEMW) + 64 * sizeof(wchar_t);
    auto* remote =
        static_cast<uint8_t*>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    LVITEMW item{};
    item.iSubItem = col;
    item.cchTextMax = 64;
    item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
    WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote));
    wchar_t text[64] = {};
    ReadProcessMemory(process, remote + sizeof(LVITEMW), text, sizeof text, nullptr);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return std::wstring(text);
  };
  EXPECT_TRUE(Eventually([&] { return cell(1, 1) == L"800.25"; }, 15000)) << cell(1, 1);
  EXPECT_EQ(cell(0, 1), L"1234.50");
  EXPECT_EQ(cell(0, 9), W("есть"));
  CaptureWindow(window, "vr_setup_win32.png");
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 15000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace
}  // namespace vr::wintest
