// TComPort on the in-memory fake device: what only a fake can show.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_serial_device.h"
#include "link/com_port.h"
#include "link_test_helpers.h"

namespace vr {
namespace {

using linktest::ElapsedMs;
using linktest::Eventually;
using linktest::Pattern;
using linktest::RecordingPort;

class ComPortFake : public linktest::LinkTest {
 protected:
  std::shared_ptr<FakeSerialPort> fake_ = std::make_shared<FakeSerialPort>();
  std::unique_ptr<ScopedFakeSerialPorts> ports_ = std::make_unique<ScopedFakeSerialPorts>(
      std::map<uint16_t, std::shared_ptr<FakeSerialPort>>{{3, fake_}});
};

template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception: ") + e.what();
  }
  return "no exception";
}

TEST_F(ComPortFake, OpenAppliesDefaultsAndSetsUpTheDevice) {
  RecordingPort port(3);
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.BaudRate(), 5760u);
  const Dcb d = fake_->State();
  EXPECT_EQ(d.BaudRate, 5760u);  // not 57600
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, kOneStopBit);
  // RTS disabled and the reserved bits 16..31 cleared; every other flag kept.
  EXPECT_EQ(d.Flags, dcb::kBinary | (1u << dcb::kDtrControlShift) | dcb::kTxContinueOnXoff);
  EXPECT_EQ(d.XonLim, 2048);
  EXPECT_EQ(fake_->QueueInputSize(), 4096u);
  EXPECT_EQ(fake_->QueueOutputSize(), 4096u);
  const CommTimeouts t = fake_->Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 20000u);
  EXPECT_EQ(fake_->EventMask(), 0x21FDu);
}

TEST_F(ComPortFake, PortZeroStaysClosed) {
  TComPort port(0);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(ports_->OpenAttempts(), 0);
  EXPECT_EQ(MessageOf<EPortNotOpen>([&] { port.ReadByte(); }), "Port COM0 not open");
  EXPECT_EQ(MessageOf<EPortNotOpen>([&] { port.PutBlock(nullptr, 0); }), "Port COM0 not open");
  EXPECT_EQ(MessageOf<EPortNotOpen>([&] { port.PurgeInput(); }), "Port COM0 not open");
  EXPECT_THROW(port.ReadByte(), ESerialIO);
  // The setters only store.
  port.SetBaudRate(19200);
  port.SetDataBits(7);
  port.SetParity(2);
  EXPECT_EQ(port.BaudRate(), 19200u);
  EXPECT_EQ(port.DataBits(), 7);
  EXPECT_EQ(port.Parity(), 2);
  EXPECT_EQ(ports_->OpenAttempts(), 0);
}

TEST_F(ComPortFake, MissingOrBusyPortFailsToOpenAndHoldsNothing) {
  EXPECT_EQ(MessageOf<EOpenPortFail>([] { TComPort p(4); }), "Невозможно открыть COM4");
  {
    TComPort first(3);
    ASSERT_TRUE(first.IsOpen());
    EXPECT_EQ(MessageOf<EOpenPortFail>([] { TComPort p(3); }), "Невозможно открыть COM3");
  }
  EXPECT_EQ(fake_->OpenDevices(), 0);
  TComPort again(3);
  EXPECT_TRUE(again.IsOpen());
}

TEST_F(ComPortFake, RefusedQueueSizes) {
  fake_->RefuseQueueSizes(true);
  EXPECT_EQ(MessageOf<ENotSupported>([] { TComPort p(3); }),
            "Setup parameter not supported for COM3");
  EXPECT_EQ(fake_->OpenDevices(), 0);
}

TEST_F(ComPortFake, RefusedSettingsAtOpen) {
  fake_->RefuseSettings(true);
  EXPECT_EQ(MessageOf<ENotSupported>([] { TComPort p(3); }), "Parameter not supported for COM3");
  EXPECT_EQ(fake_->OpenDevices(), 0);
}

