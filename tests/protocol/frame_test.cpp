// Request frames, the reply check, hex floats, the 80-bit extended format and
// the shared rounding rule.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/rounding.h"
#include "protocol/extended.h"
#include "protocol/hex_float.h"
#include "test_support.h"

namespace vr::test {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(Frame, RequestIsSohCommandPayload) {
  uint8_t frame[255];
  ASSERT_EQ(BuildRequest("i20101", nullptr, 0, frame), 7);
  const uint8_t expect[] = {0x01, 0x69, 0x32, 0x30, 0x31, 0x30, 0x31};
  EXPECT_EQ(0, memcmp(frame, expect, 7));
  // Only six characters of the command count; the payload follows them.
  const uint8_t payload[] = {'4', '5', '1', 'C', '4', '0', '0', '0'};
  ASSERT_EQ(BuildRequest("s60712xyz", payload, 8, frame), 15);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(frame) + 1, 14), "s60712451C4000");
  // A payload beyond the buffer is cut, never written past it.
  std::vector<uint8_t> big(300, 'A');
  EXPECT_EQ(BuildRequest("s60601", big.data(), big.size(), frame), 255);
}

struct CheckCase {
  const char* name;
  std::vector<uint8_t> reply;
  bool valid;
  uint8_t status;
  const char* echo = nullptr;  // the request's six command characters
};

class ReplyCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ReplyCheck, Verdict) {
  const CheckCase& c = GetParam();
  ReplyVerdict v =
      VerifyReply(c.reply.data(), c.reply.size(), reinterpret_cast<const uint8_t*>(c.echo));
  EXPECT_EQ(v.valid, c.valid);
  EXPECT_EQ(v.status, c.status);
}

