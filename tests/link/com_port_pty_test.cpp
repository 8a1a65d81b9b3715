// TComPort and TUrovn on the POSIX backend, over pseudo-terminals, with the
// real threads: the test holds the master side, the port opens the slave.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "link/com_port.h"
#include "link/serial_device_posix.h"
#include "link/urovn.h"
#include "link_test_helpers.h"
#include "protocol/frame.h"

namespace vr {
namespace {

using linktest::ElapsedMs;
using linktest::Eventually;
using linktest::Pattern;
using linktest::Pty;
using linktest::RecordingPort;

constexpr uint16_t kPort = 7;

// Maps COM7 to the pseudo-terminal by the factory hook and the POSIX backend.
class ComPortPty : public linktest::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    pty_ = std::make_unique<Pty>();
    ASSERT_TRUE(pty_->Ok()) << "no pseudo-terminal";
    const std::string path = pty_->Path();
    factory_ = std::make_unique<ScopedSerialDeviceFactory>(
        [path](uint16_t port) -> std::unique_ptr<ISerialDevice> {
          if (port != kPort) return nullptr;
          return OpenPosixSerialDevice(path);
        });
  }
  void TearDown() override {
    factory_.reset();
    pty_.reset();
    LinkTest::TearDown();
  }

  std::unique_ptr<Pty> pty_;
  std::unique_ptr<ScopedSerialDeviceFactory> factory_;
};

std::string OpenFailureMessage(uint16_t port) {
  try {
    TComPort p(port);
  } catch (const EOpenPortFail& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception: ") + e.what();
  }
  return "opened";
}

TEST_F(ComPortPty, OpensExclusively) {
  {
    TComPort port(kPort);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(OpenFailureMessage(kPort), "Невозможно открыть COM7");
    // Not even the backend itself gets a second descriptor (root included).
    EXPECT_EQ(OpenPosixSerialDevice(pty_->Path()), nullptr);
  }
  // Free again once the first is closed.
  TComPort again(kPort);
  EXPECT_TRUE(again.IsOpen());
}

TEST_F(ComPortPty, MissingDeviceFailsToOpen) {
  EXPECT_EQ(OpenFailureMessage(8), "Невозможно открыть COM8");
  EXPECT_EQ(OpenPosixSerialDevice("/dev/vr-no-such-port"), nullptr);
  EXPECT_EQ(OpenPosixSerialDevice("/dev/null"), nullptr);  // not a terminal
}

