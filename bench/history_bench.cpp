// The agent's history at a station's scale: what a round of 16 tanks costs to
// write, and what Maintain costs the first time over 60 days of 10-second
// readings of 16 tanks, while a reader thread writes a round every 100 ms
// (its longest wait is the delay publishing would see).
//   vr_history_bench [DIR]   (default: a new directory under /tmp, removed
//                             at the end; about 1.5 GB on the way)
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTanks = 16, kDays = 60;
constexpr int64_t kStep = 10'000, kDay = 86'400'000, kT0 = 20'600 * kDay;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

vrsilo_tank_record Reading(int tank, int64_t at) {
  vrsilo_tank_record r{};
  r.tank = tank;
  r.link_state = 1;
  r.product = '1';
  std::snprintf(r.console_time, sizeof r.console_time, "2026-12-08T17:29");
  r.received_at_ms = at;
  r.fields = 0x3FF;
  const double v = 20000 + 10000 * std::sin(static_cast<double>(at) / 3.6e6 + tank);
  r.volume = v;
  r.tc_volume = v * 0.99;
  r.ullage = 40000 - v;
  r.height = v / 20;
  r.water = 3.5;
  r.water_volume = 1.5;
  r.temperature = 15 + tank * 0.1;
  r.mass = v * 0.8455;
  r.density = 845.5;
  r.tc_density = 846.1;
  return r;
}

std::vector<vrsilo_tank_record> Round(int64_t at) {
  std::vector<vrsilo_tank_record> round;
  for (int tank = 1; tank <= kTanks; ++tank) round.push_back(Reading(tank, at));
  return round;
}

void Print(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %.3f ms, 95%% %.3f ms, max %.3f ms (%zu)\n", what, ms[ms.size() / 2],
              ms[ms.size() * 95 / 100], ms.back(), ms.size());
}

double FileMb(const std::string& dir) {
  std::error_code ec;
  double bytes = 0;
  for (const char* f : {"/history.sqlite", "/history.sqlite-wal"}) {
    const auto n = std::filesystem::file_size(dir + f, ec);
    if (!ec) bytes += static_cast<double>(n);
  }
  return bytes / 1e6;
}

size_t Count(const vr::agent::History& h) {
  size_t n = 0;
  h.ForEachReading("COM1", 1, 0, [&](const vrsilo_tank_record&) { ++n; });
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "";
  if (dir.empty()) {
    char name[] = "/tmp/vr_history_bench_XXXXXX";
    if (!mkdtemp(name)) return 1;
    dir = name;
  }
  std::optional<vr::agent::History> history(std::in_place, dir, 90);
  vr::agent::History& h = *history;
  if (!h.Ok()) {
    std::fprintf(stderr, "%s\n", h.Error().c_str());
    return 1;
  }

  const int64_t end = kT0 + kDays * kDay;
  auto start = Clock::now();
  std::vector<vrsilo_tank_record> day;
  for (int64_t d = kT0; d < end; d += kDay) {
    day.clear();
    for (int64_t at = d; at < d + kDay; at += kStep)
      for (const auto& r : Round(at)) day.push_back(r);
    h.AddReadings("COM1", day);
  }
  std::printf("filled %d days x %d tanks every 10 s in %.1f s: %zu readings of tank 1, %.0f MB\n",
              kDays, kTanks, Ms(Clock::now() - start) / 1000, Count(h), FileMb(dir));

  std::vector<double> single, batch;
  int64_t at = end;
  for (int i = 0; i < 300; ++i, at += kStep) {
    const auto round = Round(at);
    const auto t = Clock::now();
    if (i % 2) {
      h.AddReadings("COM1", round);
      batch.push_back(Ms(Clock::now() - t));
    } else {
      for (const auto& r : round) h.AddReading("COM1", r);
      single.push_back(Ms(Clock::now() - t));
    }
  }
  Print("round of 16, AddReading x16:", single);
  Print("round of 16, AddReadings (one transaction):", batch);

  std::atomic<bool> done{false};
  std::vector<double> waits;
  std::thread reader([&] {
    for (int64_t t = at; !done; t += kStep) {
      const auto round = Round(t);
      const auto t0 = Clock::now();
      h.AddReadings("COM2", round);
      waits.push_back(Ms(Clock::now() - t0));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  start = Clock::now();
  h.Maintain(at);
  const double first = Ms(Clock::now() - start);
  done = true;
  reader.join();
  std::printf("first Maintain: %.1f s; %zu readings of tank 1 left, %.0f MB\n", first / 1000,
              Count(h), FileMb(dir));
  Print("  a reader's round meanwhile:", waits);

  start = Clock::now();
  h.Maintain(at + 300'000);
  std::printf("Maintain 5 minutes later: %.1f ms\n", Ms(Clock::now() - start));
  start = Clock::now();
  history.reset();
  history.emplace(dir, 30);
  history->Maintain(at + 300'000);
  std::printf("reopened with 30 days kept, Maintain: %.1f s; %zu readings of tank 1 left\n",
              Ms(Clock::now() - start) / 1000, Count(*history));
  if (!history->Error().empty()) std::printf("%s\n", history->Error().c_str());
  if (argc < 2) std::filesystem::remove_all(dir);
}
