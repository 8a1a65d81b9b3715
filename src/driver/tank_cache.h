#pragma once
// The last reading of every tank, each value with its own time stamp, and the
// refresh rule over them: a value younger than the refresh period is served
// from here, an older one is asked of the gauge through the exchanger.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "driver/exchanger.h"
#include "protocol/inventory.h"
#include "vrsilo.h"

namespace vr {

// The cached reading of one tank. Host threads read and refresh the cache
// concurrently without the exchange lock, so every field is atomic; a value
// is written before its stamp (release) and read after it (acquire).
struct CachedReading {
  std::atomic<double> Level{0.0};
  std::array<std::atomic<double>, 4> Temperature{};
  std::atomic<double> Volume{0.0};
  std::atomic<uint8_t> Water{0};
  std::atomic<double> Density{0.0};
};

class TankCache {
 public:
  explicit TankCache(Exchanger& gauge) : gauge_(gauge) {}
  TankCache(const TankCache&) = delete;
  TankCache& operator=(const TankCache&) = delete;

  int32_t UpdatePeriodMs() const { return update_period_ms_.load(std::memory_order_relaxed); }
  void SetUpdatePeriodMs(int32_t ms) { update_period_ms_.store(ms, std::memory_order_relaxed); }
  bool RefreshesAllTanks() const { return refresh_all_; }
  void SetRefreshAllTanks(bool on) { refresh_all_ = on; }

  const CachedReading& Reading(int tankNumber) const { return tanks_[tankNumber - 1]; }
  double Stamp(int tankNumber, int kind) const {
    return stamps_[tankNumber - 1][kind].load(std::memory_order_acquire);
  }

  // A fresh cached value is served without any exchange and sets the link
  // state to 1. Otherwise the tank is refreshed; the cached value is returned
  // only when this very refresh brought it in, so a caller never gets a stale
  // value because another thread's exchange happened to leave the link state
  // at 1. tankIndex 0..15; any other gives the fallback.
  template <typename T, typename Get>
  T Read(uint32_t tankIndex, int kind, T fallback, Get get) {
    if (tankIndex >= kTankCount) return fallback;
    const int n = static_cast<int>(tankIndex) + 1;
    if (IsFresh(n, kind)) {
      gauge_.SetLinkState(VRSILO_LINK_OK);
      return get(tanks_[n - 1]);
    }
    if (Refresh(static_cast<uint8_t>(n))) return get(tanks_[n - 1]);
    return fallback;
  }

  // Asks for the density report, then the plain report; true when tank n's
  // reading was refreshed by this call. With RefreshAllTanks on a direct
  // link, one request for every tank comes first.
  bool Refresh(uint8_t n);
  // Decodes an inventory reply into the cache; returns the tank it was stored
  // under, or 0 when the echoed tank number is not 01..16.
  int DecodeInventory(const uint8_t* reply, uint8_t length);

 private:
  bool IsFresh(int tankNumber, int kind) const;
  bool RefreshAllTanks(uint8_t n);
  // graceMs: how long the reading counts as fresh even past the refresh
  // period (the time its all-tank exchange took; 0 for a tank's own reply).
  void Store(const InventoryReply& decoded, int64_t graceMs = 0);

  Exchanger& gauge_;
  std::atomic<int32_t> update_period_ms_{0};
  bool refresh_all_ = false;
  std::mutex all_tanks_lock_;  // one request for every tank at a time
  std::array<CachedReading, kTankCount> tanks_{};
  std::array<std::array<std::atomic<double>, kStampKinds>, kTankCount> stamps_{};
  std::array<std::atomic<int64_t>, kTankCount> grace_ms_{};
};

}  // namespace vr
