// Bad input from the host through the C interface: tank indexes above 15,
// connection types 9..255, null pointers, and the slots called in any order
// before and after failures of the gauge.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "fault_support.h"
#include "protocol/extended.h"

namespace vr::faults {
namespace {

using sim::GaugeSim;
using sim::PtyGauge;
using Host = HostLibrary;

// "v3.00#Протокол к уровнемеру VEEDER-ROOT" in Windows-1251, after its length byte.
const std::string kIdentity =
    "\x27v3.00#\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB \xEA \xF3\xF0\xEE\xE2\xED\xE5\xEC\xE5\xF0\xF3"
    " VEEDER-ROOT";

class HostInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.Loaded()) << dlerror();
    for (int n = 1; n <= 16; ++n) gauge_.SetTank(n, TankValues(n));
    path_ = pty_.Start();
  }
  void TearDown() override { pty_.Close(); }

  // Slot 2 writes exactly 40 bytes: the identity, and nothing past it.
  static void ExpectIdentity(VrSilo* s) {
    std::array<char, 48> buffer;
    buffer.fill('#');
    Host::Identity(s, buffer.data());
    EXPECT_EQ(std::string(buffer.data(), 40), kIdentity);
    for (size_t k = 40; k < buffer.size(); ++k) ASSERT_EQ(buffer[k], '#') << k;
  }

  // Every read slot answers its default for tank index i.
  static void ExpectDefaults(VrSilo* s, uint32_t i) {
    EXPECT_EQ(Host::Level(s, i), 0.0) << i;
    EXPECT_EQ(Host::Volume(s, i), 0.0) << i;
    EXPECT_EQ(Host::Water(s, i), 0u) << i;
    EXPECT_EQ(Host::Density(s, i), 0.77) << i;
    double t[4] = {3, 3, 3, 3};
    Host::Temperatures(s, i, t);
    for (double v : t) EXPECT_EQ(v, 0.0) << i;
  }

  // The slots without behaviour, the menu slot without a menu, and the
  // calibration slots without buffers: no effect, no crash.
  static void PokeTheRest(VrSilo* s) {
    const VrSlotFn* table = vrsilo_table(s);
    reinterpret_cast<VrAbstractFn>(table[VRSILO_SLOT_ABSTRACT0])(s);
    reinterpret_cast<VrAbstractFn>(table[VRSILO_SLOT_ABSTRACT1])(s);
    reinterpret_cast<VrReserved0Fn>(table[VRSILO_SLOT_RESERVED6])(s);
    reinterpret_cast<VrReserved1Fn>(table[VRSILO_SLOT_RESERVED7])(s, 0xFFFFFFFFu);
    reinterpret_cast<VrReserved0Fn>(table[VRSILO_SLOT_RESERVED8])(s);
    reinterpret_cast<VrReserved2Fn>(table[VRSILO_SLOT_RESERVED13])(s, 1, 2);
    reinterpret_cast<VrAddMenuItemFn>(table[VRSILO_SLOT_ADD_MENU_ITEM])(s, nullptr, 0);
    Host::Temperatures(s, 0, nullptr);
    int32_t height = 77;
    VrCalibrationPoints p{};
    EXPECT_EQ(Host::ReadTable(s, 1, nullptr, &p), -1);
    EXPECT_EQ(Host::ReadTable(s, 1, &height, nullptr), -1);
    EXPECT_EQ(Host::WriteTable(s, 1, 2500, nullptr), -1);
    EXPECT_EQ(Host::ReadTable(s, 0, &height, &p), -1) << "tank 0 would address every tank";
    EXPECT_EQ(height, 77);
  }

  uint64_t Requests() const { return gauge_.GetStats().requests; }

  test::TempWindowsDir windir_;
  HostLibrary lib_;
  GaugeSim gauge_;
  PtyGauge pty_{gauge_};
  std::string path_;
};

TEST_F(HostInputTest, TankIndexesAbove15AnswerDefaultsWithoutAsking) {
  windir_.WriteSettings(SettingsText(4, 0, {{2, path_}}));
  VrSilo* s = lib_.Ex2();
  for (uint32_t state : {1u, 3u}) {
    Host::SetState(s, state);
    for (uint32_t i = 16; i <= 255; ++i) {
      ExpectDefaults(s, i);
      ASSERT_EQ(Host::State(s), state) << "no exchange, no change of the link state";
    }
  }
  EXPECT_EQ(Requests(), 0u);
  // Only the low byte is the index: 0x100 + 2 reads tank index 2.
  EXPECT_EQ(Host::Level(s, 0x102), LevelOf(3));
  EXPECT_EQ(Host::Level(s, 0xFFFFFF10u), 0.0);
  EXPECT_EQ(Requests(), 1u);
  ExpectIdentity(s);
  PokeTheRest(s);
  VRSILO_DESTROY(s);
}

