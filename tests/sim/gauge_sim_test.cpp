// The pure core of the gauge simulator: reply layouts, parser, faults, counters.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "protocol/console_reports.h"
#include "protocol/frame.h"
#include "protocol/hex_float.h"
#include "simulator.h"

namespace vr::sim {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Text(const Bytes& b, size_t offset, size_t n) {
  return std::string(b.begin() + offset, b.begin() + offset + n);
}

std::string Hex(float v) {
  char h[8];
  SingleToHex(v, h);
  return std::string(h, 8);
}

bool Valid(const Bytes& b) {
  return VerifyReply(b.data(), b.size()).valid;
}

// Decodes a field as the driver does, from a 255-byte reply buffer.
float Field(const Bytes& b, size_t offset) {
  FrameBuffer buf{};
  std::copy(b.begin(), b.end(), buf.begin());
  return HexToSingle(buf.data(), offset);
}

TankState SampleTank() {
  TankState t;
  t.volume = 20000.5f;
  t.tc_volume = 19950.25f;
  t.ullage = 9999.75f;
  t.level = 1234.5f;
  t.water = 3.25f;
  t.temperature = -1.5f;
  t.water_volume = 42.0f;
  t.density = 745.2f;
  t.height = 2500.0f;
  for (size_t k = 0; k < kCalibrationPoints; ++k) t.cal[k] = 1500.0f * (k + 1) + 0.5f;
  t.product = '3';
  t.status = "0A01";
  return t;
}

class GaugeSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.SetHeaderTime("2612072104");
    sim.SetTank(1, SampleTank());
    TankState t2 = SampleTank();
    t2.level = 99.0f;
    sim.SetTank(12, t2);
  }

  // Feeds one request and returns the single answer.
  Answer Ask(std::string_view request) {
    auto answers = sim.Feed(request);
    EXPECT_EQ(answers.size(), 1u) << PrintableBytes(request);
    return answers.empty() ? Answer{} : answers[0];
  }
  Bytes Reply(std::string_view request) { return Ask(request).bytes; }

  GaugeSim sim;
};

TEST_F(GaugeSimTest, I201HasEightyNineBytesSevenFieldsAndAValidChecksum) {
  Bytes r = Reply("\x01i20101");
  ASSERT_EQ(r.size(), kI201Length);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(r[0], kSoh);
  EXPECT_EQ(r[88], kEtx);
  EXPECT_EQ(Text(r, 1, 6), "i20101");
  // Header: YYMMDDHHmm, tank, product, status, field count.
  EXPECT_EQ(Text(r, 7, 19),
            "2612072104"
            "01"
            "3"
            "0A01"
            "07");
  EXPECT_EQ(Text(r, 82, 2), "&&");
  EXPECT_FLOAT_EQ(Field(r, 26), 20000.5f);   // volume
  EXPECT_FLOAT_EQ(Field(r, 34), 19950.25f);  // TC volume
  EXPECT_FLOAT_EQ(Field(r, 42), 9999.75f);   // ullage
  EXPECT_FLOAT_EQ(Field(r, 50), 1234.5f);    // level
  EXPECT_FLOAT_EQ(Field(r, 58), 3.25f);      // water
  EXPECT_FLOAT_EQ(Field(r, 66), -1.5f);      // temperature
  EXPECT_FLOAT_EQ(Field(r, 74), 42.0f);      // water volume
  EXPECT_EQ(Text(r, 26, 8), Hex(20000.5f));  // upper case
  EXPECT_EQ(Text(r, 66, 8), "BFC00000");
}

