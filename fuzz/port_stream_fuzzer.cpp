// The byte stream from the gauge through the real port, end to end (the pure
// framer and decoders alone: reply_stream_fuzzer, a hundred times faster):
// bytes arrive in passes of any size on an in-memory serial device, the port's comm-event thread
// moves them into its receive ring and the direct link's framer cuts them into frames; the
// completed frames then answer a driver object's requests (through a scripted communication block,
// so that every reply is decoded at once), where the reply check, the inventory decoder and the
// calibration decoders take them.
//
// Input: byte 0 flags, byte 1 tank, then passes: a length byte (low 7 bits:
// pass size; high bit: take the frame completed so far and restart the framer
// after this pass) followed by that many stream bytes.
//   flags bit 0: give completed frames a correct checksum, SOH and ETX (and,
//                as block replies, the echo of the request they answer), so
//                that they pass the check and reach the decoders
//   flags bits 1-3: the driver operation (five reads, table read, table write)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/application.h"
#include "driver/silo.h"
#include "fake_comm_block.h"
#include "fake_serial_device.h"
#include "link/urovn.h"
#include "protocol/extended.h"
#include "protocol/frame.h"

namespace {

using vr::FrameBuffer;

// A framer invariant broken, or bytes lost on the way: a finding.
[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "port_stream_fuzzer: %s\n", what);
  abort();
}

// The direct link, counting the bytes its framer has taken.
class CountingLink : public vr::TUrovn {
 public:
  explicit CountingLink(uint16_t port) : TUrovn(port) {}
  ~CountingLink() override { Close(); }

  // Waits until the framer has taken `total` bytes since construction.
  bool WaitConsumed(uint64_t total) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return consumed_ >= total; });
  }

 protected:
  void BytesArrived(int count) override {
    TUrovn::BytesArrived(count);
    {
      std::lock_guard<std::mutex> guard(mu_);
      consumed_ += static_cast<uint64_t>(count);
    }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t consumed_ = 0;
};

// Nothing is shown; the failures are the driver's business.
class QuietApp : public vr::Application {
 public:
  void ShowMessage(const std::string&, const std::string&, uint32_t) override {}
  void ReportError(const std::string&) override {}
};

// The host's communication block answers each transaction with the next of
// the scripted frames; repaired frames answer the request they meet, so that
// they get past the echo check to the decoders.
class ScriptedBlock {
 public:
  ScriptedBlock() {
    block_.SetResponder([this](const std::string& request) {
      if (request.size() < vr::kCommandLength) Finding("bad request frame");
      if (frames_.empty()) return std::vector<uint8_t>{};
      std::vector<uint8_t> f = frames_[next_++ % frames_.size()];
      if (repair_ && f.size() >= 14) {
        std::memcpy(f.data() + 1, request.data(), vr::kCommandLength);
        const std::array<char, 4> cs = vr::ReplyChecksum(f.data(), f.size());
        std::memcpy(f.data() + f.size() - 5, cs.data(), 4);
      }
      return f;
    });
  }
  void* Host() { return block_.Host(); }
  void Script(std::vector<std::vector<uint8_t>> frames, bool repair) {
    frames_ = std::move(frames);
    repair_ = repair;
    next_ = 0;
    block_.requests.clear();
    block_.transact_blocks.clear();
    block_.statuses.clear();
    std::memset(block_.channel_state, 0, sizeof block_.channel_state);
  }

 private:
  vr::test::FakeCommBlock block_;
  std::vector<std::vector<uint8_t>> frames_;
  size_t next_ = 0;
  bool repair_ = false;
};

struct World {
  QuietApp app;
  std::shared_ptr<vr::FakeSerialPort> port = std::make_shared<vr::FakeSerialPort>();
  std::unique_ptr<vr::ScopedSerialDeviceFactory> factory;
  std::unique_ptr<CountingLink> link;
  ScriptedBlock block;
  std::unique_ptr<vr::TSilo> silo;
  uint64_t injected = 0;
};
World* g_world = nullptr;

// The shape the framer must leave a frame in: it stores the terminator right
// after four characters that follow "&&"; the shortest frame is 13 bytes (an
// echo ending in '&' pairs with the first data byte). The console's
// unknown-command reply is the one frame without "&&".
void CheckFrameShape(const uint8_t* reply, size_t length) {
  if (vr::IsUnknownCommandReply(reply, length)) return;
  if (length < 13) Finding("frame shorter than 13 bytes");
  if (reply[length - 7] != '&' || reply[length - 6] != '&')
    Finding("frame without && before its checksum");
}

