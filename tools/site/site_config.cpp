#include "site/site_config.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string_view>

#include <boost/filesystem.hpp>
#include <toml++/toml.h>

#include "base/sha256.hpp"
#include "base/text.hpp"
#include "common/command_line.hpp"
#include "files/input_file.hpp"

namespace vela::site_tool {
namespace {
constexpr std::uint64_t config_limit_bytes = std::uint64_t{1} << 20;
constexpr int minutes_per_day = 24 * 60;

// Where an error is told: the file and a line of it.
class teller {
 public:
  explicit teller(std::string _file) : m_file(std::move(_file)) {}

  [[noreturn]] void fail(std::int64_t _line, const std::string& _what) const {
    throw config_error(terminal_safe(m_file) + ":" + std::to_string(_line) + ": " + _what);
  }

 private:
  std::string m_file;
};

std::int64_t line_of(const toml::node& _node) {
  return static_cast<std::int64_t>(_node.source().begin.line);
}

std::string quoted(std::string_view _key) { return "\"" + terminal_safe(_key) + "\""; }

// The keys of one table, each read once, and every other key refused.
class table_reader {
 public:
  table_reader(const toml::table& _table, std::string _prefix, std::int64_t _line,
               const teller& _teller)
      : m_table(_table), m_prefix(std::move(_prefix)), m_line(_line), m_teller(_teller) {}

  std::string key(std::string_view _name) const { return m_prefix + std::string(_name); }

  // The node under _name, or nullptr; a required one that is missing is told at the table's line.
  const toml::node* get(std::string_view _name, bool _required) {
    m_known.insert(std::string(_name));
    const toml::node* node = m_table.get(_name);
    if (node == nullptr && _required) {
      m_teller.fail(m_line, quoted(key(_name)) + " is missing");
    }
    return node;
  }

  std::optional<std::string> text(std::string_view _name, bool _required) {
    const toml::node* node = get(_name, _required);
    if (node == nullptr) {
      return std::nullopt;
    }
    if (!node->is_string()) {
      m_teller.fail(line_of(*node), quoted(key(_name)) + " must be a string");
    }
    return node->value<std::string>();
  }

  std::optional<std::int64_t> integer(std::string_view _name, bool _required, std::int64_t _low,
                                      std::int64_t _high, const std::string& _what) {
    const toml::node* node = get(_name, _required);
    if (node == nullptr) {
      return std::nullopt;
    }
    const std::optional<std::int64_t> value =
        node->is_integer() ? node->value<std::int64_t>() : std::nullopt;
    if (!value || *value < _low || *value > _high) {
      m_teller.fail(line_of(*node), quoted(key(_name)) + " must be " + _what);
    }
    return value;
  }

  std::optional<double> number(std::string_view _name, bool _required, double _low,
                               const std::string& _what) {
    const toml::node* node = get(_name, _required);
    if (node == nullptr) {
      return std::nullopt;
    }
    std::optional<double> value;
    if (node->is_integer()) {
      value = static_cast<double>(*node->value<std::int64_t>());
    } else if (node->is_floating_point()) {
      value = node->value<double>();
    }
    if (!value || !std::isfinite(*value) || *value <= _low) {
      m_teller.fail(line_of(*node), quoted(key(_name)) + " must be " + _what);
    }
    return value;
  }

  // After every key was read: one the file holds that nobody read is a mistake.
  void refuse_unknown() const {
    for (const auto& [name, node] : m_table) {
      if (m_known.count(std::string(name.str())) == 0) {
        m_teller.fail(static_cast<std::int64_t>(name.source().begin.line),
                      "unknown key " + quoted(key(name.str())));
      }
    }
  }

  const teller& tell() const { return m_teller; }

