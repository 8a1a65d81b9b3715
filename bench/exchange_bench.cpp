// Exchanges with the gauge simulator over a pseudo-terminal: the latency of one
// request-reply exchange, and a refresh of 16 tanks against the wire time of
// the bytes at 9600 baud.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "common/clock.h"
#include "driver/silo.h"
#include "gauge_sim.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PtyFixture {
  vr::test::TempWindowsDir windir;
  vr::sim::GaugeSim gauge;
  vr::sim::PtyGauge pty{gauge};
  std::unique_ptr<vr::TSilo> silo;

  explicit PtyFixture(unsigned paceBaud, const std::string& settings = "CriticalUpdateTime=0\n") {
    for (int n = 1; n <= 16; ++n) {
      vr::sim::TankState t;
      t.level = 1000.0f + static_cast<float>(n);
      t.volume = 20000.0f;
      t.density = 750.0f;
      gauge.SetTank(n, t);
    }
    gauge.SetPace(paceBaud);
    std::string path = pty.Start();
    windir.WriteSettings("[VeederRoot]\n" + settings + "[Ports]\nCOM1=" + path + "\n");
    silo = std::make_unique<vr::TSilo>(nullptr, 3);
  }
};

void BM_ExchangeOverPty(benchmark::State& state) {
  PtyFixture f(0);
  std::vector<double> us;
  us.reserve(100000);
  for (auto _ : state) {
    auto t0 = Clock::now();
    double level = f.silo->GetLevel(0);  // period 0: one "i214" exchange per read
    auto t1 = Clock::now();
    if (level != 1001.0) {
      state.SkipWithError("the exchange failed");
      break;
    }
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
    us.push_back(seconds * 1e6);
  }
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}
BENCHMARK(BM_ExchangeOverPty)->Name("pty/exchange_i214")->UseManualTime()->MinTime(2.0);

void BM_SixteenTanksPaced(benchmark::State& state) {
  PtyFixture f(9600);
  // Each tank: a 7-byte request and an 81-byte reply, 10 bits a byte.
  const double wire = 16 * (7 + 81) * 10.0 / 9600.0;
  double total = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < 16; ++i)
      if (f.silo->GetLevel(i) != 1001.0 + i) state.SkipWithError("a refresh failed");
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  state.counters["wire_ms"] = wire * 1000.0;
  state.counters["over_wire_pct"] =
      (total / static_cast<double>(state.iterations()) / wire - 1.0) * 100.0;
}
BENCHMARK(BM_SixteenTanksPaced)
    ->Name("pty/16_tanks_at_9600")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// The cost of the network: one "i214" exchange over a pseudo-terminal, over
// raw TCP and over RFC 2217 on loopback, interleaved in one run so that the
// machine's load falls on all three alike. Counters: medians in us and the
// ratio of each network kind to the pseudo-terminal.
void BM_NetworkOverPty(benchmark::State& state) {
  vr::test::TempWindowsDir windir;
  vr::sim::GaugeSim gauge;
  vr::sim::TankState t;
  t.level = 1001.0f;
  gauge.SetTank(1, t);
  vr::sim::PtyGauge pty{gauge};
  vr::sim::TcpGauge tcp{gauge, vr::sim::TcpGauge::Mode::kRaw};
  vr::sim::TcpGauge rfc{gauge, vr::sim::TcpGauge::Mode::kRfc2217};
  windir.WriteSettings("[VeederRoot]\nCriticalUpdateTime=0\n[Ports]\nCOM1=" + pty.Start() +
                       "\nCOM2=" + tcp.Start() + "\nCOM3=" + rfc.Start() + "\n");
  vr::TSilo silos[3] = {{nullptr, 3}, {nullptr, 4}, {nullptr, 5}};
  std::vector<double> us[3];
  for (auto _ : state) {
    double total = 0;
    for (int k = 0; k < 3; ++k) {
      auto t0 = Clock::now();
      if (silos[k].GetLevel(0) != 1001.0) state.SkipWithError("the exchange failed");
      const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      us[k].push_back(seconds * 1e6);
      total += seconds;
    }
    state.SetIterationTime(total);
  }
  double median[3];
  for (int k = 0; k < 3; ++k) {
    if (us[k].empty()) return;
    std::sort(us[k].begin(), us[k].end());
    median[k] = us[k][us[k].size() / 2];
  }
  state.counters["pty_us"] = median[0];
  state.counters["tcp_us"] = median[1];
  state.counters["rfc2217_us"] = median[2];
  state.counters["tcp_ratio"] = median[1] / median[0];
  state.counters["rfc2217_ratio"] = median[2] / median[0];
}
BENCHMARK(BM_NetworkOverPty)->Name("net/exchange_i214_vs_pty")->UseManualTime()->MinTime(2.0);

// 16 tanks read through the slot table, each stale, from a console that
// takes 150 ms to start a reply, at 9600 baud: one request per tank (range 0)
// or one request for every tank (range 1).
void BM_SixteenTanksWithLatency(benchmark::State& state) {
  const bool allTanks = state.range(0) != 0;
  vr::ManualClock clock;
  vr::SetClock(&clock);
  PtyFixture f(
      9600, std::string("CriticalUpdateTime=30\nRefreshAllTanks=") + (allTanks ? "1" : "0") + "\n");
  f.gauge.SetLatency(150);
  VrSilo* host = f.silo->ToHost();
  const auto level = VRSILO_SLOT(host, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL);
  const uint64_t before = f.gauge.GetStats().requests;
  double total = 0;
  for (auto _ : state) {
    clock.AdvanceMs(31000);  // every tank's reading is stale again
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < 16; ++i)
      if (level(host, i) != 1001.0 + i) state.SkipWithError("a refresh failed");
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  const double sweeps = static_cast<double>(state.iterations());
  // The limit: wire time of every byte at 10 bits, plus the latency of each
  // request. One request: a 7-byte request, the 17-byte header, 16 blocks of
  // 9 + 6 x 8 bytes and the 7-byte trailer.
  const double bytes = allTanks ? 7 + 17 + 16 * (9 + 48) + 7 : 16 * (7 + 81);
  const double limit = bytes * 10.0 / 9600.0 + (allTanks ? 1 : 16) * 0.150;
  state.counters["sweep_ms"] = total / sweeps * 1000.0;
  state.counters["limit_ms"] = limit * 1000.0;
  state.counters["requests"] = static_cast<double>(f.gauge.GetStats().requests - before) / sweeps;
  vr::SetClock(nullptr);
}
BENCHMARK(BM_SixteenTanksWithLatency)
    ->Name("pty/16_tanks_latency_150")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
