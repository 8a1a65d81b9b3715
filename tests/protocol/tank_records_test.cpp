// Every field of the inventory reports, from the console's own examples and
// from made-up records whose values tell where they were read from.
#include "protocol/tank_records.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace vr {
namespace {

std::vector<vrsilo_tank_record> Decode(const std::string& frame, bool& ok, size_t capacity = 99) {
  std::vector<vrsilo_tank_record> out(capacity);
  const auto n = DecodeTankRecords(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(),
                                   out.data(), capacity);
  ok = n.has_value();
  out.resize(n.value_or(0));
  return out;
}

// A checked frame: SOH, echo, the console's time, body, "&&", checksum, ETX.
std::string Frame(const std::string& echo, const std::string& body) {
  std::string f = "\x01" + echo + "2401151030" + body + "&&0000\x03";
  const auto sum = ReplyChecksum(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  return f.replace(f.size() - 5, 4, sum.data(), 4);
}

TEST(TankRecords, TheConsoleExamplesOfBothReports) {
  bool ok = false;
  // "i201", tank 1, product '1', a delivery in progress, seven fields.
  auto r = Decode(
      "\x01i20101240115103001100010745A6880045A928004592D8004243E1480000000042158F5C00000000&&EF2D"
      "\x03",
      ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].tank, 1);
  EXPECT_EQ(r[0].product, '1');
  EXPECT_EQ(r[0].status, unsigned{VRSILO_STATUS_DELIVERY});
  EXPECT_STREQ(r[0].console_time, "2024-01-15T10:30");
  EXPECT_EQ(r[0].fields, 0x7Fu & ~unsigned{VRSILO_FIELD_MASS});
  EXPECT_EQ(r[0].volume, 5329.0);
  EXPECT_EQ(r[0].tc_volume, 5413.0);
  EXPECT_EQ(r[0].ullage, 4699.0);
  EXPECT_NEAR(r[0].height, 48.97, 1e-5);
  EXPECT_NEAR(r[0].temperature, 37.39, 1e-5);
  EXPECT_EQ(r[0].water_volume, 0.0);

  // "i214", ten fields.
  r = Decode(
      "\x01i21401240115103001100000A45BB80004710200042380000422A00003E800000428800004237333345BAB8"
      "00457A000040000000&&EA74\x03",
      ok);
  ASSERT_TRUE(ok && r.size() == 1u);
  EXPECT_EQ(r[0].fields, 0x3FFu);
  EXPECT_EQ(r[0].status, 0u);
  const double want[] = {6000, 36896, 46.0, 42.5, 0.25, 68.0, 45.8, 5975, 4000, 2.0};
  const double got[] = {r[0].volume, r[0].mass,        r[0].density,    r[0].height,
                        r[0].water,  r[0].temperature, r[0].tc_density, r[0].tc_volume,
                        r[0].ullage, r[0].water_volume};
  for (int k = 0; k < 10; ++k) EXPECT_NEAR(got[k], want[k], 1e-4) << "field " << k + 1;
}

TEST(TankRecords, TableOfRecordsAndFaults) {
  const std::string f1 = "447A0000";   // 1000
  const std::string nan = "7FC00000";  // NaN
  const std::string inf = "7F800000";  // infinity
  const struct {
    const char* name;
    std::string frame;
    bool ok;
    std::vector<int> tanks;
    std::vector<unsigned> fields;
  } cases[] = {
      {"every tank, three records",
       Frame("i21400", "01A000106" + std::string(48, '0') + "02B000206" + std::string(48, '0') +
                           "16C000406" + std::string(48, '0')),
       true,
       {1, 2, 16},
       {0x1D9u, 0x1D9u, 0x1D9u}},
      {"no tank at all", Frame("i20100", ""), true, {}, {}},
      {"non-finite fields are absent",
       Frame("i20103",
             "03100000"
             "3" +
                 nan + inf + f1),
       true,
       {3},
       {VRSILO_FIELD_ULLAGE}},
      {"a tank without data",
       Frame("i20100", "05?????06" + std::string(48, '0') + "061000006" + std::string(48, '0')),
       true,
       {5, 6},
       {0u, 0x5Fu}},
      {"a '?' count ends the reply",
       Frame("i20100",
             "071000006" + std::string(48, '0') + "081????" + "??" + std::string(48, '0')),
       true,
       {7},
       {0x5Fu}},
      {"records not filling the reply",
       Frame("i21400", "011000006" + std::string(40, '0')),
       false,
       {},
       {}},
      {"another report", Frame("i60201", "01REGULAR UNLEADED    "), false, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool ok = false;
    const auto r = Decode(c.frame, ok);
    EXPECT_EQ(ok, c.ok);
    ASSERT_EQ(r.size(), c.tanks.size());
    for (size_t i = 0; i < r.size(); ++i) {
      EXPECT_EQ(r[i].tank, c.tanks[i]);
      EXPECT_EQ(r[i].fields, c.fields[i]) << "tank " << r[i].tank;
    }
  }
}

}  // namespace
}  // namespace vr