TEST_F(ComPortFake, RefusedSettingKeepsTheValueStored) {
  TComPort port(3);
  fake_->RefuseSettings(true);
  EXPECT_EQ(MessageOf<ENotSupported>([&] { port.SetBaudRate(19200); }),
            "Parameter not supported for COM3");
  EXPECT_THROW(port.SetDataBits(7), ENotSupported);
  EXPECT_THROW(port.SetParity(2), ENotSupported);
  EXPECT_EQ(port.BaudRate(), 19200u);
  EXPECT_EQ(port.DataBits(), 7);
  EXPECT_EQ(port.Parity(), 2);
  const Dcb d = fake_->State();
  EXPECT_EQ(d.BaudRate, 5760u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_TRUE(port.IsOpen());
}

TEST_F(ComPortFake, LeaveUnchangedValues) {
  TComPort port(3);
  port.SetBaudRate(0);
  port.SetParity(5);
  port.SetDataBits(9);
  EXPECT_EQ(port.BaudRate(), 0u);
  EXPECT_EQ(port.Parity(), 5);
  EXPECT_EQ(port.DataBits(), 9);
  const Dcb d = fake_->State();
  EXPECT_EQ(d.BaudRate, 5760u);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.ByteSize, 8);
  port.SetBaudRate(9600);
  EXPECT_EQ(fake_->State().BaudRate, 9600u);
}

TEST_F(ComPortFake, StopBitCodes) {
  RecordingPort port(3);
  for (int code = 0; code <= 255; ++code) {
    Dcb start = fake_->State();
    start.StopBits = kOne5StopBits;  // a value that no code sets
    fake_->SetInitialState(start);
    port.ApplySettings(0, 5, 9, static_cast<uint8_t>(code));
    const uint8_t expected = code <= 1 ? kOneStopBit : code == 3 ? kOne5StopBits : kTwoStopBits;
    EXPECT_EQ(fake_->State().StopBits, expected) << "code " << code;
  }
}

TEST_F(ComPortFake, RefusedMaskFallsBackTo01FD) {
  fake_->RefuseMask21FD(true);
  RecordingPort port(3);
  ASSERT_TRUE(Eventually([&] { return fake_->EventMask() == 0x01FDu; }));
  fake_->InjectInput(Pattern(5));
  ASSERT_TRUE(port.WaitCalls(1));
  EXPECT_EQ(port.Calls(), std::vector<int>{5});
}

TEST_F(ComPortFake, FullTransmitRingRefusesOneMoreByte) {
  fake_->BlockWrites(true);
  RecordingPort port(3);
  fake_->InjectInput(Pattern(7));
  ASSERT_TRUE(port.WaitCalls(1));
  const auto block = Pattern(4096);
  port.PutBlock(block.data(), 4096);  // equal to the room: accepted, ring full
  EXPECT_EQ(port.TransmitCount(), 4096u);
  const uint8_t one = 0x55;
  EXPECT_EQ(MessageOf<EOutputBufferTooSmall>([&] { port.PutBlock(&one, 1); }),
            "Buffer too small for port COM3");
  // The rings are untouched.
  EXPECT_EQ(port.TransmitCount(), 4096u);
  EXPECT_EQ(port.ReceiveCount(), 7u);
  EXPECT_EQ(port.PeekByte(1), 0);
  // Once the chunk is written there is room again.
  fake_->BlockWrites(false);
  ASSERT_TRUE(Eventually([&] { return port.TransmitCount() == 0; }));
  EXPECT_EQ(fake_->Written(), block);
  port.PutBlock(&one, 1);
  ASSERT_TRUE(Eventually([&] { return fake_->Written().size() == 4097; }));
  // A block larger than the ring never fits.
  const auto big = Pattern(4097);
  EXPECT_THROW(port.PutBlock(big.data(), 4097), EOutputBufferTooSmall);
  port.PutBlock(nullptr, 0);  // count 0: nothing
}

TEST_F(ComPortFake, ReadByteOnEmptyRing) {
  TComPort port(3);
  EXPECT_EQ(MessageOf<EBufferIsEmpty>([&] { port.ReadByte(); }), "Buffer is empty for port COM3");
}

