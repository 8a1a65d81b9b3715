// The agent's history: what a restart finds, thinning and removal, volumes at
// fixed points, files it must leave alone, and writers on several threads.
#include "history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "temp_dir.h"

namespace {

using vr::agent::History;
constexpr int64_t kMin = 60'000, kHour = 60 * kMin, kDay = 24 * kHour, kT0 = 20'600 * kDay;

vrsilo_tank_record Reading(int tank, int64_t at, double volume, unsigned fields = 0x3FF) {
  vrsilo_tank_record r{};
  r.tank = tank;
  r.link_state = 1;
  r.received_at_ms = at;
  r.fields = fields;
  r.volume = volume;
  return r;
}

// Every field, doubles to the last bit.
std::string Text(const vrsilo_tank_record& r) {
  char s[512];
  std::snprintf(s, sizeof s, "%d %d %d %u [%s] %lld %x %a %a %a %a %a %a %a %a %a %a", r.tank,
                r.link_state, r.product, r.status, r.console_time,
                static_cast<long long>(r.received_at_ms), r.fields, r.volume, r.tc_volume, r.ullage,
                r.height, r.water, r.water_volume, r.temperature, r.mass, r.density, r.tc_density);
  return s;
}

std::vector<int64_t> Times(const History& h, int tank) {
  std::vector<int64_t> at;
  h.ForEachReading("COM1", tank, 0,
                   [&](const vrsilo_tank_record& r) { at.push_back(r.received_at_ms); });
  return at;
}

TEST(History, ARestartFindsEverythingAsWritten) {
  vr::test::TempDir dir;
  const vrsilo_tank_record full = {1,          1,      '2',      5,       "2026-12-08T17:29",
                                   kT0 + 2000, 0x3FF,  20000.25, 19990.5, 9999.75,
                                   1234.5,     3.5,    1.5,      15.25,   16910,
                                   845.5,      846.125};
  const vrsilo_tank_record part = Reading(1, kT0 + 1000, 5e-324, 1), other = Reading(2, kT0, -1.5);
  {
    History h(dir.path() + "/new", 30);
    ASSERT_TRUE(h.Ok()) << h.Error();
    h.AddReading("COM1", full);
    h.AddReadings("COM1", std::vector{part, other});
    h.AddEvent("COM1", 1, kT0, "delivery", "{\"n\":1}");
    h.AddEvent("COM1", 1, kT0 + 5, "delivery", "{\"n\":2}");
    h.AddEvent("COM1", 1, kT0 + 9, "alarm", "{}");
    h.SetFullVolume("COM1", 1, 30000.5, kT0);
    h.SetFullVolume("COM1", 1, 31000, kT0 + 1);
  }
  History h(dir.path() + "/new", 30);
  ASSERT_TRUE(h.Ok()) << h.Error();
  std::vector<std::string> got;
  auto add = [&](const vrsilo_tank_record& r) { got.push_back(Text(r)); };
  h.ForEachReading("COM1", 1, 0, add);
  h.ForEachReading("COM1", 1, kT0 + 1001, add);
  h.ForEachReading("COM1", 2, 0, add);
  h.ForEachReading("COM2", 1, 0, add);
  EXPECT_EQ(got, (std::vector{Text(part), Text(full), Text(full), Text(other)}));
  EXPECT_EQ(h.LastEvent("COM1", 1, "delivery"), "{\"n\":2}");
  EXPECT_EQ(h.LastEvent("COM1", 1, "alarm"), "{}");
  EXPECT_EQ(h.LastEvent("COM1", 2, "delivery"), std::nullopt);
  EXPECT_EQ(h.FullVolume("COM1", 1), 31000.0);
  EXPECT_EQ(h.FullVolume("COM1", 2), std::nullopt);
}

TEST(History, MaintainThinsOlderThanADayAndRemovesOlderThanKeepDays) {
  vr::test::TempDir dir;
  History h(dir.path(), 2);
  // 26 h of 10-second readings of two tanks, 5 s before each whole minute
  const int64_t now = kT0 + 26 * kHour;
  std::vector<vrsilo_tank_record> rs;
  for (int64_t t = kT0 + 5000; t < now; t += 10'000)
    for (int tank : {1, 2}) rs.push_back(Reading(tank, t, static_cast<double>(now - t) / 1000));
  h.AddReadings("COM1", rs);
  h.AddEvent("COM1", 1, kT0, "delivery", "{}");
  h.AddEvent("COM1", 1, kT0 + 25 * kHour, "alarm", "{}");
  const auto points = h.VolumePoints("COM1", 1, kT0, now, kMin);
  ASSERT_EQ(points.size(), 26 * 60u - 1);

  // Up to a day before now, the last reading of each minute.
  auto expect = [&](int64_t from, int64_t thinnedTo) {
    std::vector<int64_t> want;
    for (int64_t t = from; t < now; t += 10'000)
      if (t > thinnedTo || (t + 5000) % kMin == 0) want.push_back(t);
    EXPECT_EQ(Times(h, 1), want);
    EXPECT_EQ(Times(h, 2), want);
  };
  for (int pass = 0; pass < 2; ++pass) {
    h.Maintain(now);
    expect(kT0 + 5000, kT0 + 2 * kHour);
  }
  EXPECT_EQ(h.VolumePoints("COM1", 1, kT0, now, kMin), points);

  h.Maintain(kT0 + 2 * kDay + kHour);
  expect(kT0 + kHour + 5000, kT0 + 25 * kHour);
  EXPECT_EQ(h.LastEvent("COM1", 1, "delivery"), std::nullopt);
  EXPECT_EQ(h.LastEvent("COM1", 1, "alarm"), "{}");
  EXPECT_TRUE(h.Ok()) << h.Error();
}

TEST(History, VolumePointsAreTheLastVolumeAtOrBeforeEachMultipleOfTheStep) {
  vr::test::TempDir dir;
  History h(dir.path(), 30);
  const int64_t s = 1000;
  h.AddReadings("COM1",
                std::vector{Reading(1, kT0 + 10 * s, 100), Reading(1, kT0 + 70 * s, 90),
                            Reading(1, kT0 + 130 * s, 0, 0), Reading(1, kT0 + 190 * s, 70)});
  using Points = std::vector<std::pair<int64_t, double>>;
  const struct {
    int64_t from, to, step;
    Points want;
  } cases[] = {
      {kT0, kT0 + 4 * kMin, kMin, {{kT0 + kMin, 100}, {kT0 + 2 * kMin, 90}, {kT0 + 3 * kMin, 90}}},
      {kT0 + 180 * s, kT0 + 200 * s, 10 * s, {{kT0 + 180 * s, 90}, {kT0 + 190 * s, 70}}},
      {kT0 + 30 * s, kT0 + 130 * s, kMin, {{kT0 + kMin, 100}, {kT0 + 2 * kMin, 90}}},
      {kT0 + 5 * kMin, kT0 + 5 * kMin, kMin, {}},
      {kT0, kT0 + kHour, 0, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(h.VolumePoints("COM1", 1, c.from, c.to, c.step), c.want) << c.from - kT0;
  EXPECT_EQ(h.VolumePoints("COM1", 2, kT0, kT0 + kHour, kMin), Points{});
}

// A file that is not this program's to write is left as it is, with one line
// saying why, and the history does nothing.
TEST(History, FilesItCannotUseAreLeftAloneAndNothingBreaks) {
  vr::test::TempDir dir;
  auto sql = [&](const char* text) {
    sqlite3* db = nullptr;
    sqlite3_open(dir.File("history.sqlite").c_str(), &db);
    EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  };
  const struct {
    const char* name;
    std::function<void()> make;
    std::string dir, said;
  } cases[] = {
      {"garbage", [&] { vr::test::WriteBytes(dir.File("history.sqlite"), std::string(9000, 'x')); },
       dir.path(), "not a database"},
      {"newer",
       [&] {
         { History h(dir.path(), 1); }
         sql("PRAGMA user_version = 2");
       },
       dir.path(), "schema version 2 is newer"},
      {"foreign", [&] { sql("CREATE TABLE t(x)"); }, dir.path(), "another program's"},
      {"dir under a file", [&] { vr::test::WriteBytes(dir.File("history.sqlite"), "x"); },
       dir.File("history.sqlite") + "/sub", "cannot create"},
      {"unwritable dir", [] {}, "/proc", "cannot open"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir.File("history.sqlite"));
    c.make();
    const std::string bytes = vr::test::ReadBytes(dir.File("history.sqlite"));
    History h(c.dir, 1);
    EXPECT_FALSE(h.Ok()) << c.name;
    EXPECT_NE(h.Error().find(c.said), std::string::npos) << c.name << ": " << h.Error();
    EXPECT_NE(h.Error().find(c.dir), std::string::npos) << h.Error();
    EXPECT_EQ(h.Error().find('\n'), std::string::npos) << h.Error();
    h.AddReading("COM1", Reading(1, kT0, 1));
    h.SetFullVolume("COM1", 1, 1, kT0);
    h.Maintain(kT0);
    EXPECT_EQ(Times(h, 1), std::vector<int64_t>{});
    EXPECT_EQ(h.FullVolume("COM1", 1), std::nullopt);
    EXPECT_EQ(vr::test::ReadBytes(dir.File("history.sqlite")), bytes) << c.name;
  }
}

TEST(History, AnUnwritableDirectoryIsReported) {
  vr::test::TempDir dir;
  chmod(dir.path().c_str(), 0555);
  if (geteuid() == 0 && access(dir.path().c_str(), W_OK) == 0)
    GTEST_SKIP() << "root writes into a read-only directory here";
  History h(dir.path(), 1);
  EXPECT_FALSE(h.Ok());
  EXPECT_NE(h.Error().find("cannot open"), std::string::npos) << h.Error();
}

TEST(History, ThreadsWriteAtOnceWhileOthersRead) {
  vr::test::TempDir dir;
  History h(dir.path(), 1);
  auto writer = [&](int tank) {
    for (int i = 0; i < 300; ++i) h.AddReading("COM1", Reading(tank, kT0 + 10'000 * i, i));
  };
  std::thread a(writer, 1), b(writer, 2);
  for (int i = 0; i < 50; ++i) {
    h.Maintain(kT0);
    h.VolumePoints("COM1", 1, kT0, kT0 + kHour, kMin);
  }
  a.join();
  b.join();
  EXPECT_EQ(Times(h, 1).size(), 300u);
  EXPECT_EQ(Times(h, 2).size(), 300u);
  EXPECT_TRUE(h.Ok()) << h.Error();
}

}  // namespace
