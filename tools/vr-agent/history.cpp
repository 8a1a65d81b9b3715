#include "history.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace vr::agent {
namespace {

constexpr int64_t kMinute = 60'000, kDay = 86'400'000;
// Work of Maintain per transaction: a tank's readings of 6 hours thinned, or
// this many rows removed. Either takes milliseconds.
constexpr int64_t kThinSlice = 6 * 3'600'000;
constexpr int kDeleteChunk = 4096;
constexpr int kReadBatch = 512;  // readings fetched per lock by ForEachReading

// Readings are kept in tank order then time order (the key), which is how
// every question reads them. Values are stored as given, 0.0 for a field not
// carried, so a record reads back exactly.
constexpr char kSchema[] = R"(
CREATE TABLE tank(
  id INTEGER PRIMARY KEY,
  gauge TEXT NOT NULL,
  tank INTEGER NOT NULL,
  full_volume REAL,
  full_volume_at INTEGER,
  thinned_until INTEGER NOT NULL DEFAULT 0,
  UNIQUE(gauge, tank));
CREATE TABLE reading(
  tank_id INTEGER NOT NULL,
  at INTEGER NOT NULL,
  fields INTEGER NOT NULL,
  volume REAL, tc_volume REAL, ullage REAL, height REAL, water REAL, water_volume REAL,
  temperature REAL, mass REAL, density REAL, tc_density REAL,
  status INTEGER NOT NULL,
  product INTEGER NOT NULL,
  link_state INTEGER NOT NULL,
  console_time TEXT NOT NULL,
  PRIMARY KEY(tank_id, at)) WITHOUT ROWID;
CREATE TABLE event(
  id INTEGER PRIMARY KEY,
  tank_id INTEGER NOT NULL,
  at INTEGER NOT NULL,
  kind TEXT NOT NULL,
  json TEXT NOT NULL);
CREATE INDEX event_by_kind ON event(tank_id, kind, at);
CREATE INDEX event_by_time ON event(at);
PRAGMA user_version = 1;
)";
static_assert(History::kSchemaVersion == 1, "kSchema sets user_version");

#define VR_READING_COLUMNS                                                                  \
  "at, fields, volume, tc_volume, ullage, height, water, water_volume, temperature, mass, " \
  "density, tc_density, status, product, link_state, console_time"
// In the order of VR_READING_COLUMNS.
constexpr double vrsilo_tank_record::*kValues[] = {
    &vrsilo_tank_record::volume,      &vrsilo_tank_record::tc_volume,
    &vrsilo_tank_record::ullage,      &vrsilo_tank_record::height,
    &vrsilo_tank_record::water,       &vrsilo_tank_record::water_volume,
    &vrsilo_tank_record::temperature, &vrsilo_tank_record::mass,
    &vrsilo_tank_record::density,     &vrsilo_tank_record::tc_density};

int64_t FloorTo(int64_t t, int64_t step) {
  int64_t q = t / step;
  if (t % step < 0) --q;
  return q * step;
}

// One use of a kept statement: binds in order, steps, and resets it at the end.
class Use {
 public:
  explicit Use(sqlite3_stmt* s) : s_(s) {}
  ~Use() { sqlite3_reset(s_); }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  Use& Int(int64_t v) {
    sqlite3_bind_int64(s_, ++n_, v);
    return *this;
  }
  Use& Real(double v) {
    sqlite3_bind_double(s_, ++n_, v);
    return *this;
  }
  Use& Text(const char* v, size_t size) {
    sqlite3_bind_text(s_, ++n_, v, static_cast<int>(size), SQLITE_STATIC);
    return *this;
  }
  Use& Text(const std::string& v) { return Text(v.data(), v.size()); }
  int Step() { return sqlite3_step(s_); }
  int64_t ColInt(int i) const { return sqlite3_column_int64(s_, i); }
  double ColReal(int i) const { return sqlite3_column_double(s_, i); }
  bool ColNull(int i) const { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
  std::string ColText(int i) const {
    const auto* p = sqlite3_column_text(s_, i);
    return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(s_, i)) : "";
  }

 private:
  sqlite3_stmt* s_;
  int n_ = 0;
};

}  // namespace

