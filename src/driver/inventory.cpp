// A tank's refresh: the density report first, the plain report when the
// gauge does not answer that, and the decoded reading into the cache. On
// request, every tank in one reply first.
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "driver/silo.h"
#include "protocol/reply_framer.h"

namespace vr {

bool TSilo::RefreshTank(uint8_t n) {
  if (refresh_all_ && IsPortType(GetConnectionType())) {
    const bool refreshed = RefreshAllTanks(n);
    FlushTrace();
    if (refreshed) return true;
  }
  FrameBuffer reply{};
  const std::string digits = TankDigits(n);
  uint8_t length = kDensityReportLength;
  ExchangeOutcome out =
      Exchange(std::string(kDensityReport) + digits, nullptr, 0, length, reply.data());
  if (!out.replyValid) {
    length = kInventoryReportLength;
    out = Exchange(std::string(kInventoryReport) + digits, nullptr, 0, length, reply.data());
    if (!out.replyValid) return false;
  }
  return DecodeInventory(reply.data(), out.replyLength) == n;
}

int TSilo::DecodeInventory(const uint8_t* reply, uint8_t length) {
  const std::optional<InventoryReply> decoded = DecodeInventoryReply(reply, length);
  if (!decoded) return 0;
  StoreReading(*decoded);
  return decoded->tank;
}

bool TSilo::RefreshAllTanks(uint8_t n) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (all_tanks_refused_ || !link_) return false;
  // Another thread's request may have brought this tank in while this one
  // waited for the lock.
  if (IsFresh(n, kStampLevel)) return true;
  uint8_t reply[kAllTanksFrameSize];
  size_t length = 0;
  std::optional<AllTanksReply> decoded;
  for (std::string_view report : {kDensityReport, kInventoryReport}) {
    if (ExchangeAllTanks(std::string(report) + TankDigits(0), reply, length)) {
      decoded = DecodeAllTanksReply(reply, length);
      if (decoded) break;
    }
  }
  if (!decoded) {
    // Not understood (the unknown-command reply, silence, a bad frame): the
    // tanks are asked one by one from now on, so this costs once per link.
    all_tanks_refused_ = true;
    return false;
  }
  for (const InventoryReply& t : decoded->tanks)
    if (t.tank != 0) StoreReading(t);
  // A tank the reply does not carry is asked on its own.
  return decoded->tanks[n - 1].tank == n;
}

void TSilo::StoreReading(const InventoryReply& d) {
  CachedReading& r = tanks_[d.tank - 1];
  r.Level.store(d.reading.Level);
  r.Volume.store(d.reading.Volume);
  for (int k = 0; k < 4; ++k) r.Temperature[k].store(d.reading.Temperature[k]);
  r.Water.store(d.reading.Water);
  if (d.stamps & StampBit(kStampDensity)) r.Density.store(d.reading.Density);
  // The stamps go last, each after its value.
  const double now = CurrentClock().Now();
  auto& stamps = stamps_[d.tank - 1];
  for (int kind = 0; kind < kStampKinds; ++kind)
    if (d.stamps & StampBit(static_cast<StampKind>(kind)))
      stamps[kind].store(now, std::memory_order_release);
}

}  // namespace vr