TEST_F(ComPortFake, FullReceiveRingLeavesBytesInTheDevice) {
  RecordingPort port(3);  // does not take the bytes
  const auto data = Pattern(8192 + 11);
  fake_->InjectInput(data.data(), 4096);
  ASSERT_TRUE(Eventually([&] { return port.TotalArrived() == 4096; }));
  fake_->InjectInput(data.data() + 4096, 4096);
  ASSERT_TRUE(Eventually([&] { return port.TotalArrived() == 8192; }));
  EXPECT_EQ(port.ReceiveCount(), 8192u);
  const size_t calls = port.Calls().size();

  // A character event with the ring full: the bytes stay in the device and
  // BytesArrived is not called.
  int waits = fake_->WaitCalls();
  fake_->InjectInput(data.data() + 8192, 10);
  ASSERT_TRUE(Eventually([&] { return fake_->WaitCalls() > waits; }));
  EXPECT_EQ(port.Calls().size(), calls);
  EXPECT_EQ(fake_->InputQueued(), 10u);

  // ReadByte frees room, but nothing is fetched before the next character event.
  EXPECT_EQ(port.ReadByte(), data[0]);
  EXPECT_EQ(port.ReceiveCount(), 8191u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(fake_->InputQueued(), 10u);
  EXPECT_EQ(port.Calls().size(), calls);

  waits = fake_->WaitCalls();
  fake_->InjectInput(data.data() + 8202, 1);
  ASSERT_TRUE(port.WaitCalls(calls + 1));
  EXPECT_EQ(port.Calls().back(), 1);  // the one free byte
  EXPECT_EQ(fake_->InputQueued(), 10u);
  EXPECT_EQ(port.ReceiveCount(), 8192u);
  for (size_t i = 1; i <= 8192; ++i) {
    ASSERT_EQ(port.ReadByte(), data[i]) << i;
  }
  EXPECT_THROW(port.ReadByte(), EBufferIsEmpty);
}

TEST_F(ComPortFake, ReceivePassAcrossTheEndIsReportedOnce) {
  RecordingPort port(3, /*consume=*/true);
  const auto data = Pattern(4096 + 4000 + 200, 7);
  fake_->InjectInput(data.data(), 4096);
  ASSERT_TRUE(port.WaitConsumed(4096));
  fake_->InjectInput(data.data() + 4096, 4000);
  ASSERT_TRUE(port.WaitConsumed(8096));
  const size_t reads = fake_->ReadRequests().size();
  fake_->InjectInput(data.data() + 8096, 200);
  ASSERT_TRUE(port.WaitConsumed(8296));
  EXPECT_EQ(port.Calls(), (std::vector<int>{4096, 4000, 200}));
  const auto requests = fake_->ReadRequests();
  ASSERT_EQ(requests.size(), reads + 2);
  EXPECT_EQ(requests[reads], 96u);       // up to the end of the ring
  EXPECT_EQ(requests[reads + 1], 104u);  // the rest at its start
  EXPECT_EQ(port.Consumed(), data);
}

TEST_F(ComPortFake, CharacterEventWithEmptyDeviceCallsNothing) {
  RecordingPort port(3);
  const int waits = fake_->WaitCalls();
  fake_->RaiseEvents(kEvRxChar);
  ASSERT_TRUE(Eventually([&] { return fake_->WaitCalls() > waits; }));
  EXPECT_TRUE(port.Calls().empty());
}

TEST_F(ComPortFake, BlockAcrossTheEndOfTheTransmitRingIsWrittenInTwoChunks) {
  TComPort port(3);
  const auto a = Pattern(3000, 1);
  const auto b = Pattern(3000, 2);
  port.PutBlock(a.data(), 3000);
  ASSERT_TRUE(Eventually([&] { return port.TransmitCount() == 0; }));
  port.PutBlock(b.data(), 3000);
  ASSERT_TRUE(Eventually([&] { return fake_->Written().size() == 6000; }));
  const auto chunks = fake_->WriteChunks();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[1].size(), 1096u);
  EXPECT_EQ(chunks[2].size(), 1904u);
  auto all = a;
  all.insert(all.end(), b.begin(), b.end());
  EXPECT_EQ(fake_->Written(), all);
}

TEST_F(ComPortFake, PurgeInputLeavesQueuedOutputAlone) {
  fake_->BlockWrites(true);
  RecordingPort port(3);
  const auto out = Pattern(100, 3);
  port.PutBlock(out.data(), 100);
  fake_->InjectInput(Pattern(50));
  ASSERT_TRUE(Eventually([&] { return port.ReceiveCount() == 50; }));
  fake_->InjectInput(Pattern(20));  // more in the device, not yet fetched or fetched
  port.PurgeInput();
  EXPECT_EQ(port.ReceiveCount(), 0u);
  EXPECT_EQ(port.TransmitCount(), 100u);
  EXPECT_GE(fake_->PurgeCalls(), 1);
  fake_->BlockWrites(false);
  ASSERT_TRUE(Eventually([&] { return fake_->Written().size() == 100; }));
  EXPECT_EQ(fake_->Written(), out);
}

