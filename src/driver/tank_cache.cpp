// A tank's refresh: the density report first, the plain report when the
// gauge does not answer that, and the decoded reading into the cache. On
// request, every tank in one reply first.
#include "driver/tank_cache.h"

#include <algorithm>
#include <optional>
#include <string>

#include "common/clock.h"

namespace vr {

bool TankCache::IsFresh(int tankNumber, int kind) const {
  const double stamp = Stamp(tankNumber, kind);
  if (stamp == 0.0) return false;
  const int64_t age = AgeMs(CurrentClock().Now(), stamp);
  // A reading from an all-tank reply stays fresh for as long as that exchange
  // took, so that one sweep of the host's reads costs one all-tank request
  // even with a refresh period shorter than the exchange.
  const int64_t grace = grace_ms_[tankNumber - 1].load(std::memory_order_relaxed);
  return std::max<int64_t>(UpdatePeriodMs(), grace) > age;
}

bool TankCache::Refresh(uint8_t n) {
  if (refresh_all_ && gauge_.Type().IsPort() && RefreshAllTanks(n)) return true;
  FrameBuffer reply{};
  const std::string digits = TankDigits(n);
  ExchangeReply out = gauge_.Exchange(std::string(kDensityReport) + digits, nullptr, 0,
                                      kDensityReportLength, reply.data());
  if (!out.Ok()) {
    out = gauge_.Exchange(std::string(kInventoryReport) + digits, nullptr, 0,
                          kInventoryReportLength, reply.data());
    if (!out.Ok()) return false;
  }
  return DecodeInventory(reply.data(), static_cast<uint8_t>(out.length)) == n;
}

int TankCache::DecodeInventory(const uint8_t* reply, uint8_t length) {
  const std::optional<InventoryReply> decoded = DecodeInventoryReply(reply, length);
  if (!decoded) return 0;
  Store(*decoded);
  return decoded->tank;
}

bool TankCache::RefreshAllTanks(uint8_t n) {
  std::lock_guard<std::mutex> guard(all_tanks_lock_);
  // Another thread's request may have brought this tank in while this one
  // waited for the lock.
  if (IsFresh(n, kStampLevel)) return true;
  const double started = CurrentClock().Now();
  const std::optional<AllTanksReply> decoded = gauge_.ReadAllTanks();
  if (!decoded) return false;
  const int64_t took = AgeMs(CurrentClock().Now(), started);
  for (const InventoryReply& t : decoded->tanks)
    if (t.tank != 0) Store(t, took);
  // A tank the reply does not carry is asked on its own.
  return decoded->tanks[n - 1].tank == n;
}

void TankCache::Store(const InventoryReply& d, int64_t graceMs) {
  CachedReading& r = tanks_[d.tank - 1];
  r.Level.store(d.reading.Level);
  r.Volume.store(d.reading.Volume);
  for (int k = 0; k < 4; ++k) r.Temperature[k].store(d.reading.Temperature[k]);
  r.Water.store(d.reading.Water);
  if (d.stamps & StampBit(kStampDensity)) r.Density.store(d.reading.Density);
  // The stamps go last, each after its value.
  const double now = CurrentClock().Now();
  grace_ms_[d.tank - 1].store(graceMs, std::memory_order_relaxed);
  auto& stamps = stamps_[d.tank - 1];
  for (int kind = 0; kind < kStampKinds; ++kind)
    if (d.stamps & StampBit(static_cast<StampKind>(kind)))
      stamps[kind].store(now, std::memory_order_release);
}

}  // namespace vr
