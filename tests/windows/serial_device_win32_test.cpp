// The Win32 serial device on COM1, which the test script connects to the gauge
// simulator, and on a COM port that does not exist.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "link/serial_device.h"
#include "protocol/frame.h"
#include "win_test_support.h"

namespace vr::wintest {
namespace {

const uint8_t kInventoryRequest[] = {kSoh, 'i', '2', '0', '1', '0', '1'};

class Win32DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = OpenPlatformSerialDevice(kGaugePort);
    ASSERT_NE(device_, nullptr) << "COM1 must lead to the simulator";
    ASSERT_TRUE(device_->SetupQueues(4096, 4096));
    CommTimeouts t;
    t.ReadIntervalTimeout = 0xFFFFFFFFu;
    t.WriteTotalTimeoutConstant = 20000;
    ASSERT_TRUE(device_->SetTimeouts(t));
    Dcb dcb;
    ASSERT_TRUE(device_->GetState(dcb));
    dcb.BaudRate = 9600;
    ASSERT_TRUE(device_->SetState(dcb));
    ASSERT_TRUE(device_->Purge(kPurgeRxAbort | kPurgeRxClear));
  }

  uint32_t InputQueued() {
    uint32_t errors = 0;
    ComStat stat;
    EXPECT_TRUE(device_->ClearError(errors, stat));
    return stat.cbInQue;
  }

  void SendInventoryRequest() {
    uint32_t written = 0;
    ASSERT_EQ(device_->Write(kInventoryRequest, sizeof kInventoryRequest, 60000, written),
              WriteStatus::kComplete);
    EXPECT_EQ(written, sizeof kInventoryRequest);
  }

  // Reads until ETX or 3 s.
  std::vector<uint8_t> ReadReply() {
    std::vector<uint8_t> reply;
    Eventually([&] {
      uint8_t buf[256];
      uint32_t got = 0;
      EXPECT_TRUE(device_->Read(buf, sizeof buf, got));
      reply.insert(reply.end(), buf, buf + got);
      return !reply.empty() && reply.back() == kEtx;
    });
    return reply;
  }

  std::unique_ptr<ISerialDevice> device_;
};

TEST(Win32DeviceOpen, MissingPortDoesNotOpen) {
  EXPECT_EQ(OpenPlatformSerialDevice(kMissingPort), nullptr);
  EXPECT_EQ(OpenPlatformSerialDevice(0), nullptr);
}

TEST(Win32DeviceOpen, HeldPortIsRefusedUntilClosed) {
  auto first = OpenPlatformSerialDevice(kGaugePort);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(OpenPlatformSerialDevice(kGaugePort), nullptr);
  EXPECT_EQ(OpenPlatformSerialDevice(kGaugePort), nullptr) << "a refused open holds nothing";
  first.reset();
  EXPECT_NE(OpenPlatformSerialDevice(kGaugePort), nullptr);
}

TEST_F(Win32DeviceTest, LineSettingsAreAcceptedAndReadBack) {
  Dcb dcb;
  ASSERT_TRUE(device_->GetState(dcb));
  const char xon = dcb.XonChar;
  dcb.BaudRate = 5760;
  EXPECT_TRUE(device_->SetState(dcb)) << "5760 baud";
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = kTwoStopBits;
  EXPECT_TRUE(device_->SetState(dcb));
  // (A pseudo-terminal keeps 8 bits without parity whatever it is told, so
  // only the rate and the stop bits can be read back here.)
  Dcb back;
  ASSERT_TRUE(device_->GetState(back));
  EXPECT_EQ(back.BaudRate, 9600u);
  EXPECT_EQ(back.StopBits, kTwoStopBits);
  EXPECT_EQ(back.XonChar, xon);
  back.ByteSize = 8;
  back.Parity = 0;
  back.StopBits = kOneStopBit;
  EXPECT_TRUE(device_->SetState(back));
  ASSERT_TRUE(device_->GetState(dcb));
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, kOneStopBit);
}

TEST_F(Win32DeviceTest, RtsControlFollowsTheFlags) {
  Dcb dcb;
  ASSERT_TRUE(device_->GetState(dcb));
  dcb.Flags = (dcb.Flags & ~dcb::kRtsControlMask) | (1u << dcb::kRtsControlShift);
  ASSERT_TRUE(device_->SetState(dcb));
  ASSERT_TRUE(device_->GetState(dcb));
  EXPECT_EQ((dcb.Flags & dcb::kRtsControlMask) >> dcb::kRtsControlShift, 1u);
  dcb.Flags &= ~dcb::kRtsControlMask;  // RTS_CONTROL_DISABLE, as the port sets it
  ASSERT_TRUE(device_->SetState(dcb));
  ASSERT_TRUE(device_->GetState(dcb));
  EXPECT_EQ(dcb.Flags & dcb::kRtsControlMask, 0u);
}