TEST_F(GaugeSimTest, I214HasEightyOneBytesSixFieldsWithDensityInFieldThree) {
  Bytes r = Reply("\x01i21401");
  ASSERT_EQ(r.size(), kI214Length);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(r[80], kEtx);
  EXPECT_EQ(Text(r, 1, 6), "i21401");
  EXPECT_EQ(Text(r, 7, 19),
            "2612072104"
            "01"
            "3"
            "0A01"
            "06");
  EXPECT_EQ(Text(r, 74, 2), "&&");
  EXPECT_FLOAT_EQ(Field(r, 26), 20000.5f);        // volume
  EXPECT_FLOAT_EQ(Field(r, 42) / 1000, 0.7452f);  // density, as the driver reads it
  EXPECT_FLOAT_EQ(Field(r, 50), 1234.5f);         // level
  EXPECT_FLOAT_EQ(Field(r, 58), 3.25f);           // water
  EXPECT_FLOAT_EQ(Field(r, 66), -1.5f);           // temperature
}

TEST_F(GaugeSimTest, InventoryEchoesTheTankAskedFor) {
  Bytes r = Reply("\x01i21412");
  ASSERT_EQ(r.size(), kI214Length);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(Text(r, 5, 2), "12");
  EXPECT_EQ(Text(r, 17, 2), "12");
  EXPECT_FLOAT_EQ(Field(r, 50), 99.0f);
}

TEST_F(GaugeSimTest, HeaderTimeFollowsTheClockByDefault) {
  sim.SetHeaderTime("");
  Bytes r = Reply("\x01i20101");
  ASSERT_EQ(r.size(), kI201Length);
  EXPECT_TRUE(Valid(r));
  for (size_t i = 7; i < 17; ++i) EXPECT_TRUE(r[i] >= '0' && r[i] <= '9');
  EXPECT_THROW(sim.SetHeaderTime("12345"), std::invalid_argument);
}

TEST_F(GaugeSimTest, I607CarriesTheHeightAtOffsetNineteen) {
  Bytes r = Reply("\x01i60701");
  ASSERT_EQ(r.size(), kHeightReplyLength);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(Text(r, 1, 6), "i60701");
  EXPECT_EQ(Text(r, 7, 12),
            "2612072104"
            "01");
  EXPECT_EQ(Text(r, 19, 8), "451C4000");  // 2500.0
  EXPECT_FLOAT_EQ(Field(r, 19), 2500.0f);
  EXPECT_EQ(Text(r, 27, 2), "&&");
  EXPECT_EQ(r[33], kEtx);
}

TEST_F(GaugeSimTest, I606CarriesTwentyVolumesFullHeightFirst) {
  Bytes r = Reply("\x01i60601");
  ASSERT_EQ(r.size(), kVolumesReplyLength);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(Text(r, 7, 12),
            "2612072104"
            "01");
  TankState t = SampleTank();
  for (size_t j = 1; j <= 20; ++j)
    EXPECT_FLOAT_EQ(Field(r, 19 + 8 * (j - 1)), t.cal[20 - j]) << "field " << j;
  EXPECT_FLOAT_EQ(Field(r, 19), t.cal[19]);  // full-height volume first
  EXPECT_EQ(Text(r, 179, 2), "&&");
  EXPECT_EQ(r[185], kEtx);
}

TEST_F(GaugeSimTest, S607StoresTheHeightAndI607ReturnsIt) {
  Bytes r = Reply("\x01s60701" + Hex(2501.5f));
  ASSERT_EQ(r.size(), kHeightReplyLength);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(Text(r, 1, 6), "s60701");
  EXPECT_FLOAT_EQ(Field(r, 19), 2501.5f);
  EXPECT_FLOAT_EQ(sim.GetTank(1)->height, 2501.5f);
  Bytes back = Reply("\x01i60701");
  EXPECT_TRUE(Valid(back));
  EXPECT_EQ(Text(back, 19, 8), Hex(2501.5f));
  // The payload for a height of 2500 is 451C4000.
  Reply(
      "\x01s60701"
      "451C4000");
  EXPECT_FLOAT_EQ(sim.GetTank(1)->height, 2500.0f);
}

