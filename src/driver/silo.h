#pragma once
#include <cstdint>

#include "driver/calibration.h"
#include "driver/connection_type.h"
#include "driver/exchanger.h"
#include "driver/tank_cache.h"
#include "vrsilo.h"

namespace vr {

// What a density read gives when the gauge has not told it.
constexpr double kDefaultDensity = 0.77;

// The driver object handed to the host. Its first member is the pointer to the
// host-facing slot table; nothing virtual, so nothing precedes it.
class TSilo {
 public:
  TSilo(void* host, uint8_t connectionType);
  ~TSilo();
  TSilo(const TSilo&) = delete;
  TSilo& operator=(const TSilo&) = delete;

  static TSilo* FromHost(VrSilo* obj) { return reinterpret_cast<TSilo*>(obj); }
  VrSilo* ToHost() { return reinterpret_cast<VrSilo*>(this); }

  // --- slots ---
  static void GetIdentity(char* buffer40);
  void SetLinkState(uint8_t state) { gauge_.SetLinkState(state); }
  uint8_t GetLinkState() const { return gauge_.LinkState(); }
  void OpenCommBlock() { gauge_.OpenCommBlock(); }
  double GetLevel(uint32_t tankIndex);
  void GetTemperatures(uint32_t tankIndex, double* out4);
  uint8_t GetWater(uint32_t tankIndex);
  double GetDensity(uint32_t tankIndex);
  double GetVolume(uint32_t tankIndex);
  void AddMenuItem(void* menu);
  int32_t ReadCalibrationTable(uint32_t tankNumber, int32_t* height, uint8_t* points200) {
    return vr::ReadCalibrationTable(gauge_, tankNumber, height, points200);
  }
  int32_t WriteCalibrationTable(uint32_t tankNumber, int32_t height, const uint8_t* points200) {
    return vr::WriteCalibrationTable(gauge_, tankNumber, height, points200);
  }

  // --- used inside the library ---
  // Switches the link; a port that does not open, or a block that refuses its
  // set-up, is told to the user.
  void ChangeConnectionType(uint8_t type);
  uint8_t GetConnectionType() const { return gauge_.Type().Code(); }
  int32_t GetUpdatePeriodMs() const { return tanks_.UpdatePeriodMs(); }
  void SetUpdatePeriodMs(int32_t ms) { tanks_.SetUpdatePeriodMs(ms); }
  Exchanger& Gauge() { return gauge_; }
  TankCache& Tanks() { return tanks_; }
  bool MenuPending() const { return menu_pending_; }

  // Must stay the first member: the host reads the table through it.
  const VrSlotFn* const table_;

 private:
  Exchanger gauge_;
  TankCache tanks_{gauge_};
  bool menu_pending_ = true;
};

// Optional hook through which a GUI layer adds the settings item to the host's
// menu (slot 15). Without a GUI it stays empty and slot 15 adds nothing.
using MenuHook = void (*)(TSilo* silo, void* menu);
void SetMenuHook(MenuHook hook);
// Called when a driver object goes away so that its menu item goes with it.
using MenuRemoveHook = void (*)(TSilo* silo);
void SetMenuRemoveHook(MenuRemoveHook hook);

// Entry-point logic (the exported functions only forward to these).
TSilo* CreateSiloEx2(void* host, uint32_t reserved, uintptr_t mainWindow);
TSilo* CreateSiloEx3(void* host, int32_t number, uint32_t viaBlock);
// The static slot table shared by every driver object.
const VrSlotFn* SiloSlotTable();

}  // namespace vr
