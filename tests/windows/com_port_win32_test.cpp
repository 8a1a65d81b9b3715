// The serial port and the direct link on the Win32 device: opening, exclusive
// use, line settings, the event-mask fallback, thread priorities and stopping,
// and exchanges with the gauge simulator on COM1.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "link/com_port.h"
#include "link/serial_device.h"
#include "link/urovn.h"
#include "protocol/frame.h"
#include "win_test_support.h"

namespace vr::wintest {
namespace {

// A port that shows its device and keeps what its comm-event thread received.
class ProbePort : public TComPort {
 public:
  explicit ProbePort(uint16_t port) : TComPort(port, DeferOpen{}) { Open(); }
  ~ProbePort() override { Close(); }
  using TComPort::Device;

  std::vector<uint8_t> Received() const {
    std::lock_guard<std::mutex> guard(mu_);
    return received_;
  }
  int ArrivalPriority() const { return priority_.load(); }

 protected:
  void BytesArrived(int count) override {
    priority_ = GetThreadPriority(GetCurrentThread());
    std::lock_guard<std::mutex> guard(mu_);
    for (int i = 0; i < count; ++i) received_.push_back(ReadByte());
  }

 private:
  mutable std::mutex mu_;
  std::vector<uint8_t> received_;
  std::atomic<int> priority_{THREAD_PRIORITY_ERROR_RETURN};
};

// Passes everything to the real device and records the masks asked for, the
// outcome of each wait, and the priorities of the calling threads. With
// refuse_ring_te it plays a device that refuses the mask bit 0x2000: the
// device is left with no events selected and the call fails.
class RecordingDevice : public ISerialDevice {
 public:
  RecordingDevice(std::unique_ptr<ISerialDevice> inner, bool refuseRingTe)
      : inner_(std::move(inner)), refuse_ring_te_(refuseRingTe) {}

  struct Log {
    std::mutex mu;
    std::vector<uint32_t> masks;
    std::vector<WaitResult> waits;
    int mask_priority = THREAD_PRIORITY_ERROR_RETURN;
    int write_priority = THREAD_PRIORITY_ERROR_RETURN;
  };
  static Log& TheLog() {
    static Log log;
    return log;
  }

  bool SetupQueues(uint32_t in, uint32_t out) override { return inner_->SetupQueues(in, out); }
  bool GetState(Dcb& dcb) override { return inner_->GetState(dcb); }
  bool SetState(const Dcb& dcb) override { return inner_->SetState(dcb); }
  bool SetTimeouts(const CommTimeouts& t) override { return inner_->SetTimeouts(t); }
  bool SetEventMask(uint32_t mask) override {
    {
      std::lock_guard<std::mutex> guard(TheLog().mu);
      TheLog().masks.push_back(mask);
      if (TheLog().masks.size() == 1) {
        TheLog().mask_priority = GetThreadPriority(GetCurrentThread());
      }
    }
    if (refuse_ring_te_ && (mask & kEvRingTe) != 0) {
      inner_->SetEventMask(0);
      return false;
    }
    return inner_->SetEventMask(mask);
  }
  WaitResult WaitEvent(uint32_t& events) override {
    const WaitResult r = inner_->WaitEvent(events);
    std::lock_guard<std::mutex> guard(TheLog().mu);
    TheLog().waits.push_back(r);
    return r;
  }
  bool ClearError(uint32_t& errors, ComStat& stat) override {
    return inner_->ClearError(errors, stat);
  }
  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override {
    return inner_->Read(buffer, count, got);
  }
  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t limitMs,
                    uint32_t& written) override {
    {
      std::lock_guard<std::mutex> guard(TheLog().mu);
      TheLog().write_priority = GetThreadPriority(GetCurrentThread());
    }
    return inner_->Write(data, count, limitMs, written);
  }
  void InterruptWrites() override { inner_->InterruptWrites(); }
  bool Purge(uint32_t flags) override { return inner_->Purge(flags); }

