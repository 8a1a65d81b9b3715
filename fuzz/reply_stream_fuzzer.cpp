// The byte stream from the gauge through the pure protocol code: the reply
// framer cuts bytes arriving in passes of any size into frames, the reply
// check judges them, and the inventory and calibration decoders take the
// frames that pass. No threads, no port (port_stream_fuzzer drives the same
// input through the real port and a driver object).
//
// Input: byte 0 flags, byte 1 tank, then passes: a length byte (low 7 bits:
// pass size; high bit: take the frame completed so far and restart the framer
// after this pass, as a new request does) followed by that many stream bytes.
//   flags bit 0: give completed frames a correct checksum, SOH and ETX and the
//                echo of an inventory request for the tank byte, so that they
//                pass the check and reach the decoders
//   flags bits 1-3: the decoders (inventory, table read, table written back)
//   flags bit 4: a request for every tank (tank 00): frames up to 4 KiB, the
//                every-tank decoder
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/calibration.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/inventory.h"
#include "protocol/reply_framer.h"

namespace {

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "reply_stream_fuzzer: %s\n", what);
  abort();
}

// The framer's shape of a complete frame: the terminator right after four
// characters that follow "&&" (the shortest is 13 bytes: an echo ending in '&'
// pairs with the first data byte), or the console's unknown-command reply.
void CheckShape(const uint8_t* f, size_t n, size_t limit) {
  if (vr::IsUnknownCommandReply(f, n)) return;
  if (n < 13 || n > limit) Finding("frame length out of range");
  if (f[n - 7] != '&' || f[n - 6] != '&') Finding("frame without && before its checksum");
}

// A frame as it was taken from the framer.
struct Frame {
  std::array<uint8_t, vr::kAllTanksFrameSize> bytes{};
  size_t length = 0;
};

// Echo of the request the frame answers, for the repair and the echo check.
std::array<uint8_t, vr::kCommandLength> Echo(uint8_t tank, bool allTanks) {
  const std::string text =
      std::string(vr::kDensityReport) + vr::TankDigits(allTanks ? 0 : tank % 20);
  std::array<uint8_t, vr::kCommandLength> echo{};
  std::memcpy(echo.data(), text.data(), echo.size());
  return echo;
}

void Repair(Frame& f, const std::array<uint8_t, vr::kCommandLength>& echo) {
  if (f.length < 14) return;
  f.bytes[0] = vr::kSoh;
  std::memcpy(f.bytes.data() + 1, echo.data(), echo.size());
  f.bytes[f.length - 1] = vr::kEtx;
  const std::array<char, 4> cs = vr::ReplyChecksum(f.bytes.data(), f.length);
  std::memcpy(f.bytes.data() + f.length - 5, cs.data(), 4);
}