TEST_F(ComPortPty, RunsAt5760BaudRawAfterOpen) {
  TComPort port(kPort);
  uint32_t baud = 0;
  // TCGETS2 on the master reads the pair's (the slave's) settings.
  ASSERT_TRUE(LinuxGetBaudRate(pty_->Master(), baud));
  EXPECT_EQ(baud, 5760u);
  termios t{};
  ASSERT_EQ(tcgetattr(pty_->Master(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  port.SetBaudRate(19200);
  ASSERT_TRUE(LinuxGetBaudRate(pty_->Master(), baud));
  EXPECT_EQ(baud, 19200u);
  // Linux pseudo-terminals take no parity: the device refuses it, the value
  // stays stored and the port goes on at the settings it had.
  try {
    port.SetParity(2);
    ASSERT_EQ(tcgetattr(pty_->Master(), &t), 0);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
  } catch (const ENotSupported& e) {
    EXPECT_STREQ(e.what(), "Parameter not supported for COM7");
    EXPECT_EQ(port.Parity(), 2);
    ASSERT_TRUE(LinuxGetBaudRate(pty_->Master(), baud));
    EXPECT_EQ(baud, 19200u);
  }
}

TEST_F(ComPortPty, DirectLinkRunsAt9600) {
  TUrovn link(kPort);
  uint32_t baud = 0;
  ASSERT_TRUE(LinuxGetBaudRate(pty_->Master(), baud));
  EXPECT_EQ(baud, 9600u);
}

TEST_F(ComPortPty, ReceivesBytesIntact) {
  RecordingPort port(kPort, /*consume=*/true);
  const auto data = Pattern(3000, 5);
  pty_->Write(data);
  ASSERT_TRUE(port.WaitConsumed(data.size()));
  EXPECT_EQ(port.Consumed(), data);
}

TEST_F(ComPortPty, BlockAcrossTheEndOfTheTransmitRingArrivesIntact) {
  TComPort port(kPort);
  const auto a = Pattern(3000, 1);
  const auto b = Pattern(3000, 2);
  port.PutBlock(a.data(), 3000);
  EXPECT_EQ(pty_->Read(3000), a);
  ASSERT_TRUE(Eventually([&] { return port.TransmitCount() == 0; }));
  port.PutBlock(b.data(), 3000);  // 1096 bytes up to the end, 1904 from the start
  EXPECT_EQ(pty_->Read(3000), b);
}

TEST_F(ComPortPty, PurgeInputLeavesQueuedOutputAlone) {
  RecordingPort port(kPort);  // keeps the bytes in the ring
  pty_->Write(Pattern(50));
  ASSERT_TRUE(Eventually([&] { return port.ReceiveCount() == 50; }));
  const auto out = Pattern(20, 9);
  port.PutBlock(out.data(), 20);
  port.PurgeInput();
  EXPECT_EQ(port.ReceiveCount(), 0u);
  EXPECT_EQ(pty_->Read(20), out);
  // The port receives normally afterwards.
  pty_->Write(Pattern(5));
  ASSERT_TRUE(Eventually([&] { return port.ReceiveCount() == 5; }));
}

TEST_F(ComPortPty, DestructionWhileALongBlockIsSentReturnsPromptly) {
  auto port = std::make_unique<TComPort>(kPort);
  // The other side does not read: fill the pseudo-terminal's buffer until the
  // transmit thread is stuck in a write and the ring stays full.
  const auto block = Pattern(4096);
  const auto deadline = linktest::Clock::now() + std::chrono::seconds(10);
  auto lastAccepted = linktest::Clock::now();
  while (linktest::Clock::now() < deadline && ElapsedMs(lastAccepted) < 300) {
    try {
      port->PutBlock(block.data(), 4096);
      lastAccepted = linktest::Clock::now();
    } catch (const EOutputBufferTooSmall&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ASSERT_GE(ElapsedMs(lastAccepted), 300) << "the pseudo-terminal never filled up";
  EXPECT_GT(port->TransmitCount(), 0u);
  const auto start = linktest::Clock::now();
  port.reset();
  EXPECT_LT(ElapsedMs(start), 400);
}

TEST_F(ComPortPty, IdlePortUsesNoCpuAndAHangUpIsPaced) {
  auto port = std::make_unique<RecordingPort>(kPort, true);
  // Idle: both threads block (poll without time-out, condition variable).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int64_t cpu = linktest::ProcessCpuMicros();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const int64_t idle = linktest::ProcessCpuMicros() - cpu;
  EXPECT_LT(idle, 20000) << "idle port used " << idle << " us of CPU in 1 s";

  // The other side goes away (hang-up): waits and writes fail outright and are
  // repeated at a pace of 50 ms, not in a busy loop.
  pty_->CloseMaster();
  const auto block = Pattern(100);
  port->PutBlock(block.data(), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  cpu = linktest::ProcessCpuMicros();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const int64_t hungUp = linktest::ProcessCpuMicros() - cpu;
  EXPECT_LT(hungUp, 50000) << "hung-up port used " << hungUp << " us of CPU in 1 s";
  std::printf("[ cpu      ] idle %lld us/s, after hang-up %lld us/s\n",
              static_cast<long long>(idle), static_cast<long long>(hungUp));
  const auto start = linktest::Clock::now();
  port.reset();
  EXPECT_LT(ElapsedMs(start), 200);
}

// The default factory: the device path comes from [Ports] COM<n> of the
// settings file in the Windows directory (WINDIR).
class ComPortSettingsPath : public linktest::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    pty_ = std::make_unique<Pty>();
    ASSERT_TRUE(pty_->Ok());
    std::string tmpl = (std::filesystem::temp_directory_path() / "vr-link-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    const char* old = std::getenv("WINDIR");
    if (old) old_windir_ = old;
    had_windir_ = old != nullptr;
    setenv("WINDIR", dir_.c_str(), 1);
    std::ofstream(dir_ + "/cnf.INI")
        << "[Ports]\r\nCOM7=" << pty_->Path() << "\r\nCOM8=/dev/vr-no-such-port\r\n";
  }
  void TearDown() override {
    if (had_windir_) {
      setenv("WINDIR", old_windir_.c_str(), 1);
    } else {
      unsetenv("WINDIR");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    pty_.reset();
    LinkTest::TearDown();
  }

  std::unique_ptr<Pty> pty_;
  std::string dir_;
  std::string old_windir_;
  bool had_windir_ = false;
};

TEST_F(ComPortSettingsPath, OpensThePortNamedInTheSettingsFile) {
  {
    TComPort port(kPort);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(OpenFailureMessage(kPort), "Невозможно открыть COM7");
    const auto out = Pattern(10);
    port.PutBlock(out.data(), 10);
    EXPECT_EQ(pty_->Read(10), out);
  }
  EXPECT_EQ(OpenFailureMessage(8), "Невозможно открыть COM8");
  TComPort again(kPort);
  EXPECT_TRUE(again.IsOpen());
}

// A gauge on the master side answers each request with a reply frame.
TEST_F(ComPortPty, DirectLinkExchangeOverAPseudoTerminal) {
  TUrovn link(kPort);
  link.SetReplyTimeoutMs(1000);
  uint8_t request[255];
  const uint8_t length = BuildRequest("i20101", nullptr, 0, request);
  const std::string frame = std::string("\x01i20101&&FE56\x03", 14);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(link.SendRequest(request, length), ExchangeOutcome::kOk);
    EXPECT_EQ(pty_->Read(length), std::vector<uint8_t>(request, request + length));
    pty_->Write(std::vector<uint8_t>(frame.begin(), frame.end()));
    uint8_t reply[255];
    const ExchangeReply r = link.AwaitReply(reply, sizeof reply);
    ASSERT_EQ(r.outcome, ExchangeOutcome::kOk);
    EXPECT_EQ(r.length, 14u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), r.length), frame);
    EXPECT_TRUE(VerifyReply(reply, r.length).valid);
  }
  // Silence.
  link.SetReplyTimeoutMs(100);
  ASSERT_EQ(link.SendRequest(request, length), ExchangeOutcome::kOk);
  uint8_t reply[255];
  EXPECT_EQ(link.AwaitReply(reply, sizeof reply).outcome, ExchangeOutcome::kNoReply);
}

}  // namespace
}  // namespace vr
