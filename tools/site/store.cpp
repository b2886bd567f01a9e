#include "site/store.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "base/text.hpp"
#include "rules.hpp"

namespace vela::site_tool {
namespace {
// SQLite's application_id of a store: "VELA".
constexpr std::int64_t sqlite_application_id = 0x56454C41;

// The tables of schema version 1, as both databases take them; {id} is the run's own key.
constexpr const char* schema_v1[] = {
    "CREATE TABLE vela_store (version BIGINT NOT NULL)",
    "CREATE TABLE runs ("
    " run_id {id},"
    " site TEXT NOT NULL,"
    " recording_sha256 TEXT NOT NULL,"
    " day TEXT NOT NULL,"
    " first_ts BIGINT NOT NULL, first_ms BIGINT NOT NULL,"
    " last_ts BIGINT NOT NULL, last_ms BIGINT NOT NULL,"
    " threshold_mm BIGINT NOT NULL, band_mm BIGINT NOT NULL, vela_version TEXT NOT NULL,"
    " positions_name TEXT NOT NULL, positions_size BIGINT NOT NULL, positions_sha256 TEXT NOT NULL,"
    " trackables_name TEXT NOT NULL, trackables_size BIGINT NOT NULL,"
    " trackables_sha256 TEXT NOT NULL,"
    " associations_name TEXT NOT NULL, associations_size BIGINT NOT NULL,"
    " associations_sha256 TEXT NOT NULL,"
    " config_sha256 TEXT NOT NULL, zones_sha256 TEXT, shifts TEXT NOT NULL,"
    " presence_gap_ms BIGINT NOT NULL, time_zone TEXT NOT NULL, cell_m DOUBLE PRECISION NOT NULL,"
    " result_path TEXT NOT NULL, result_sha256 TEXT NOT NULL,"
    " lines_read BIGINT NOT NULL, lines_accepted BIGINT NOT NULL,"
    " events BIGINT NOT NULL, person_vehicle BIGINT NOT NULL, vehicle_vehicle BIGINT NOT NULL,"
    " vehicle_ms BIGINT NOT NULL, person_ms BIGINT NOT NULL, driving_ms BIGINT NOT NULL,"
    " stored_at TEXT NOT NULL,"
    " UNIQUE (site, recording_sha256))",
    "CREATE INDEX runs_by_time ON runs (site, first_ts)",
    "CREATE TABLE run_objects ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), uid TEXT NOT NULL, name TEXT NOT NULL,"
    " category TEXT NOT NULL, PRIMARY KEY (run_id, uid))",
    "CREATE TABLE events ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), seq BIGINT NOT NULL,"
    " ts BIGINT NOT NULL, ms BIGINT NOT NULL, duration_s BIGINT NOT NULL,"
    " distance_mm BIGINT NOT NULL, kind TEXT NOT NULL,"
    " a_uid TEXT NOT NULL, a_driver_uid TEXT, a_x_mm BIGINT NOT NULL, a_y_mm BIGINT NOT NULL,"
    " b_uid TEXT NOT NULL, b_driver_uid TEXT, b_x_mm BIGINT NOT NULL, b_y_mm BIGINT NOT NULL,"
    " zones TEXT NOT NULL, shift TEXT NOT NULL, PRIMARY KEY (run_id, seq))",
    "CREATE INDEX events_by_time ON events (ts, ms)",
    "CREATE INDEX events_by_distance ON events (distance_mm)",
    "CREATE TABLE buckets ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), bucket_ts BIGINT NOT NULL,"
    " lines BIGINT NOT NULL, vehicle_ms BIGINT NOT NULL, person_ms BIGINT NOT NULL,"
    " driving_ms BIGINT NOT NULL, PRIMARY KEY (run_id, bucket_ts))",
    "CREATE TABLE zone_buckets ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), bucket_ts BIGINT NOT NULL,"
    " zones TEXT NOT NULL, vehicle_ms BIGINT NOT NULL, person_ms BIGINT NOT NULL,"
    " driving_ms BIGINT NOT NULL, PRIMARY KEY (run_id, bucket_ts, zones))",
    "CREATE TABLE event_buckets ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), bucket_ts BIGINT NOT NULL,"
    " kind TEXT NOT NULL, zones TEXT NOT NULL, shift TEXT NOT NULL,"
    " duration_class BIGINT NOT NULL, distance_class BIGINT NOT NULL, events BIGINT NOT NULL,"
    " PRIMARY KEY (run_id, bucket_ts, kind, zones, shift, duration_class, distance_class))",
    "CREATE TABLE object_days ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), uid TEXT NOT NULL, day TEXT NOT NULL,"
    " presence_ms BIGINT NOT NULL, person_vehicle BIGINT NOT NULL,"
    " vehicle_vehicle BIGINT NOT NULL, PRIMARY KEY (run_id, uid, day))",
    "CREATE TABLE object_events ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), uid TEXT NOT NULL, role TEXT NOT NULL,"
    " day TEXT NOT NULL, kind TEXT NOT NULL, zones TEXT NOT NULL,"
    " duration_class BIGINT NOT NULL, events BIGINT NOT NULL,"
    " PRIMARY KEY (run_id, uid, role, day, kind, zones, duration_class))",
    "CREATE TABLE density ("
    " run_id BIGINT NOT NULL REFERENCES runs (run_id), cell_x BIGINT NOT NULL,"
    " cell_y BIGINT NOT NULL, kind TEXT NOT NULL, zones TEXT NOT NULL,"
    " duration_class BIGINT NOT NULL, events BIGINT NOT NULL,"
    " PRIMARY KEY (run_id, cell_x, cell_y, kind, zones, duration_class))",
};

// The tables a run fills besides runs, children first for their removal.
constexpr const char* run_tables[] = {"run_objects",   "events",      "buckets",
                                      "zone_buckets",  "event_buckets", "object_days",
                                      "object_events", "density"};

std::string json_text(const std::string& _text) {
  std::string quoted = "\"";
  for (const char c : _text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string shifts_text(const std::vector<shift>& _shifts) {
  std::string text = "[";
  for (std::size_t k = 0; k < _shifts.size(); ++k) {
    const auto hhmm = [](int _minutes) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%02d:%02d", _minutes / 60, _minutes % 60);
      return std::string(buffer);
    };
    text += (k == 0 ? "" : ",") + std::string("{\"name\":") + json_text(_shifts[k].name) +
            ",\"start\":\"" + hhmm(_shifts[k].start_min) + "\",\"end\":\"" +
            hhmm(_shifts[k].end_min) + "\"}";
  }
  return text + "]";
}

db_value optional_text(const std::string& _text) {
  return _text.empty() ? db_value{} : db_value{_text};
}
}  // namespace

store::store(const site_config& _config, bool _create)
    : m_config(_config), m_shown(shown_store(_config.store)) {
  if (!_config.store_is_postgresql() && !_create) {
    struct stat status {};
    if (::stat(_config.store.c_str(), &status) != 0) {
      throw store_error(m_shown + ": no store there yet: vela-site run makes it");
    }
  }
  m_db = open_database(_config.store, m_shown, _create);
  // Two runs that make or open one SQLite store at once can each hold a lock the other
  // waits for; SQLite then refuses one of them at once rather than wait. That one steps back
  // and tries again, for as long as it would wait for a lock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::minstd_rand jitter(std::random_device{}());
  for (;;) {
    try {
      prepare_schema(_create);
      return;
    } catch (const store_busy&) {
      if (std::chrono::steady_clock::now() >= deadline) {
        throw;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + jitter() % 45));
  }
}

void store::prepare_schema(bool _create) {
  const bool sqlite = !m_config.store_is_postgresql();
  std::optional<std::int64_t> tables;
  if (sqlite) {
    // A file that is not a store is never written: only an empty one is made a store.
    // Both read by one statement, so that a store made meanwhile is seen whole or not at all.
    std::int64_t id = 0;
    tables = 0;
    m_db->query(
        "SELECT (SELECT application_id FROM pragma_application_id()), "
        "(SELECT count(*) FROM sqlite_master)",
        {}, [&](const db_row& _row) {
          id = _row.integer(0);
          tables = _row.integer(1);
        });
    if (id != sqlite_application_id && *tables > 0) {
      throw store_error(m_shown + ": not a store of vela (an SQLite file of something else)");
    }
    m_db->execute("PRAGMA foreign_keys = ON");
  } else {
    tables = m_db->single_integer(
        "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema() "
        "AND table_name = 'vela_store'");
  }
  if (*tables > 0 || (!sqlite && *tables == 0 && !_create)) {
    const std::optional<std::int64_t> version =
        *tables > 0 ? m_db->single_integer("SELECT max(version) FROM vela_store") : std::nullopt;
    if (!version) {
      throw store_error(m_shown + (sqlite ? ": not a store of vela (no version)"
                                          : ": no store there yet: vela-site run makes it"));
    }
    if (*version > schema_version) {
      throw store_error(m_shown + ": a store of a newer vela (schema version " +
                        std::to_string(*version) + "; this one writes version " +
                        std::to_string(schema_version) + ")");
    }
    // Older versions would be upgraded here, in one transaction; version 1 is the first.
    return;
  }
  if (!_create) {
    throw store_error(m_shown + ": no store there yet: vela-site run makes it");
  }
  if (sqlite) {
    // Two runs of different days may write at once: readers never wait for a writer.
    m_db->execute("PRAGMA journal_mode = WAL");
  }
  m_db->begin();
  try {
    // Two runs making the store at once: one makes it, the other finds it made.
    if (!sqlite) {
      m_db->execute("SELECT pg_advisory_xact_lock(1447382081)");
    }
    const char* made = sqlite ? "SELECT count(*) FROM sqlite_master WHERE name = 'vela_store'"
                              : "SELECT count(*) FROM information_schema.tables WHERE "
                                "table_schema = current_schema() AND table_name = 'vela_store'";
    if (m_db->single_integer(made).value_or(0) > 0) {
      m_db->commit();
      return;
    }
    if (sqlite) {
      m_db->execute("PRAGMA application_id = " + std::to_string(sqlite_application_id));
    }
    for (const char* statement : schema_v1) {
      std::string sql = statement;
      const std::size_t id = sql.find("{id}");
      if (id != std::string::npos) {
        sql.replace(id, 4,
                    sqlite ? "INTEGER PRIMARY KEY"
                           : "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
      }
      m_db->execute(sql);
    }
    m_db->execute("INSERT INTO vela_store (version) VALUES (?)", {schema_version});
    m_db->commit();
  } catch (...) {
    m_db->rollback();
    throw;
  }
}

std::vector<stored_run> store::colliding(const std::string& _recording_sha256,
                                         const timestamp& _first, const timestamp& _last) {
  std::vector<stored_run> found;
  m_db->query(
      "SELECT run_id, day, recording_sha256 FROM runs WHERE site = ? AND (recording_sha256 = ? "
      "OR NOT (last_ts < ? OR (last_ts = ? AND last_ms < ?) OR first_ts > ? "
      "OR (first_ts = ? AND first_ms > ?))) ORDER BY run_id",
      {m_config.name, _recording_sha256, _first.ts, _first.ts, _first.ms, _last.ts, _last.ts,
       _last.ms},
      [&](const db_row& _row) { found.push_back({_row.integer(0), _row.text(1), _row.text(2)}); });
  return found;
}

std::int64_t store::insert_run(const run_facts& _facts, const day_tally& _tally,
                               const site& _site, const tools::zone_map* _zones) {
  const std::int64_t run =
      m_db->single_integer(
              "INSERT INTO runs (site, recording_sha256, day, first_ts, first_ms, last_ts, "
              "last_ms, threshold_mm, band_mm, vela_version, positions_name, positions_size, "
              "positions_sha256, trackables_name, trackables_size, trackables_sha256, "
              "associations_name, associations_size, associations_sha256, config_sha256, "
              "zones_sha256, shifts, presence_gap_ms, time_zone, cell_m, result_path, "
              "result_sha256, lines_read, lines_accepted, events, person_vehicle, "
              "vehicle_vehicle, vehicle_ms, person_ms, driving_ms, stored_at) VALUES (?, ?, ?, ?, "
              "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
              "?, ?, ?, ?, ?) RETURNING run_id",
              {m_config.name,
               _facts.recording_sha256,
               _tally.day(),
               _tally.first().ts,
               _tally.first().ms,
               _tally.last().ts,
               _tally.last().ms,
               std::int64_t{m_config.threshold_mm},
               run_rules::band_mm,
               std::string(VELA_VERSION),
               _facts.positions.name,
               static_cast<std::int64_t>(_facts.positions.size),
               _facts.positions.sha256,
               _facts.trackables.name,
               static_cast<std::int64_t>(_facts.trackables.size),
               _facts.trackables.sha256,
               _facts.associations.name,
               static_cast<std::int64_t>(_facts.associations.size),
               _facts.associations.sha256,
               m_config.sha256,
               optional_text(_facts.zones_sha256),
               shifts_text(m_config.shifts),
               m_config.presence_gap_ms,
               m_config.time_zone,
               m_config.cell_m,
               _facts.result_path,
               _facts.result_sha256,
               static_cast<std::int64_t>(_facts.lines_read),
               static_cast<std::int64_t>(_tally.lines_accepted()),
               static_cast<std::int64_t>(_tally.events().size()),
               static_cast<std::int64_t>(_tally.events_of(event_kind::person_vehicle)),
               static_cast<std::int64_t>(_tally.events_of(event_kind::vehicle_vehicle)),
               _tally.exposure()[vehicle_exposure],
               _tally.exposure()[person_exposure],
               _tally.exposure()[driving_exposure],
               _facts.stored_at})
          .value_or(0);
  std::vector<db_value> rows;
  const auto category = [&](object_id _id) {
    return std::string(_site.is_person(_id) ? "PERSON" : "VEHICLE");
  };
  for (object_id id = 0; id < _site.size(); ++id) {
    rows.insert(rows.end(), {run, _site.object(id).uid, _site.object(id).name, category(id)});
  }
  m_db->insert_rows("run_objects", {"run_id", "uid", "name", "category"}, rows);
  rows.clear();
  const std::vector<std::string> event_table = {
      "run_id", "seq",      "ts",           "ms",     "duration_s", "distance_mm",
      "kind",   "a_uid",    "a_driver_uid", "a_x_mm", "a_y_mm",     "b_uid",
      "b_driver_uid", "b_x_mm", "b_y_mm", "zones", "shift"};
  std::int64_t seq = 0;
  for (const tallied_event& event : _tally.events()) {
    std::string zones;
    for (const std::uint32_t zone : event.zones) {
      zones += (zones.empty() ? "" : ";") + _zones->zones()[zone].name;
    }
    const event_record& record = event.record;
    rows.insert(rows.end(), {run, ++seq, record.timestamp.ts, record.timestamp.ms,
                             record.duration, std::int64_t{record.distance},
                             std::string(kind_name(event.kind))});
    for (const int side : {event.a, 1 - event.a}) {
      const object_id driver = record.drivers[static_cast<std::size_t>(side)];
      rows.insert(rows.end(),
                  {_site.object(record.objects[static_cast<std::size_t>(side)]).uid,
                   driver == no_object ? db_value{} : db_value{_site.object(driver).uid},
                   std::int64_t{record.x[static_cast<std::size_t>(side)]},
                   std::int64_t{record.y[static_cast<std::size_t>(side)]}});
    }
    rows.insert(rows.end(), {zones, event.shift});
    if (rows.size() >= event_table.size() * 10000) {  // a piece at a time
      m_db->insert_rows("events", event_table, rows);
      rows.clear();
    }
  }
  m_db->insert_rows("events", event_table, rows);
  rows.clear();
  for (const auto& [bucket, counts] : _tally.buckets()) {
    rows.insert(rows.end(), {run, bucket, static_cast<std::int64_t>(counts.lines),
                             counts.exposure[vehicle_exposure], counts.exposure[person_exposure],
                             counts.exposure[driving_exposure]});
  }
  m_db->insert_rows("buckets",
                    {"run_id", "bucket_ts", "lines", "vehicle_ms", "person_ms", "driving_ms"},
                    rows);
  rows.clear();
  // A zone set as its names, ';' between them; "" outside every zone.
  std::vector<std::string> sets;
  for (const std::vector<std::uint32_t>& set : _tally.zone_sets()) {
    std::string names;
    for (const std::uint32_t zone : set) {
      names += (names.empty() ? "" : ";") + _zones->zones()[zone].name;
    }
    sets.push_back(names);
  }
  for (const auto& [key, exposure] : _tally.zone_buckets()) {
    rows.insert(rows.end(), {run, key.first, sets[key.second],
                             exposure[vehicle_exposure], exposure[person_exposure],
                             exposure[driving_exposure]});
  }
  m_db->insert_rows("zone_buckets",
                    {"run_id", "bucket_ts", "zones", "vehicle_ms", "person_ms", "driving_ms"},
                    rows);
  rows.clear();
  for (const auto& [key, count] : _tally.event_buckets()) {
    const auto& [kind, set, shift, duration, distance] = key.second;
    rows.insert(rows.end(), {run, key.first, std::string(kind_name(static_cast<event_kind>(kind))),
                             sets[set], shift, duration, distance,
                             static_cast<std::int64_t>(count)});
  }
  m_db->insert_rows("event_buckets",
                    {"run_id", "bucket_ts", "kind", "zones", "shift", "duration_class",
                     "distance_class", "events"},
                    rows);
  rows.clear();
  for (const auto& [key, day] : _tally.object_days()) {
    rows.insert(rows.end(), {run, _site.object(key.first).uid, key.second, day.presence_ms,
                             static_cast<std::int64_t>(day.events[0]),
                             static_cast<std::int64_t>(day.events[1])});
  }
  m_db->insert_rows(
      "object_days",
      {"run_id", "uid", "day", "presence_ms", "person_vehicle", "vehicle_vehicle"}, rows);
  rows.clear();
  static const char* const roles[] = {"vehicle", "driver", "person"};
  for (const auto& [key, count] : _tally.object_events()) {
    const auto& [id, role, day, kind, set, duration] = key;
    rows.insert(rows.end(), {run, _site.object(id).uid, std::string(roles[role]), day,
                             std::string(kind_name(static_cast<event_kind>(kind))), sets[set],
                             duration, static_cast<std::int64_t>(count)});
  }
  m_db->insert_rows("object_events",
                    {"run_id", "uid", "role", "day", "kind", "zones", "duration_class", "events"},
                    rows);
  rows.clear();
  for (const auto& [key, count] : _tally.density()) {
    const auto& [x, y, kind, set, duration] = key;
    rows.insert(rows.end(), {run, x, y, std::string(kind_name(static_cast<event_kind>(kind))),
                             sets[set], duration, static_cast<std::int64_t>(count)});
  }
  m_db->insert_rows("density",
                    {"run_id", "cell_x", "cell_y", "kind", "zones", "duration_class", "events"},
                    rows);
  return run;
}

void store::remove_run(std::int64_t _run) {
  for (const char* table : run_tables) {
    m_db->execute(std::string("DELETE FROM ") + table + " WHERE run_id = ?", {_run});
  }
  m_db->execute("DELETE FROM runs WHERE run_id = ?", {_run});
}

bool store::forget(std::int64_t _run) {
  m_db->begin();
  try {
    if (!m_db->single_integer("SELECT run_id FROM runs WHERE site = ? AND run_id = ?",
                              {m_config.name, _run})) {
      m_db->rollback();
      return false;
    }
    remove_run(_run);
    m_db->commit();
  } catch (...) {
    m_db->rollback();
    throw;
  }
  return true;
}

const std::vector<std::string>& store::run_columns() {
  static const std::vector<std::string> columns = {
      "run_id",          "site",             "day",
      "first_ts",        "first_ms",         "last_ts",
      "last_ms",         "threshold_mm",     "band_mm",
      "vela_version",    "positions_name",   "positions_size",
      "positions_sha256", "trackables_name", "trackables_size",
      "trackables_sha256", "associations_name", "associations_size",
      "associations_sha256", "config_sha256", "zones_sha256",
      "shifts",          "presence_gap_ms",  "time_zone",
      "cell_m",          "result_path",      "result_sha256",
      "lines_read",      "lines_accepted",   "events",
      "person_vehicle",  "vehicle_vehicle",  "vehicle_ms",
      "person_ms",       "driving_ms",       "stored_at"};
  return columns;
}

void store::each_run(const std::function<void(const db_row&)>& _row) {
  std::string sql = "SELECT ";
  for (std::size_t k = 0; k < run_columns().size(); ++k) {
    sql += (k == 0 ? "" : ", ") + run_columns()[k];
  }
  sql += " FROM runs WHERE site = ? ORDER BY first_ts, first_ms, run_id";
  m_db->query(sql, {m_config.name}, _row);
}

const std::vector<std::string>& store::event_columns() {
  static const std::vector<std::string> columns = {
      "run_id", "ts",     "ms",         "duration_s", "distance_mm", "kind",
      "a_uid",  "a_name", "a_category", "a_driver_uid", "a_x_mm",    "a_y_mm",
      "b_uid",  "b_name", "b_category", "b_driver_uid", "b_x_mm",    "b_y_mm",
      "zones"};
  return columns;
}

void store::each_event(std::int64_t _from_s, std::int64_t _to_s,
                       const std::function<void(const db_row&)>& _row) {
  m_db->query(
      "SELECT e.run_id, e.ts, e.ms, e.duration_s, e.distance_mm, e.kind, e.a_uid, a.name, "
      "a.category, e.a_driver_uid, e.a_x_mm, e.a_y_mm, e.b_uid, b.name, b.category, "
      "e.b_driver_uid, e.b_x_mm, e.b_y_mm, e.zones FROM events e JOIN runs r ON r.run_id = "
      "e.run_id LEFT JOIN run_objects a ON a.run_id = e.run_id AND a.uid = e.a_uid LEFT JOIN "
      "run_objects b ON b.run_id = e.run_id AND b.uid = e.b_uid WHERE r.site = ? AND e.ts >= ? "
      "AND e.ts < ? ORDER BY e.ts, e.ms, e.run_id, e.seq",
      {m_config.name, _from_s, _to_s}, _row);
}
}  // namespace vela::site_tool
