#include "driver/silo.h"

#include <atomic>
#include <cstring>
#include <exception>

#include "common/application.h"
#include "common/rounding.h"
#include "config/port_address.h"
#include "config/settings.h"
#include "link/urovn.h"

namespace vr {
namespace {

// "v3.00#Протокол к уровнемеру VEEDER-ROOT" in Windows-1251, after its length byte.
constexpr char kIdentity[41] =
    "\x27"
    "v3.00#"
    "\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB"          // Протокол
    " \xEA "                                    // " к "
    "\xF3\xF0\xEE\xE2\xED\xE5\xEC\xE5\xF0\xF3"  // уровнемеру
    " VEEDER-ROOT";
static_assert(sizeof(kIdentity) == 41, "length byte and 39 characters");

std::atomic<MenuHook> g_menu_hook{nullptr};
std::atomic<MenuRemoveHook> g_menu_remove_hook{nullptr};

}  // namespace

void SetMenuHook(MenuHook hook) {
  g_menu_hook.store(hook);
}
void SetMenuRemoveHook(MenuRemoveHook hook) {
  g_menu_remove_hook.store(hook);
}

TSilo::TSilo(void* host, uint8_t connectionType)
    : table_(SiloSlotTable()), block_channel_(host), connection_type_(connectionType) {
  menu_pending_ = true;
  SetLinkState(VRSILO_LINK_OK);
  // The period is read on every construction, whichever entry point was used.
  SetUpdatePeriodMs(RoundToInt32(static_cast<double>(ReadUpdateSeconds()) * 1000.0));
  refresh_all_ = ReadRefreshAllTanks();
  trace_ = OpenConfiguredTrace();
  if (trace_) link_name_ = CurrentLinkName();
  TraceNote("connection");
  if (IsPortType(connectionType)) {
    std::string failure;
    link_ = OpenLink(connectionType, failure);
    FlushTrace();
    if (!failure.empty()) App().ShowMessage(failure, "Ошибка", MB_OK | MB_ICONERROR);
  }
  FlushTrace();
  // Communication blocks are opened by the host through slot 5.
}

TSilo::~TSilo() {
  if (MenuRemoveHook hook = g_menu_remove_hook.load()) hook(this);
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    link_.reset();
  }
  trace_.reset();  // writes the summary line
}

std::string TSilo::CurrentLinkName() const {
  const uint8_t type = GetConnectionType();
  if (IsBlockType(type)) return "block " + std::to_string(type + 1);
  if (IsPortType(type)) {
    // A network link is named by its address as well.
    const uint16_t port = static_cast<uint16_t>(type - 2);
    std::string name = "COM" + std::to_string(port);
    NetAddress address;
    const std::string value = PortSetting(port);
    if (ParsePortAddress(value, address) == PortForm::kNetwork) name += " " + value;
    return name;
  }
  return "type " + std::to_string(type);
}

void TSilo::TraceNote(const std::string& text) {
  if (trace_) trace_->Note(LinkName(), text);
}

void TSilo::GetIdentity(char* buffer40) {
  std::memcpy(buffer40, kIdentity, 40);
}

bool TSilo::HasLink() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return link_ != nullptr;
}

std::unique_ptr<TUrovn> TSilo::OpenLink(uint8_t type, std::string& failure) {
  const unsigned port = static_cast<unsigned>(type) - 2;
  try {
    return std::make_unique<TUrovn>(static_cast<uint16_t>(port));
  } catch (const std::exception& e) {
    failure = "Невозможно открыть порт COM" + std::to_string(port) + " для уровнемера!";
    TraceNote(std::string("port open failed: ") + e.what());
    return nullptr;
  }
}

void TSilo::ChangeConnectionType(uint8_t type) {
  if (type == GetConnectionType()) return;
  std::string failure;
  {
    // The switch happens under the exchange lock, so no exchange of another
    // thread can be using the link that is being destroyed.
    std::lock_guard<std::recursive_mutex> guard(lock_);
    link_.reset();
    all_tanks_refused_ = false;  // a new link, perhaps to another gauge
    connection_type_.store(type, std::memory_order_relaxed);
    if (trace_) link_name_ = CurrentLinkName();
    TraceNote("connection");
    if (IsPortType(type)) link_ = OpenLink(type, failure);
  }
  FlushTrace();
  if (!failure.empty()) {
    App().ShowMessage(failure, "Ошибка", MB_OK | MB_ICONERROR);
    return;
  }
  if (IsBlockType(type)) {
    try {
      OpenCommBlock();
    } catch (const std::exception&) {
      App().ShowMessage("Невозможно задать конфигурацию БС!", "Ошибка", MB_OK | MB_ICONERROR);
    }
  }
}

void TSilo::AddMenuItem(void* menu) {
  if (menu_pending_) {
    if (MenuHook hook = g_menu_hook.load()) hook(this, menu);
  }
  menu_pending_ = false;
}

TSilo* CreateSiloEx2(void* host, uint32_t, uintptr_t mainWindow) {
  uint8_t type = ReadConnectionType();
  App().SetOwnerWindow(mainWindow);
  return new TSilo(host, type);
}

TSilo* CreateSiloEx3(void* host, int32_t number, uint32_t viaBlock) {
  bool block = (viaBlock & 0xFF) != 0;
  uint8_t type = static_cast<uint8_t>(block ? number - 1 : number + 2);
  return new TSilo(host, type);
}

}  // namespace vr