std::vector<uint8_t> Minimal() {
  auto r = Bytes("\x01i20101&&FE56\x03");
  return r;
}
std::vector<uint8_t> With(std::vector<uint8_t> r, size_t i, uint8_t b) {
  r[i] = b;
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReplyCheck,
    ::testing::Values(CheckCase{"minimal", Minimal(), true, 0},
                      CheckCase{"lowerCase", Bytes("\x01i20101&&fe56\x03"), false, 222},
                      CheckCase{"wrongSum", Bytes("\x01i20101&&FE57\x03"), false, 222},
                      CheckCase{"firstByte", With(Minimal(), 0, 0x7F), false, 0x7F},
                      CheckCase{"noEtx", With(Minimal(), 13, 0x04), false, 1},
                      CheckCase{"built", MakeReply("i21401", std::string(55, '0')), true, 0},
                      CheckCase{"short", Bytes("\x01\x03"), false, 222},
                      CheckCase{"single", Bytes("\x01"), false, 1},
                      CheckCase{"unknownCommand", Bytes(std::string(kUnknownCommandReply)), false,
                                1, "i21401"},
                      CheckCase{"otherTank", MakeReply("i21402", ""), false, 1, "i21401"},
                      // Too short to carry an echo: refused without reading past it.
                      CheckCase{"noRoomForEcho",
                                Bytes("\x01"
                                      "FFFF\x03"),
                                false, 1, "FFFF\x03"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Frame, ChecksumOfTheMinimalReply) {
  auto r = Minimal();
  EXPECT_EQ(ReplyChecksumValue(r.data(), r.size()), 0xFE56);  // 65536 - 426
  EXPECT_EQ(ReplyChecksumValue(r.data(), 5), 0);              // too short: nothing summed
}

TEST(Frame, TankDigits) {
  EXPECT_EQ(TankDigits(1), "01");
  EXPECT_EQ(TankDigits(16), "16");
  EXPECT_EQ(TankDigits(31), "31");
}

TEST(HexFloat, Decodes) {
  struct {
    const char* text;
    float value;
  } cases[] = {{"BF800000", -1.0f},   {"41A40000", 20.5f}, {"41a40000", 20.5f}, {"00000000", 0.0f},
               {"451C4000", 2500.0f}, {"41A4 000", 0.0f},  {"41A4G000", 0.0f},  {"-1A40000", 0.0f}};
  for (auto& c : cases) {
    uint8_t buf[255] = {};
    memcpy(buf + 10, c.text, 8);
    EXPECT_EQ(HexToSingle(buf, 10), c.value) << c.text;
  }
  uint8_t buf[255];
  memset(buf, '4', sizeof buf);
  EXPECT_NE(HexToSingle(buf, 247), 0.0f);
  EXPECT_EQ(HexToSingle(buf, 249), 0.0f) << "would run past the buffer";
  EXPECT_EQ(HexToSingle(buf, 255), 0.0f);
  // Every bit pattern is a value, NaNs included.
  memcpy(buf, "7FC00000", 8);
  EXPECT_TRUE(std::isnan(HexToSingle(buf, 0)));
}

TEST(HexFloat, EncodesUpperCaseWithLeadingZeros) {
  char out[10] = "#########";
  SingleToHex(1.0f, out);
  EXPECT_EQ(std::string(out, 9), "3F800000#");
  SingleToHex(0.0f, out);
  EXPECT_EQ(std::string(out, 8), "00000000");
  SingleToHex(-20.5f, out);
  EXPECT_EQ(std::string(out, 8), "C1A40000");
  SingleToHex(1e-45f, out);
  EXPECT_EQ(std::string(out, 8), "00000001");
}

TEST(Extended, KnownEncodings) {
  uint8_t b[10];
  DoubleToExtended(1.0, b);
  const uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  EXPECT_EQ(0, memcmp(b, one, 10));
  DoubleToExtended(-2.0, b);
  const uint8_t minusTwo[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0};
  EXPECT_EQ(0, memcmp(b, minusTwo, 10));
  DoubleToExtended(0.0, b);
  for (uint8_t x : b) EXPECT_EQ(x, 0);
}

TEST(Extended, RoundTripsDoubles) {
  const double values[] = {1.0,
                           -1.0,
                           0.1,
                           1234.5678,
                           2500.0,
                           1e300,
                           -1e-300,
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::infinity(),
                           -0.0};
  for (double v : values) {
    uint8_t b[10];
    DoubleToExtended(v, b);
    double back = ExtendedToDouble(b);
    EXPECT_EQ(back, v) << v;
    EXPECT_EQ(std::signbit(back), std::signbit(v)) << v;
  }
  uint8_t b[10];
  DoubleToExtended(std::nan(""), b);
  EXPECT_TRUE(std::isnan(ExtendedToDouble(b)));
}

TEST(Extended, ReadsValuesBeyondDoubleRangeSafely) {
  // Exponent far above the double range: infinity, not undefined behaviour.
  const uint8_t huge[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x7F};
  EXPECT_TRUE(std::isinf(ExtendedToDouble(huge)));
  // An extended value with more precision than a double rounds to nearest.
  const uint8_t third[10] = {0xAB, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xFD, 0x3F};
  EXPECT_DOUBLE_EQ(ExtendedToDouble(third), 1.0 / 3.0);
  // Unnormal (integer bit clear with a nonzero exponent) is not a number.
  const uint8_t unnormal[10] = {0, 0, 0, 0, 0, 0, 0, 0x40, 0xFF, 0x3F};
  EXPECT_TRUE(std::isnan(ExtendedToDouble(unnormal)));
}

TEST(Rounding, HalvesGoToEven) {
  struct {
    double in, out;
  } cases[] = {{2.5, 2},       {3.5, 4},  {-2.5, -2}, {-3.5, -4}, {2500.5, 2500},
               {2501.5, 2502}, {0.49, 0}, {0.51, 1},  {-0.5, -0}, {254.6, 255}};
  for (auto& c : cases) EXPECT_EQ(RoundHalfEven(c.in), c.out) << c.in;
  EXPECT_EQ(RoundToInt64(std::nan("")), 0);
  EXPECT_EQ(RoundToInt32(1e20), INT32_MAX);
  EXPECT_EQ(RoundToInt32(-1e20), INT32_MIN);
}

}  // namespace
}  // namespace vr::test