struct History::Db {
  std::mutex mu;
  sqlite3* conn = nullptr;
  bool damaged = false;  // found damaged during a call: closed at its end
  std::string path, error;
  int keep_days = 1;
  std::vector<sqlite3_stmt*> kept;
  sqlite3_stmt *begin, *commit, *rollback, *find_tank, *add_tank, *add_reading, *add_event,
      *set_full, *get_full, *readings, *last_event, *volume_at, *volumes, *tanks, *first_reading,
      *delete_readings, *delete_events, *thin, *set_thinned;
  // Tank ids by gauge and tank number, as the tank table holds them.
  std::map<std::string, std::map<int, int64_t>, std::less<>> ids;

  std::atomic<int> waiting{0};  // calls waiting for mu

  ~Db() { Close(); }

  // Long jobs let waiting calls in between their steps: a std::mutex taken
  // again at once by the thread that released it starved a reader's round
  // for up to 2 s during a first Maintain.
  void LetWaitingIn() {
    while (waiting.load() > 0) std::this_thread::yield();
  }

  // Holds the mutex for one call; a file found damaged during it is let go at
  // its end, when no statement is in use any more.
  struct Call {
    Db& d;
    std::lock_guard<std::mutex> lock;
    int64_t id = 0;  // the tank's, in a call about one tank
    bool tank_call = false;
    explicit Call(Db& db) : d(db), lock((++db.waiting, db.mu)) { --db.waiting; }
    // A call about one tank, false also when the tank is not known (nor added).
    Call(Db& db, const std::string& gauge, int tank, bool add) : Call(db) {
      if (*this) id = d.TankId(gauge, tank, add);
      tank_call = true;
    }
    ~Call() {
      if (d.damaged) d.Close();
    }
    explicit operator bool() const { return d.conn && !d.damaged && (!tank_call || id != 0); }
  };

  void Close() {
    for (sqlite3_stmt* s : kept) sqlite3_finalize(s);
    kept.clear();
    ids.clear();
    sqlite3_close_v2(conn);
    conn = nullptr;
    damaged = false;
  }

