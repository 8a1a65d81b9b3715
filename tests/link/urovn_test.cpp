// TUrovn, the direct serial link, on the fake device: the framer,
// the outcomes and the hand-over of the reply.
#include "link/urovn.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "fake_serial_device.h"
#include "link_test_helpers.h"
#include "protocol/frame.h"

namespace vr {
namespace {

using linktest::Eventually;

constexpr uint16_t kPort = 3;
constexpr ExchangeOutcome kOk = ExchangeOutcome::kOk;
const std::string kMinimalFrame("\x01i20101&&FE56\x03", 14);

// A reply frame with this data and a correct checksum.
std::string MakeFrame(const std::string& data, bool lowerCaseChecksum = false) {
  std::string f = "\x01i20101" + data + "&&";
  f += "0000\x03";
  const auto sum = ReplyChecksum(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  for (int i = 0; i < 4; ++i) {
    char c = sum[i];
    if (lowerCaseChecksum && c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    f[f.size() - 5 + i] = c;
  }
  return f;
}

class UrovnTest : public linktest::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    link_ = std::make_unique<TUrovn>(kPort);
    link_->SetReplyTimeoutMs(150);
  }
  void TearDown() override {
    link_.reset();
    ports_.reset();
    LinkTest::TearDown();
  }

  ExchangeOutcome Send() {
    const uint8_t length = BuildRequest("i20101", nullptr, 0, request_.data());
    request_length_ = length;
    return link_->SendRequest(request_.data(), length);
  }

  // Injects bytes and waits until the link has taken and framed them all: the
  // device queue alone empties before the bytes reach the ring.
  void Feed(const std::string& bytes) {
    fake_->InjectInput(bytes);
    ASSERT_TRUE(
        Eventually([&] { return fake_->InputTakenAndWaiting() && link_->ReceiveCount() == 0; }));
  }

  ExchangeOutcome Await(std::string* reply = nullptr) {
    uint8_t buffer[255];
    const ExchangeReply r = link_->AwaitReply(buffer, sizeof buffer);
    if (reply) reply->assign(reinterpret_cast<char*>(buffer), r.length);
    return r.outcome;
  }

  std::shared_ptr<FakeSerialPort> fake_ = std::make_shared<FakeSerialPort>();
  std::unique_ptr<ScopedFakeSerialPorts> ports_ = std::make_unique<ScopedFakeSerialPorts>(
      std::map<uint16_t, std::shared_ptr<FakeSerialPort>>{{kPort, fake_}});
  std::unique_ptr<TUrovn> link_;
  std::array<uint8_t, 255> request_{};
  uint8_t request_length_ = 0;
};

TEST_F(UrovnTest, ConstructionSetsUpThePortForTheGauge) {
  const Dcb d = fake_->State();
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, kOneStopBit);
  EXPECT_EQ(link_->BaudRate(), 9600u);
  EXPECT_GE(fake_->PurgeCalls(), 1);
  EXPECT_TRUE(link_->IsIdle());
  EXPECT_EQ(link_->FramerState(), 0);
  EXPECT_FALSE(link_->IsReplySignalled());
}

TEST_F(UrovnTest, ConstructionFailuresAreTheSerialPortErrors) {
  try {
    TUrovn missing(4);
    FAIL() << "opened";
  } catch (const EOpenPortFail& e) {
    EXPECT_STREQ(e.what(), "Невозможно открыть COM4");
  }
  link_.reset();
  fake_->RefuseSettings(true);
  EXPECT_THROW(TUrovn refused(kPort), ENotSupported);
  EXPECT_EQ(fake_->OpenDevices(), 0);
}

TEST_F(UrovnTest, SendRequestQueuesTheFrame) {
  ASSERT_EQ(Send(), kOk);
  ASSERT_TRUE(Eventually([&] { return fake_->Written().size() == request_length_; }));
  EXPECT_EQ(fake_->Written(), std::vector<uint8_t>({0x01, 'i', '2', '0', '1', '0', '1'}));
}

struct FramingCase {
  const char* name;
  std::vector<std::string> passes;  // bytes of each receive pass
  ExchangeOutcome check;            // the driver's verdict on the frame handed over
  std::string reply;
};

class UrovnFraming : public UrovnTest, public ::testing::WithParamInterface<FramingCase> {};

std::vector<std::string> OneBytePerPass(const std::string& s) {
  std::vector<std::string> v;
  for (char c : s) v.emplace_back(1, c);
  return v;
}

TEST_P(UrovnFraming, CompletesFramesFromTheTable) {
  const FramingCase& c = GetParam();
  ASSERT_EQ(Send(), kOk);
  for (const auto& pass : c.passes) Feed(pass);
  std::string reply;
  EXPECT_EQ(Await(&reply), kOk);
  EXPECT_EQ(reply, c.reply);
  EXPECT_EQ(VerifyReply(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()).fault,
            c.check);
  EXPECT_EQ(link_->LastReplySize(), c.reply.size());
  EXPECT_TRUE(link_->IsIdle());
  EXPECT_TRUE(link_->IsReplySignalled());
  EXPECT_EQ(link_->FramerState(), 0);
}

const std::string kAmpFrame = MakeFrame("A&B");
const std::string kLowerFrame = MakeFrame("12", /*lowerCaseChecksum=*/true);
const std::string kDataFrame = MakeFrame("0101FE12");

INSTANTIATE_TEST_SUITE_P(
    Table, UrovnFraming,
    ::testing::Values(
        FramingCase{"MinimalFrameOnePass", {kMinimalFrame}, kOk, kMinimalFrame},
        FramingCase{"MinimalFrameOneBytePerPass", OneBytePerPass(kMinimalFrame), kOk,
                    kMinimalFrame},
        FramingCase{"LoneAmpersandInData", {kAmpFrame}, kOk, kAmpFrame},
        FramingCase{"LoneAmpersandOneBytePerPass", OneBytePerPass(kAmpFrame), kOk, kAmpFrame},
        FramingCase{"AmpersandPairSplitAcrossPasses",
                    {kMinimalFrame.substr(0, 8), kMinimalFrame.substr(8)},
                    kOk,
                    kMinimalFrame},
        FramingCase{"DataFrameInThreePasses",
                    {kDataFrame.substr(0, 3), kDataFrame.substr(3, 10), kDataFrame.substr(13)},
                    kOk,
                    kDataFrame},
        FramingCase{"LowerCaseChecksumFailsTheCheck",
                    {kLowerFrame},
                    ExchangeOutcome::kBadChecksum,
                    kLowerFrame}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return info.param.name; });

TEST_F(UrovnTest, TheFrameCompletesAtItsFourteenthByte) {
  ASSERT_EQ(Send(), kOk);
  for (size_t i = 0; i + 1 < kMinimalFrame.size(); ++i) {
    Feed(kMinimalFrame.substr(i, 1));
    EXPECT_FALSE(link_->IsReplySignalled()) << "byte " << i + 1;
    EXPECT_FALSE(link_->IsIdle());
  }
  EXPECT_EQ(link_->FramerState(), 4);
  Feed(kMinimalFrame.substr(13));
  EXPECT_TRUE(link_->IsReplySignalled());
  EXPECT_TRUE(link_->IsIdle());
  EXPECT_EQ(link_->LastReplySize(), 14);
}

TEST_F(UrovnTest, TheFrameIsHandedOverWithItsLength) {
  ASSERT_EQ(Send(), kOk);
  Feed(kMinimalFrame);
  uint8_t reply[255];
  const ExchangeReply r = link_->AwaitReply(reply, sizeof reply);
  EXPECT_EQ(r.outcome, kOk);
  EXPECT_EQ(r.length, 14u);
}

TEST_F(UrovnTest, BytesBeforeARequestAreDiscardedByTheNextRequest) {
  Feed("\x01i201");
  EXPECT_FALSE(link_->IsIdle());
  EXPECT_EQ(link_->FramerState(), 1);
  ASSERT_EQ(Send(), kOk);
  EXPECT_EQ(link_->FramerState(), 0);
  EXPECT_FALSE(link_->IsIdle());  // the framer's restart does not touch Idle
  Feed(kMinimalFrame);
  std::string reply;
  EXPECT_EQ(Await(&reply), kOk);
  EXPECT_EQ(reply, kMinimalFrame);
}

TEST_F(UrovnTest, SilenceGivesNoReply) {
  ASSERT_EQ(Send(), kOk);
  EXPECT_EQ(Await(), ExchangeOutcome::kNoReply);
}

TEST_F(UrovnTest, HalfFrameTimeOutGivesHalfFrameUntilAFrameCompletes) {
  ASSERT_EQ(Send(), kOk);
  Feed(kMinimalFrame.substr(0, 6));
  EXPECT_EQ(Await(), ExchangeOutcome::kHalfFrame);
  ASSERT_EQ(Send(), kOk);  // silent request: Idle is still false
  EXPECT_EQ(Await(), ExchangeOutcome::kHalfFrame);
  ASSERT_EQ(Send(), kOk);
  Feed(kMinimalFrame);
  EXPECT_EQ(Await(), kOk);
  ASSERT_EQ(Send(), kOk);
  EXPECT_EQ(Await(), ExchangeOutcome::kNoReply);  // silence after a completed frame
}

TEST_F(UrovnTest, AnEndlessFrameIsDiscardedAtTheBufferSize) {
  ASSERT_EQ(Send(), kOk);
  const std::string endless = "\x01i20101" + std::string(248, 'x');  // 255 bytes, no "&&"
  ASSERT_EQ(endless.size(), 255u);
  Feed(endless.substr(0, 254));
  EXPECT_EQ(link_->FramerState(), 2);
  Feed(endless.substr(254));  // the 255th byte: the frame is discarded
  EXPECT_EQ(link_->FramerState(), 0);
  EXPECT_FALSE(link_->IsIdle());
  EXPECT_FALSE(link_->IsReplySignalled());
  // The 256th byte starts a new frame, which completes normally.
  Feed(kMinimalFrame);
  std::string reply;
  EXPECT_EQ(Await(&reply), kOk);
  EXPECT_EQ(reply, kMinimalFrame);
  // Many endless frames in a row stay within the buffer.
  ASSERT_EQ(Send(), kOk);
  Feed(std::string(255 * 3 + 10, 'y'));
  EXPECT_EQ(link_->FramerState(), 2);
  EXPECT_EQ(Await(), ExchangeOutcome::kHalfFrame);
}

TEST_F(UrovnTest, AFrameOfTheFullBufferSizeCompletes) {
  const std::string data(255 - 14, '7');
  const std::string frame = MakeFrame(data);
  ASSERT_EQ(frame.size(), 255u);
  ASSERT_EQ(Send(), kOk);
  Feed(frame);
  std::string reply;
  EXPECT_EQ(Await(&reply), kOk);
  EXPECT_EQ(reply, frame);
}

TEST_F(UrovnTest, AFastReplyIsNeverMissed) {
  // The gauge answers on the transmit thread, inside the write: the frame can
  // be complete before AwaitReply starts waiting.
  fake_->SetOnWrite([this](const uint8_t*, size_t) { fake_->InjectInput(kMinimalFrame); });
  link_->SetReplyTimeoutMs(1000);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(Send(), kOk);
    std::string reply;
    ASSERT_EQ(Await(&reply), kOk) << "attempt " << i;
    EXPECT_EQ(reply, kMinimalFrame);
  }
  fake_->SetOnWrite(nullptr);
}

TEST_F(UrovnTest, AStaleSignalDoesNotSatisfyANewWait) {
  Feed(kMinimalFrame);  // a frame with no request pending
  EXPECT_TRUE(link_->IsReplySignalled());
  ASSERT_EQ(Send(), kOk);
  EXPECT_FALSE(link_->IsReplySignalled());
  EXPECT_EQ(Await(), ExchangeOutcome::kNoReply);
}

TEST_F(UrovnTest, ARefusedRequestGivesSendRefused) {
  fake_->BlockWrites(true);
  ASSERT_EQ(Send(), kOk);
  // Fill the transmit ring behind the blocked write.
  const std::vector<uint8_t> filler(4096 - request_length_, 0x20);
  link_->PutBlock(filler.data(), static_cast<uint16_t>(filler.size()));
  EXPECT_EQ(Send(), ExchangeOutcome::kSendRefused);
  fake_->BlockWrites(false);
}

}  // namespace
}  // namespace vr
