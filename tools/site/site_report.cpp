#include "site/site_report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/site_time.hpp"
#include "common/web_text.hpp"
#include "common/zones.hpp"
#include "files/file_output.hpp"
#include "report/floor_plan.hpp"
#include "site/day_tally.hpp"
#include "site/site_config.hpp"
#include "site/store.hpp"

namespace vela::site_tool {
namespace {
constexpr const char* program = "vela-site";
constexpr double ms_per_hour = 3600000.0;
// Pages of the distance index read for the closest approaches, at most.
constexpr std::size_t closest_page_rows = 2000;
constexpr std::size_t closest_pages = 100;

// ---- What a site's period holds -----------------------------------------------------------

// Exposure and events, the sums that rates are made of.
struct tally {
  std::int64_t vehicle_ms = 0;
  std::int64_t person_ms = 0;
  std::int64_t driving_ms = 0;
  std::uint64_t person_vehicle = 0;
  std::uint64_t vehicle_vehicle = 0;

  std::uint64_t events() const { return person_vehicle + vehicle_vehicle; }
  std::int64_t on_foot_ms() const { return person_ms - driving_ms; }
  void add_exposure(std::int64_t _vehicle, std::int64_t _person, std::int64_t _driving) {
    vehicle_ms += _vehicle;
    person_ms += _person;
    driving_ms += _driving;
  }
  void add_events(bool _person_vehicle, std::uint64_t _count) {
    (_person_vehicle ? person_vehicle : vehicle_vehicle) += _count;
  }
  tally& operator+=(const tally& _more) {
    add_exposure(_more.vehicle_ms, _more.person_ms, _more.driving_ms);
    person_vehicle += _more.person_vehicle;
    vehicle_vehicle += _more.vehicle_vehicle;
    return *this;
  }
  // Events per 100 vehicle-hours; person-vehicle events per 100 person-hours on foot.
  std::optional<double> rate() const {
    return vehicle_ms > 0 ? std::optional<double>(events() * 100.0 / (vehicle_ms / ms_per_hour))
                          : std::nullopt;
  }
  std::optional<double> person_rate() const {
    return on_foot_ms() > 0
               ? std::optional<double>(person_vehicle * 100.0 / (on_foot_ms() / ms_per_hour))
               : std::nullopt;
  }
};

struct run_info {
  std::int64_t id = 0;
  std::string day;
  std::int64_t threshold_mm = 0;
  std::string zones_sha256;
  std::int64_t presence_gap_ms = 0;
  std::string inputs[3];  // SHA-256 of positions, trackables, associations
  std::string settings() const {
    return "threshold " + std::to_string(threshold_mm) + " mm, presence gap " +
           std::to_string(presence_gap_ms / 1000.0).substr(0, 5) + " s, " +
           (zones_sha256.empty() ? "no zones" : "zones " + zones_sha256.substr(0, 12));
  }
};

struct ranked {
  std::string uid;
  std::uint64_t events = 0;
  std::int64_t presence_ms = 0;
  double rate() const { return events * 100.0 / (presence_ms / ms_per_hour); }
};

struct listed_event {
  std::int64_t run = 0;
  std::int64_t ts = 0;
  std::int64_t ms = 0;
  std::int64_t duration_s = 0;
  std::int64_t distance_mm = 0;
  std::string kind;
  std::string uids[2];
  std::int64_t x[2] = {0, 0};
  std::int64_t y[2] = {0, 0};
  std::string zones;
};

struct site_period {
  site_config config;
  std::unique_ptr<store> history;
  std::unique_ptr<tools::zone_map> zones;
  std::optional<report::floor_plan> plan;
  std::string first_day;  // the period, site-local dates, both included
  std::string last_day;
  std::vector<run_info> runs;
  tally total;
  std::map<std::string, tally> days;  // by work day: a night shift's morning to the day before
  std::map<std::string, std::array<int, 24>> recorded_hours;  // quarter hours with lines, by hour
  std::map<std::string, tally> shifts;                        // "" for no shift
  std::map<std::string, tally> zone_tallies;
  tally outside_zones;
  std::map<std::pair<std::int64_t, std::int64_t>, std::array<std::uint64_t, 2>> density;
  std::vector<ranked> rankings[3];  // vehicles, drivers, persons
  std::map<std::string, std::set<std::string>> names;  // uid -> "name (CATEGORY)" of the runs
  std::vector<listed_event> closest;
  bool filtered = false;
};

std::set<std::string> split_zones(const std::string& _joined) {
  std::set<std::string> zones;
  for (std::size_t at = 0; !_joined.empty() && at <= _joined.size();) {
    const std::size_t end = std::min(_joined.find(';', at), _joined.size());
    zones.insert(_joined.substr(at, end - at));
    at = end + 1;
  }
  return zones;
}

// Whether a zone set holds one of the zones the page leaves out.
bool ignored(const site_config& _config, const std::string& _zones) {
  if (_config.report_ignore_zones.empty() || _zones.empty()) {
    return false;
  }
  const std::set<std::string> set = split_zones(_zones);
  for (const std::string& zone : _config.report_ignore_zones) {
    if (set.count(zone) != 0) {
      return true;
    }
  }
  return false;
}

// The day a quarter hour counts to, in site time: a night shift's hours after midnight count to
// the day the shift started.
struct work_time {
  std::string day;
  int minute = 0;
  const shift* in = nullptr;
};

std::string day_before(const std::string& _day) {
  std::tm parts{};
  parts.tm_year = std::stoi(_day.substr(0, 4)) - 1900;
  parts.tm_mon = std::stoi(_day.substr(5, 2)) - 1;
  parts.tm_mday = std::stoi(_day.substr(8, 2)) - 1;
  parts.tm_hour = 12;
  const std::time_t when = ::timegm(&parts);
  return tools::local_moment_at(when, 0).date;
}

work_time work_time_of(const site_config& _config, std::int64_t _ts) {
  const tools::local_moment local =
      tools::local_moment_at(_ts, _config.clock.offset_minutes_at(_ts));
  work_time time{local.date, local.minute_of_day, _config.shift_at(local.minute_of_day)};
  if (time.in != nullptr && time.in->end_min < time.in->start_min &&
      local.minute_of_day < time.in->end_min) {
    time.day = day_before(local.date);
  }
  return time;
}

// Runs of the period; their settings must agree unless told.
void read_runs(site_period& _site, const std::optional<std::string>& _from,
               const std::optional<std::string>& _to) {
  database& db = _site.history->db();
  if (!_from || !_to) {
    db.query("SELECT min(day), max(day) FROM runs WHERE site = ?", {_site.config.name},
             [&](const db_row& _row) {
               _site.first_day = _from ? *_from : _row.is_null(0) ? "" : _row.text(0);
               _site.last_day = _to ? *_to : _row.is_null(1) ? "" : _row.text(1);
             });
  } else {
    _site.first_day = *_from;
    _site.last_day = *_to;
  }
  db.query(
      "SELECT run_id, day, threshold_mm, zones_sha256, presence_gap_ms, positions_sha256, "
      "trackables_sha256, associations_sha256 FROM runs WHERE site = ? AND day >= ? AND day <= ? "
      "ORDER BY day, run_id",
      {_site.config.name, _site.first_day, _site.last_day}, [&](const db_row& _row) {
        run_info run;
        run.id = _row.integer(0);
        run.day = _row.text(1);
        run.threshold_mm = _row.integer(2);
        run.zones_sha256 = _row.is_null(3) ? "" : _row.text(3);
        run.presence_gap_ms = _row.integer(4);
        for (int k = 0; k < 3; ++k) {
          run.inputs[k] = _row.text(5 + k);
        }
        _site.runs.push_back(run);
      });
}

// The period's runs, as a condition on a table's run_id.
std::string runs_of_period() {
  return "run_id IN (SELECT run_id FROM runs WHERE site = ? AND day >= ? AND day <= ?)";
}

void read_counts(site_period& _site) {
  database& db = _site.history->db();
  const site_config& config = _site.config;
  const std::vector<db_value> period = {config.name, _site.first_day, _site.last_day};
  std::map<std::int64_t, work_time> times;
  const auto time_of = [&](std::int64_t _bucket) -> const work_time& {
    auto found = times.find(_bucket);
    if (found == times.end()) {
      found = times.emplace(_bucket, work_time_of(config, _bucket)).first;
    }
    return found->second;
  };
  // Exposure: by zone set where the site has zones, so that ignored zones leave it.
  const auto add_exposure = [&](std::int64_t _bucket, const std::string& _zones,
                                std::int64_t _v, std::int64_t _p, std::int64_t _d) {
    if (ignored(config, _zones)) {
      return;
    }
    const work_time& time = time_of(_bucket);
    _site.total.add_exposure(_v, _p, _d);
    _site.days[time.day].add_exposure(_v, _p, _d);
    _site.shifts[time.in != nullptr ? time.in->name : ""].add_exposure(_v, _p, _d);
    const std::set<std::string> zones = split_zones(_zones);
    for (const std::string& zone : zones) {
      _site.zone_tallies[zone].add_exposure(_v, _p, _d);
    }
    if (zones.empty() && _site.zones != nullptr) {
      _site.outside_zones.add_exposure(_v, _p, _d);
    }
  };
  if (_site.zones != nullptr) {
    db.query("SELECT bucket_ts, zones, sum(vehicle_ms), sum(person_ms), sum(driving_ms) FROM "
             "zone_buckets WHERE " + runs_of_period() + " GROUP BY bucket_ts, zones",
             period, [&](const db_row& _row) {
               add_exposure(_row.integer(0), _row.text(1), _row.integer(2), _row.integer(3),
                            _row.integer(4));
             });
  }
  db.query("SELECT bucket_ts, sum(lines), sum(vehicle_ms), sum(person_ms), sum(driving_ms) FROM "
           "buckets WHERE " + runs_of_period() + " GROUP BY bucket_ts",
           period, [&](const db_row& _row) {
             const std::int64_t bucket = _row.integer(0);
             if (_row.integer(1) > 0) {  // recorded: a quarter hour of its work day's hour
               const work_time& time = time_of(bucket);
               ++_site.recorded_hours[time.day][static_cast<std::size_t>(time.minute / 60)];
             }
             if (_site.zones == nullptr) {
               add_exposure(bucket, "", _row.integer(2), _row.integer(3), _row.integer(4));
             }
           });
  db.query("SELECT bucket_ts, kind, zones, duration_class, sum(events) FROM event_buckets WHERE " +
               runs_of_period() + " GROUP BY bucket_ts, kind, zones, duration_class",
           period, [&](const db_row& _row) {
             const std::string zones_text = _row.text(2);
             if (_row.integer(3) < config.report_min_duration_s || ignored(config, zones_text)) {
               return;
             }
             const work_time& time = time_of(_row.integer(0));
             const bool person_vehicle = _row.text(1) == "person-vehicle";
             const auto count = static_cast<std::uint64_t>(_row.integer(4));
             _site.total.add_events(person_vehicle, count);
             _site.days[time.day].add_events(person_vehicle, count);
             _site.shifts[time.in != nullptr ? time.in->name : ""].add_events(person_vehicle,
                                                                               count);
             const std::set<std::string> zones = split_zones(zones_text);
             for (const std::string& zone : zones) {
               _site.zone_tallies[zone].add_events(person_vehicle, count);
             }
             if (zones.empty() && _site.zones != nullptr) {
               _site.outside_zones.add_events(person_vehicle, count);
             }
           });
  db.query("SELECT cell_x, cell_y, kind, zones, duration_class, sum(events) FROM density WHERE " +
               runs_of_period() + " GROUP BY cell_x, cell_y, kind, zones, duration_class",
           period, [&](const db_row& _row) {
             if (_row.integer(4) < config.report_min_duration_s || ignored(config, _row.text(3))) {
               return;
             }
             _site.density[{_row.integer(0), _row.integer(1)}]
                          [_row.text(2) == "person-vehicle" ? 0 : 1] +=
                 static_cast<std::uint64_t>(_row.integer(5));
           });
}

void read_objects(site_period& _site) {
  database& db = _site.history->db();
  const site_config& config = _site.config;
  const std::vector<db_value> period = {config.name, _site.first_day, _site.last_day};
  std::map<std::string, std::int64_t> presence;
  db.query("SELECT uid, sum(presence_ms) FROM object_days WHERE " + runs_of_period() +
               " GROUP BY uid",
           period, [&](const db_row& _row) { presence[_row.text(0)] = _row.integer(1); });
  std::map<std::string, std::uint64_t> counts[3];
  const std::map<std::string, int> roles = {{"vehicle", 0}, {"driver", 1}, {"person", 2}};
  db.query("SELECT uid, role, zones, duration_class, sum(events) FROM object_events WHERE " +
               runs_of_period() + " GROUP BY uid, role, zones, duration_class",
           period, [&](const db_row& _row) {
             if (_row.integer(3) < config.report_min_duration_s || ignored(config, _row.text(2))) {
               return;
             }
             counts[roles.at(_row.text(1))][_row.text(0)] +=
                 static_cast<std::uint64_t>(_row.integer(4));
           });
  for (int role = 0; role < 3; ++role) {
    for (const auto& [uid, events] : counts[role]) {
      _site.rankings[role].push_back({uid, events, presence[uid]});
    }
  }
  db.query("SELECT uid, name, category FROM run_objects WHERE " + runs_of_period() +
               " GROUP BY uid, name, category",
           period, [&](const db_row& _row) {
             _site.names[_row.text(0)].insert(_row.text(1) + " (" + _row.text(2) + ")");
           });
}

// The closest approaches of the period, read along the index of distances so that only a few
// pages of events are ever read.
void read_listed(site_period& _site) {
  database& db = _site.history->db();
  std::set<std::int64_t> runs;
  for (const run_info& run : _site.runs) {
    runs.insert(run.id);
  }
  const auto read = [&](const char* _order, std::vector<listed_event>& _out) {
    for (std::size_t page = 0; page < closest_pages && _out.size() < listed_events; ++page) {
      std::size_t rows = 0;
      db.query(std::string("SELECT run_id, ts, ms, duration_s, distance_mm, kind, a_uid, b_uid, "
                           "a_x_mm, a_y_mm, b_x_mm, b_y_mm, zones FROM events ORDER BY ") +
                   _order + " LIMIT ? OFFSET ?",
               {static_cast<std::int64_t>(closest_page_rows),
                static_cast<std::int64_t>(page * closest_page_rows)},
               [&](const db_row& _row) {
                 ++rows;
                 if (_out.size() >= listed_events || runs.count(_row.integer(0)) == 0 ||
                     _row.integer(3) < _site.config.report_min_duration_s ||
                     ignored(_site.config, _row.text(12))) {
                   return;
                 }
                 listed_event event;
                 event.run = _row.integer(0);
                 event.ts = _row.integer(1);
                 event.ms = _row.integer(2);
                 event.duration_s = _row.integer(3);
                 event.distance_mm = _row.integer(4);
                 event.kind = _row.text(5);
                 event.uids[0] = _row.text(6);
                 event.uids[1] = _row.text(7);
                 for (int k = 0; k < 2; ++k) {
                   event.x[k] = _row.integer(8 + 2 * k);
                   event.y[k] = _row.integer(9 + 2 * k);
                 }
                 event.zones = _row.text(12);
                 _out.push_back(event);
               });
      if (rows < closest_page_rows) {
        break;
      }
    }
  };
  read("distance_mm, ts, ms, run_id, seq", _site.closest);
}

site_period read_site(const std::string& _file, const report_options& _options) {
  site_period site;
  const char* environment_store = std::getenv("VELA_STORE");
  site.config = read_site_config(
      _file, environment_store != nullptr ? std::optional<std::string>(environment_store)
                                          : std::nullopt);
  if (site.config.zones) {
    try {
      site.zones = std::make_unique<tools::zone_map>(tools::zone_map::read_file(*site.config.zones));
    } catch (const tools::zone_error& e) {
      throw config_error(terminal_safe(*site.config.zones) + ": " + e.what());
    }
  }
  if (site.config.floor_plan) {
    const floor_plan_config& plan = *site.config.floor_plan;
    try {
      site.plan = report::read_floor_plan(
          plan.image, {plan.bounds[0], plan.bounds[1], plan.bounds[2], plan.bounds[3]});
    } catch (const report::plan_error& e) {
      throw config_error(terminal_safe(plan.image) + ": " + e.what());
    }
  }
  site.filtered = site.config.report_min_duration_s > 0 || !site.config.report_ignore_zones.empty();
  site.history = std::make_unique<store>(site.config, false);
  read_runs(site, _options.from, _options.to);
  return site;
}
}  // namespace

// ---- The page ------------------------------------------------------------------------------

namespace {
std::string html(std::string_view _text) { return tools::html_text(_text); }

std::string thousands(std::uint64_t _value) {
  std::string digits = std::to_string(_value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

std::string fixed(double _value, int _decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", _decimals, _value);
  return text;
}

std::string hours_text(std::int64_t _ms) { return fixed(_ms / ms_per_hour, 1); }

std::string rate_text(const std::optional<double>& _rate) {
  return _rate ? fixed(*_rate, 2) : "&ndash;";
}

// Data attributes of a tally, for whoever reads the page by its elements.
std::string tally_attributes(const tally& _tally) {
  return " data-pv=\"" + std::to_string(_tally.person_vehicle) + "\" data-vv=\"" +
         std::to_string(_tally.vehicle_vehicle) + "\" data-vehicle-ms=\"" +
         std::to_string(_tally.vehicle_ms) + "\" data-person-ms=\"" +
         std::to_string(_tally.person_ms) + "\" data-driving-ms=\"" +
         std::to_string(_tally.driving_ms) + "\"";
}

// The cells of a tally's row: events, by kind, exposure, rates.
std::string tally_cells(const tally& _tally) {
  return "<td class=\"n\">" + thousands(_tally.events()) + "</td><td class=\"n\">" +
         thousands(_tally.person_vehicle) + "</td><td class=\"n\">" +
         thousands(_tally.vehicle_vehicle) + "</td><td class=\"n\">" +
         hours_text(_tally.vehicle_ms) + "</td><td class=\"n\">" +
         hours_text(_tally.on_foot_ms()) + "</td><td class=\"n rate\">" +
         rate_text(_tally.rate()) + "</td><td class=\"n rate\">" +
         rate_text(_tally.person_rate()) + "</td>";
}

const char* tally_headers =
    "<th>events</th><th>person&ndash;vehicle</th><th>vehicle&ndash;vehicle</th>"
    "<th>vehicle-hours</th><th>person-hours on foot</th><th>events per 100 vehicle-hours</th>"
    "<th>person&ndash;vehicle per 100 person-hours on foot</th>";

std::int64_t days_since_epoch(const std::string& _day) {
  std::tm parts{};
  parts.tm_year = std::stoi(_day.substr(0, 4)) - 1900;
  parts.tm_mon = std::stoi(_day.substr(5, 2)) - 1;
  parts.tm_mday = std::stoi(_day.substr(8, 2));
  return static_cast<std::int64_t>(::timegm(&parts)) / 86400;
}

std::string day_of(std::int64_t _days) { return tools::local_moment_at(_days * 86400, 0).date; }

// Every day of the period, in order.
std::vector<std::string> days_of(const site_period& _site) {
  std::vector<std::string> days;
  if (_site.first_day.empty() || _site.last_day.empty()) {
    return days;
  }
  for (std::int64_t day = days_since_epoch(_site.first_day);
       day <= days_since_epoch(_site.last_day) && days.size() < 40000; ++day) {
    days.push_back(day_of(day));
  }
  return days;
}

bool recorded(const site_period& _site, const std::string& _day) {
  return _site.recorded_hours.count(_day) != 0;
}

// The groups of the trend: weeks from Monday, or months beyond half a year.
struct trend_group {
  std::string label;
  tally counts;
  int recorded_days = 0;
};

std::vector<trend_group> trend_of(const site_period& _site, bool _monthly) {
  std::vector<trend_group> groups;
  for (const std::string& day : days_of(_site)) {
    const std::int64_t number = days_since_epoch(day);
    const std::string label =
        _monthly ? day.substr(0, 7) : day_of(number - ((number + 3) % 7));  // 1970-01-01: Thursday
    if (groups.empty() || groups.back().label != label) {
      groups.push_back({label, {}, 0});
    }
    if (const auto found = _site.days.find(day); found != _site.days.end()) {
      groups.back().counts += found->second;
    }
    groups.back().recorded_days += recorded(_site, day) ? 1 : 0;
  }
  return groups;
}

// A chart of the rate by group, its counts as bars behind; groups not recorded drawn apart.
void write_trend(std::ostream& _out, const std::vector<std::pair<std::string, std::vector<trend_group>>>& _lines,
                 const char* _id) {
  if (_lines.empty() || _lines.front().second.empty()) {
    return;
  }
  const std::vector<trend_group>& first = _lines.front().second;
  const double width = 760;
  const double height = 260;
  const double left = 56;
  const double right = 56;
  const double top = 16;
  const double bottom = 56;
  double highest_rate = 0;
  std::uint64_t most = 0;
  for (const auto& [name, groups] : _lines) {
    for (const trend_group& group : groups) {
      highest_rate = std::max(highest_rate, group.counts.rate().value_or(0));
      most = std::max(most, group.counts.events());
    }
  }
  highest_rate = highest_rate > 0 ? highest_rate * 1.1 : 1;
  const double step = (width - left - right) / static_cast<double>(first.size());
  const auto x = [&](std::size_t _k) { return left + step * (static_cast<double>(_k) + 0.5); };
  const auto y_rate = [&](double _rate) {
    return top + (height - top - bottom) * (1 - _rate / highest_rate);
  };
  _out << "<svg class=\"trend\" id=\"" << _id << "\" viewBox=\"0 0 " << width << " " << height
       << "\" role=\"img\">\n";
  // Counts as bars (of the first site), groups without a recorded day hatched.
  for (std::size_t k = 0; k < first.size(); ++k) {
    const trend_group& group = first[k];
    if (group.recorded_days == 0) {
      _out << "<rect class=\"not-recorded\" x=\"" << fixed(x(k) - step / 2, 1) << "\" y=\"" << top
           << "\" width=\"" << fixed(step, 1) << "\" height=\"" << height - top - bottom
           << "\"><title>" << html(group.label) << ": not recorded</title></rect>\n";
      continue;
    }
    const double bar = most > 0 ? (height - top - bottom) * group.counts.events() / most : 0;
    _out << "<rect class=\"count\" data-group=\"" << html(group.label) << "\" data-events=\""
         << group.counts.events() << "\" x=\"" << fixed(x(k) - step * 0.35, 1) << "\" y=\""
         << fixed(height - bottom - bar, 1) << "\" width=\"" << fixed(step * 0.7, 1)
         << "\" height=\"" << fixed(bar, 1) << "\"><title>" << html(group.label) << ": "
         << thousands(group.counts.events()) << " events, " << group.recorded_days
         << " days recorded</title></rect>\n";
  }
  // The rate of each site, a line through the groups it has a rate for.
  int line = 0;
  for (const auto& [name, groups] : _lines) {
    std::string points;
    for (std::size_t k = 0; k < groups.size() && k < first.size(); ++k) {
      if (const std::optional<double> rate = groups[k].counts.rate()) {
        points += fixed(x(k), 1) + "," + fixed(y_rate(*rate), 1) + " ";
        _out << "<circle class=\"rate line-" << line << "\" data-group=\""
             << html(groups[k].label) << "\" data-rate=\"" << fixed(*rate, 4) << "\" cx=\""
             << fixed(x(k), 1) << "\" cy=\"" << fixed(y_rate(*rate), 1) << "\" r=\"3\"><title>"
             << html(name) << ", " << html(groups[k].label) << ": " << fixed(*rate, 2)
             << " events per 100 vehicle-hours</title></circle>\n";
      }
    }
    _out << "<polyline class=\"rate line-" << line << "\" points=\"" << points << "\"/>\n";
    ++line;
  }
  // Axes: the rate on the left, the count on the right, the groups below (every few).
  _out << "<line class=\"axis\" x1=\"" << left << "\" x2=\"" << width - right << "\" y1=\""
       << height - bottom << "\" y2=\"" << height - bottom << "\"/>\n";
  for (int tick = 0; tick <= 4; ++tick) {
    const double rate = highest_rate * tick / 4;
    _out << "<text class=\"tick\" x=\"" << left - 4 << "\" y=\"" << fixed(y_rate(rate) + 4, 1)
         << "\" text-anchor=\"end\">" << fixed(rate, rate < 10 ? 1 : 0) << "</text>\n";
    _out << "<text class=\"tick\" x=\"" << width - right + 4 << "\" y=\""
         << fixed(y_rate(rate) + 4, 1) << "\">" << thousands(most * tick / 4) << "</text>\n";
  }
  const std::size_t every = std::max<std::size_t>(1, first.size() / 12);
  for (std::size_t k = 0; k < first.size(); k += every) {
    _out << "<text class=\"tick\" transform=\"translate(" << fixed(x(k), 1) << ","
         << height - bottom + 12 << ") rotate(35)\">" << html(first[k].label) << "</text>\n";
  }
  _out << "<text class=\"label\" x=\"4\" y=\"10\">per 100 vehicle-hours</text>"
       << "<text class=\"label\" x=\"" << width - 4 << "\" y=\"10\" text-anchor=\"end\">events"
       << "</text></svg>\n";
}

std::string names_of(const site_period& _site, const std::string& _uid) {
  std::string shown;
  if (const auto found = _site.names.find(_uid); found != _site.names.end()) {
    for (const std::string& name : found->second) {
      shown += (shown.empty() ? "" : " / ") + name;
    }
  }
  return html(_uid) + (shown.empty() ? "" : " &mdash; " + html(shown));
}

void write_rankings(std::ostream& _out, site_period& _site) {
  const char* titles[] = {"Vehicles", "Drivers", "Persons"};
  const char* ids[] = {"vehicles", "drivers", "persons"};
  _out << "<section class=\"rankings\"><h3>Who</h3><p class=\"note\">Each by its events and by "
          "its events per 100 hours of its own presence; objects present less than "
       << fixed(ranked_from_hours, 0)
       << " hours in the period are not ranked by rate. A driver is the driver of an event's "
          "vehicle; a person's events are person&ndash;vehicle events on foot.</p>\n";
  for (int role = 0; role < 3; ++role) {
    std::vector<ranked>& all = _site.rankings[role];
    std::vector<ranked> by_count = all;
    std::sort(by_count.begin(), by_count.end(), [](const ranked& _a, const ranked& _b) {
      return std::tie(_b.events, _a.uid) < std::tie(_a.events, _b.uid);
    });
    std::vector<ranked> by_rate;
    for (const ranked& one : all) {
      if (one.presence_ms >= ranked_from_hours * ms_per_hour) {
        by_rate.push_back(one);
      }
    }
    std::sort(by_rate.begin(), by_rate.end(), [](const ranked& _a, const ranked& _b) {
      return _a.rate() != _b.rate() ? _a.rate() > _b.rate() : _a.uid < _b.uid;
    });
    for (const auto& [list, how] : {std::pair{&by_count, "count"}, std::pair{&by_rate, "rate"}}) {
      _out << "<table class=\"ranking\" id=\"" << ids[role] << "-by-" << how << "\"><caption>"
           << titles[role] << " by " << (std::string(how) == "count" ? "events" : "rate")
           << "</caption><tr><th>object</th><th>events</th><th>hours present</th>"
              "<th>events per 100 hours</th></tr>\n";
      for (std::size_t k = 0; k < list->size() && k < ranked_objects; ++k) {
        const ranked& one = (*list)[k];
        _out << "<tr class=\"ranked\" data-uid=\"" << html(one.uid) << "\" data-events=\""
             << one.events << "\" data-presence-ms=\"" << one.presence_ms << "\"><td>"
             << names_of(_site, one.uid) << "</td><td class=\"n\">" << thousands(one.events)
             << "</td><td class=\"n\">" << hours_text(one.presence_ms) << "</td><td class=\"n\">"
             << (one.presence_ms > 0 ? fixed(one.rate(), 2) : "&ndash;") << "</td></tr>\n";
      }
      if (list->empty()) {
        _out << "<tr><td colspan=\"4\">none</td></tr>\n";
      }
      _out << "</table>\n";
    }
  }
  _out << "</section>\n";
}

std::string metres(std::int64_t _mm) { return fixed(_mm / 1000.0, 2); }

void write_events(std::ostream& _out, const site_period& _site,
                  const std::vector<listed_event>& _events, const char* _id,
                  const char* _title) {
  _out << "<table class=\"events\" id=\"" << _id << "\"><caption>" << _title << " (at most "
       << listed_events << ")</caption><tr><th>start</th><th>s</th><th>mm</th><th>kind</th>"
          "<th>objects</th><th>mark (m)</th><th>zones</th><th>run</th></tr>\n";
  for (const listed_event& event : _events) {
    _out << "<tr class=\"event\" data-distance=\"" << event.distance_mm << "\" data-duration=\""
         << event.duration_s << "\"><td>"
         << html(tools::site_time_text(event.ts, event.ms, _site.config.clock)) << "</td><td class=\"n\">"
         << event.duration_s << "</td><td class=\"n\">" << event.distance_mm << "</td><td>"
         << html(event.kind) << "</td><td>" << names_of(_site, event.uids[0]) << "<br>"
         << names_of(_site, event.uids[1]) << "</td><td>"
         << metres((event.x[0] + event.x[1]) / 2) << ", " << metres((event.y[0] + event.y[1]) / 2)
         << "</td><td>" << html(event.zones) << "</td><td class=\"n\">" << event.run
         << "</td></tr>\n";
  }
  _out << "</table>\n";
}

// The floor plot: the plan under the density cells (translucent, outlined, so that the plan stays
// visible), the zones' outlines and names over them.
void write_floor(std::ostream& _out, const site_period& _site) {
  const double cell_m = _site.config.cell_m;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool any = false;
  const auto extend = [&](double _x0, double _y0, double _x1, double _y1) {
    if (!any) {
      x0 = _x0, y0 = _y0, x1 = _x1, y1 = _y1;
      any = true;
    }
    x0 = std::min(x0, _x0), y0 = std::min(y0, _y0), x1 = std::max(x1, _x1), y1 = std::max(y1, _y1);
  };
  if (_site.plan) {
    const report::plan_bounds& b = _site.plan->bounds;
    extend(b.x_min, b.y_min, b.x_max, b.y_max);
  }
  if (_site.zones != nullptr) {
    for (const tools::zone& zone : _site.zones->zones()) {
      extend(zone.low.x / 2000.0, zone.low.y / 2000.0, zone.high.x / 2000.0, zone.high.y / 2000.0);
    }
  }
  std::uint64_t most = 0;
  for (const auto& [cell, counts] : _site.density) {
    extend(cell.first * cell_m, cell.second * cell_m, (cell.first + 1) * cell_m,
           (cell.second + 1) * cell_m);
    most = std::max(most, counts[0] + counts[1]);
  }
  if (!any || x1 <= x0 || y1 <= y0) {
    return;
  }
  const double width = 640;
  const double scale = width / (x1 - x0);
  const double height = std::min(900.0, (y1 - y0) * scale);
  const double scale_y = height / (y1 - y0);
  const auto px = [&](double _x) { return fixed((_x - x0) * scale, 1); };
  const auto py = [&](double _y) { return fixed(height - (_y - y0) * scale_y, 1); };
  _out << "<svg class=\"floor\" id=\"floor\" viewBox=\"0 0 " << width << " " << fixed(height, 0)
       << "\" role=\"img\">\n";
  if (_site.plan) {
    const report::plan_bounds& b = _site.plan->bounds;
    _out << "<image id=\"plan\" href=\"data:" << _site.plan->media_type << ";base64,"
         << _site.plan->base64 << "\" x=\"" << px(b.x_min) << "\" y=\"" << py(b.y_max)
         << "\" width=\"" << fixed((b.x_max - b.x_min) * scale, 1) << "\" height=\""
         << fixed((b.y_max - b.y_min) * scale_y, 1) << "\" preserveAspectRatio=\"none\"/>\n";
  }
  for (const auto& [cell, counts] : _site.density) {
    const std::uint64_t events = counts[0] + counts[1];
    const double share = most > 0 ? static_cast<double>(events) / most : 0;
    _out << "<rect class=\"cell " << (counts[0] >= counts[1] ? "pv" : "vv") << "\" data-events=\""
         << events << "\" x=\"" << px(cell.first * cell_m) << "\" y=\""
         << py((cell.second + 1) * cell_m) << "\" width=\"" << fixed(cell_m * scale, 1)
         << "\" height=\"" << fixed(cell_m * scale_y, 1) << "\" fill-opacity=\""
         << fixed(0.12 + 0.5 * share, 2) << "\"><title>" << thousands(events)
         << " events</title></rect>\n";
  }
  if (_site.zones != nullptr) {
    for (const tools::zone& zone : _site.zones->zones()) {
      for (const tools::zone_polygon& polygon : zone.polygons) {
        std::string points;
        for (const tools::zone_point& point : polygon.front()) {
          points += px(point.x / 2000.0) + "," + py(point.y / 2000.0) + " ";
        }
        _out << "<polygon class=\"zone\" points=\"" << points << "\"/>\n";
      }
      _out << "<text class=\"zone-name\" x=\"" << px(zone.low.x / 2000.0) << "\" y=\""
           << fixed(std::stod(py(zone.high.y / 2000.0)) + 12, 1) << "\">" << html(zone.name)
           << "</text>\n";
    }
  }
  _out << "</svg>\n";
}

std::string shift_label(const site_config& _config, const std::string& _name) {
  if (_name.empty()) {
    return "no shift";
  }
  for (const shift& one : _config.shifts) {
    if (one.name == _name) {
      char span[64];
      std::snprintf(span, sizeof span, " (%02d:%02d&ndash;%02d:%02d)", one.start_min / 60,
                    one.start_min % 60, one.end_min / 60, one.end_min % 60);
      return html(_name) + span;
    }
  }
  return html(_name);
}

void write_site(std::ostream& _out, site_period& _site, bool _mixed) {
  const site_config& config = _site.config;
  const std::vector<std::string> days = days_of(_site);
  std::size_t recorded_days = 0;
  for (const std::string& day : days) {
    recorded_days += recorded(_site, day) ? 1 : 0;
  }
  _out << "<section class=\"site\" data-site=\"" << html(config.name) << "\"><h2>"
       << html(config.name) << "</h2>\n<p class=\"period\" id=\"period\" data-days=\""
       << days.size() << "\" data-recorded-days=\"" << recorded_days << "\">"
       << html(_site.first_day) << " to " << html(_site.last_day) << ", site time "
       << html(config.clock.label()) << ": " << recorded_days << " of " << days.size()
       << " days recorded; days and hours without a recording are not recorded, never zero "
          "events.</p>\n";
  if (_site.filtered) {
    _out << "<p class=\"note\" id=\"filters\">Filters of the site's configuration applied to this "
            "page (never to the stored events):";
    if (config.report_min_duration_s > 0) {
      _out << " events shorter than " << config.report_min_duration_s << " s left out;";
    }
    if (!config.report_ignore_zones.empty()) {
      _out << " events and exposure in the zones";
      for (const std::string& zone : config.report_ignore_zones) {
        _out << " &ldquo;" << html(zone) << "&rdquo;";
      }
      _out << " left out;";
    }
    _out << "</p>\n";
  }
  _out << "<table class=\"totals\" id=\"totals\"><tr><th></th>" << tally_headers
       << "</tr><tr class=\"total\"" << tally_attributes(_site.total) << "><th>period</th>"
       << tally_cells(_site.total) << "</tr></table>\n";

  const bool monthly = days.size() > 183;
  _out << "<h3>Trend by " << (monthly ? "month" : "week (from Monday)") << "</h3>\n";
  write_trend(_out, {{config.name, trend_of(_site, monthly)}}, "trend");
  _out << "<table class=\"groups\" id=\"" << (monthly ? "months" : "weeks") << "\"><tr><th>"
       << (monthly ? "month" : "week from") << "</th><th>days recorded</th>" << tally_headers
       << "</tr>\n";
  for (const trend_group& group : trend_of(_site, monthly)) {
    _out << "<tr class=\"group\" data-group=\"" << html(group.label) << "\""
         << tally_attributes(group.counts) << "><td>" << html(group.label) << "</td><td class=\"n\">"
         << group.recorded_days << "</td>" << tally_cells(group.counts) << "</tr>\n";
  }
  _out << "</table>\n";

  if (!config.shifts.empty()) {
    _out << "<h3>Shifts</h3><table class=\"shifts\" id=\"shifts\"><tr><th>shift</th>"
         << tally_headers << "</tr>\n";
    std::vector<std::string> names;
    for (const shift& one : config.shifts) {
      names.push_back(one.name);
    }
    if (_site.shifts.count("") != 0) {  // time outside every shift, when there was some
      names.emplace_back();
    }
    for (const std::string& name : names) {
      const tally counts = _site.shifts.count(name) != 0 ? _site.shifts.at(name) : tally{};
      _out << "<tr class=\"shift\" data-shift=\"" << html(name) << "\"" << tally_attributes(counts)
           << "><td>" << shift_label(config, name) << "</td>" << tally_cells(counts) << "</tr>\n";
    }
    _out << "</table><p class=\"note\">A night shift counts to the day it started.</p>\n";
  }

  if (_site.zones != nullptr || _site.plan || !_site.density.empty()) {
    _out << "<h3>Where</h3>\n";
    write_floor(_out, _site);
  }
  if (_site.zones != nullptr) {
    _out << "<table class=\"zones\" id=\"zones\"><tr><th>zone</th>" << tally_headers << "</tr>\n";
    for (const tools::zone& zone : _site.zones->zones()) {
      const tally counts =
          _site.zone_tallies.count(zone.name) != 0 ? _site.zone_tallies.at(zone.name) : tally{};
      _out << "<tr class=\"zone\" data-zone=\"" << html(zone.name) << "\""
           << tally_attributes(counts) << "><td>" << html(zone.name) << "</td>"
           << tally_cells(counts) << "</tr>\n";
    }
    _out << "<tr class=\"zone outside\"" << tally_attributes(_site.outside_zones)
         << "><td>outside every zone</td>" << tally_cells(_site.outside_zones) << "</tr></table>\n";
  }
  write_rankings(_out, _site);
  write_events(_out, _site, _site.closest, "closest", "The closest approaches");

  _out << "<h3>Days</h3><table class=\"days\" id=\"days\"><tr><th>day</th><th>hours recorded</th>"
       << tally_headers << "</tr>\n";
  for (const std::string& day : days) {
    const auto hours = _site.recorded_hours.find(day);
    if (hours == _site.recorded_hours.end()) {
      _out << "<tr class=\"day not-recorded\" data-day=\"" << day << "\"><td>" << day
           << "</td><td colspan=\"8\">not recorded</td></tr>\n";
      continue;
    }
    int quarters = 0;
    for (const int in_hour : hours->second) {
      quarters += in_hour;
    }
    const tally counts = _site.days.count(day) != 0 ? _site.days.at(day) : tally{};
    _out << "<tr class=\"day\" data-day=\"" << day << "\" data-quarters=\"" << quarters << "\""
         << tally_attributes(counts) << "><td>" << day << "</td><td class=\"n\">"
         << fixed(quarters / 4.0, 2) << "</td>" << tally_cells(counts) << "</tr>\n";
  }
  _out << "</table>\n";

  _out << "<h3>Made from</h3><table class=\"runs\" id=\"runs\"><tr><th>run</th><th>day</th>"
          "<th>positions</th><th>trackables</th><th>associations</th><th>threshold</th>"
       << (_mixed ? "<th>settings</th>" : "") << "</tr>\n";
  for (const run_info& run : _site.runs) {
    _out << "<tr class=\"run\" data-run=\"" << run.id << "\"><td class=\"n\">" << run.id
         << "</td><td>" << html(run.day) << "</td>";
    for (const std::string& sha : run.inputs) {
      _out << "<td><code>" << html(sha.substr(0, 12)) << "</code></td>";
    }
    _out << "<td class=\"n\">" << run.threshold_mm << " mm</td>"
         << (_mixed ? "<td>" + html(run.settings()) + "</td>" : "") << "</tr>\n";
  }
  _out << "</table>\n</section>\n";
}

const char* page_style = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em auto; max-width: 1100px; color: #222; }
h1 { font-size: 1.6em; } h2 { border-bottom: 2px solid #345; margin-top: 2em; }
table { border-collapse: collapse; margin: .6em 0 1.2em; } caption { text-align: left; font-weight: 600; }
th, td { border-bottom: 1px solid #ddd; padding: 2px 8px; vertical-align: top; }
th { background: #f3f5f7; text-align: left; font-weight: 600; }
td.n { text-align: right; font-variant-numeric: tabular-nums; } td.rate { font-weight: 600; }
tr.not-recorded td { color: #888; background: repeating-linear-gradient(135deg, #f6f6f6, #f6f6f6 4px, #ececec 4px, #ececec 8px); }
.note { color: #555; font-size: .92em; } .warning { color: #8a4b00; }
svg.trend { width: 100%; max-width: 760px; } svg.floor { width: 100%; max-width: 640px; border: 1px solid #ccc; }
rect.count { fill: #c9d6e3; } rect.not-recorded { fill: #eee; }
polyline.rate { fill: none; stroke-width: 2; } circle.rate { stroke: none; }
.line-0 { stroke: #b3261e; fill: #b3261e; } .line-1 { stroke: #1e5bb3; fill: #1e5bb3; }
.line-2 { stroke: #2e7d32; fill: #2e7d32; } .line-3 { stroke: #6a3d9a; fill: #6a3d9a; }
polyline.line-0, polyline.line-1, polyline.line-2, polyline.line-3 { fill: none; }
line.axis { stroke: #555; } text.tick, text.label { font-size: 10px; fill: #444; }
rect.cell { stroke-width: .5; } rect.cell.pv { fill: #d95f02; stroke: #a34400; }
rect.cell.vv { fill: #1b6fa8; stroke: #0f4a73; }
polygon.zone { fill: none; stroke: #333; stroke-dasharray: 4 2; } text.zone-name { font-size: 11px; }
table.ranking { display: inline-table; margin-right: 1.5em; }
@media print { body { max-width: none; } section.site { break-before: page; } tr { break-inside: avoid; } }
)";
}  // namespace

namespace {
// Runs of one site made with different settings cannot share a rate without saying so.
void refuse_mixed(const site_period& _site) {
  for (std::size_t k = 1; k < _site.runs.size(); ++k) {
    const run_info& a = _site.runs.front();
    const run_info& b = _site.runs[k];
    if (a.threshold_mm != b.threshold_mm || a.zones_sha256 != b.zones_sha256 ||
        a.presence_gap_ms != b.presence_gap_ms) {
      throw std::runtime_error("runs " + std::to_string(a.id) + " (" + a.day + ") and " +
                               std::to_string(b.id) + " (" + b.day + ") of " +
                               terminal_safe(_site.config.name) + " differ: " + a.settings() +
                               " against " + b.settings() + "; --mixed-runs shows them anyway");
    }
  }
}

std::string now_utc_text() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

void write_page(std::ostream& _out, std::vector<site_period>& _sites, bool _mixed) {
  std::string title = "Near misses: ";
  for (std::size_t k = 0; k < _sites.size(); ++k) {
    title += (k == 0 ? "" : ", ") + _sites[k].config.name;
  }
  _out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
          "style-src 'unsafe-inline'; img-src data:\">\n"
       << "<title>" << html(title) << "</title>\n<style>" << page_style << "</style>\n</head>\n"
       << "<body>\n<header><h1>" << html(title) << "</h1><p class=\"note\">Near misses as rates: "
          "events per 100 vehicle-hours, and person&ndash;vehicle events per 100 person-hours on "
          "foot (person-hours less the hours spent driving). Made by vela-site "
       << VELA_VERSION << " on " << now_utc_text() << " from the stores' counts.</p></header>\n";
  if (_sites.size() > 1) {
    _out << "<section id=\"comparison\"><h2>The sites side by side</h2><table class=\"sites\">"
            "<tr><th>site</th><th>period</th><th>days recorded</th>"
         << tally_headers << "</tr>\n";
    bool monthly = false;
    for (site_period& site : _sites) {
      monthly = monthly || days_of(site).size() > 183;
      std::size_t recorded_days = 0;
      for (const std::string& day : days_of(site)) {
        recorded_days += recorded(site, day) ? 1 : 0;
      }
      _out << "<tr class=\"site\" data-site=\"" << html(site.config.name) << "\""
           << tally_attributes(site.total) << "><td>" << html(site.config.name) << "</td><td>"
           << html(site.first_day) << " to " << html(site.last_day) << "</td><td class=\"n\">"
           << recorded_days << "</td>" << tally_cells(site.total) << "</tr>\n";
    }
    _out << "</table>\n";
    std::vector<std::pair<std::string, std::vector<trend_group>>> lines;
    for (site_period& site : _sites) {
      lines.emplace_back(site.config.name, trend_of(site, monthly));
    }
    write_trend(_out, lines, "comparison-trend");
    _out << "<p class=\"note\">Rate per 100 vehicle-hours by " << (monthly ? "month" : "week")
         << ", one line a site (in the order of the table); bars: the first site's events.</p>"
            "</section>\n";
  }
  for (site_period& site : _sites) {
    write_site(_out, site, _mixed);
  }
  _out << "</body>\n</html>\n";
}
}  // namespace

int make_report(const report_options& _options) {
  try {
    std::vector<site_period> sites;
    std::set<std::string> names;
    for (const std::string& file : _options.configs) {
      sites.push_back(read_site(file, _options));
      if (!names.insert(sites.back().config.name).second) {
        throw tools::usage_error("two configurations name the site \"" +
                                 terminal_safe(sites.back().config.name) + "\"");
      }
    }
    for (site_period& site : sites) {
      if (!_options.mixed_runs) {
        refuse_mixed(site);
      }
      read_counts(site);
      read_objects(site);
      read_listed(site);
    }
    output_file page;
    page.open(_options.output, _options.force ? replacing::any_file : replacing::only_a_page);
    output_buffer buffer(page);
    std::ostream out(&buffer);
    write_page(out, sites, _options.mixed_runs);
    out.flush();
    buffer.rethrow_failure();
    page.commit();
    std::cerr << terminal_safe(_options.output) << std::endl;
    return 0;
  } catch (const config_error& e) {
    tools::complain(program, e.what());
    return config_status;
  } catch (const store_error& e) {
    tools::complain(program, e.what());
    return store_status;
  } catch (const output_error& e) {
    tools::complain(program, terminal_safe(_options.output) + ": " + terminal_safe(e.reason()));
    return report_refused_status;
  } catch (const tools::usage_error&) {
    throw;
  } catch (const std::runtime_error& e) {
    tools::complain(program, e.what());
    return report_refused_status;
  }
}
}  // namespace vela::site_tool
