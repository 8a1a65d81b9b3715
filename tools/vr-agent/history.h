#pragma once
// The station's history in DIR/history.sqlite: the tanks' readings, the
// events the agent published and each tank's full volume. It survives
// restarts and stays bounded: Maintain() thins readings older than a day to
// one a minute per tank and removes everything older than keepDays.
//
// Times are UTC milliseconds since 1970.
//
// Threads: any thread may call any member at any time. One connection, used
// under one mutex; long work (Maintain, ForEachReading) takes the mutex in
// short steps so that readers writing their rounds wait milliseconds, not the
// whole job. ForEachReading calls f without the mutex held: f may call back.
//
// Failures never reach the caller as exceptions and never stop the agent.
// When the file cannot be opened or used (an unwritable directory, a damaged
// file, not a database, a schema newer than this program's) Ok() is false,
// Error() says what and where in one line, the file is left as it is, and
// every other call does nothing or returns empty: the agent goes on
// publishing without a history. A file found damaged later is let go the same
// way. Other failed writes (a full disk) lose that write only; Error() keeps
// the last such failure while Ok() stays true.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vrsilo/gauge.h"

namespace vr::agent {

class History {
 public:
  // The schema this program writes (PRAGMA user_version); a file of a newer
  // one is refused, not overwritten.
  static constexpr int kSchemaVersion = 1;

  // Opens or creates DIR/history.sqlite, creating DIR if missing. keepDays
  // below 1 counts as 1.
  History(const std::string& dir, int keepDays);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  bool Ok() const;
  // The failure that made Ok() false, else the last failed write; "" if none.
  std::string Error() const;

  // One reading of a tank at r.received_at_ms (which link states are worth
  // keeping is the caller's choice). Every field reads back as written; a
  // second reading of the tank at the same millisecond replaces the first.
  void AddReading(const std::string& gauge, const vrsilo_tank_record& r);
  // Several readings in one transaction: a gauge's round costs one commit.
  void AddReadings(const std::string& gauge, std::span<const vrsilo_tank_record> records);
  // An event as the JSON text the agent published; kind: "alarm", "delivery", ...
  void AddEvent(const std::string& gauge, int tank, int64_t at_ms, const std::string& kind,
                const std::string& json);
  // The tank's full volume from its calibration table (the last one set counts).
  void SetFullVolume(const std::string& gauge, int tank, double litres, int64_t at_ms);
  std::optional<double> FullVolume(const std::string& gauge, int tank) const;

  // The tank's readings from from_ms on, oldest first.
  void ForEachReading(const std::string& gauge, int tank, int64_t from_ms,
                      const std::function<void(const vrsilo_tank_record&)>& f) const;
  // The JSON of the tank's last event of a kind kept (Maintain removes events
  // older than keepDays like readings).
  std::optional<std::string> LastEvent(const std::string& gauge, int tank,
                                       const std::string& kind) const;
  // For every multiple of step_ms in [from_ms, to_ms): the volume of the last
  // reading at or before it that carried one; none before the first such
  // reading. Readings thinned by Maintain keep these values at every whole
  // minute, so minute, hour and day steps read the same before and after.
  std::vector<std::pair<int64_t, double>> VolumePoints(const std::string& gauge, int tank,
                                                       int64_t from_ms, int64_t to_ms,
                                                       int64_t step_ms) const;

  // Housekeeping, meant for every few minutes: readings older than a day are
  // thinned to the last of each minute per tank, and readings and events
  // older than keepDays removed. Each tank's thinned span is remembered, so a
  // call redoes nothing; the first one on a long history takes longer, in
  // short transactions.
  void Maintain(int64_t now_ms);

 private:
  struct Db;
  std::unique_ptr<Db> db_;
};

}  // namespace vr::agent
