// The console's status, alarm, delivery and label reports: its own examples,
// and made-up replies for the edges (empty reports, unknown types, tanks
// without data, more items than room).
#include "protocol/console_reports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame.h"

namespace vr {
namespace {

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// A checked frame: SOH, echo, the console's time, body, "&&", checksum, ETX.
std::string Frame(const std::string& echo, const std::string& body) {
  std::string f = "\x01" + echo + "2401151030" + body + "&&0000\x03";
  const auto sum = ReplyChecksum(Bytes(f), f.size());
  return f.replace(f.size() - 5, 4, sum.data(), 4);
}

template <typename T, typename Decode>
std::optional<std::vector<T>> Run(Decode decode, const std::string& frame, size_t capacity = 32) {
  std::vector<T> out(capacity);
  const auto n = decode(Bytes(frame), frame.size(), out.data(), capacity);
  if (!n) return std::nullopt;
  out.resize(std::min(*n, capacity));
  return out;
}
auto Alarms(const std::string& f, size_t cap = 32) {
  return Run<vrsilo_alarm>(DecodeTankAlarms, f, cap);
}
auto Status(const std::string& f) {
  return Run<vrsilo_alarm>(DecodeSystemStatus, f);
}
auto Deliveries(const std::string& f) {
  return Run<vrsilo_delivery>(DecodeDeliveries, f);
}
auto Labels(const std::string& f) {
  return Run<vrsilo_tank_label>(DecodeLabels, f);
}

// "tank:type" of each alarm, to compare lists at a glance.
std::string Codes(const std::vector<vrsilo_alarm>& alarms) {
  std::string s;
  for (const auto& a : alarms)
    s += std::to_string(a.category) + "/" + std::to_string(a.type) + "/" +
         std::to_string(a.device) + "=" + a.name + " ";
  return s;
}

TEST(ConsoleReports, TheConsoleExamples) {
  auto st = Status("\x01i101002401151030020302021101030605&&F8ED\x03");
  ASSERT_TRUE(st);
  EXPECT_EQ(Codes(*st), "2/3/2=high_water 2/11/1=delivery_needed 3/6/5= ");
  EXPECT_STREQ((*st)[2].category_name, "liquid_sensor");
  EXPECT_STREQ((*st)[0].console_time, "2024-01-15T10:30");
  st = Status("\x01i101002401151030&&FC67\x03");
  ASSERT_TRUE(st);
  EXPECT_TRUE(st->empty());

  auto al = Alarms("\x01i205002401151030010002020311&&FA18\x03");
  ASSERT_TRUE(al);
  EXPECT_EQ(Codes(*al), "2/3/2=high_water 2/11/2=delivery_needed ");

  auto dl = Deliveries(
      "\x01i20201240115103001101240114150524011415140A449B80004499E000000000004293C7AE4549F0004547"
      "A00000000000429847AE41C333334241147B&&E67D\x03");
  ASSERT_TRUE(dl);
  ASSERT_EQ(dl->size(), 1u);
  const vrsilo_delivery& d = (*dl)[0];
  EXPECT_EQ(d.tank, 1);
  EXPECT_EQ(d.product, '1');
  EXPECT_STREQ(d.start, "2024-01-14T15:05");
  EXPECT_STREQ(d.end, "2024-01-14T15:14");
  EXPECT_EQ(d.fields, 0x3FFu);
  EXPECT_EQ(d.start_volume, 1244.0);
  EXPECT_EQ(d.start_tc_volume, 1231.0);
  EXPECT_NEAR(d.start_temperature, 73.89, 1e-4);
  EXPECT_EQ(d.end_volume, 3231.0);
  EXPECT_EQ(d.end_tc_volume, 3194.0);
  EXPECT_NEAR(d.end_temperature, 76.14, 1e-4);
  EXPECT_NEAR(d.start_height, 24.4, 1e-5);
  EXPECT_NEAR(d.end_height, 48.27, 1e-5);
  dl = Deliveries("\x01i20C02240115103002200&&FB5E\x03");
  ASSERT_TRUE(dl);
  EXPECT_TRUE(dl->empty());

  auto lb = Labels("\x01i60201240115103001REGULAR UNLEADED    &&F70B\x03");
  ASSERT_TRUE(lb && lb->size() == 1u);
  EXPECT_EQ((*lb)[0].tank, 1);
  EXPECT_STREQ((*lb)[0].label, "REGULAR UNLEADED");
}

TEST(ConsoleReports, TankStatusEdges) {
  struct Case {
    const char* body;
    bool ok;
    const char* codes;
  } cases[] = {
      {"", true, ""},                       // no active tank
      {"0100", true, ""},                   // a tank without alarms
      {"030B0203040506070809101112", true,  // eleven alarms, count in hex
       "2/2/3=leak 2/3/3=high_water 2/4/3=overfill 2/5/3=low_product 2/6/3=sudden_loss "
       "2/7/3=high_product 2/8/3=invalid_height 2/9/3=probe_out 2/10/3=high_water_warning "
       "2/11/3=delivery_needed 2/12/3=max_product "},
      {"01023599", true, "2/35/1= 2/99/1= "},        // types without a name keep their numbers
      {"0101??020105", true, "2/5/2=low_product "},  // a tank without data is left out
      {"01??0201", true, ""},                        // '?' in the count: the rest is unreadable
      {"010203", false, ""},                         // a count the record does not fill
      {"01020A0B", false, ""},                       // a type that is not decimal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto al = Alarms(Frame("i20500", c.body));
    ASSERT_EQ(al.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(Codes(*al), c.codes);
    }
  }
  // More alarms than room: the count says how many there were.
  const std::string f = Frame("i20500", "010302030402020506");
  vrsilo_alarm two[2];
  EXPECT_EQ(DecodeTankAlarms(Bytes(f), f.size(), two, 2), std::optional<size_t>(5));
  EXPECT_EQ(two[1].type, 3);
  // Not this report, or no room for the header.
  EXPECT_FALSE(Alarms(Frame("i20100", "0100")));
  EXPECT_FALSE(Status(Frame("i10100", "02030")));
  EXPECT_FALSE(Status(Frame("i10100", "0203A2")));
}

TEST(ConsoleReports, ManyDeliveriesAndTheNewerFamilysLastDelivery) {
  // Sixteen values (the newer family's "i20C"), then a tank with three
  // deliveries of ten, one of them without data, then a tank without any.
  std::string ten, sixteen;
  for (int k = 1; k <= 16; ++k) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", 0x3F800000u + static_cast<unsigned>(k) * 0x00100000u);
    (k <= 10 ? ten : sixteen) += hex;
  }
  sixteen = ten + sixteen;
  const std::string block10 =
      "2401141505240114151"
      "40A" +
      ten;
  const std::string unknown =
      "2401141505240114151"
      "40A" +
      std::string(80, '?');
  auto dl = Deliveries(Frame("i20C00",
                             "01101"
                             "2401141505240114151410" +
                                 sixteen + "02203" + block10 + unknown + block10 + "03300"));
  ASSERT_TRUE(dl);
  ASSERT_EQ(dl->size(), 3u);
  EXPECT_EQ((*dl)[0].fields, 0xFFFFu);
  EXPECT_GT((*dl)[0].end_tc_density, (*dl)[0].start_tc_density);
  EXPECT_EQ((*dl)[1].tank, 2);
  EXPECT_EQ((*dl)[1].product, '2');
  EXPECT_EQ((*dl)[1].fields, 0x3FFu);
  EXPECT_EQ((*dl)[1].start_mass, 0.0);
  EXPECT_EQ((*dl)[2].tank, 2);
  // '?' in a count ends the reply; a count past the end is refused.
  dl = Deliveries(Frame("i20200", "01101" + block10 + "021??"));
  ASSERT_TRUE(dl);
  EXPECT_EQ(dl->size(), 1u);
  EXPECT_FALSE(Deliveries(Frame("i20200", "01102" + block10)));
}

TEST(ConsoleReports, LabelsAndNames) {
  auto lb = Labels(Frame("i60200",
                         "01DIESEL              02\x01"
                         "BAD               \x7F"
                         "??????????????????????"));
  ASSERT_TRUE(lb);
  ASSERT_EQ(lb->size(), 2u);
  EXPECT_STREQ((*lb)[0].label, "DIESEL");
  EXPECT_STREQ((*lb)[1].label, "?BAD               ?");
  EXPECT_FALSE(Labels(Frame("i60200", "01SHORT")));

  for (int type = 0; type < 100; ++type) {
    const std::string name = TankAlarmName(type);
    if (!name.empty()) {
      EXPECT_EQ(TankAlarmType(name), type);
    }
  }
  EXPECT_EQ(TankAlarmType("high_water"), 3);
  EXPECT_EQ(TankAlarmType("no_such_alarm"), 0);
  EXPECT_STREQ(TankAlarmName(-1), "");
  EXPECT_STREQ(AlarmCategoryName(2), "tank");
  EXPECT_STREQ(AlarmCategoryName(42), "");
}

}  // namespace
}  // namespace vr