// Takes the frame completed so far, if any, and restarts the framer.
void TakeFrame(std::vector<std::vector<uint8_t>>& frames) {
  World& w = *g_world;
  if (w.link->IsReplySignalled()) {
    FrameBuffer reply{};
    const vr::ExchangeReply r = w.link->AwaitReply(reply.data(), reply.size());
    if (!r.Ok() || r.length == 0) Finding("signalled wait without a frame");
    CheckFrameShape(reply.data(), r.length);
    frames.emplace_back(reply.begin(), reply.begin() + static_cast<long>(r.length));
  }
  static const uint8_t kNothing = 0;
  if (w.link->SendRequest(&kNothing, 0) != vr::ExchangeOutcome::kOk)
    Finding("the framer could not be restarted");
}

void Repair(std::vector<uint8_t>& f) {
  f.front() = vr::kSoh;
  f.back() = vr::kEtx;
  const std::array<char, 4> cs = vr::ReplyChecksum(f.data(), f.size());
  std::memcpy(f.data() + f.size() - 5, cs.data(), 4);
}

void Drive(vr::TSilo& silo, int operation, uint8_t tank) {
  const uint32_t index = tank % 20;  // some indexes beyond the cache
  switch (operation) {
    case 0:
      silo.GetLevel(index);
      break;
    case 1: {
      double t[4];
      silo.GetTemperatures(index, t);
      break;
    }
    case 2:
      silo.GetWater(index);
      break;
    case 3:
      silo.GetDensity(index);
      break;
    case 4:
      silo.GetVolume(index);
      break;
    case 5:
    case 6: {
      uint8_t points[200];
      std::memset(points, 0x5A, sizeof points);
      int32_t height = -1;
      const int32_t r = silo.ReadCalibrationTable(1 + tank % 31, &height, points);
      if (r == 0 && height <= 0) Finding("a table read with a height of 0 or less succeeded");
      if (r == 0)
        for (int k = 0; k < 20; ++k) (void)vr::ExtendedToDouble(points + 10 * k);
      break;
    }
    default: {
      uint8_t points[200];
      for (int k = 0; k < 20; ++k) vr::DoubleToExtended(100.0 * (k + 1), points + 10 * k);
      silo.WriteCalibrationTable(1 + tank % 31, 2500, points);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No settings file: the defaults, and the library never reads the user's.
  static char dir[] = "/tmp/vr-fuzz-XXXXXX";
  if (!mkdtemp(dir)) Finding("no temporary directory");
  setenv("WINDIR", dir, 1);
  atexit([] { rmdir(dir); });
  g_world = new World;
  World& w = *g_world;
  vr::SetApplication(&w.app);
  w.factory = std::make_unique<vr::ScopedSerialDeviceFactory>(
      [](uint16_t) { return g_world->port->MakeDevice(); });
  w.link = std::make_unique<CountingLink>(1);
  w.link->SetReplyTimeoutMs(0);
  w.silo = std::make_unique<vr::TSilo>(w.block.Host(), 0);
  w.silo->SetUpdatePeriodMs(0);  // every read goes to the gauge
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  World& w = *g_world;
  const uint8_t flags = data[0];
  const uint8_t tank = data[1];
  std::vector<std::vector<uint8_t>> frames;

  static const uint8_t kNothing = 0;
  w.link->SendRequest(&kNothing, 0);  // a fresh framer for every input
  size_t pos = 2;
  while (pos < size) {
    const uint8_t head = data[pos++];
    const size_t n = std::min<size_t>(head & 0x7F, size - pos);
    if (n > 0) {
      w.port->InjectInput(data + pos, n);
      w.injected += n;
      pos += n;
      if (!w.link->WaitConsumed(w.injected)) Finding("received bytes never reached the framer");
    }
    if (head & 0x80) TakeFrame(frames);
  }
  TakeFrame(frames);

  if (flags & 1)
    for (auto& f : frames) Repair(f);
  for (const auto& f : frames) {
    FrameBuffer buffer{};
    std::memcpy(buffer.data(), f.data(), f.size());
    if (vr::VerifyReply(buffer.data(), f.size()).valid)
      w.silo->Tanks().DecodeInventory(buffer.data(), static_cast<uint8_t>(f.size()));
  }
  w.block.Script(std::move(frames), (flags & 1) != 0);
  Drive(*w.silo, (flags >> 1) & 7, tank);
  return 0;
}
