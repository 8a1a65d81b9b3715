// vr-setup.exe: a technician's program for stations whose host cannot show the
// driver's settings item. It loads vrsilo.dll from its own folder, creates a
// driver object with GetSiloEx2 and its own window, hands its "&Настройка"
// menu to slot 15 and lists the tanks' readings, refreshed every second by a
// thread of its own (a silent gauge costs seconds per value, which the window
// must not wait for). Usage: vr-setup.exe [first-tank [last-tank]] (1 4).
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include "vrsilo.h"

namespace {

constexpr UINT WM_APP_TANK = WM_APP + 1;
constexpr UINT kExit = 1;

struct TankValues {
  int tank = 0;
  double level = 0, density = 0, volume = 0;
  std::array<double, 4> temperature{};
  uint32_t water = 0, link = 0;
};

const wchar_t* const kColumns[] = {L"Резервуар", L"Уровень, мм", L"T1",       L"T2",   L"T3", L"T4",
                                   L"Вода, мм",  L"Плотность",   L"Объём, л", L"Связь"};

class TankReader {
 public:
  TankReader(VrSilo* silo, int first, int last, HWND window)
      : silo_(silo), first_(first), last_(last), window_(window), thread_([this] { Run(); }) {}
  // Waits for the slot call in progress, if any, to return.
  ~TankReader() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  bool Stopped() {
    std::lock_guard<std::mutex> lock(mu_);
    return stop_;
  }
  void Run() {
    while (!Stopped()) {
      for (int tank = first_; tank <= last_ && !Stopped(); ++tank) {
        const uint32_t i = static_cast<uint32_t>(tank - 1);
        auto* v = new TankValues;
        v->tank = tank;
        v->level = VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(silo_, i);
        VRSILO_SLOT(silo_, VrGetTemperaturesFn, VRSILO_SLOT_GET_TEMPERATURES)
        (silo_, i, v->temperature.data());
        v->water = VRSILO_SLOT(silo_, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(silo_, i);
        v->density = VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(silo_, i);
        v->volume = VRSILO_SLOT(silo_, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(silo_, i);
        v->link = VRSILO_SLOT(silo_, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(silo_);
        if (!PostMessageW(window_, WM_APP_TANK, 0, reinterpret_cast<LPARAM>(v))) delete v;
      }
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
    }
  }

  VrSilo* silo_;
  int first_, last_;
  HWND window_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

struct App {
  HMODULE library = nullptr;
  VrSilo* silo = nullptr;
  HWND list = nullptr;
  int first = 1, last = 4;
  TankReader* reader = nullptr;
};
App g_app;

void SetCell(int row, int col, const wchar_t* text) {
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = const_cast<wchar_t*>(text);
  SendMessageW(g_app.list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

void ShowTank(const TankValues& v) {
  const int row = v.tank - g_app.first;
  wchar_t buf[64];
  auto number = [&](int col, double value, int decimals) {
    std::swprintf(buf, 64, L"%.*f", decimals, value);
    SetCell(row, col, buf);
  };
  number(1, v.level, 2);
  for (int k = 0; k < 4; ++k) number(2 + k, v.temperature[k], 2);
  std::swprintf(buf, 64, L"%u", v.water);
  SetCell(row, 6, buf);
  number(7, v.density, 4);
  number(8, v.volume, 2);
  if (v.link == 1)
    SetCell(row, 9, L"есть");
  else {
    std::swprintf(buf, 64, L"нет (%u)", v.link);
    SetCell(row, 9, buf);
  }
}

LRESULT CALLBACK MainProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      g_app.list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0,
                                   0, 0, w, nullptr, nullptr, nullptr);
      ListView_SetExtendedListViewStyle(g_app.list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
      const int widths[] = {76, 96, 60, 60, 60, 60, 76, 80, 90, 70};
      int c = 0;
      for (const wchar_t* name : kColumns) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | (c ? LVCF_FMT : 0);
        column.fmt = LVCFMT_RIGHT;
        column.cx = widths[c];
        column.pszText = const_cast<wchar_t*>(name);
        SendMessageW(g_app.list, LVM_INSERTCOLUMNW, c++, reinterpret_cast<LPARAM>(&column));
      }
      for (int tank = g_app.first; tank <= g_app.last; ++tank) {
        const std::wstring n = std::to_wstring(tank);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = tank - g_app.first;
        item.pszText = const_cast<wchar_t*>(n.c_str());
        SendMessageW(g_app.list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
      }
      return 0;
    }
    case WM_SIZE:
      MoveWindow(g_app.list, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_APP_TANK: {
      auto* v = reinterpret_cast<TankValues*>(lParam);
      ShowTank(*v);
      delete v;
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == kExit && HIWORD(wParam) == 0) DestroyWindow(w);
      break;
    case WM_DESTROY:
      delete g_app.reader;  // no slot call in progress past this point
      g_app.reader = nullptr;
      if (g_app.silo) vrsilo_destroy(g_app.silo);
      g_app.silo = nullptr;
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(w, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command, int show) {
  int args = 0;
  LPWSTR* argv = CommandLineToArgvW(command, &args);
  if (argv && args >= 1 && *command) g_app.first = g_app.last = _wtoi(argv[0]);
  if (argv && args >= 2) g_app.last = _wtoi(argv[1]);
  LocalFree(argv);
  if (g_app.first < 1 || g_app.last > 16 || g_app.last < g_app.first) {
    MessageBoxW(nullptr, L"Usage: vr-setup.exe [first-tank [last-tank]], tanks 1..16", L"vr-setup",
                MB_OK | MB_ICONERROR);
    return 2;
  }
  // The driver library beside the program, whatever the search path holds.
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path, n);
  dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"vrsilo.dll";
  g_app.library = LoadLibraryW(dll.c_str());
  auto ex2 = g_app.library ? reinterpret_cast<VrGetSiloEx2Fn>(reinterpret_cast<void*>(
                                 GetProcAddress(g_app.library, "GetSiloEx2")))
                           : nullptr;
  if (!ex2) {
    MessageBoxW(nullptr, (L"Не удалось загрузить " + dll).c_str(), L"vr-setup",
                MB_OK | MB_ICONERROR);
    return 1;
  }
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSW wc{};
  wc.lpfnWndProc = &MainProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"VrSetup";
  RegisterClassW(&wc);
  HMENU bar = CreateMenu(), file = CreatePopupMenu(), settings = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, kExit, L"Выход");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&Файл");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), L"&Настройка");
  HWND window = CreateWindowW(
      L"VrSetup", L"Veeder-Root — vr-setup", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 820,
      110 + 22 * (g_app.last - g_app.first + 1), nullptr, bar, instance, nullptr);
  g_app.silo = ex2(nullptr, 0, reinterpret_cast<uintptr_t>(window));
  if (!g_app.silo) return 1;
  VRSILO_SLOT(g_app.silo, VrAddMenuItemFn, VRSILO_SLOT_ADD_MENU_ITEM)(g_app.silo, bar, 0);
  g_app.reader = new TankReader(g_app.silo, g_app.first, g_app.last, window);
  ShowWindow(window, show);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
