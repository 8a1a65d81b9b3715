// A tank's refresh: the density report first, the plain report when the
// gauge does not answer that, and the decoded reading into the cache.
#include <string>

#include "common/clock.h"
#include "driver/silo.h"

namespace vr {

bool TSilo::RefreshTank(uint8_t n) {
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