 private:
  std::unique_ptr<ISerialDevice> inner_;
  const bool refuse_ring_te_;
};

SerialDeviceFactory RecordingFactory(bool refuseRingTe) {
  auto& log = RecordingDevice::TheLog();
  std::lock_guard<std::mutex> guard(log.mu);
  log.masks.clear();
  log.waits.clear();
  log.mask_priority = log.write_priority = THREAD_PRIORITY_ERROR_RETURN;
  return [refuseRingTe](uint16_t port) -> std::unique_ptr<ISerialDevice> {
    auto inner = OpenPlatformSerialDevice(port);
    if (!inner) return nullptr;
    return std::make_unique<RecordingDevice>(std::move(inner), refuseRingTe);
  };
}

const uint8_t kInventoryRequest[] = {kSoh, 'i', '2', '0', '1', '0', '1'};

// Sends the inventory request for tank 1 and waits for the whole reply.
bool ExchangeOnce(ProbePort& port) {
  port.PurgeInput();
  const size_t before = port.Received().size();
  port.PutBlock(kInventoryRequest, sizeof kInventoryRequest);
  std::vector<uint8_t> reply;
  const bool complete = Eventually(
      [&] {
        const auto all = port.Received();
        reply.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        return !reply.empty() && reply.back() == kEtx;
      },
      5000);
  return complete && reply.size() > 7 && std::memcmp(reply.data(), kInventoryRequest, 7) == 0 &&
         VerifyReply(reply.data(), reply.size()).valid;
}

TEST(Win32ComPort, MissingPortRaisesOpenPortFail) {
  const int handles = HandleCount();
  try {
    TComPort port(kMissingPort);
    FAIL() << "COM9 opened";
  } catch (const EOpenPortFail& e) {
    EXPECT_STREQ(e.what(), "Невозможно открыть COM9");
  }
  EXPECT_EQ(HandleCount(), handles) << "a failed open holds nothing";
}

TEST(Win32ComPort, PortIsHeldExclusively) {
  auto first = std::make_unique<TComPort>(kGaugePort);
  ASSERT_TRUE(first->IsOpen());
  try {
    TComPort second(kGaugePort);
    FAIL() << "COM1 opened twice";
  } catch (const EOpenPortFail& e) {
    EXPECT_STREQ(e.what(), "Невозможно открыть COM1");
  }
  first.reset();
  TComPort again(kGaugePort);
  EXPECT_TRUE(again.IsOpen());
}

TEST(Win32ComPort, OpensAt5760AndSwitchesTo9600) {
  ProbePort port(kGaugePort);  // the constructor applies 5760 baud, 8N1, RTS off
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.BaudRate(), 5760u);
  Dcb dcb;
  ASSERT_TRUE(port.Device()->GetState(dcb));
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, kOneStopBit);
  EXPECT_EQ(dcb.Flags & dcb::kRtsControlMask, 0u) << "RTS_CONTROL_DISABLE";
  EXPECT_NO_THROW(port.SetBaudRate(9600));
  ASSERT_TRUE(port.Device()->GetState(dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_TRUE(ExchangeOnce(port));
}

// Wine accepts the full mask, so no fallback happens here.
TEST(Win32ComPort, FullMaskAndThreadPriorities) {
  ScopedSerialDeviceFactory factory(RecordingFactory(false));
  {
    ProbePort port(kGaugePort);
    port.SetBaudRate(9600);
    ASSERT_TRUE(ExchangeOnce(port));
    EXPECT_EQ(port.ArrivalPriority(), THREAD_PRIORITY_TIME_CRITICAL)
        << "BytesArrived runs on the comm-event thread";
  }
  auto& log = RecordingDevice::TheLog();
  std::lock_guard<std::mutex> guard(log.mu);
  EXPECT_EQ(log.mask_priority, THREAD_PRIORITY_TIME_CRITICAL)
      << "the comm-event thread sets the mask";
  EXPECT_EQ(log.write_priority, THREAD_PRIORITY_HIGHEST) << "the transmit thread writes";
  ASSERT_EQ(log.masks.size(), 2u);
  EXPECT_EQ(log.masks[0], 0x21FDu);
  EXPECT_EQ(log.masks[1], 0u) << "mask 0 at stop";
}

TEST(Win32ComPort, RefusedRingTrailingEdgeFallsBackTo01FD) {
  ScopedSerialDeviceFactory factory(RecordingFactory(true));
  {
    ProbePort port(kGaugePort);
    port.SetBaudRate(9600);
    EXPECT_TRUE(ExchangeOnce(port)) << "the port still receives after the fallback";
  }
  auto& log = RecordingDevice::TheLog();
  std::lock_guard<std::mutex> guard(log.mu);
  ASSERT_GE(log.masks.size(), 3u);
  EXPECT_EQ(log.masks[0], 0x21FDu);
  EXPECT_EQ(log.masks[1], 0x01FDu);
  EXPECT_EQ(log.masks.back(), 0u) << "mask 0 at stop";
  ASSERT_FALSE(log.waits.empty());
  EXPECT_EQ(log.waits[0].status, WaitStatus::kRefused);
  EXPECT_EQ(log.waits[0].error, kErrorInvalidParameter);
}

TEST(Win32ComPort, DestructionStopsBothThreadsWithinTheirBound) {
  const int threads = ThreadCount();
  const int handles = HandleCount();
  auto port = std::make_unique<ProbePort>(kGaugePort);
  port->SetBaudRate(9600);
  ASSERT_TRUE(ExchangeOnce(*port));
  EXPECT_GE(ThreadCount(), threads + 2);
  const auto start = Clock::now();
  port.reset();
  // Each thread has 200 ms to acknowledge; a thread that needed its whole bound
  // would show here.
  EXPECT_LT(ElapsedMs(start), 200);
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads; }, 1000))
      << ThreadCount() << " threads, " << threads << " before";
  EXPECT_EQ(HandleCount(), handles);
}

TEST(Win32ComPort, DestructionWhileTheGaugeAnswers) {
  const int threads = ThreadCount();
  for (int i = 0; i < 5; ++i) {
    ProbePort port(kGaugePort);
    port.SetBaudRate(9600);
    port.PutBlock(kInventoryRequest, sizeof kInventoryRequest);
    std::this_thread::sleep_for(std::chrono::milliseconds(i * 3));
  }
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads; }, 1000));
}

TEST(Win32DirectLink, ExchangesWithTheGauge) {
  TUrovn link(kGaugePort);  // 5760 baud first, then 9600
  EXPECT_EQ(link.BaudRate(), 9600u);
  link.SetReplyTimeoutMs(5000);  // the exchange is under test here, not the time limit
  for (const char* command : {"i20101", "i21402", "i60701", "i60602"}) {
    SCOPED_TRACE(command);
    FrameBuffer frame{};
    const uint8_t length = BuildRequest(command, nullptr, 0, frame.data());
    ASSERT_EQ(link.SendRequest(frame.data(), length), ExchangeOutcome::kOk);
    uint8_t reply[255];
    const ExchangeReply r = link.AwaitReply(reply, sizeof reply);
    ASSERT_EQ(r.outcome, ExchangeOutcome::kOk);
    ASSERT_GT(r.length, 7u);
    EXPECT_TRUE(VerifyReply(reply, r.length).valid);
    EXPECT_EQ(0, std::memcmp(reply + 1, command, 6));
  }
}

}  // namespace
}  // namespace vr::wintest
