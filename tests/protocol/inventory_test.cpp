// Inventory replies of both console families, one tank or every tank, through
// the pure decoders. Field k of tank t carries 1000 k + t, the water (field 5)
// t alone, so every value shows where it was read from.
#include "protocol/inventory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "protocol/frame.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

std::string Block(int tank, int fields, int declared = -1) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d10000%02X", tank, declared < 0 ? fields : declared);
  std::string s = b;
  for (int k = 1; k <= fields; ++k) {
    SingleToHex(k == 5 ? static_cast<float>(tank) : static_cast<float>(1000 * k + tank), b);
    s.append(b, 8);
  }
  return s;
}

// A checked frame: SOH, echo, date and time, body, "&&", checksum, ETX.
std::string Frame(const std::string& echo, const std::string& body) {
  std::string f = "\x01" + echo + "2612081200" + body + "&&0000\x03";
  const auto sum = ReplyChecksum(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  return f.replace(f.size() - 5, 4, sum.data(), 4);
}

struct Case {
  std::string frame;
  bool data, density;  // single tank: fields read; field 3 read as density
};

TEST(Inventory, OneTankByLengthAndFieldCount) {
  const Case cases[] = {
      {Frame("i21403", Block(3, 6)), true, true},         // older density report, 81 bytes
      {Frame("i20103", Block(3, 7)), true, false},        // plain report, 89 bytes
      {Frame("i21403", Block(3, 10)), true, true},        // newer density report, 113 bytes
      {Frame("i20103", Block(3, 10)), true, false},       // no density outside "i214"
      {Frame("i21403", Block(3, 10, 11)), false, false},  // count disagrees with length
      {Frame("i21403", Block(3, 0)), false, false},
      {Frame("i21403", Block(3, 5)), false, false},  // too few fields
      {Frame("i21403", Block(3, 8).replace(7, 2, "0G")), false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame.size());
    FrameBuffer buffer{};
    std::copy(c.frame.begin(), c.frame.end(), buffer.begin());
    const auto r = DecodeInventoryReply(buffer.data(), static_cast<uint8_t>(c.frame.size()));
    ASSERT_TRUE(r && r->tank == 3);
    EXPECT_EQ(r->reading.Level, c.data ? 4003.0 : 0.0);
    EXPECT_EQ(r->reading.Volume, c.data ? 1003.0 : 0.0);
    EXPECT_EQ(r->reading.Water, c.data ? 3 : 0);
    EXPECT_EQ(r->reading.Temperature[3], c.data ? 6003.0 : 0.0);
    EXPECT_EQ(r->reading.Density, c.density ? 3.003 : 0.0);
    EXPECT_EQ((r->stamps & StampBit(kStampDensity)) != 0, c.density);
  }
}

TEST(Inventory, EveryTankInOneReply) {
  std::string sixteen;
  for (int t = 1; t <= 16; ++t) sixteen += Block(t, 10);
  const std::string two = Block(1, 6) + Block(2, 6);
  // Tank 17 and a block with too few fields are passed over; tank 4 is read.
  const struct {
    std::string frame;
    int count;  // -1: not trusted at all
  } cases[] = {{Frame("i21400", sixteen), 16},
               {Frame("i20100", Block(7, 7)), 1},
               {Frame("i21400", Block(17, 6) + Block(2, 5) + Block(4, 6)), 1},
               {Frame("i21400", ""), 0},
               {Frame("i21400", two.substr(0, two.size() - 8)), -1},  // cut short
               {Frame("i21400", two.substr(0, two.size() - 3)), -1},  // cut in a field
               {Frame("i21400", two + "12345"), -1},
               {Frame("i21400", Block(1, 6, 7) + Block(2, 6)), -1},
               {Frame("i21400", "x" + two.substr(1)), -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame.size());
    const auto r =
        DecodeAllTanksReply(reinterpret_cast<const uint8_t*>(c.frame.data()), c.frame.size());
    ASSERT_EQ(r.has_value(), c.count >= 0);
    if (!r) continue;
    EXPECT_EQ(r->count, c.count);
    for (int t = 1; t <= 16; ++t) {
      const InventoryReply& x = r->tanks[t - 1];
      if (x.tank == 0) continue;
      EXPECT_EQ(x.tank, t);
      EXPECT_EQ(x.reading.Level, 4000.0 + t);
      EXPECT_EQ(x.reading.Water, t);
      const bool density = c.frame[1 + 3] == '4';
      EXPECT_EQ(x.reading.Density, density ? (3000.0 + t) / 1000.0 : 0.0);
    }
  }
}

// NaN and infinity never reach the host's slots: they read as 0.0.
TEST(Inventory, NonFiniteValuesReadAsZero) {
  for (const char* bits : {"7FC00000", "7F800000", "FF800000"}) {
    SCOPED_TRACE(bits);
    std::string block = Block(3, 6);
    for (int k = 0; k < 6; ++k) block.replace(9 + 8 * k, 8, bits);
    const std::string frame = Frame("i21403", block);
    FrameBuffer buffer{};
    std::copy(frame.begin(), frame.end(), buffer.begin());
    const auto r = DecodeInventoryReply(buffer.data(), static_cast<uint8_t>(frame.size()));
    ASSERT_TRUE(r);
    const TankReading& t = r->reading;
    for (double v : {t.Level, t.Volume, t.Density, t.Temperature[0], t.Temperature[3]})
      EXPECT_EQ(v, 0.0);
    EXPECT_EQ(t.Water, 0);
  }
}

}  // namespace
}  // namespace vr
