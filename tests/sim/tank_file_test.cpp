// The tank text format of the gauge simulator.
#include "tank_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace vr::sim {
namespace {

std::string Cal20(int step) {
  std::string out;
  for (int k = 1; k <= 20; ++k) out += (k > 1 ? "," : "") + std::to_string(k * step);
  return out;
}

TEST(TankFile, ParsesTheDocumentedLine) {
  auto [n, t] = ParseTankSpec(
      "tank 1 level=1234.5 volume=20000 water=3.2 temperature=15.5 "
      "density=745.2 height=2500 cal=" +
      Cal20(100));
  EXPECT_EQ(n, 1);
  EXPECT_FLOAT_EQ(t.level, 1234.5f);
  EXPECT_FLOAT_EQ(t.volume, 20000.0f);
  EXPECT_FLOAT_EQ(t.water, 3.2f);
  EXPECT_FLOAT_EQ(t.temperature, 15.5f);
  EXPECT_FLOAT_EQ(t.density, 745.2f);
  EXPECT_FLOAT_EQ(t.height, 2500.0f);
  EXPECT_FLOAT_EQ(t.cal[0], 100.0f);
  EXPECT_FLOAT_EQ(t.cal[19], 2000.0f);
  // Defaults derived from the rest.
  EXPECT_FLOAT_EQ(t.tc_volume, 20000.0f);
  EXPECT_FLOAT_EQ(t.ullage, 0.0f);  // max(0, 2000 - 20000)
  EXPECT_FLOAT_EQ(t.tc_density, 745.2f);
  EXPECT_EQ(t.product, '1');
  EXPECT_EQ(t.status, "0000");
}

TEST(TankFile, CommandLineFormWithCommasAndCalInTheMiddle) {
  auto [n, t] = ParseTankSpec("7:level=10,cal=" + Cal20(1000) +
                              ",volume=5000,tcvolume=4990,"
                              "temp=-3,product=D,status=0001,watervolume=12,tcdensity=810,mass=9");
  EXPECT_EQ(n, 7);
  EXPECT_FLOAT_EQ(t.level, 10.0f);
  EXPECT_FLOAT_EQ(t.cal[19], 20000.0f);
  EXPECT_FLOAT_EQ(t.volume, 5000.0f);
  EXPECT_FLOAT_EQ(t.tc_volume, 4990.0f);
  EXPECT_FLOAT_EQ(t.temperature, -3.0f);
  EXPECT_FLOAT_EQ(t.water_volume, 12.0f);
  EXPECT_EQ(std::make_pair(t.tc_density, t.mass), std::make_pair(810.0f, 9.0f));
  EXPECT_FLOAT_EQ(t.ullage, 15000.0f);  // 20000 - 5000
  EXPECT_EQ(t.product, 'D');
  EXPECT_EQ(t.status, "0001");
}

TEST(TankFile, CapacityDerivesACylinderTable) {
  auto [n, t] = ParseTankSpec("2 capacity=30000 volume=1000");
  EXPECT_EQ(n, 2);
  EXPECT_FLOAT_EQ(t.cal[19], 30000.0f);
  EXPECT_FLOAT_EQ(t.cal[9], 15000.0f);  // half the diameter holds half the volume
  for (size_t k = 1; k < 20; ++k) EXPECT_GT(t.cal[k], t.cal[k - 1]);
  EXPECT_FLOAT_EQ(t.ullage, 29000.0f);
}

TEST(TankFile, FileWithCommentsAndBlankLines) {
  auto tanks = ParseTankFile(
      "# demo\n"
      "\n"
      "tank 1 level=100 volume=2000   # trailing comment\n"
      "   \n"
      "tank 16 level=5\n");
  ASSERT_EQ(tanks.size(), 2u);
  EXPECT_FLOAT_EQ(tanks.at(1).level, 100.0f);
  EXPECT_FLOAT_EQ(tanks.at(16).level, 5.0f);
}

TEST(TankFile, ErrorsNameTheLine) {
  auto message = [](std::string_view text) -> std::string {
    try {
      ParseTankFile(text);
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message("tank 1 level=1\ntank 2 colour=red\n"), "line 2: unknown key 'colour'");
  EXPECT_NE(message("tank 17 level=1\n").find("line 1"), std::string::npos);
  EXPECT_NE(message("tank 1 cal=1,2,3\n").find("20 values"), std::string::npos);
  EXPECT_NE(message("tank 1 level=abc\n").find("bad number"), std::string::npos);
  EXPECT_NE(message("tank 1 level=1\n\ntank 1 level=2\n").find("line 3"), std::string::npos);
  EXPECT_NE(message("tank 1 12\n").find("not key=value"), std::string::npos);
  EXPECT_NE(message("level=1\n").find("tank number"), std::string::npos);
  EXPECT_EQ(message("tank 1 alarms=leak+leek\n"), "line 1: unknown alarm 'leek'");
  EXPECT_NE(message("tank 1 alarms=100\n").find("unknown alarm '100'"), std::string::npos);
}

TEST(TankFile, UpdateChangesOnlyTheGivenKeys) {
  TankState base = ParseTankSpec("3 volume=100 level=50 tc_volume=99 capacity=1000").second;
  TankState t = ParseTankSpec("3:level=60", &base).second;
  EXPECT_FLOAT_EQ(t.level, 60.0f);
  EXPECT_FLOAT_EQ(t.volume, 100.0f);
  EXPECT_FLOAT_EQ(t.tc_volume, 99.0f);
  EXPECT_EQ(t.cal, base.cal);
  base = ParseTankSpec("3 alarms=high_water+11+3 label=A_B_", &t).second;
  EXPECT_EQ(base.alarms, (std::vector<int>{3, 11}));
  EXPECT_EQ(base.label, "A B ");
  t = ParseTankSpec("3 alarms=none,label=", &base).second;
  EXPECT_TRUE(t.alarms.empty() && t.label.empty());
}

TEST(TankFile, FormatRoundTrips) {
  auto tanks = DemoTanks();
  tanks[2].alarms = {3, 11, 35};  // 35 has no name
  tanks[2].label = "REGULAR UNLEADED";
  EXPECT_NE(FormatTank(2, tanks[2]).find(" alarms=high_water+delivery_needed+35 label=REGULAR_"),
            std::string::npos);
  for (const auto& [n, t] : tanks) {
    std::string line = FormatTank(n, t);
    auto [n2, t2] = ParseTankSpec(line);
    EXPECT_EQ(n2, n);
    EXPECT_EQ(t2, t) << line;
  }
}

TEST(TankFile, DemoTanksArePlausible) {
  auto tanks = DemoTanks();
  ASSERT_EQ(tanks.size(), 4u);
  for (const auto& [n, t] : tanks) {
    EXPECT_GE(n, 1);
    EXPECT_LE(n, 4);
    EXPECT_GT(t.height, 0);
    EXPECT_GT(t.level, 0);
    EXPECT_LT(t.level, t.height);
    EXPECT_GT(t.volume, 0);
    EXPECT_LT(t.volume, t.cal[19]);
    EXPECT_GT(t.density, 700);
    for (size_t k = 1; k < 20; ++k) EXPECT_GT(t.cal[k], t.cal[k - 1]);
  }
}

TEST(TankFile, LoadFromDisk) {
  std::string path = ::testing::TempDir() + "vr_sim_tanks.txt";
  {
    std::ofstream out(path);
    out << "# two tanks\ntank 1 level=1\ntank 2 level=2\n";
  }
  auto tanks = LoadTankFile(path);
  std::remove(path.c_str());
  EXPECT_EQ(tanks.size(), 2u);
  EXPECT_THROW(LoadTankFile(path), std::runtime_error);
}

}  // namespace
}  // namespace vr::sim