// The decoders the driver would apply, chosen by the operation: the
// inventory (0..4), a table read (5, 6), a table written back (7), or every
// tank (-1).
void Decode(const Frame& f, const std::array<uint8_t, vr::kCommandLength>& echo, int operation) {
  const uint8_t* reply = f.bytes.data();
  const vr::ReplyVerdict verdict = vr::VerifyReply(reply, f.length, echo.data());
  if (verdict.valid && verdict.status != 0) Finding("a valid reply with a status");
  if (!vr::VerifyReply(reply, f.length).valid) {
    if (verdict.valid) Finding("a reply failing the plain check passed the echo check");
    return;
  }
  if (operation < 0) {
    if (auto all = vr::DecodeAllTanksReply(reply, f.length)) {
      int present = 0;
      for (int n = 1; n <= vr::kTankCount; ++n) {
        const int tank = all->tanks[n - 1].tank;
        if (tank != 0 && tank != n) Finding("a tank stored under another number");
        present += tank != 0;
      }
      if (present != all->count) Finding("tank count wrong");
    }
    return;
  }
  const uint8_t length = static_cast<uint8_t>(f.length);
  if (operation <= 4) {
    if (auto r = vr::DecodeInventoryReply(reply, length)) {
      if (r->tank < 1 || r->tank > vr::kTankCount) Finding("tank outside the cache");
      const bool hasDensity = (r->stamps & vr::StampBit(vr::kStampDensity)) != 0;
      // The older density report always carries it; a report read by its
      // field count only when it answers "i214".
      const bool densityReport = std::memcmp(reply + 1, vr::kDensityReport.data(), 4) == 0;
      if (length == vr::kDensityReportLength && !hasDensity) Finding("density missing");
      if (hasDensity && length != vr::kDensityReportLength && !densityReport)
        Finding("density outside a density report");
    }
    return;
  }
  // Any checked frame may reach the table decoders (a gauge that answers a
  // table request with another report); no value may trap (NaN, infinities).
  (void)vr::DecodeTankHeight(reply);
  uint8_t points[vr::kCalibrationPoints * vr::kExtendedSize];
  vr::DecodeCalibrationPoints(reply, points);
  if (operation < 7) return;
  // What is read can be written back: single-precision values survive the
  // round trip through the 80-bit format bit for bit (NaNs stay NaNs).
  vr::FrameBuffer written{};
  vr::EncodeCalibrationPoints(points,
                              reinterpret_cast<char*>(written.data()) + vr::kCalibrationDataOffset);
  uint8_t again[sizeof points];
  vr::DecodeCalibrationPoints(written.data(), again);
  for (int k = 0; k < vr::kCalibrationPoints; ++k) {
    const double a = vr::ExtendedToDouble(points + 10 * k);
    const double b = vr::ExtendedToDouble(again + 10 * k);
    if (!(a == b || (std::isnan(a) && std::isnan(b)))) Finding("table round trip changed a value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const bool allTanks = (flags & 0x10) != 0;
  const auto echo = Echo(data[1], allTanks);
  const size_t limit = allTanks ? vr::kAllTanksFrameSize : vr::kFrameBufferSize;
  // The last frame completed before each restart is taken, as a request
  // takes its reply; beyond 64 frames they are framed but not decoded.
  static Frame frames[64];
  size_t frameCount = 0;
  bool taken = false;  // frames[frameCount] holds a frame completed since the last restart
  static vr::ReplyFramer framer;  // 4 KiB: kept, restarted for each input
  framer.Restart();
  framer.SetLimit(limit);

  size_t pos = 2;
  while (pos < size) {
    const uint8_t head = data[pos++];
    const size_t n = std::min<size_t>(head & 0x7F, size - pos);
    for (size_t i = 0; i < n; ++i) {
      const vr::FrameEvent ev = framer.Feed(data[pos + i]);
      if (ev == vr::FrameEvent::kComplete) {
        CheckShape(framer.Frame(), framer.FrameLength(), limit);
        if (!framer.Idle() || framer.State() != vr::kAwaitingFrame)
          Finding("a complete frame left the framer busy");
        if (frameCount < std::size(frames)) {
          Frame& f = frames[frameCount];
          f.length = framer.FrameLength();
          std::memcpy(f.bytes.data(), framer.Frame(), f.length);
          taken = true;
        }
      } else {
        if (framer.Idle()) Finding("idle after a byte that completed nothing");
        if (ev == vr::FrameEvent::kOverflow && framer.FrameLength() != 0)
          Finding("an overflow kept bytes");
      }
    }
    pos += n;
    if (head & 0x80) {
      if (taken) ++frameCount;
      taken = false;
      framer.Restart();
      framer.SetLimit(limit);
    }
  }
  if (taken) ++frameCount;

  const int operation = allTanks ? -1 : (flags >> 1) & 7;
  for (size_t k = 0; k < frameCount; ++k) {
    if (flags & 1) Repair(frames[k], echo);
    Decode(frames[k], echo, operation);
  }
  return 0;
}