TEST_F(ComPortFake, DestructionDuringASlowWriteReturnsAtOnce) {
  fake_->SetWriteDelayMs(30000);
  auto port = std::make_unique<TComPort>(3);
  const auto block = Pattern(1000);
  port->PutBlock(block.data(), 1000);
  ASSERT_TRUE(Eventually([&] { return fake_->WriteCalls() >= 1; }));
  const auto start = linktest::Clock::now();
  port.reset();
  EXPECT_LT(ElapsedMs(start), 400);
  EXPECT_TRUE(fake_->Written().empty());  // the unsent rest is lost
}

TEST_F(ComPortFake, WriteThatTimesOutIsCancelledAndTakenAgain) {
  RecordingPort port(3);
  port.SetWriteCompletionLimitMs(60);
  fake_->BlockWrites(true);
  const auto block = Pattern(10);
  port.PutBlock(block.data(), 10);
  // Each write is given up after the limit (the device has finished it) and
  // the same chunk is taken again.
  ASSERT_TRUE(Eventually([&] { return fake_->WriteCalls() >= 3; }));
  EXPECT_TRUE(fake_->Written().empty());
  EXPECT_EQ(port.TransmitCount(), 10u);
  fake_->BlockWrites(false);
  ASSERT_TRUE(Eventually([&] { return port.TransmitCount() == 0; }));
  EXPECT_EQ(fake_->Written(), block);
}

TEST_F(ComPortFake, FailingDeviceIsRetriedAtAPace) {
  auto port = std::make_unique<RecordingPort>(3);
  fake_->FailWrites(true);
  fake_->FailWaits(true);
  const auto block = Pattern(10);
  port->PutBlock(block.data(), 10);
  const int waits0 = fake_->WaitCalls();
  const int writes0 = fake_->WriteCalls();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int waits = fake_->WaitCalls() - waits0;
  const int writes = fake_->WriteCalls() - writes0;
  // About one repeat per 50 ms each, not thousands.
  EXPECT_GE(waits, 3);
  EXPECT_LE(waits, 15);
  EXPECT_GE(writes, 3);
  EXPECT_LE(writes, 15);
  // It recovers when the device does.
  fake_->FailWrites(false);
  fake_->FailWaits(false);
  ASSERT_TRUE(Eventually([&] { return fake_->Written().size() == 10; }));
  fake_->InjectInput(Pattern(3));
  ASSERT_TRUE(Eventually([&] { return port->TotalArrived() == 3; }));
  // Stopping does not wait out the pace.
  fake_->FailWaits(true);
  fake_->FailWrites(true);
  port->PutBlock(block.data(), 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = linktest::Clock::now();
  port.reset();
  EXPECT_LT(ElapsedMs(start), 100);
}

TEST_F(ComPortFake, FakeInputQueueDropsTheExcessLikeAUart) {
  // No port: the device alone.
  auto device = fake_->MakeDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(fake_->MakeDevice(), nullptr);  // exclusive
  fake_->InjectInput(Pattern(5000));
  EXPECT_EQ(fake_->InputQueued(), 4096u);
  uint32_t errors = 0;
  ComStat stat;
  ASSERT_TRUE(device->ClearError(errors, stat));
  EXPECT_EQ(errors, kCeRxOver);
  EXPECT_EQ(stat.cbInQue, 4096u);
  ASSERT_TRUE(device->ClearError(errors, stat));
  EXPECT_EQ(errors, 0u);
  uint32_t events = 0;
  ASSERT_TRUE(device->SetEventMask(kEvRxChar));
  EXPECT_EQ(device->WaitEvent(events).status, WaitStatus::kComplete);
  EXPECT_EQ(events, kEvRxChar);
  ASSERT_TRUE(device->SetEventMask(0));
  EXPECT_EQ(device->WaitEvent(events).error, kErrorInvalidParameter);
}

TEST_F(ComPortFake, BreakEventClearsTheDeviceError) {
  RecordingPort port(3);
  fake_->RaiseEvents(kEvBreak, kCeBreak);
  ComStat stat;
  ASSERT_TRUE(Eventually([&] { return fake_->WaitCalls() >= 2; }));
  // The comm-event thread has cleared it with GetStatus already.
  EXPECT_TRUE(Eventually([&] { return port.GetStatus(stat) == 0; }));
}

}  // namespace
}  // namespace vr