 private:
  const toml::table& m_table;
  std::string m_prefix;
  std::int64_t m_line;
  const teller& m_teller;
  std::set<std::string> m_known;
};

// "HH:MM" on a quarter hour, as minutes after midnight; "24:00" is no time of day.
std::optional<int> quarter_hour(const std::string& _text) {
  int hours = 0;
  int minutes = 0;
  char end = 0;
  if (_text.size() != 5 || _text[2] != ':' ||
      std::sscanf(_text.c_str(), "%2d:%2d%c", &hours, &minutes, &end) != 2 || hours < 0 ||
      hours > 23 || minutes < 0 || minutes > 59 || minutes % 15 != 0 ||
      !std::all_of(_text.begin(), _text.end(), [](char _c) { return _c == ':' || (_c >= '0' && _c <= '9'); })) {
    return std::nullopt;
  }
  return hours * 60 + minutes;
}

std::string resolved(const std::string& _folder, const std::string& _path) {
  return _path.empty() || _path.front() == '/' || _folder.empty() ? _path
                                                                    : _folder + "/" + _path;
}

void read_shifts(table_reader& _root, site_config& _config) {
  const toml::node* node = _root.get("shifts", false);
  if (node == nullptr) {
    return;
  }
  const toml::array* shifts = node->as_array();
  if (shifts == nullptr) {
    _root.tell().fail(line_of(*node), "\"shifts\" must be an array of tables ([[shifts]])");
  }
  std::vector<std::int64_t> lines;
  for (std::size_t k = 0; k < shifts->size(); ++k) {
    const toml::node& element = *shifts->get(k);
    const toml::table* table = element.as_table();
    const std::string prefix = "shifts[" + std::to_string(k + 1) + "].";
    if (table == nullptr) {
      _root.tell().fail(line_of(element), quoted(prefix.substr(0, prefix.size() - 1)) +
                                              " must be a table ([[shifts]])");
    }
    table_reader reader(*table, prefix, line_of(*table), _root.tell());
    shift one;
    one.name = *reader.text("name", true);
    for (const char* bound : {"start", "end"}) {
      const std::string text = *reader.text(bound, true);
      const std::optional<int> minute = quarter_hour(text);
      if (!minute) {
        _root.tell().fail(line_of(*reader.get(bound, true)),
                          quoted(reader.key(bound)) +
                              " must be a local time HH:MM on a quarter hour, not " + quoted(text));
      }
      (std::string_view(bound) == "start" ? one.start_min : one.end_min) = *minute;
    }
    reader.refuse_unknown();
    // Two shifts overlap when some quarter hour of the day is in both.
    for (std::size_t j = 0; j < _config.shifts.size(); ++j) {
      const shift& other = _config.shifts[j];
      if (other.name == one.name) {
        _root.tell().fail(line_of(*table), "shift " + quoted(one.name) + " is named twice");
      }
      for (int quarter = 0; quarter < minutes_per_day; quarter += 15) {
        if (one.holds(quarter) && other.holds(quarter)) {
          _root.tell().fail(line_of(*table), "shift " + quoted(one.name) + " overlaps shift " +
                                                 quoted(other.name) + " (line " +
                                                 std::to_string(lines[j]) + ")");
        }
      }
    }
    _config.shifts.push_back(std::move(one));
    lines.push_back(line_of(*table));
  }
}

void read_floor_plan(table_reader& _root, site_config& _config) {
  const toml::node* node = _root.get("floor_plan", false);
  if (node == nullptr) {
    return;
  }
  const toml::table* table = node->as_table();
  if (table == nullptr) {
    _root.tell().fail(line_of(*node), "\"floor_plan\" must be a table ([floor_plan])");
  }
  table_reader reader(*table, "floor_plan.", line_of(*table), _root.tell());
  floor_plan_config plan;
  plan.image = resolved(_config.folder, *reader.text("image", true));
  const toml::node& bounds = *reader.get("bounds", true);
  const toml::array* values = bounds.as_array();
  const char* what = " must be [XMIN, YMIN, XMAX, YMAX] in site metres, each minimum below its "
                     "maximum";
  if (values == nullptr || values->size() != 4) {
    _root.tell().fail(line_of(bounds), quoted("floor_plan.bounds") + what);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    const toml::node& value = *values->get(k);
    if (!value.is_number()) {
      _root.tell().fail(line_of(bounds), quoted("floor_plan.bounds") + what);
    }
    plan.bounds[k] = value.is_integer() ? static_cast<double>(*value.value<std::int64_t>())
                                        : *value.value<double>();
  }
  if (!(plan.bounds[0] < plan.bounds[2] && plan.bounds[1] < plan.bounds[3]) ||
      !std::all_of(plan.bounds.begin(), plan.bounds.end(), [](double _v) { return std::isfinite(_v); })) {
    _root.tell().fail(line_of(bounds), quoted("floor_plan.bounds") + what);
  }
  reader.refuse_unknown();
  _config.floor_plan = plan;
}

void read_report(table_reader& _root, site_config& _config) {
  const toml::node* node = _root.get("report", false);
  if (node == nullptr) {
    return;
  }
  const toml::table* table = node->as_table();
  if (table == nullptr) {
    _root.tell().fail(line_of(*node), "\"report\" must be a table ([report])");
  }
  table_reader reader(*table, "report.", line_of(*table), _root.tell());
  if (const toml::node* minimum = reader.get("min_duration_s", false)) {
    const std::optional<std::int64_t> value = minimum->value<std::int64_t>();
    if (!minimum->is_integer() || std::find(duration_edges_s.begin(), duration_edges_s.end(),
                                            *value) == duration_edges_s.end()) {
      _root.tell().fail(line_of(*minimum), "\"report.min_duration_s\" must be one of 0, 1, 2, 5, "
                                           "10, 30 and 60");
    }
    _config.report_min_duration_s = *value;
  }
  if (const toml::node* ignore = reader.get("ignore_zones", false)) {
    const toml::array* names = ignore->as_array();
    if (names == nullptr || !names->is_homogeneous(toml::node_type::string)) {
      _root.tell().fail(line_of(*ignore), "\"report.ignore_zones\" must be an array of zone names");
    }
    for (const toml::node& name : *names) {
      _config.report_ignore_zones.push_back(*name.value<std::string>());
    }
  }
  reader.refuse_unknown();
}
}  // namespace

bool shift::holds(int _minute_of_day) const {
  return start_min < end_min ? start_min <= _minute_of_day && _minute_of_day < end_min
                             : _minute_of_day >= start_min || _minute_of_day < end_min;
}

int shift::length_min() const {
  return end_min > start_min ? end_min - start_min : minutes_per_day - start_min + end_min;
}

const shift* site_config::shift_at(int _minute_of_day) const {
  for (const shift& one : shifts) {
    if (one.holds(_minute_of_day)) {
      return &one;
    }
  }
  return nullptr;
}

bool site_config::store_is_postgresql() const {
  return store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0;
}

site_config read_site_config(const std::string& _file,
                             const std::optional<std::string>& _environment_store) {
  const teller tell(_file);
  site_config config;
  config.file = _file;
  // Its folder whole: the store keeps the results' paths, which must mean the same later.
  config.folder = boost::filesystem::absolute(_file).parent_path().lexically_normal().string();
  input_file read{_file};
  std::string text;
  std::string error;
  switch (read_whole_file(read, text, error, config_limit_bytes)) {
    case whole_file::read:
      break;
    case whole_file::cannot_open:
    case whole_file::read_error:
      throw config_error(terminal_safe(_file) + ": " + error);
    case whole_file::folder:
      throw config_error(terminal_safe(_file) + ": is a folder");
    case whole_file::too_large:
      throw config_error(terminal_safe(_file) + ": larger than 1 MiB: not a site's configuration");
  }
  sha256 digest;
  digest.update(text);
  config.sha256 = hex(digest.final());
  toml::table root;
  try {
    root = toml::parse(text, _file);
  } catch (const toml::parse_error& e) {
    tell.fail(static_cast<std::int64_t>(e.source().begin.line),
              "not TOML: " + terminal_safe(e.description()));
  }
  table_reader reader(root, "", 1, tell);
  config.name = *reader.text("name", true);
  if (config.name.empty()) {
    tell.fail(line_of(*reader.get("name", true)), "\"name\" must not be empty");
  }
  config.threshold_mm = static_cast<std::uint32_t>(*reader.integer(
      "threshold_mm", true, 0, 4294967295LL, "a whole number of millimetres, 0 to 4294967295"));
  if (const std::optional<std::string> zone = reader.text("time_zone", false)) {
    config.time_zone = *zone;
    try {
      config.clock = tools::site_clock::zone(*zone);
    } catch (const std::exception&) {
      tell.fail(line_of(*reader.get("time_zone", false)),
                "\"time_zone\" " + quoted(*zone) + " is not a zone of the time-zone database");
    }
  }
  if (const std::optional<std::string> path = reader.text("trackables", false)) {
    config.trackables = resolved(config.folder, *path);
  }
  const std::optional<std::string> store = reader.text("store", false);
  config.store = store ? *store : "history.db";
  if (_environment_store && !_environment_store->empty()) {
    config.store = *_environment_store;
  }
  if (!config.store_is_postgresql()) {
    config.store = resolved(config.folder, config.store);
  }
  if (const std::optional<std::string> results = reader.text("results", false)) {
    config.results = *results;
  }
  config.results = resolved(config.folder, config.results);
  if (const std::optional<std::string> zones = reader.text("zones", false)) {
    config.zones = resolved(config.folder, *zones);
  }
  read_floor_plan(reader, config);
  read_shifts(reader, config);
  if (const std::optional<double> gap =
          reader.number("presence_gap_s", false, 0, "a number of seconds above 0")) {
    config.presence_gap_ms = static_cast<std::int64_t>(std::llround(*gap * 1000));
  }
  if (const std::optional<double> cell = reader.number("cell_m", false, 0, "a number of metres above 0")) {
    config.cell_m = *cell;
  }
  read_report(reader, config);
  reader.refuse_unknown();
  return config;
}

std::string shown_store(const std::string& _store) {
  const std::size_t scheme = _store.find("://");
  if (scheme == std::string::npos) {
    return terminal_safe(_store);
  }
  std::string shown = _store;
  // user:password@host: the password goes.
  const std::size_t authority = scheme + 3;
  const std::size_t at = shown.find('@', authority);
  const std::size_t path = shown.find('/', authority);
  if (at != std::string::npos && (path == std::string::npos || at < path)) {
    const std::size_t colon = shown.find(':', authority);
    if (colon != std::string::npos && colon < at) {
      shown.replace(colon, at - colon, ":***");
    }
  }
  // ...?password=...: likewise.
  for (std::size_t found = shown.find("password="); found != std::string::npos;
       found = shown.find("password=", found + 1)) {
    if (found > 0 && (shown[found - 1] == '?' || shown[found - 1] == '&')) {
      const std::size_t end = shown.find('&', found);
      shown.replace(found + 9, (end == std::string::npos ? shown.size() : end) - found - 9, "***");
    }
  }
  return terminal_safe(shown);
}

std::string site_config_template() {
  return R"(# A site of vela: what vela-site reads for each day's run and for the report over months.
# Every path is relative to this file.

# The site's key in the store: its runs and their events are kept under this name.
name = "Hall 3"

# The near-miss threshold in millimetres (vela -d).
threshold_mm = 2000

# The site's clock, a zone of the IANA database: days, shifts and hours follow it.
time_zone = "UTC"

# The site's trackables file; vela-site run -t FILE may give another.
trackables = "trackables.json"

# Where runs are remembered: an SQLite file (default history.db beside this file), or a
# PostgreSQL server shared by several machines, for example "postgresql://vela@db/vela" (keep
# the password in the server's password file, ~/.pgpass, not here). VELA_STORE overrides it.
# store = "history.db"

# The folder of the result documents.
results = "results"

# Zones of the site, GeoJSON in site metres, as vela-report reads them.
# zones = "zones.geojson"

# The site's plan under the floor plot: a PNG, JPEG or SVG image and its edges in site metres.
# [floor_plan]
# image = "plan.png"
# bounds = [0, 0, 120, 80]

# Shifts, local times on a quarter hour; a shift that ends before it starts runs past midnight
# and counts to the day it started. Time outside every shift is "no shift".
# [[shifts]]
# name = "early"
# start = "06:00"
# end = "14:00"
# [[shifts]]
# name = "late"
# start = "14:00"
# end = "22:00"
# [[shifts]]
# name = "night"
# start = "22:00"
# end = "06:00"

# An object is present from each of its lines to its next one when they are at most this many
# seconds apart: the hours of exposure that turn counts into rates.
presence_gap_s = 10

# The side of the density cells of the report's floor plot, in metres.
cell_m = 2

# Noise filters of the report's page (never applied to the stored events).
# [report]
# min_duration_s = 1          # one of 0, 1, 2, 5, 10, 30, 60
# ignore_zones = ["Charging bay"]
)";
}
}  // namespace vela::site_tool
