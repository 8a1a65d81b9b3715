// vrsilo/gauge.h against the simulator: every field the console sends, one
// request for every tank or tank by tank, a silent gauge, handles on threads.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "pty_gauge.h"
#include "simulator.h"
#include "tank_file.h"
#include "tcp_gauge.h"
#include "vrsilo/gauge.h"

namespace vr {
namespace {

using sim::GaugeSim;
using sim::TankState;
using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Sixteen tanks whose every value tells its tank and field.
std::map<int, TankState> SixteenTanks() {
  std::map<int, TankState> tanks;
  for (int n = 1; n <= 16; ++n) {
    TankState t;
    t.volume = 1000.0f + n, t.tc_volume = 2000.0f + n, t.ullage = 3000.0f + n;
    t.level = 400.0f + n, t.water = 5.5f + n, t.temperature = 6.25f + n;
    t.water_volume = 7.0f + n, t.density = 800.0f + n, t.tc_density = 810.0f + n;
    t.mass = 9000.0f + n, t.height = 2500;
    t.product = static_cast<char>('0' + n % 10);
    t.status = n == 3 ? "0001" : "0000";
    tanks[n] = t;
  }
  return tanks;
}

class GaugeApiTest : public ::testing::Test {
 protected:
  void SetUp() override { sim_.SetTanks(SixteenTanks()); }
  void TearDown() override { vrsilo_gauge_close(gauge_); }

  void Open(const std::string& address) {
    EXPECT_EQ(vrsilo_gauge_open(address.c_str(), &gauge_), VRSILO_OK) << address;
  }
  std::vector<vrsilo_tank_record> Read(int first = 1, int last = 16) {
    std::vector<vrsilo_tank_record> r(static_cast<size_t>(last - first + 1));
    int count = -1;
    EXPECT_EQ(vrsilo_gauge_read(gauge_, first, last, r.data(), static_cast<int>(r.size()), &count),
              VRSILO_OK);
    r.resize(static_cast<size_t>(std::max(count, 0)));
    return r;
  }
  // Every field of every tank as the simulator holds it (the older family
  // sends no TC density).
  void ExpectEveryField(const std::vector<vrsilo_tank_record>& records, int64_t from,
                        unsigned fields = 0x3FFu) {
    ASSERT_EQ(records.size(), 16u);
    for (int n = 1; n <= 16; ++n) {
      const vrsilo_tank_record& r = records[static_cast<size_t>(n - 1)];
      const TankState t = *sim_.GetTank(n);
      SCOPED_TRACE(n);
      EXPECT_EQ(r.tank, n);
      EXPECT_EQ(r.link_state, 1);
      EXPECT_EQ(r.product, t.product);
      EXPECT_EQ(r.status, n == 3 ? unsigned{VRSILO_STATUS_DELIVERY} : 0u);
      EXPECT_EQ(std::strlen(r.console_time), 16u);
      EXPECT_GE(r.received_at_ms, from);
      EXPECT_LE(r.received_at_ms, NowMs());
      EXPECT_EQ(r.fields, fields);
      const double want[] = {t.volume,       t.tc_volume,   t.ullage, t.level,   t.water,
                             t.water_volume, t.temperature, t.mass,   t.density, t.tc_density};
      const double got[] = {r.volume,       r.tc_volume,   r.ullage, r.height,  r.water,
                            r.water_volume, r.temperature, r.mass,   r.density, r.tc_density};
      for (size_t k = 0; k < std::size(want); ++k)
        if (fields & (1u << k)) {
          EXPECT_EQ(got[k], want[k]) << "field " << k;
        }
    }
  }