  // Records the connection's last error; a damaged file is not used again.
  bool Fail(const char* what) {
    error = "history " + path + ": " + what + ": " + sqlite3_errmsg(conn);
    const int rc = sqlite3_errcode(conn) & 0xff;
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) damaged = true;
    return false;
  }
  bool Done(int rc, const char* what) { return rc == SQLITE_DONE || Fail(what); }
  bool Run(sqlite3_stmt* s, const char* what) { return Done(Use(s).Step(), what); }

  // The first column of sql's first row, as text.
  std::optional<std::string> Scalar(const char* sql, const char* what) {
    sqlite3_stmt* s = nullptr;
    std::optional<std::string> v;
    if (sqlite3_prepare_v2(conn, sql, -1, &s, nullptr) != SQLITE_OK) {
      Fail(what);
      return v;
    }
    if (sqlite3_step(s) == SQLITE_ROW) {
      const auto* p = sqlite3_column_text(s, 0);
      v = p ? reinterpret_cast<const char*>(p) : "";
    } else {
      Fail(what);
    }
    sqlite3_finalize(s);
    return v;
  }

  bool Open(const std::string& dir) {
    path = (std::filesystem::path(dir) / "history.sqlite").string();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      error = "history " + path + ": cannot create the directory: " + ec.message();
      return false;
    }
    if (sqlite3_open_v2(path.c_str(), &conn,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      Fail("cannot open");
      if (const int e = sqlite3_system_errno(conn)) error += std::string(" (") + strerror(e) + ")";
      return false;
    }
    if (sqlite3_db_readonly(conn, "main") == 1) {
      error = "history " + path + ": cannot open: the file is read-only";
      return false;
    }
    sqlite3_busy_timeout(conn, 1000);  // only another program writing makes it wait
    // Only read until the file is known to be ours: a newer history or
    // another program's database is left exactly as it is.
    const auto version = Scalar("PRAGMA user_version", "cannot read");
    const auto objects = Scalar("SELECT count(*) FROM sqlite_schema", "cannot read");
    if (!version || !objects) return false;
    if (std::stoi(*version) > kSchemaVersion) {
      error = "history " + path + ": schema version " + *version +
              " is newer than this program's " + std::to_string(kSchemaVersion) + "; left as it is";
      return false;
    }
    if (*version == "0" && *objects != "0") {
      error = "history " + path + ": another program's database; left as it is";
      return false;
    }
    // A reader's commit then costs no fsync; a power cut may lose the last
    // commits, never the file.
    const auto mode = Scalar("PRAGMA journal_mode=WAL", "cannot use a write-ahead log");
    if (!mode) return false;
    if (*mode != "wal") {
      error = "history " + path + ": cannot use a write-ahead log (journal mode " + *mode + ")";
      return false;
    }
    if (sqlite3_exec(conn, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=8388608", nullptr,
                     nullptr, nullptr) != SQLITE_OK)
      return Fail("cannot set up");
    if (*version == "0") {
      // Another agent may have created it meanwhile: asked again inside the transaction.
      if (sqlite3_exec(conn, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot create the tables");
      const auto now = Scalar("PRAGMA user_version", "cannot create the tables");
      if (!now ||
          (*now == "0" && sqlite3_exec(conn, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) ||
          sqlite3_exec(conn, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (now) Fail("cannot create the tables");
        sqlite3_exec(conn, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
      }
    }
    return Prepare();
  }

  bool Prepare() {
    bool ok = true;
    auto p = [&](const char* sql) {
      sqlite3_stmt* s = nullptr;
      if (sqlite3_prepare_v3(conn, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) == SQLITE_OK)
        kept.push_back(s);
      else if (ok)
        ok = Fail("cannot prepare");
      return s;
    };
    begin = p("BEGIN IMMEDIATE");
    commit = p("COMMIT");
    rollback = p("ROLLBACK");
    find_tank = p("SELECT id FROM tank WHERE gauge = ?1 AND tank = ?2");
    add_tank = p("INSERT INTO tank(gauge, tank) VALUES(?1, ?2)");
    add_reading = p("INSERT OR REPLACE INTO reading(tank_id, " VR_READING_COLUMNS
                    ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                    "?16, ?17)");
    add_event = p("INSERT INTO event(tank_id, at, kind, json) VALUES(?1, ?2, ?3, ?4)");
    set_full = p("UPDATE tank SET full_volume = ?2, full_volume_at = ?3 WHERE id = ?1");
    get_full = p("SELECT full_volume FROM tank WHERE id = ?1");
    readings = p("SELECT " VR_READING_COLUMNS
                 " FROM reading WHERE tank_id = ?1 AND at >= ?2 ORDER BY at LIMIT ?3");
    last_event =
        p("SELECT json FROM event WHERE tank_id = ?1 AND kind = ?2 ORDER BY at DESC, id DESC "
          "LIMIT 1");
    volume_at =
        p("SELECT volume FROM reading WHERE tank_id = ?1 AND at <= ?2 AND fields & 1 "
          "ORDER BY at DESC LIMIT 1");
    volumes = p(
        "SELECT at, volume FROM reading WHERE tank_id = ?1 AND at > ?2 AND at <= ?3 AND fields & 1 "
        "ORDER BY at");
    tanks = p("SELECT id, thinned_until FROM tank");
    first_reading = p("SELECT min(at) FROM reading WHERE tank_id = ?1");
    delete_readings =
        p("DELETE FROM reading WHERE tank_id = ?1 AND at IN "
          "(SELECT at FROM reading WHERE tank_id = ?1 AND at < ?2 ORDER BY at LIMIT ?3)");
    delete_events =
        p("DELETE FROM event WHERE id IN (SELECT id FROM event WHERE at < ?1 LIMIT ?2)");
    // Of each minute (m - 1 min, m] the last reading stays: the one a point
    // at m reads.
    thin =
        p("DELETE FROM reading WHERE tank_id = ?1 AND at > ?2 AND at <= ?3 AND EXISTS "
          "(SELECT 1 FROM reading AS later WHERE later.tank_id = ?1 AND later.at > reading.at "
          "AND later.at <= (reading.at + 59999) / 60000 * 60000)");
    set_thinned = p("UPDATE tank SET thinned_until = ?2 WHERE id = ?1");
    return ok;
  }

  // body in one transaction; on failure nothing of it stays.
  template <class F>
  bool Transaction(const char* what, F body) {
    if (!Run(begin, what)) return false;
    if (body() && Run(commit, what)) return true;
    Use(rollback).Step();
    ids.clear();  // tanks added by body are gone again
    return false;
  }

  // 0 for a tank not in the file (added if create).
  int64_t TankId(const std::string& gauge, int tank, bool create) {
    if (auto g = ids.find(gauge); g != ids.end())
      if (auto t = g->second.find(tank); t != g->second.end()) return t->second;
    int64_t id = 0;
    {
      Use q(find_tank);
      const int rc = q.Text(gauge).Int(tank).Step();
      if (rc == SQLITE_ROW)
        id = q.ColInt(0);
      else if (!Done(rc, "cannot read the tanks"))
        return 0;
    }
    if (id == 0) {
      if (!create || !Done(Use(add_tank).Text(gauge).Int(tank).Step(), "cannot add a tank"))
        return 0;
      id = sqlite3_last_insert_rowid(conn);
    }
    ids[gauge][tank] = id;
    return id;
  }

  bool AddReading(int64_t id, const vrsilo_tank_record& r) {
    Use q(add_reading);
    q.Int(id).Int(r.received_at_ms).Int(r.fields);
    for (auto v : kValues) q.Real(r.*v);
    q.Int(r.status).Int(r.product).Int(r.link_state);
    q.Text(r.console_time, strnlen(r.console_time, sizeof r.console_time));
    return Done(q.Step(), "cannot add a reading");
  }

  static vrsilo_tank_record ReadRecord(const Use& q, int tank) {
    vrsilo_tank_record r{};
    r.tank = tank;
    r.received_at_ms = q.ColInt(0);
    r.fields = static_cast<unsigned>(q.ColInt(1));
    int col = 2;
    for (auto v : kValues) r.*v = q.ColReal(col++);
    r.status = static_cast<unsigned>(q.ColInt(col++));
    r.product = static_cast<char>(q.ColInt(col++));
    r.link_state = static_cast<int>(q.ColInt(col++));
    const std::string t = q.ColText(col);
    std::memcpy(r.console_time, t.data(), std::min(t.size(), sizeof r.console_time - 1));
    return r;
  }
};

History::History(const std::string& dir, int keepDays) : db_(std::make_unique<Db>()) {
  db_->keep_days = std::max(1, keepDays);
  try {
    if (!db_->Open(dir)) db_->Close();
  } catch (const std::exception& e) {
    db_->error = "history " + db_->path + ": " + e.what();
    db_->Close();
  }
}

History::~History() = default;

bool History::Ok() const {
  Db::Call c(*db_);
  return static_cast<bool>(c);
}

std::string History::Error() const {
  Db::Call c(*db_);
  return db_->error;
}

void History::AddReading(const std::string& gauge, const vrsilo_tank_record& r) {
  AddReadings(gauge, {&r, 1});
}

void History::AddReadings(const std::string& gauge, std::span<const vrsilo_tank_record> records) {
  Db& d = *db_;
  Db::Call c(d);
  if (!c) return;
  auto add = [&] {
    for (const vrsilo_tank_record& r : records) {
      const int64_t id = d.TankId(gauge, r.tank, true);
      if (id == 0 || !d.AddReading(id, r)) return false;
    }
    return true;
  };
  if (records.size() == 1)
    add();
  else if (!records.empty())
    d.Transaction("cannot add readings", add);
}

void History::AddEvent(const std::string& gauge, int tank, int64_t at_ms, const std::string& kind,
                       const std::string& json) {
  Db& d = *db_;
  if (Db::Call c(d, gauge, tank, true); c)
    d.Done(Use(d.add_event).Int(c.id).Int(at_ms).Text(kind).Text(json).Step(),
           "cannot add an event");
}

void History::SetFullVolume(const std::string& gauge, int tank, double litres, int64_t at_ms) {
  Db& d = *db_;
  if (Db::Call c(d, gauge, tank, true); c)
    d.Done(Use(d.set_full).Int(c.id).Real(litres).Int(at_ms).Step(), "cannot set the full volume");
}

std::optional<double> History::FullVolume(const std::string& gauge, int tank) const {
  Db& d = *db_;
  Db::Call c(d, gauge, tank, false);
  if (!c) return std::nullopt;
  const int64_t id = c.id;
  Use q(d.get_full);
  const int rc = q.Int(id).Step();
  if (rc == SQLITE_ROW && !q.ColNull(0)) return q.ColReal(0);
  if (rc != SQLITE_ROW) d.Done(rc, "cannot read the full volume");
  return std::nullopt;
}

void History::ForEachReading(const std::string& gauge, int tank, int64_t from_ms,
                             const std::function<void(const vrsilo_tank_record&)>& f) const {
  Db& d = *db_;
  std::vector<vrsilo_tank_record> batch;
  for (;;) {
    batch.clear();
    d.LetWaitingIn();
    {
      Db::Call c(d, gauge, tank, false);
      if (!c) return;
      const int64_t id = c.id;
      Use q(d.readings);
      q.Int(id).Int(from_ms).Int(kReadBatch);
      int rc;
      while ((rc = q.Step()) == SQLITE_ROW) batch.push_back(Db::ReadRecord(q, tank));
      if (!d.Done(rc, "cannot read readings")) return;
    }
    for (const vrsilo_tank_record& r : batch) f(r);
    if (batch.size() < static_cast<size_t>(kReadBatch)) return;
    from_ms = batch.back().received_at_ms + 1;
  }
}

std::optional<std::string> History::LastEvent(const std::string& gauge, int tank,
                                              const std::string& kind) const {
  Db& d = *db_;
  Db::Call c(d, gauge, tank, false);
  if (!c) return std::nullopt;
  const int64_t id = c.id;
  Use q(d.last_event);
  const int rc = q.Int(id).Text(kind).Step();
  if (rc == SQLITE_ROW) return q.ColText(0);
  d.Done(rc, "cannot read events");
  return std::nullopt;
}

std::vector<std::pair<int64_t, double>> History::VolumePoints(const std::string& gauge, int tank,
                                                              int64_t from_ms, int64_t to_ms,
                                                              int64_t step_ms) const {
  std::vector<std::pair<int64_t, double>> out;
  if (step_ms <= 0 || from_ms >= to_ms) return out;
  int64_t first = FloorTo(from_ms, step_ms);
  if (first < from_ms) first += step_ms;
  const int64_t last = FloorTo(to_ms - 1, step_ms);
  if (first > last) return out;
  Db& d = *db_;
  Db::Call c(d, gauge, tank, false);
  if (!c) return out;
  const int64_t id = c.id;
  std::optional<double> volume;
  {
    Use q(d.volume_at);
    const int rc = q.Int(id).Int(first).Step();
    if (rc == SQLITE_ROW)
      volume = q.ColReal(0);
    else if (!d.Done(rc, "cannot read volumes"))
      return out;
  }
  Use q(d.volumes);
  int rc = q.Int(id).Int(first).Int(last).Step();
  const int64_t points = (last - first) / step_ms + 1;
  for (int64_t k = 0; k < points; ++k) {
    const int64_t at = first + k * step_ms;
    for (; rc == SQLITE_ROW && q.ColInt(0) <= at; rc = q.Step()) volume = q.ColReal(1);
    if (rc != SQLITE_ROW && !d.Done(rc, "cannot read volumes")) return {};
    if (volume) out.emplace_back(at, *volume);
  }
  return out;
}

void History::Maintain(int64_t now_ms) {
  Db& d = *db_;
  std::vector<std::pair<int64_t, int64_t>> tanks;  // id, thinned until
  {
    Db::Call c(d);
    if (!c) return;
    Use q(d.tanks);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) tanks.emplace_back(q.ColInt(0), q.ColInt(1));
    if (!d.Done(rc, "cannot read the tanks")) return;
  }
  // Old rows go in chunks, each its own transaction.
  const int64_t old = now_ms - d.keep_days * kDay;
  auto remove = [&d](sqlite3_stmt* s, int64_t id, int64_t before) {
    for (;;) {
      d.LetWaitingIn();
      Db::Call c(d);
      if (!c) return false;
      Use q(s);
      if (id) q.Int(id);
      if (!d.Done(q.Int(before).Int(kDeleteChunk).Step(), "cannot remove old rows")) return false;
      if (sqlite3_changes(d.conn) < kDeleteChunk) return true;
    }
  };
  for (const auto& t : tanks)
    if (!remove(d.delete_readings, t.first, old)) return;
  if (!remove(d.delete_events, 0, old)) return;

  // Thinned up to whole minutes, each tank from where it was left.
  const int64_t thin_to = FloorTo(now_ms - kDay, kMinute);
  for (const auto& tank : tanks) {
    const int64_t id = tank.first;
    int64_t from = tank.second;
    {
      Db::Call c(d);
      if (!c) return;
      Use q(d.first_reading);
      const int rc = q.Int(id).Step();
      if (rc != SQLITE_ROW) {
        d.Done(rc, "cannot read readings");
        return;
      }
      if (q.ColNull(0)) continue;
      from = std::max(from, FloorTo(q.ColInt(0) - 1, kMinute));
    }
    while (from < thin_to) {
      const int64_t to = std::min(from + kThinSlice, thin_to);
      d.LetWaitingIn();
      Db::Call c(d);
      if (!c || !d.Transaction("cannot thin readings", [&] {
            return d.Done(Use(d.thin).Int(id).Int(from).Int(to).Step(), "cannot thin readings") &&
                   d.Done(Use(d.set_thinned).Int(id).Int(to).Step(), "cannot thin readings");
          }))
        return;
      from = to;
    }
  }
}

}  // namespace vr::agent