TEST_F(GaugeSimTest, S606StoresTheVolumesAndI606ReturnsThem) {
  std::array<float, 20> points{};
  for (size_t k = 0; k < 20; ++k) points[k] = 1000.0f + 333.25f * k;
  std::string payload;
  for (size_t j = 1; j <= 20; ++j) payload += Hex(points[20 - j]);  // field j = element 20-j
  ASSERT_EQ(payload.size(), 160u);
  Bytes r = Reply("\x01s60601" + payload);
  ASSERT_EQ(r.size(), kVolumesReplyLength);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(Text(r, 1, 6), "s60601");
  EXPECT_EQ(Text(r, 19, 160), payload);
  EXPECT_EQ(sim.GetTank(1)->cal, points);
  Bytes back = Reply("\x01i60601");
  EXPECT_TRUE(Valid(back));
  EXPECT_EQ(Text(back, 19, 160), payload);
  EXPECT_EQ(sim.Execute("i60601", ""), back);
}

TEST_F(GaugeSimTest, SetCommandWithNonHexPayloadIsRejectedAndNotStored) {
  Bytes r = Reply(
      "\x01s60701"
      "451C40 0");
  EXPECT_EQ(std::string(r.begin(), r.end()), kErrorReply);
  EXPECT_FLOAT_EQ(sim.GetTank(1)->height, 2500.0f);
}

TEST_F(GaugeSimTest, UnknownCommandAndMissingTankGetTheErrorReply) {
  const std::string error(kErrorReply);
  ASSERT_EQ(error.size(), 10u);  // SOH "9999FF1B" ETX
  for (std::string_view request :
       {"\x01i10101", "\x01I20101", "\x01i20105", "\x01i60700", "\x01i60617", "\x01i20199",
        "\x01i201a1", "\x01i20502", "\x01i20C13",
        "\x01s60702"
        "451C4000"}) {
    Bytes r = Reply(request);
    EXPECT_EQ(std::string(r.begin(), r.end()), error) << PrintableBytes(request);
  }
  // FF1B is the reply checksum of SOH "9999", so VerifyReply accepts it.
  Bytes r(error.begin(), error.end());
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(sim.GetStats().errors, 10u);
}

TEST_F(GaugeSimTest, RemovedTankGetsTheErrorReply) {
  EXPECT_TRUE(sim.RemoveTank(12));
  EXPECT_FALSE(sim.RemoveTank(12));
  Bytes r = Reply("\x01i21412");
  EXPECT_EQ(std::string(r.begin(), r.end()), kErrorReply);
  EXPECT_EQ(sim.TankNumbers(), std::vector<int>{1});
  EXPECT_THROW(sim.SetTank(17, TankState{}), std::out_of_range);
  EXPECT_THROW(sim.SetTank(0, TankState{}), std::out_of_range);
}

TEST_F(GaugeSimTest, RequestsSplitAcrossFeedsAreAssembled) {
  std::string request = "\x01i20101";
  std::vector<Answer> all;
  for (char c : request) {
    EXPECT_TRUE(all.empty());
    auto got = sim.Feed(&c, 1);
    all.insert(all.end(), got.begin(), got.end());
  }
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].bytes, sim.Execute("i20101", ""));

  // A 167-byte s606 request in uneven pieces.
  std::string payload;
  for (size_t j = 0; j < 20; ++j) payload += Hex(100.0f * (j + 1));
  std::string s606 = "\x01s60601" + payload;
  size_t pos = 0, piece = 1;
  std::vector<Answer> answers;
  while (pos < s606.size()) {
    size_t n = std::min(piece, s606.size() - pos);
    auto got = sim.Feed(s606.substr(pos, n));
    answers.insert(answers.end(), got.begin(), got.end());
    pos += n;
    piece = piece * 3 % 17 + 1;
  }
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].command, "s60601");
  EXPECT_EQ(answers[0].payload, payload);
  EXPECT_EQ(answers[0].request_length, 167u);
  EXPECT_EQ(answers[0].bytes.size(), kVolumesReplyLength);
  EXPECT_TRUE(sim.ParserIdle());
}