TEST_F(Win32DeviceTest, RequestAndReplyThroughEventsAndReads) {
  ASSERT_TRUE(device_->SetEventMask(0x21FD));
  SendInventoryRequest();
  // Wait for EV_RXCHAR; other events (EV_TXEMPTY) may come first.
  uint32_t events = 0;
  for (int i = 0; i < 10 && (events & kEvRxChar) == 0; ++i) {
    const WaitResult r = device_->WaitEvent(events);
    ASSERT_EQ(r.status, WaitStatus::kComplete) << "error " << r.error;
  }
  EXPECT_NE(events & kEvRxChar, 0u);
  EXPECT_TRUE(Eventually([&] { return InputQueued() > 0; }));
  const std::vector<uint8_t> reply = ReadReply();
  ASSERT_GE(reply.size(), 7u);
  EXPECT_EQ(0, std::memcmp(reply.data(), kInventoryRequest, 7)) << "the reply echoes the request";
  EXPECT_TRUE(VerifyReply(reply.data(), reply.size()).valid);
  EXPECT_EQ(InputQueued(), 0u);
}

TEST_F(Win32DeviceTest, MaskChangeEndsAPendingWait) {
  ASSERT_TRUE(device_->SetEventMask(kEvRxChar));
  std::atomic<bool> done{false};
  WaitResult result{WaitStatus::kRefused, 0};
  uint32_t events = 0xDEAD;
  std::thread waiter([&] {
    result = device_->WaitEvent(events);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done) << "nothing arrived: the wait must still be pending";
  const auto start = Clock::now();
  ASSERT_TRUE(device_->SetEventMask(0));
  EXPECT_TRUE(Eventually([&] { return done.load(); }, 1000));
  waiter.join();
  EXPECT_LT(ElapsedMs(start), 200);
  EXPECT_EQ(result.status, WaitStatus::kComplete);
  EXPECT_EQ(events, 0u);
}

TEST_F(Win32DeviceTest, WaitWithoutEventsIsRefused) {
  ASSERT_TRUE(device_->SetEventMask(0));
  uint32_t events = 0x55;
  const WaitResult r = device_->WaitEvent(events);
  EXPECT_EQ(r.status, WaitStatus::kRefused);
  EXPECT_EQ(r.error, kErrorInvalidParameter);
  EXPECT_EQ(events, 0x55u) << "a refused wait leaves the event word alone";
}

TEST_F(Win32DeviceTest, ReadWithNothingReceivedReturnsPromptly) {
  uint8_t buf[64];
  uint32_t got = 123;
  const auto start = Clock::now();
  EXPECT_TRUE(device_->Read(buf, sizeof buf, got));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(ElapsedMs(start), 500);
  // The device is still usable for the next request.
  SendInventoryRequest();
  const std::vector<uint8_t> reply = ReadReply();
  EXPECT_TRUE(VerifyReply(reply.data(), reply.size()).valid);
}

TEST_F(Win32DeviceTest, PurgeDiscardsWhatWasReceived) {
  SendInventoryRequest();
  ASSERT_TRUE(Eventually([&] { return InputQueued() >= 89; }));
  EXPECT_TRUE(device_->Purge(kPurgeRxAbort | kPurgeRxClear));
  EXPECT_EQ(InputQueued(), 0u);
  uint8_t buf[64];
  uint32_t got = 1;
  EXPECT_TRUE(device_->Read(buf, sizeof buf, got));
  EXPECT_EQ(got, 0u);
}

TEST_F(Win32DeviceTest, InterruptedWritesEndAtOnceForGood) {
  device_->InterruptWrites();
  for (int i = 0; i < 2; ++i) {
    uint32_t written = 99;
    const auto start = Clock::now();
    EXPECT_EQ(device_->Write(kInventoryRequest, sizeof kInventoryRequest, 60000, written),
              WriteStatus::kInterrupted);
    EXPECT_EQ(written, 0u);
    EXPECT_LT(ElapsedMs(start), 100);
  }
  EXPECT_FALSE(Eventually([&] { return InputQueued() > 0; }, 300)) << "nothing was sent";
}

}  // namespace
}  // namespace vr::wintest