// Connection types 9..255, from the settings file (GetSiloEx2) and from the
// arguments of GetSiloEx3 either way: an object without link that sends
// nothing, leaves the link state alone and answers defaults.
TEST_F(HostInputTest, ConnectionTypesOutsideTheRange) {
  for (int type = 9; type <= 255; ++type) {
    // COM1 maps to the simulator: a request sent there would be counted.
    windir_.WriteSettings(SettingsText(type, 0, {{1, path_}}));
    VrSilo* objects[3] = {lib_.Ex2(), lib_.Ex3(type - 2, false), lib_.Ex3(type + 1, true)};
    for (VrSilo* s : objects) {
      ASSERT_NE(s, nullptr) << type;
      EXPECT_EQ(Host::State(s), 1u);
      Host::OpenBlock(s);  // does nothing for these types
      ExpectDefaults(s, static_cast<uint32_t>(type % 16));
      EXPECT_EQ(Host::State(s), 1u) << "left as it was";
      Host::SetState(s, 2);
      EXPECT_EQ(Host::Level(s, 0), 0.0);
      EXPECT_EQ(Host::State(s), 2u) << "left as it was";
      int32_t height = 5;
      VrCalibrationPoints p{};
      EXPECT_EQ(Host::ReadTable(s, 1, &height, &p), -1);
      EXPECT_EQ(height, 5);
      EXPECT_EQ(Host::WriteTable(s, 1, 2500, &p), -1);
      ExpectIdentity(s);
      VRSILO_DESTROY(s);
    }
    ASSERT_EQ(Requests(), 0u) << "type " << type << " sent a request";
  }
}

// A host without communication block asking for one: the failure is
// reported, never thrown, and the reads answer defaults.
TEST_F(HostInputTest, BlockTypesWithoutABlock) {
  for (int number = 1; number <= 3; ++number) {
    VrSilo* s = lib_.Ex3(number, true);
    ASSERT_NE(s, nullptr);
    Host::OpenBlock(s);
    ExpectDefaults(s, 0);
    PokeTheRest(s);
    ExpectIdentity(s);
    VRSILO_DESTROY(s);
  }
}

// The header's destroy helper takes an expression with side effects (a
// host's p.release()) and evaluates it once.
TEST_F(HostInputTest, DestroyEvaluatesItsArgumentOnce) {
  int evaluated = 0;
  VrSilo* s = lib_.Ex3(200, false);
  ASSERT_NE(s, nullptr);
  VRSILO_DESTROY((++evaluated, s));
  EXPECT_EQ(evaluated, 1);
}

// A random mix of every slot, with the gauge failing in its fast ways
// (replies that fail the check) and recovering in between.
TEST_F(HostInputTest, SlotsInAnyOrderBeforeAndAfterFailures) {
  windir_.WriteSettings(SettingsText(4, 0, {{2, path_}}));
  VrSilo* s = lib_.Ex2();
  std::mt19937 rng(7);
  const char* faults[] = {"bad-checksum", "lower-checksum", "garbage"};
  bool failing = false;
  int failures = 0, successes = 0;
  for (int step = 0; step < 400; ++step) {
    const int op = static_cast<int>(rng() % 12);
    const uint32_t i = rng() % 24;  // some indexes beyond the cache
    const int n = static_cast<int>(i) + 1;
    const uint32_t before = Host::State(s);
    switch (op) {
      case 0:
        gauge_.ClearFaults();
        if (rng() % 2) gauge_.SetFault(faults[rng() % 3]);
        failing = gauge_.GetFaults() != sim::Faults{};
        break;
      case 1:
        ExpectIdentity(s);
        break;
      case 2:
        Host::SetState(s, rng() % 256);
        break;
      case 3: {
        const int32_t height = 1500 + static_cast<int32_t>(rng() % 1000);
        VrCalibrationPoints p{};
        for (int k = 0; k < 20; ++k) DoubleToExtended(10.0 * (k + 1) + step, p.bytes + 10 * k);
        const uint32_t tank = 1 + rng() % 16;
        const int32_t w = Host::WriteTable(s, tank, height, &p);
        EXPECT_EQ(w, failing ? -1 : 0) << step;
        if (w == 0) {
          VrCalibrationPoints back{};
          int32_t h = 0;
          ASSERT_EQ(Host::ReadTable(s, tank, &h, &back), 0) << step;
          EXPECT_EQ(h, height);
          EXPECT_EQ(std::memcmp(&back, &p, sizeof p), 0) << step;
        }
        break;
      }
      default: {
        double value = 0;
        double expected = 0;
        double fallback = 0;
        switch (op % 5) {
          case 0:
            value = Host::Level(s, i), expected = LevelOf(n);
            break;
          case 1:
            value = Host::Volume(s, i), expected = VolumeOf(n);
            break;
          case 2:
            value = Host::Water(s, i), expected = WaterOf(n);
            break;
          case 3:
            value = Host::Density(s, i), expected = DensityRead(n), fallback = 0.77;
            break;
          default: {
            double t[4] = {9, 9, 9, 9};
            Host::Temperatures(s, i, t);
            EXPECT_TRUE(t[0] == t[1] && t[1] == t[2] && t[2] == t[3]) << step;
            value = t[0], expected = TemperatureOf(n);
          }
        }
        if (i >= 16) {
          EXPECT_EQ(value, fallback) << step;
          EXPECT_EQ(Host::State(s), before) << step;
        } else if (failing) {
          EXPECT_EQ(value, fallback) << step;
          EXPECT_EQ(Host::State(s), 3u) << step;
          ++failures;
        } else {
          EXPECT_EQ(value, expected) << step;
          EXPECT_EQ(Host::State(s), 1u) << step;
          ++successes;
        }
      }
    }
  }
  EXPECT_GT(failures, 20);
  EXPECT_GT(successes, 20);
  PokeTheRest(s);
  VRSILO_DESTROY(s);
}

}  // namespace
}  // namespace vr::faults