TEST_F(GaugeSimTest, SeveralRequestsInOneFeedGiveAnswersInOrder) {
  auto answers = sim.Feed(std::string("\x01i20101\x01i21412\x01i60701"));
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].bytes.size(), kI201Length);
  EXPECT_EQ(answers[1].bytes.size(), kI214Length);
  EXPECT_EQ(answers[2].bytes.size(), kHeightReplyLength);
}

TEST_F(GaugeSimTest, GarbageBeforeSohIsIgnored) {
  auto answers = sim.Feed(std::string("\xFF\x00noise\r\n&&\x03", 11) + "\x01i20101");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].command, "i20101");
  EXPECT_TRUE(Valid(answers[0].bytes));
  EXPECT_TRUE(sim.ParserIdle());
}

TEST_F(GaugeSimTest, AnSohInsideARequestRestartsIt) {
  EXPECT_TRUE(sim.Feed("\x01i20").empty());  // cut off
  EXPECT_FALSE(sim.ParserIdle());
  auto answers = sim.Feed("\x01i21401");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].command, "i21401");
  EXPECT_EQ(sim.GetStats().requests, 1u);
  sim.Feed("\x01i2");
  sim.ResetParser();
  EXPECT_TRUE(sim.ParserIdle());
  EXPECT_TRUE(sim.Feed("0101").empty());
}

TEST_F(GaugeSimTest, CountersPerCodeAndLastRequestAreResettable) {
  sim.Feed(std::string("\x01i20101\x01i20112\x01i21401\x01zzzz01\x01s60701") + Hex(10.0f));
  Stats s = sim.GetStats();
  EXPECT_EQ(s.requests, 5u);
  EXPECT_EQ(s.replies, 5u);
  EXPECT_EQ(s.errors, 1u);
  EXPECT_EQ(s.Count("i201"), 2u);
  EXPECT_EQ(s.Count("i20112"), 1u);
  EXPECT_EQ(s.Count("i214"), 1u);
  EXPECT_EQ(s.Count("zzzz"), 1u);
  EXPECT_EQ(s.Count("i606"), 0u);
  EXPECT_EQ(s.last_request, "s60701" + Hex(10.0f));
  sim.ResetStats();
  s = sim.GetStats();
  EXPECT_EQ(s.requests, 0u);
  EXPECT_EQ(s.Count("i201"), 0u);
  EXPECT_TRUE(s.last_request.empty());
}

TEST_F(GaugeSimTest, SilentFaultGivesNoReplyAndExecutesNothing) {
  sim.SetFault("silent");
  Answer a = Ask("\x01s60701" + Hex(1.0f));
  EXPECT_TRUE(a.silent);
  EXPECT_TRUE(a.bytes.empty());
  EXPECT_FLOAT_EQ(sim.GetTank(1)->height, 2500.0f);
  EXPECT_EQ(sim.GetStats().requests, 1u);
  EXPECT_EQ(sim.GetStats().silenced, 1u);
  sim.SetFault("silent", false);
  EXPECT_FALSE(Ask("\x01i20101").silent);
}

TEST_F(GaugeSimTest, BadChecksumFailsVerifyReply) {
  for (std::string_view cmd : {"i20101", "i21401", "i60701", "i60601", "i20177"}) {
    Bytes clean = sim.Execute(cmd, "");
    sim.SetFault("bad-checksum");
    Bytes bad = Reply("\x01" + std::string(cmd));
    sim.ClearFaults();
    ASSERT_EQ(bad.size(), clean.size()) << cmd;
    ReplyVerdict v = VerifyReply(bad.data(), bad.size());
    EXPECT_FALSE(v.valid) << cmd;
    EXPECT_EQ(v.status, 222) << cmd;
    EXPECT_EQ(Text(bad, 0, bad.size() - 5), Text(clean, 0, clean.size() - 5)) << cmd;
    for (size_t i = bad.size() - 5; i < bad.size() - 1; ++i)
      EXPECT_TRUE(std::isxdigit(bad[i]) && !std::islower(bad[i])) << cmd;
  }
}

