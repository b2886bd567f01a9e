#pragma once
// The memory of the sites: every stored run with what it was made from, its events with the
// names its own trackables gave them, and the counts the report over months reads. One schema
// for SQLite and PostgreSQL (see the README), recognised by its version table; each run goes in
// with one transaction.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/zones.hpp"
#include "site/database.hpp"
#include "site/day_tally.hpp"
#include "site/site.hpp"
#include "site/site_config.hpp"

namespace vela::site_tool {
// The version of the schema this program writes; a store of a newer one is refused.
constexpr std::int64_t schema_version = 1;

struct input_facts {
  std::string name;
  std::uint64_t size = 0;
  std::string sha256;
};

// What a run was made from and what it gave, beside its tally.
struct run_facts {
  std::string recording_sha256;  // of the recording's content, decompressed: the run's identity
  input_facts positions;         // its sha256 is the recording's
  input_facts trackables;
  input_facts associations;
  std::string zones_sha256;  // of the zones file, when the site has one
  std::uint64_t lines_read = 0;
  std::string result_path;
  std::string result_sha256;
  std::string stored_at;  // UTC, ISO 8601
};

// A stored run another one would collide with.
struct stored_run {
  std::int64_t id = 0;
  std::string day;
  std::string recording_sha256;
};

class store {
 public:
  // Opens the store of _config; _create makes a missing SQLite file and a new schema. Throws
  // store_error: a file that is not a store, a store of a newer version, a database that cannot
  // be reached or read.
  store(const site_config& _config, bool _create);

  const std::string& shown() const { return m_shown; }
  // The database itself, for the report's counting queries.
  database& db() { return *m_db; }

  // The site's runs of the same recording, or whose time span overlaps [_first, _last].
  std::vector<stored_run> colliding(const std::string& _recording_sha256, const timestamp& _first,
                                    const timestamp& _last);

  void begin() { m_db->begin(); }
  void commit() { m_db->commit(); }
  void rollback() { m_db->rollback(); }
  // Inside a transaction: a run and everything of it. Throws store_error; a second store of the
  // same recording fails on the schema's own uniqueness.
  std::int64_t insert_run(const run_facts& _facts, const day_tally& _tally, const site& _site,
                          const tools::zone_map* _zones);
  // Inside a transaction: the run and everything of it goes.
  void remove_run(std::int64_t _run);

  // One run of the site, by its id; false when the site has none of that id.
  bool forget(std::int64_t _run);

  // The site's runs, oldest first; each row's columns as run_columns() names them.
  static const std::vector<std::string>& run_columns();
  void each_run(const std::function<void(const db_row&)>& _row);
  // The site's events that start in [_from_s, _to_s), in order of time; the columns are
  // event_columns().
  static const std::vector<std::string>& event_columns();
  void each_event(std::int64_t _from_s, std::int64_t _to_s,
                  const std::function<void(const db_row&)>& _row);

 private:
  void prepare_schema(bool _create);

  const site_config& m_config;
  std::string m_shown;
  std::unique_ptr<database> m_db;
};
}  // namespace vela::site_tool