  GaugeSim sim_;
  vrsilo_gauge* gauge_ = nullptr;
};

// The newer family paced at 9600 baud: sixteen tanks of ten fields are 1448
// bytes, longer on the line than the reply time-out, and the wait goes on
// while they come. The older family needs the plain report beside.
TEST_F(GaugeApiTest, EveryTankInOneRequestOverTcpAndThePlainReportWhereNeeded) {
  for (GaugeSim::Model model : {GaugeSim::Model::kTls4, GaugeSim::Model::kTls350}) {
    const bool tls4 = model == GaugeSim::Model::kTls4;
    SCOPED_TRACE(tls4 ? "tls4" : "tls350");
    sim_.SetModel(model);
    sim_.SetPace(tls4 ? 9600 : 0);
    sim_.ResetStats();
    sim::TcpGauge tcp(sim_, sim::TcpGauge::Mode::kRaw);
    Open(tcp.Start());
    const int64_t from = NowMs();
    ExpectEveryField(Read(), from, tls4 ? 0x3FFu : 0x3FFu & ~unsigned{VRSILO_FIELD_TC_DENSITY});
    const sim::Stats s = sim_.GetStats();
    EXPECT_EQ(s.requests, tls4 ? 1u : 2u) << "i21400, and i20100 for the older family";
    // A sub-range comes from the same request; nothing is cached.
    const auto part = Read(5, 7);
    ASSERT_EQ(part.size(), 3u);
    EXPECT_EQ(part[0].tank, 5);
    EXPECT_EQ(sim_.GetStats().Count("i21400"), 2u);
    vrsilo_gauge_close(gauge_);
    gauge_ = nullptr;
  }
}

TEST_F(GaugeApiTest, AConsoleWithoutTheAllTankFormIsAskedTankByTankFromThenOn) {
  sim_.SetModel(GaugeSim::Model::kTls4);
  sim_.SetFault("no-all-tanks");
  sim_.RemoveTank(9);
  sim::PtyGauge pty(sim_);
  Open(pty.Start());
  const auto first = Read(8, 10);
  ASSERT_EQ(first.size(), 2u) << "tank 9 is not reported";
  EXPECT_EQ(first[0].tank, 8);
  EXPECT_EQ(first[1].tank, 10);
  EXPECT_EQ(first[1].fields, 0x3FFu);
  sim_.ResetStats();
  Read(8, 10);
  EXPECT_EQ(sim_.GetStats().Count("i21400"), 0u) << "the refusal is remembered";
  EXPECT_EQ(sim_.GetStats().Count("i21408"), 1u);
}

TEST_F(GaugeApiTest, ASilentGaugeReturnsTheWholeRangeAtOnce) {
  sim::TcpGauge tcp(sim_, sim::TcpGauge::Mode::kRaw);
  Open(tcp.Start());
  sim_.SetFault("silent");
  const auto start = Clock::now();
  const auto r = Read();
  const auto took = Clock::now() - start;
  ASSERT_EQ(r.size(), 16u);
  for (const auto& t : r) {
    EXPECT_EQ(t.link_state, 2);
    EXPECT_EQ(t.fields, 0u);
  }
  EXPECT_EQ(sim_.GetStats().requests, 3u) << "three attempts of one request, then nothing";
  EXPECT_LT(took, std::chrono::milliseconds(3 * 1500 + 1000));
}

TEST_F(GaugeApiTest, TwoHandlesOnTwoThreads) {
  GaugeSim other;
  other.SetTanks(SixteenTanks());
  sim::TcpGauge a(sim_, sim::TcpGauge::Mode::kRaw), b(other, sim::TcpGauge::Mode::kRfc2217);
  const std::string addresses[] = {a.Start(), b.Start()};
  int ok[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      vrsilo_gauge* g = nullptr;
      if (vrsilo_gauge_open(addresses[i].c_str(), &g) != VRSILO_OK) return;
      vrsilo_tank_record r[16];
      int count = 0;
      for (int k = 0; k < 20; ++k)
        if (vrsilo_gauge_read(g, 1, 16, r, 16, &count) == VRSILO_OK && count == 16 &&
            r[15].link_state == 1)
          ++ok[i];
      vrsilo_gauge_close(g);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok[0], 20);
  EXPECT_EQ(ok[1], 20);
}

TEST_F(GaugeApiTest, CalibrationTableBothWaysAndArguments) {
  sim::TcpGauge tcp(sim_, sim::TcpGauge::Mode::kRaw);
  Open(tcp.Start());
  double volumes[20];
  for (int k = 0; k < 20; ++k) volumes[k] = 150.0 * (k + 1);
  ASSERT_EQ(vrsilo_gauge_write_table(gauge_, 2, 2400, volumes), VRSILO_OK);
  int32_t height = 0;
  double back[20] = {};
  ASSERT_EQ(vrsilo_gauge_read_table(gauge_, 2, &height, back), VRSILO_OK);
  EXPECT_EQ(height, 2400);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(back[k], volumes[k]);
  EXPECT_EQ(sim_.GetTank(2)->cal[19], 3000.0f);

  vrsilo_tank_record r[2];
  int count = 0;
  EXPECT_EQ(vrsilo_gauge_read(gauge_, 1, 3, r, 2, &count), VRSILO_E_ARGUMENT);
  EXPECT_EQ(vrsilo_gauge_read(gauge_, 0, 1, r, 2, &count), VRSILO_E_ARGUMENT);
  EXPECT_EQ(vrsilo_gauge_read_table(gauge_, 100, &height, back), VRSILO_E_ARGUMENT);
  volumes[4] = NAN;
  EXPECT_EQ(vrsilo_gauge_write_table(gauge_, 2, 2400, volumes), VRSILO_E_ARGUMENT);
  vrsilo_gauge* g = nullptr;
  EXPECT_EQ(vrsilo_gauge_open("tcp://127.0.0.1", &g), VRSILO_E_ADDRESS);
  EXPECT_EQ(vrsilo_gauge_open("/dev/null-gauge", &g), VRSILO_E_OPEN);
  EXPECT_EQ(g, nullptr);
  EXPECT_STREQ(vrsilo_error_text(VRSILO_E_SILENT), "the gauge did not answer");
}

// The console's alarms, deliveries and labels as set in the simulator, over
// TCP; a console without those reports is not asked them twice.
TEST_F(GaugeApiTest, TheConsolesAlarmsDeliveriesAndLabels) {
  sim_.SetModel(GaugeSim::Model::kTls4);
  sim_.SetAlarm(2, 3);           // high water
  sim_.SetAlarm(2, 11);          // delivery needed
  sim_.SetAlarm(9, 2);           // leak, out of the range asked below
  sim_.SetStatusGroup(3, 6, 5);  // liquid sensor 5: water
  sim_.UpdateTank(4, [](TankState& t) { t.label = "DIESEL"; });
  sim_.SetHeaderTime("2612081030");
  ASSERT_TRUE(sim_.Deliver(4, 5000.0f));
  ASSERT_TRUE(sim_.Deliver(4, 1250.0f));
  sim::TcpGauge tcp(sim_, sim::TcpGauge::Mode::kRaw);
  Open(tcp.Start());
  const int64_t from = NowMs();

  vrsilo_alarm alarms[8];
  int count = -1;
  ASSERT_EQ(vrsilo_gauge_read_alarms(gauge_, 1, 8, 1, alarms, 8, &count), VRSILO_OK);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(alarms[0].name, "high_water");
  EXPECT_EQ(alarms[0].device, 2);
  EXPECT_STREQ(alarms[1].name, "delivery_needed");
  EXPECT_GE(alarms[1].received_at_ms, from);
  EXPECT_STREQ(alarms[2].category_name, "liquid_sensor");
  EXPECT_EQ(alarms[2].device, 5);
  // Room for one: the count still says how many there are.
  ASSERT_EQ(vrsilo_gauge_read_alarms(gauge_, 1, 8, 0, alarms, 1, &count), VRSILO_OK);
  EXPECT_EQ(count, 2);

  vrsilo_delivery d[4];
  ASSERT_EQ(vrsilo_gauge_read_deliveries(gauge_, 4, 0, d, 4, &count), VRSILO_OK);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(d[0].end_volume - d[0].start_volume, 1250.0) << "newest first";
  EXPECT_EQ(d[1].end_volume - d[1].start_volume, 5000.0);
  EXPECT_STREQ(d[0].start, "2026-12-08T10:30");
  ASSERT_EQ(vrsilo_gauge_read_deliveries(gauge_, 4, 1, d, 4, &count), VRSILO_OK);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(d[0].fields, 0xFFFFu) << "the newer family's last delivery has sixteen values";
  EXPECT_GT(d[0].end_mass, d[0].start_mass);
  ASSERT_EQ(vrsilo_gauge_read_deliveries(gauge_, 5, 0, d, 4, &count), VRSILO_OK);
  EXPECT_EQ(count, 0);

  vrsilo_tank_label labels[16];
  ASSERT_EQ(vrsilo_gauge_read_labels(gauge_, 3, 4, labels, 16, &count), VRSILO_OK);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(labels[0].label, "");
  EXPECT_STREQ(labels[1].label, "DIESEL");

  // An older console: each report refused once, then not asked again.
  sim_.SetFault("no-reports");
  sim_.ResetStats();
  uint64_t asked = 0;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(vrsilo_gauge_read_alarms(gauge_, 1, 8, 1, alarms, 8, &count),
              VRSILO_E_NOT_SUPPORTED);
    EXPECT_EQ(vrsilo_gauge_read_deliveries(gauge_, 4, 0, d, 4, &count), VRSILO_E_NOT_SUPPORTED);
    EXPECT_EQ(vrsilo_gauge_read_labels(gauge_, 1, 16, labels, 16, &count),
              VRSILO_E_NOT_SUPPORTED);
    if (round == 0) asked = sim_.GetStats().requests;
  }
  EXPECT_EQ(sim_.GetStats().by_code.size(), 3u) << "i205, i202, i602";
  EXPECT_EQ(sim_.GetStats().requests, asked);
  EXPECT_EQ(vrsilo_gauge_read_alarms(gauge_, 1, 100, 0, alarms, 8, &count), VRSILO_E_ARGUMENT);
  EXPECT_EQ(vrsilo_gauge_read_deliveries(gauge_, 4, 0, nullptr, 1, &count), VRSILO_E_ARGUMENT);
  EXPECT_STREQ(vrsilo_error_text(VRSILO_E_NOT_SUPPORTED),
               "the console does not answer this report");
}

}  // namespace
}  // namespace vr