TEST_F(GaugeSimTest, LowerCaseChecksumFailsVerifyReply) {
  // Extreme header characters and values still leave a letter in the checksum.
  sim.UpdateTank(1, [](TankState& t) {
    t.product = '\x7F';
    t.status = "\xFF\xFF\xFF\xFF";
    t.volume = t.tc_volume = t.level = -1.0e30f;
  });
  sim.SetFault("lower-checksum");
  for (std::string_view cmd : {"i20101", "i21401", "i60701", "i60601", "i21412", "i20155"}) {
    Bytes clean = sim.Execute(cmd, "");
    Bytes r = Reply("\x01" + std::string(cmd));
    ASSERT_EQ(r.size(), clean.size());
    ReplyVerdict v = VerifyReply(r.data(), r.size());
    EXPECT_FALSE(v.valid) << cmd;
    EXPECT_EQ(v.status, 222) << cmd;
    EXPECT_TRUE(std::islower(r[r.size() - 5])) << cmd;  // the first digit is a letter
    // Upper-casing the checksum gives the clean reply: only the case is wrong.
    for (size_t i = r.size() - 5; i < r.size() - 1; ++i)
      r[i] = static_cast<uint8_t>(std::toupper(r[i]));
    EXPECT_EQ(r, clean) << cmd;
  }
}

TEST_F(GaugeSimTest, CutFrameIsTheFirstHalf) {
  Bytes clean = sim.Execute("i20101", "");
  sim.SetFault("cut");
  Bytes r = Reply("\x01i20101");
  EXPECT_EQ(r.size(), kI201Length / 2);
  EXPECT_TRUE(std::equal(r.begin(), r.end(), clean.begin()));
  EXPECT_FALSE(Valid(r));
  EXPECT_EQ(Reply("\x01i60601").size(), kVolumesReplyLength / 2);
}

TEST_F(GaugeSimTest, GarbageComesBeforeTheSoh) {
  Bytes clean = sim.Execute("i21401", "");
  sim.SetFault("garbage");
  Bytes r = Reply("\x01i21401");
  ASSERT_GT(r.size(), clean.size());
  size_t extra = r.size() - clean.size();
  for (size_t i = 0; i < extra; ++i) {
    EXPECT_NE(r[i], kSoh);
    EXPECT_NE(r[i], kEtx);
  }
  EXPECT_EQ(Bytes(r.begin() + extra, r.end()), clean);
  ReplyVerdict v = VerifyReply(r.data(), r.size());
  EXPECT_FALSE(v.valid);
  EXPECT_EQ(v.status, r[0]);
}

TEST_F(GaugeSimTest, I201OnlyLeavesI214Unanswered) {
  sim.SetFault("i201-only");
  EXPECT_TRUE(Ask("\x01i21401").silent);
  Answer a = Ask("\x01i20101");
  EXPECT_FALSE(a.silent);
  EXPECT_EQ(a.bytes.size(), kI201Length);
  EXPECT_TRUE(Valid(a.bytes));
  EXPECT_TRUE(Valid(Reply("\x01i60601")));
  EXPECT_EQ(sim.GetStats().Count("i214"), 1u);
}

TEST_F(GaugeSimTest, TransportFaultsTravelWithTheAnswer) {
  sim.SetDelay(1600);
  sim.SetPace(9600);
  sim.SetFault("byte-by-byte");
  auto t0 = Clock::now();
  auto answers = sim.Feed("\x01i20101", t0);
  ASSERT_EQ(answers.size(), 1u);
  const Answer& a = answers[0];
  EXPECT_EQ(a.delay_ms, 1600u);
  EXPECT_EQ(a.pace_baud, 9600u);
  EXPECT_TRUE(a.byte_by_byte);
  EXPECT_EQ(a.request_length, 7u);
  EXPECT_TRUE(Valid(a.bytes));  // the bytes themselves are clean
  // 7 request bytes at 9600 baud, then the delay.
  EXPECT_EQ(a.EarliestReplyTime(), t0 + WireTime(7, 9600) + std::chrono::milliseconds(1600));
  Faults f = sim.GetFaults();
  EXPECT_EQ(DescribeFaults(f), "byte-by-byte,delay=1600ms,pace=9600");
  sim.ClearFaults();
  EXPECT_EQ(sim.GetFaults(), Faults{});
}

