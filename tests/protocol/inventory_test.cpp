// Inventory replies of both console families, one tank or every tank, through
// the pure decoders.
#include "protocol/inventory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "protocol/frame.h"
#include "protocol/hex_float.h"

namespace vr {
namespace {

// Field k of tank t carries 1000 k + t; the water (field 5) carries t alone.
float FieldValue(int tank, int k) {
  return k == 5 ? static_cast<float>(tank) : static_cast<float>(1000 * k + tank);
}

// A tank's block: number, product, status, field count, fields.
std::string Block(int tank, int fields, int declared = -1) {
  char head[16];
  std::snprintf(head, sizeof head, "%02d10000%02X", tank, declared < 0 ? fields : declared);
  std::string b = head;
  for (int k = 1; k <= fields; ++k) {
    char hex[8];
    SingleToHex(FieldValue(tank, k), hex);
    b.append(hex, 8);
  }
  return b;
}

// A checked frame: SOH, echo, date and time, body, "&&", checksum, ETX.
std::string Frame(const std::string& echo, const std::string& body) {
  std::string f = "\x01" + echo + "2612081200" + body + "&&0000\x03";
  const auto sum = ReplyChecksum(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  f.replace(f.size() - 5, 4, sum.data(), 4);
  return f;
}

struct SingleCase {
  const char* name;
  std::string frame;
  bool data;     // the fields are read (else: zeros, stamped)
  bool density;  // field 3 as density
};

class SingleTank : public ::testing::TestWithParam<SingleCase> {};

TEST_P(SingleTank, DecodesByLengthAndFieldCount) {
  const SingleCase& c = GetParam();
  FrameBuffer buffer{};
  ASSERT_LE(c.frame.size(), buffer.size());
  std::copy(c.frame.begin(), c.frame.end(), buffer.begin());
  const auto r = DecodeInventoryReply(buffer.data(), static_cast<uint8_t>(c.frame.size()));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->tank, 3);
  EXPECT_EQ(r->reading.Level, c.data ? 4003.0 : 0.0);
  EXPECT_EQ(r->reading.Volume, c.data ? 1003.0 : 0.0);
  EXPECT_EQ(r->reading.Water, c.data ? 3 : 0);
  for (double t : r->reading.Temperature) EXPECT_EQ(t, c.data ? 6003.0 : 0.0);
  EXPECT_EQ((r->stamps & StampBit(kStampDensity)) != 0, c.density);
  if (c.density) {
    EXPECT_DOUBLE_EQ(r->reading.Density, 3.003);
  }
  EXPECT_EQ(r->stamps & StampBit(kStampLevel), StampBit(kStampLevel));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SingleTank,
    ::testing::Values(
        SingleCase{"SixFieldsOlderDensityReport", Frame("i21403", Block(3, 6)), true, true},
        SingleCase{"SevenFieldsPlainReport", Frame("i20103", Block(3, 7)), true, false},
        SingleCase{"TenFieldsNewerDensityReport", Frame("i21403", Block(3, 10)), true, true},
        SingleCase{"TenFieldsPlainReportHasNoDensity", Frame("i20103", Block(3, 10)), true, false},
        SingleCase{"CountDisagreesWithLength", Frame("i21403", Block(3, 10, 11)), false, false},
        SingleCase{"CountZero", Frame("i21403", Block(3, 0)), false, false},
        SingleCase{"FiveFieldsTooFew", Frame("i21403", Block(3, 5)), false, false},
        SingleCase{"CountNotHex", Frame("i21403", Block(3, 8).replace(7, 2, "0G")), false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AllTanks, EveryTankOfTheReplyInItsPlace) {
  std::string body;
  for (int t = 1; t <= 16; ++t) body += Block(t, 10);
  const std::string f = Frame("i21400", body);
  const auto r = DecodeAllTanksReply(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(f.size(), 17u + 16u * (9 + 80) + 7u);
  EXPECT_EQ(r->count, 16);
  for (int t = 1; t <= 16; ++t) {
    const InventoryReply& x = r->tanks[t - 1];
    EXPECT_EQ(x.tank, t);
    EXPECT_EQ(x.reading.Level, 4000.0 + t);
    EXPECT_EQ(x.reading.Water, t);
    EXPECT_DOUBLE_EQ(x.reading.Density, (3000.0 + t) / 1000.0);
  }
}

TEST(AllTanks, OneTankAndTheTanksPassedOver) {
  const std::string one = Frame("i20100", Block(7, 7));
  auto r = DecodeAllTanksReply(reinterpret_cast<const uint8_t*>(one.data()), one.size());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->count, 1);
  EXPECT_EQ(r->tanks[6].reading.Volume, 1007.0);
  EXPECT_EQ(r->tanks[6].stamps & StampBit(kStampDensity), 0) << "no density in i201";
  // Tank 17 lies outside the cache, tank 2 has too few fields: both passed
  // over, the blocks after them still read.
  const std::string mixed = Frame("i21400", Block(17, 6) + Block(2, 5) + Block(4, 6));
  r = DecodeAllTanksReply(reinterpret_cast<const uint8_t*>(mixed.data()), mixed.size());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->count, 1);
  EXPECT_EQ(r->tanks[1].tank, 0);
  EXPECT_EQ(r->tanks[3].reading.Level, 4004.0);
  // No tanks at all: a valid, empty answer.
  const std::string none = Frame("i21400", "");
  r = DecodeAllTanksReply(reinterpret_cast<const uint8_t*>(none.data()), none.size());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->count, 0);
}

TEST(AllTanks, AReplyThatDoesNotAddUpIsNotTrusted) {
  const std::string whole = Block(1, 6) + Block(2, 6);
  for (const std::string& body : {whole.substr(0, whole.size() - 8),      // cut short
                                  whole.substr(0, whole.size() - 3),      // cut inside a field
                                  whole + "12345",                        // trailing bytes
                                  Block(1, 6, 7) + Block(2, 6),           // count too high
                                  std::string("x") + whole.substr(1)}) {  // tank not digits
    const std::string f = Frame("i21400", body);
    EXPECT_FALSE(
        DecodeAllTanksReply(reinterpret_cast<const uint8_t*>(f.data()), f.size()).has_value())
        << body.size();
  }
}

}  // namespace
}  // namespace vr
