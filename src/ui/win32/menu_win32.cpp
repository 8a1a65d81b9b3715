// Slot 15 on Windows: the settings item in the host's "&Настройка" menu, its
// command delivered through a subclass of the window that owns the menu, and
// the registry of open windows per driver object.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "common/application.h"
#include "common/fpu.h"
#include "driver/silo.h"
#include "ui/model/table_transfer.h"
#include "ui/model/tune_params_model.h"
#include "ui/win32/views.h"
#include "ui/win32/win32_ui.h"

namespace vr::ui::win32 {
namespace {

// Command identifiers of the items, from a range hosts rarely use.
constexpr UINT kFirstCommand = 0x7A00, kCommands = 0x100;

struct Item {
  HWND window;
  HMENU submenu;
  UINT command;
};

std::mutex g_mu;
std::map<const TSilo*, Item> g_items;
std::map<HWND, TSilo*> g_open;
UINT g_next_command = kFirstCommand;

bool MenuContains(HMENU root, HMENU target, int depth = 0) {
  if (!root || depth > 8) return false;
  if (root == target) return true;
  const int n = GetMenuItemCount(root);
  for (int i = 0; i < n; ++i)
    if (MenuContains(GetSubMenu(root, i), target, depth + 1)) return true;
  return false;
}

// A window of this thread whose menu holds the menu.
bool OwnsMenu(HWND w, HMENU menu) {
  return w && IsWindow(w) && GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId() &&
         MenuContains(GetMenu(w), menu);
}

struct Search {
  HMENU menu;
  HWND found;
};

BOOL CALLBACK FindMenuWindow(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<Search*>(p);
  if (!OwnsMenu(w, s->menu)) return TRUE;
  s->found = w;
  return FALSE;
}

// The window given to GetSiloEx2 first, else any top-level window of this
// thread, whose menu holds the menu.
HWND MenuWindow(HMENU menu) {
  const auto owner = reinterpret_cast<HWND>(App().OwnerWindow());
  if (OwnsMenu(owner, menu)) return owner;
  Search search{menu, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), &FindMenuWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

LRESULT CALLBACK MenuSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                              UINT_PTR command, DWORD_PTR data) {
  if (message == WM_COMMAND && HIWORD(wParam) == 0 && LOWORD(wParam) == command) {
    ShowTuneParams(window, reinterpret_cast<TSilo*>(data));
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(window, &MenuSubclass, command);
  return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

void AddSettingsMenuItem(TSilo* silo, void* menu) {
  const auto host = static_cast<HMENU>(menu);
  // Only a menu handle is used: anything else (a host's own menu-item object)
  // is not touched.
  if (!silo || !host || !IsMenu(host)) return;
  const std::wstring settings = Wide("&Настройка");
  const int n = GetMenuItemCount(host);
  for (int i = 0; i < n; ++i) {
    wchar_t text[64] = {};
    HMENU submenu = GetSubMenu(host, i);
    if (!submenu || GetMenuStringW(host, static_cast<UINT>(i), text, 64, MF_BYPOSITION) <= 0 ||
        settings != text)
      continue;
    HWND window = MenuWindow(host);
    if (!window) return;  // nothing could deliver the item's command
    UINT command;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      command = g_next_command;
      g_next_command = kFirstCommand + (g_next_command + 1 - kFirstCommand) % kCommands;
    }
    if (!SetWindowSubclass(window, &MenuSubclass, command, reinterpret_cast<DWORD_PTR>(silo)))
      return;
    AppendMenuW(submenu, MF_STRING, command,
                Wide(SettingsItemCaption(silo->GetConnectionType())).c_str());
    std::lock_guard<std::mutex> lock(g_mu);
    g_items[silo] = Item{window, submenu, command};
    return;
  }
}

void RegisterOpenWindow(HWND window, TSilo* silo) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_open[window] = silo;
}

void UnregisterOpenWindow(HWND window) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_open.erase(window);
}

void CloseWindowsOf(TSilo* silo) {
  std::vector<HWND> windows;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    for (const auto& [window, driver] : g_open)
      if (driver == silo) windows.push_back(window);
  }
  for (HWND w : windows) SendMessageW(w, WM_APP_RELEASE, 0, 0);
}

void ReleaseDriver(TSilo* silo) {
  WaitDriverIdle(silo);
  CloseWindowsOf(silo);
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_items.find(silo);
  if (it == g_items.end()) return;
  const Item item = it->second;
  g_items.erase(it);
  RemoveWindowSubclass(item.window, &MenuSubclass, item.command);
  DeleteMenu(item.submenu, item.command, MF_BYCOMMAND);
}

}  // namespace vr::ui::win32