TEST_F(GaugeSimTest, PacedRequestSplitOverTimeAnswersAfterItsWireTime) {
  sim.SetPace(9600);
  sim.SetLatency(20);
  sim.SetDelay(5);
  auto t0 = Clock::now();
  sim.Feed("\x01i2", t0);
  auto late = t0 + std::chrono::milliseconds(50);
  auto answers = sim.Feed("0101", late);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].request_start, t0);
  // The wire time has passed already; latency and delay count from the completion.
  EXPECT_EQ(answers[0].EarliestReplyTime(), late + std::chrono::milliseconds(25));
}

TEST_F(GaugeSimTest, Tls4I214AddsMassAndCompensatedDensity) {
  sim.SetModel(GaugeSim::Model::kTls4);
  sim.UpdateTank(1, [](TankState& t) { t.tc_density = 751.5f; });
  Bytes r = Reply("\x01i21401");
  ASSERT_EQ(r.size(), kI214Tls4Length);
  EXPECT_TRUE(Valid(r));
  EXPECT_EQ(Text(r, 24, 2), "0A");
  EXPECT_EQ(Text(r, 26, 80), Hex(20000.5f) + Hex(20000.5f * 745.2f / 1000) + Hex(745.2f) +
                                 Hex(1234.5f) + Hex(3.25f) + Hex(-1.5f) + Hex(751.5f) +
                                 Hex(19950.25f) + Hex(9999.75f) + Hex(42.0f));
  sim.UpdateTank(1, [](TankState& t) { t.mass = 15000.0f; });
  EXPECT_FLOAT_EQ(Field(Reply("\x01i21401"), 34), 15000.0f);
}

TEST_F(GaugeSimTest, TankZeroAnswersEveryTankInOneFrame) {
  using enum GaugeSim::Model;
  const std::tuple<int, GaugeSim::Model, std::string, size_t> cases[] = {
      {0, kTls350, "i214", 6},  {1, kTls350, "i201", 7}, {1, kTls4, "i214", 10},
      {16, kTls350, "i214", 6}, {16, kTls4, "i214", 10}, {16, kTls4, "i201", 7}};
  for (const auto& [count, model, code, fields] : cases) {  // count 1: tank 7 alone
    std::map<int, TankState> tanks;
    for (int n = 1; n <= kMaxTanks; ++n)
      if (count == 16 || (count == 1 && n == 7)) (tanks[n] = SampleTank()).level = n;
    sim.SetTanks(tanks);
    sim.SetModel(model);
    Bytes r = Reply("\x01" + code + "00");
    const size_t block = 9 + 8 * fields;
    ASSERT_EQ(r.size(), 17 + count * block + 7) << code << " " << count;
    EXPECT_TRUE(Valid(r)) << code << " " << count;
    EXPECT_EQ(Text(r, 1, 16), code + "002612072104");
    size_t at = 17;
    for (const auto& [n, t] : tanks) {  // ascending: each block as in the tank's own reply
      Bytes single = sim.Execute(code + TankDigits(static_cast<unsigned>(n)), "");
      EXPECT_EQ(Text(r, at, block), Text(single, 17, block)) << code << " tank " << n;
      at += block;
    }
  }
  sim.SetFault("no-all-tanks");
  for (std::string_view request : {"\x01i20100", "\x01i21400"})
    EXPECT_EQ(Reply(request).size(), kErrorReply.size()) << PrintableBytes(request);
  EXPECT_EQ(sim.GetStats().Count("i21400"), 5u);
}

// The examples of the console's reports, byte for byte: tanks 1 and 2 (product
// '2'); system status groups in the order raised.
TEST(GaugeSimReports, ReproduceTheConsoleExamples) {
  const std::tuple<std::string, std::function<void(GaugeSim&)>, std::string> cases[] = {
      {"i20500", [](GaugeSim& s) { s.SetAlarm(2, 3), s.SetAlarm(2, 11); },
       "\x01i205002401151030010002020311&&FA18\x03"},
      {"i10100",
       [](GaugeSim& s) { s.SetAlarm(2, 3), s.SetAlarm(1, 11), s.SetStatusGroup(3, 6, 5); },
       "\x01i101002401151030020302021101030605&&F8ED\x03"},
      {"i10100", [](GaugeSim& s) { s.SetAlarm(1, 3), s.SetAlarm(1, 3, false); },
       "\x01i101002401151030&&FC67\x03"},
      {"i60201",
       [](GaugeSim& s) { s.UpdateTank(1, [](TankState& t) { t.label = "REGULAR UNLEADED"; }); },
       "\x01i60201240115103001REGULAR UNLEADED    &&F70B\x03"},
      {"i20C02", [](GaugeSim&) {}, "\x01i20C02240115103002200&&FB5E\x03"},
  };
  for (const auto& [command, setup, expected] : cases) {
    GaugeSim sim;
    TankState two;
    two.product = '2';
    sim.SetTanks({{1, TankState{}}, {2, two}});
    sim.SetHeaderTime("2401151030");
    setup(sim);
    const Bytes r = sim.Execute(command, "");
    EXPECT_EQ(PrintableBytes(std::string(r.begin(), r.end())), PrintableBytes(expected)) << command;
  }
}

TEST(GaugeSimReports, ADeliveryOverMinutesRisesThenLeavesItsReport) {
  using namespace std::chrono_literals;
  GaugeSim sim;
  TankState t;  // 1000 l per 100 mm
  t.height = 2000;
  for (size_t k = 0; k < kCalibrationPoints; ++k) t.cal[k] = 1000.0f * (k + 1);
  t.volume = t.tc_volume = 5000;
  t.ullage = 15000;
  t.level = 500;
  sim.SetTank(1, t);
  sim.SetHeaderTime("2401151030");
  const auto t0 = Clock::now();
  ASSERT_TRUE(sim.Deliver(1, 4000, 10min, t0));
  EXPECT_FALSE(sim.Deliver(1, 100, 0min, t0));  // one at a time
  const std::tuple<Clock::duration, std::string, float, float> steps[] = {
      {1min, "0001", 5400, 540}, {5min, "0001", 7000, 700}, {10min, "0000", 9000, 900}};
  for (const auto& [at, status, volume, level] : steps) {
    if (at == 10min) sim.SetHeaderTime("2401151040");
    const Bytes r = sim.Feed("\x01i20101", t0 + at).at(0).bytes;
    EXPECT_EQ(Text(r, 20, 4), status);
    EXPECT_FLOAT_EQ(Field(r, 26), volume);
    EXPECT_FLOAT_EQ(Field(r, 34), volume);          // TC volume
    EXPECT_FLOAT_EQ(Field(r, 42), 20000 - volume);  // ullage
    EXPECT_FLOAT_EQ(Field(r, 50), level);
  }
  const Bytes r = sim.Execute("i20201", "");
  vrsilo_delivery d[2]{};
  ASSERT_EQ(DecodeDeliveries(r.data(), r.size(), d, 2), 1u);
  EXPECT_EQ(std::string(d[0].start) + " " + d[0].end, "2024-01-15T10:30 2024-01-15T10:40");
  EXPECT_EQ(std::make_tuple(d[0].start_volume, d[0].end_volume, d[0].start_height, d[0].end_height),
            std::make_tuple(5000.0, 9000.0, 500.0, 900.0));
  EXPECT_EQ(d[0].fields, 0x3FFu);
}

TEST(GaugeSimReports, TenDeliveriesKeptNewestFirstAndTls4LastHasSixteenValues) {
  GaugeSim sim;
  TankState t;
  t.volume = 100;
  t.density = 800;
  sim.SetTanks({{3, t}, {5, t}});
  for (int litres = 1; litres <= 11; ++litres) ASSERT_TRUE(sim.Deliver(3, float(litres)));
  vrsilo_delivery d[12]{};
  Bytes r = sim.Execute("i20200", "");
  ASSERT_EQ(DecodeDeliveries(r.data(), r.size(), d, 12), 10u);  // tank 5 has none
  for (size_t k = 0; k < 10; ++k) EXPECT_EQ(d[k].end_volume - d[k].start_volume, 11.0 - k) << k;
  sim.SetModel(GaugeSim::Model::kTls4);
  r = sim.Execute("i20C03", "");
  ASSERT_EQ(DecodeDeliveries(r.data(), r.size(), d, 12), 1u);
  EXPECT_EQ(d[0].fields, 0xFFFFu);
  EXPECT_NEAR(d[0].start_mass, 124.0, 1e-3);  // 155 l and 166 l at 800 kg/m3
  EXPECT_NEAR(d[0].end_mass, 132.8, 1e-3);
  EXPECT_EQ(d[0].end_density, 800.0);
}

TEST(GaugeSimReports, NoReportsFaultRefusesThemAndNoAllTanksSparesI101) {
  GaugeSim sim;
  sim.SetTank(1, TankState{});
  for (const char* request :
       {"\x01i10100", "\x01i20501", "\x01i20201", "\x01i20C01", "\x01i60201"}) {
    sim.SetFault("no-reports");
    EXPECT_EQ(sim.Feed(request).at(0).bytes.size(), kErrorReply.size()) << request + 1;
    sim.SetFault("no-reports", false);
    sim.SetFault("no-all-tanks");
    EXPECT_TRUE(Valid(sim.Feed(request).at(0).bytes)) << request + 1;
  }
  EXPECT_EQ(sim.Feed("\x01i60200").at(0).bytes.size(), kErrorReply.size());
}

TEST(GaugeSimFaults, NamesParseAndDescribe) {
  Faults f;
  for (std::string_view name : FaultNames()) EXPECT_TRUE(SetFaultByName(f, name)) << name;
  EXPECT_TRUE(f.silent && f.bad_checksum && f.lower_checksum && f.cut && f.garbage && f.i201_only &&
              f.byte_by_byte);
  f.delay_ms = 5;
  EXPECT_TRUE(SetFaultByName(f, "none"));
  EXPECT_EQ(DescribeFaults(f), "delay=5ms");
  EXPECT_FALSE(SetFaultByName(f, "flaky"));
  EXPECT_EQ(DescribeFaults(Faults{}), "none");
}

TEST(GaugeSimWire, WireTimeIsTenBitsPerByte) {
  using std::chrono::nanoseconds;
  EXPECT_NEAR(std::chrono::duration_cast<nanoseconds>(WireTime(1, 9600)).count(), 1041667, 1);
  EXPECT_NEAR(std::chrono::duration_cast<nanoseconds>(WireTime(96, 9600)).count(), 100000000, 1);
  EXPECT_EQ(WireTime(10, 0), Clock::duration::zero());
  EXPECT_EQ(PayloadLength("s607"), 8u);
  EXPECT_EQ(PayloadLength("s606"), 160u);
  EXPECT_EQ(PayloadLength("i606"), 0u);
}

TEST_F(GaugeSimTest, FaultsCanBeSwitchedWhileAnotherThreadFeeds) {
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    bool on = false;
    while (!stop) {
      sim.SetFault("bad-checksum", on = !on);
      sim.SetDelay(on ? 10 : 0);
    }
  });
  int good = 0, bad = 0;
  for (int i = 0; i < 2000; ++i) {
    auto answers = sim.Feed("\x01i20101");
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_EQ(answers[0].bytes.size(), kI201Length);
    (Valid(answers[0].bytes) ? good : bad)++;
  }
  stop = true;
  flipper.join();
  EXPECT_EQ(good + bad, 2000);
  EXPECT_EQ(sim.GetStats().requests, 2000u);
}

}  // namespace
}  // namespace vr::sim
