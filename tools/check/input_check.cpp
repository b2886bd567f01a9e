#include "check/input_check.hpp"

// Each step walks its input once and keeps, per warning, a count and the first examples; per
// object of the site it keeps a few numbers. Nothing grows with the length of the position file.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <utility>

#include "base/text.hpp"
#include "common/site_time.hpp"
#include "files/line_reader.hpp"
#include "globals.hpp"
#include "position.hpp"
#include "recording/recording_counts.hpp"
#include "rules.hpp"

namespace vela::check {
namespace {
constexpr std::size_t frequent_capacity = 64;
constexpr std::size_t columns = position_columns.size();
constexpr std::size_t fault_kinds = 3;  // the reasons other than none
// A threshold below this many millimetres on a site at least this wide looks like metres.
constexpr std::uint32_t metres_threshold_below_mm = 100;
constexpr std::int64_t metres_site_from_mm = 10000;
// An association that ended less than this before an object's first line still counts: vela
// passes over that pair's event on the first line.
constexpr std::int64_t recent_association_s = run_rules::recent_association_s;

// The cases of one warning: how many, and the first few.
struct tally {
  std::uint64_t count = 0;
  std::vector<example> examples;

  bool wants_example() const { return examples.size() < examples_kept; }
  void add(std::uint64_t _at, std::string _text) {
    ++count;
    if (wants_example()) {
      examples.push_back({_at, std::move(_text)});
    }
  }
  // A line of the position file: its text is made only for an example.
  void add_line(std::uint64_t _at, std::string_view _line) {
    add(_at, wants_example() ? terminal_safe(_line, shown_line_bytes) : std::string());
  }
};

void add_warning(report& _report, const char* _section, const char* _code, std::string _message,
                 tally _tally, Json::Value _details = Json::Value()) {
  if (_tally.count == 0) {
    return;
  }
  _report.warnings.push_back({_section, _code, std::move(_message), _tally.count,
                              std::move(_tally.examples), std::move(_details)});
}

std::string quoted(std::string_view _text) {
  return "\"" + terminal_safe(_text, shown_value_bytes) + "\"";
}

// A JSON value on one line, as it could be written in the file.
std::string compact(const Json::Value& _value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return terminal_safe(Json::writeString(builder, _value), shown_value_bytes);
}

std::string column_text(std::size_t _column) {
  return "column " + std::to_string(_column) + " (" + std::string(position_columns[_column - 1]) +
         ")";
}

std::string fault_message(line_fault::reason _why, std::size_t _column) {
  switch (_why) {
    case line_fault::reason::missing_field:
      return _column == 1 ? "empty"
                          : "too few fields: the line ends before " + column_text(_column);
    case line_fault::reason::no_digit:
      return column_text(_column) + " holds no number";
    default:
      return column_text(_column) + " is out of range (" +
             (_column <= 3 ? "beyond 64 bits" : "beyond 32 bits") + ")";
  }
}

const char* fault_code(line_fault::reason _why) {
  switch (_why) {
    case line_fault::reason::missing_field:
      return "missing-field";
    case line_fault::reason::no_digit:
      return "no-digit";
    default:
      return "out-of-range";
  }
}

std::string lines(std::uint64_t _count) {
  return std::to_string(_count) + (_count == 1 ? " line" : " lines");
}

std::string entries(std::uint64_t _count) {
  return std::to_string(_count) + (_count == 1 ? " entry" : " entries");
}

// ---- Trackables ----------------------------------------------------------------------------

struct trackable_tallies {
  tally category;
  tally repeated;
  tally unknown_no_alarm;
  tally ignored_no_alarm;
};

// The no-alarm list of a kept entry, read as the site loader reads it.
void check_no_alarm_list(const Json::Value& _object, const std::string& _uid, std::uint64_t _entry,
                         const site& _site, trackable_tallies& _tallies) {
  Json::Value list;
  if (!get_j_field(_object, "t2t_no_alarm_uid", list)) {
    return;
  }
  if (!list.isArray()) {
    _tallies.ignored_no_alarm.add(_entry, quoted(_uid) + ": the list is not an array");
    return;
  }
  for (const Json::Value& other : list) {
    if (!other.isString()) {
      _tallies.ignored_no_alarm.add(_entry,
                                    quoted(_uid) + ": " + compact(other) + " is not a text");
    } else if (_site.find(other.asString()) == no_object) {
      _tallies.unknown_no_alarm.add(_entry, quoted(_uid) + " lists " + quoted(other.asString()));
    }
  }
}
}  // namespace

void check_trackables(const Json::Value& _document, const site& _site, report& _report) {
  // The site loaded this document: every entry has a text uid, name and category.
  const Json::Value list = _document["trackableObjects"];
  trackable_tallies tallies;
  std::map<std::string, std::uint64_t> first_entry;  // uid -> the entry the site kept
  std::uint64_t entry = 0;
  for (const Json::Value& object : list) {
    ++entry;
    std::string uid;
    std::string category;
    std::string ignored;
    get_j_value(object, "uid", uid, ignored);
    get_j_value(object, "category", category, ignored);
    if (category != "VEHICLE" && category != "PERSON") {
      tallies.category.add(entry, quoted(uid) + ": category " + quoted(category));
      continue;
    }
    const auto [kept, first] = first_entry.emplace(uid, entry);
    if (!first) {
      tallies.repeated.add(entry,
                           quoted(uid) + ", kept from entry " + std::to_string(kept->second));
      continue;
    }
    check_no_alarm_list(object, uid, entry, _site, tallies);
  }
  trackables_facts& facts = _report.trackables;
  facts.entries = entry;
  for (object_id id = 0; id < _site.size(); ++id) {
    ++(_site.is_person(id) ? facts.persons : facts.vehicles);
  }
  add_warning(_report, "trackables", "unknown-category",
              entries(tallies.category.count) +
                  " passed over: the category is neither \"PERSON\" nor \"VEHICLE\"",
              std::move(tallies.category));
  add_warning(_report, "trackables", "repeated-uid",
              entries(tallies.repeated.count) + " passed over: the uid came before",
              std::move(tallies.repeated));
  add_warning(_report, "trackables", "no-alarm-unknown-uid",
              std::to_string(tallies.unknown_no_alarm.count) +
                  " no-alarm list entries naming objects that are not on the site",
              std::move(tallies.unknown_no_alarm));
  add_warning(_report, "trackables", "no-alarm-ignored",
              std::to_string(tallies.ignored_no_alarm.count) +
                  " no-alarm lists or list entries ignored by vela (not an array, not a text)",
              std::move(tallies.ignored_no_alarm));
}

// ---- Positions -----------------------------------------------------------------------------

namespace {
struct object_tally {
  std::uint64_t lines = 0;
  vela::timestamp first;  // the earliest and latest of its lines
  vela::timestamp last;
};

class position_pass {
 public:
  explicit position_pass(const site& _site) : m_site(_site), m_objects(_site.size()) {}

  // _cut: a line longer than vela holds, of which _line is the beginning.
  void add(std::uint64_t _number, std::string_view _line, bool _cut) {
    m_counts.lines_read = _number;
    m_counts.non_empty_lines += _line.empty() ? 0 : 1;
    if (_cut) {
      m_long_lines.add(_number, m_long_lines.wants_example()
                                    ? terminal_safe(_line, line_reader::cut_line_bytes) + "..."
                                    : std::string());
      return;
    }
    position_view pos;
    const line_fault fault = position_view::parse(_line, pos);
    if (fault.rejects()) {
      tally& reason =
          m_faults[(fault.column - 1) * fault_kinds + static_cast<std::size_t>(fault.why) - 1];
      reason.add_line(_number, _line);
      return;
    }
    ++m_counts.position_lines;
    if (_number == 1) {
      m_counts.carriage_returns_alone = recording_counts::ends_in_carriage_returns_alone(_line);
    }
    const object_id id = m_site.find(pos.obj_uid);
    if (id == no_object) {
      m_unknown.add_line(_number, _line);
      m_frequent.add(pos.obj_uid);
      return;
    }
    ++m_counts.site_lines;
    accept(_number, _line, pos, id);
  }

  void finish(std::uint64_t _lines_read, const std::string& _file_name, report& _report) {
    positions_facts& facts = _report.positions;
    summarize(_lines_read, facts);
    rate_and_sightings(facts);
    add_fault_warnings(_report);
    add_warning(_report, "positions", "unknown-object",
                lines(m_unknown.count) + " naming objects that are not on the site",
                std::move(m_unknown));
    add_backwards_warning(_report);
    add_warning(_report, "positions", "milliseconds",
                lines(m_milliseconds.count) +
                    " with seconds that look like milliseconds (the year 5138 or later)",
                std::move(m_milliseconds));
    add_refusal_warning(_file_name, _report);
  }

 private:
  void accept(std::uint64_t _number, std::string_view _line, const position_view& _pos,
              object_id _id) {
    const vela::timestamp& time = _pos.timestamp;
    object_tally& object = m_objects[_id];
    if (object.lines++ == 0 || time < object.first) {
      object.first = time;
    }
    if (object.lines == 1 || object.last < time) {
      object.last = time;
    }
    if (m_accepted++ == 0) {
      m_first = m_last = time;
      m_box = {_pos.x, _pos.x, _pos.y, _pos.y};
    } else {
      m_first = std::min(m_first, time);
      m_last = std::max(m_last, time);
      m_box = {std::min(m_box.x_min, _pos.x), std::max(m_box.x_max, _pos.x),
               std::min(m_box.y_min, _pos.y), std::max(m_box.y_max, _pos.y)};
      if (time < m_previous) {
        if (m_backwards.count == 0) {
          m_first_backwards = {m_previous_line, m_previous, time};
        }
        m_backwards.add_line(_number, _line);
      }
    }
    if (time.ts >= milliseconds_look_from) {
      m_milliseconds.add_line(_number, _line);
    }
    m_previous = time;
    m_previous_line = _number;
  }

  void summarize(std::uint64_t _lines_read, positions_facts& _facts) {
    _facts.lines_read = _lines_read;
    _facts.accepted = m_accepted;
    _facts.unknown_object_lines = m_unknown.count;
    _facts.malformed = _lines_read - m_accepted - m_unknown.count;
    for (uid_lines& one : m_frequent.top(frequent_listed)) {
      _facts.most_frequent_unknown.push_back(
          {terminal_safe(one.uid, shown_value_bytes), one.lines});
    }
    _facts.unknown_counts_exact = m_frequent.exact();
    if (m_accepted > 0) {
      _facts.first_time = m_first;
      _facts.last_time = m_last;
      _facts.box = m_box;
    }
  }

  // The median of the objects' reporting rates, and the objects never seen.
  void rate_and_sightings(positions_facts& _facts) {
    std::vector<double> rates;
    for (object_id id = 0; id < m_objects.size(); ++id) {
      const object_tally& object = m_objects[id];
      if (object.lines == 0) {
        _facts.never_seen.push_back(terminal_safe(m_site.object(id).uid, shown_value_bytes));
        continue;
      }
      ++_facts.objects_seen;
      // In floating point: the times may be anything a line can hold.
      const double span_s =
          static_cast<double>(object.last.ts) - static_cast<double>(object.first.ts) +
          (static_cast<double>(object.last.ms) - static_cast<double>(object.first.ms)) / 1000.0;
      if (object.lines >= 2 && span_s > 0) {
        rates.push_back(static_cast<double>(object.lines - 1) / span_s);
      }
    }
    _facts.rated_objects = rates.size();
    if (rates.empty()) {
      return;
    }
    std::sort(rates.begin(), rates.end());
    const std::size_t middle = rates.size() / 2;
    _facts.median_rate_hz =
        rates.size() % 2 == 1 ? rates[middle] : (rates[middle - 1] + rates[middle]) / 2;
  }

  void add_fault_warnings(report& _report) {
    for (std::size_t column = 1; column <= columns; ++column) {
      for (std::size_t kind = 1; kind <= fault_kinds; ++kind) {
        tally& reason = m_faults[(column - 1) * fault_kinds + kind - 1];
        const auto why = static_cast<line_fault::reason>(kind);
        Json::Value details;
        details["column"] = static_cast<Json::UInt64>(column);
        details["column_name"] = std::string(position_columns[column - 1]);
        details["reason"] = fault_code(why);
        add_warning(_report, "positions", "malformed-line",
                    lines(reason.count) + " malformed: " + fault_message(why, column),
                    std::move(reason), std::move(details));
      }
    }
    Json::Value details;
    details["reason"] = "too-long";
    add_warning(_report, "positions", "malformed-line",
                lines(m_long_lines.count) + " malformed: longer than 1 MiB, read past",
                std::move(m_long_lines), std::move(details));
  }

  // The recordings vela refuses, with vela's status and line.
  void add_refusal_warning(const std::string& _file_name, report& _report) {
    const std::string refusal = m_counts.refusal(_file_name);
    if (refusal.empty()) {
      return;
    }
    const char* code = m_counts.carriage_returns_alone ? "carriage-returns-alone"
                       : m_counts.position_lines == 0  ? "no-position-line"
                                                       : "no-line-of-the-site";
    tally refused;
    refused.count = 1;
    Json::Value details;
    details["vela_status"] = 1;
    details["vela_message"] = terminal_safe(refusal);
    add_warning(_report, "positions", code,
                "vela refuses this recording (status 1): " + terminal_safe(refusal),
                std::move(refused), std::move(details));
  }

  void add_backwards_warning(report& _report) {
    if (m_backwards.count == 0) {
      return;
    }
    const std::uint64_t count = m_backwards.count;
    const std::uint64_t line = m_backwards.examples.front().at;
    Json::Value details;
    details["first"]["line"] = static_cast<Json::UInt64>(line);
    details["first"]["time"] = tools::site_time_text(m_first_backwards.time);
    details["first"]["previous_line"] = static_cast<Json::UInt64>(m_first_backwards.previous_line);
    details["first"]["previous_time"] = tools::site_time_text(m_first_backwards.previous);
    add_warning(_report, "positions", "time-backwards",
                lines(count) +
                    " going back in time from the accepted line before them; first line " +
                    std::to_string(line) + " at " + tools::site_time_text(m_first_backwards.time) +
                    " after line " + std::to_string(m_first_backwards.previous_line) + " at " +
                    tools::site_time_text(m_first_backwards.previous),
                std::move(m_backwards), std::move(details));
  }

  struct backwards_step {
    std::uint64_t previous_line = 0;
    vela::timestamp previous;
    vela::timestamp time;
  };

  const site& m_site;
  std::vector<object_tally> m_objects;
  tally m_faults[columns * fault_kinds];
  tally m_unknown;
  tally m_long_lines;
  frequent_texts m_frequent{frequent_capacity};
  tally m_backwards;
  backwards_step m_first_backwards;
  tally m_milliseconds;
  recording_counts m_counts;
  std::uint64_t m_accepted = 0;
  vela::timestamp m_first;
  vela::timestamp m_last;
  bounding_box m_box;
  vela::timestamp m_previous;  // of the accepted line before
  std::uint64_t m_previous_line = 0;
};
}  // namespace

void check_positions(file_source& _positions, const site& _site, report& _report) {
  line_reader reader(_positions, _positions.buffer_bytes());
  position_pass pass(_site);
  std::uint64_t number = 0;
  std::string_view line;
  while (reader.next(line)) {
    pass.add(++number, line, reader.cut());
  }
  pass.finish(number, _positions.record().name, _report);
}

// ---- Associations --------------------------------------------------------------------------

namespace {
struct association_tallies {
  tally unknown;
  tally after;
  tally before;
  tally driver_kind;
  tally vehicle_kind;
  tally reversed;
  tally milliseconds;
};

// _removed lies more than the recent window before _first_s; no overflow at the extremes.
bool ended_long_before(std::int64_t _removed_s, std::int64_t _first_s) {
  return _first_s >= std::numeric_limits<std::int64_t>::min() + recent_association_s &&
         _removed_s < _first_s - recent_association_s;
}

std::string association_text(const std::string& _vehicle, const std::string& _driver) {
  return "vehicle " + quoted(_vehicle) + ", driver " + quoted(_driver);
}

// The times of an association between two objects of the site, read as the site loader reads
// them (created_at is there: the loader read it).
void check_times(const Json::Value& _association, std::uint64_t _entry, const std::string& _what,
                 const positions_facts& _positions, association_tallies& _tallies) {
  std::string ignored;
  std::int64_t created = 0;
  get_j_value(_association, "created_at", created, ignored);
  std::int64_t removed = 0;
  const bool has_removed = get_j_value(_association, "removed_at", removed, ignored);
  const bool has_end = has_removed && removed != 0 && removed >= created;
  const std::string times = _what + ", created_at " + std::to_string(created) +
                            (has_removed ? ", removed_at " + std::to_string(removed) : "");
  if (has_removed && removed != 0 && removed < created) {
    _tallies.reversed.add(_entry, times);
  }
  if (created >= milliseconds_look_from || (has_removed && removed >= milliseconds_look_from)) {
    _tallies.milliseconds.add(_entry, times);
    return;  // outside the recording too, but this says why
  }
  if (!_positions.first_time) {
    return;
  }
  if (*_positions.last_time < timestamp(created, 0)) {
    _tallies.after.add(_entry, times);
  } else if (has_end && ended_long_before(removed, _positions.first_time->ts)) {
    _tallies.before.add(_entry, times);
  }
}

void add_association_warnings(report& _report, association_tallies& _tallies) {
  const std::string first =
      _report.positions.first_time ? tools::site_time_text(*_report.positions.first_time) : "";
  const std::string last =
      _report.positions.last_time ? tools::site_time_text(*_report.positions.last_time) : "";
  const char* section = "associations";
  add_warning(_report, section, "unknown-object",
              entries(_tallies.unknown.count) +
                  " naming objects that are not on the site: vela ignores them",
              std::move(_tallies.unknown));
  add_warning(_report, section, "after-recording",
              entries(_tallies.after.count) + " starting after the recording's last line (" + last +
                  "): vela applies them at the end, and drops their drivers' open events",
              std::move(_tallies.after));
  add_warning(_report, section, "before-recording",
              entries(_tallies.before.count) +
                  " ending more than five minutes before the recording's first line (" + first +
                  "): they change nothing",
              std::move(_tallies.before));
  add_warning(_report, section, "driver-not-person",
              entries(_tallies.driver_kind.count) + " with a driver who is not a person",
              std::move(_tallies.driver_kind));
  add_warning(_report, section, "vehicle-not-vehicle",
              entries(_tallies.vehicle_kind.count) + " with a vehicle that is not a vehicle",
              std::move(_tallies.vehicle_kind));
  add_warning(_report, section, "ends-before-start",
              entries(_tallies.reversed.count) +
                  " ending before they start: vela takes them as never ending",
              std::move(_tallies.reversed));
  add_warning(_report, section, "milliseconds",
              entries(_tallies.milliseconds.count) +
                  " with times that look like milliseconds (the year 5138 or later as seconds)",
              std::move(_tallies.milliseconds));
}
}  // namespace

void check_associations(const Json::Value& _document, const site& _site, report& _report) {
  // The site loaded this document: every entry has text uids.
  const Json::Value list = _document["vehicle_driver_associations"];
  association_tallies tallies;
  std::uint64_t entry = 0;
  for (const Json::Value& association : list) {
    ++entry;
    std::string vehicle_uid;
    std::string driver_uid;
    std::string ignored;
    get_j_value(association, "vehicle_uid", vehicle_uid, ignored);
    get_j_value(association, "driver_uid", driver_uid, ignored);
    const std::string what = association_text(vehicle_uid, driver_uid);
    const object_id vehicle = _site.find(vehicle_uid);
    const object_id driver = _site.find(driver_uid);
    if (vehicle == no_object || driver == no_object) {
      tallies.unknown.add(entry, what);
      continue;
    }
    ++_report.associations.on_site;
    if (!_site.is_person(driver)) {
      tallies.driver_kind.add(entry, what);
    }
    if (_site.is_person(vehicle)) {
      tallies.vehicle_kind.add(entry, what);
    }
    check_times(association, entry, what, _report.positions, tallies);
  }
  _report.associations.entries = entry;
  add_association_warnings(_report, tallies);
}

// ---- Threshold -----------------------------------------------------------------------------

void check_threshold(std::uint32_t _threshold_mm, report& _report) {
  _report.threshold_mm = _threshold_mm;
  tally once;
  once.count = 1;
  if (_threshold_mm == 0) {
    add_warning(_report, "threshold", "zero",
                "a threshold of 0 mm: only objects at exactly the same x and y are in contact",
                once);
    return;
  }
  if (!_report.positions.box) {
    return;
  }
  const bounding_box& box = *_report.positions.box;
  const std::int64_t width = std::int64_t{box.x_max} - box.x_min;
  const std::int64_t height = std::int64_t{box.y_max} - box.y_min;
  const std::int64_t larger = std::max(width, height);
  const double diagonal = std::hypot(static_cast<double>(width), static_cast<double>(height));
  const std::string site_text =
      "the positions span " + std::to_string(width) + " by " + std::to_string(height) + " mm";
  if (_threshold_mm < metres_threshold_below_mm && larger >= metres_site_from_mm) {
    add_warning(_report, "threshold", "metres",
                "a threshold of " + std::to_string(_threshold_mm) + " mm while " + site_text +
                    ": metres rather than millimetres? (" + std::to_string(_threshold_mm) +
                    " m is " + std::to_string(std::uint64_t{_threshold_mm} * 1000) + " mm)",
                once);
  } else if (diagonal > 0 && _threshold_mm >= diagonal) {
    add_warning(_report, "threshold", "beyond-site",
                "a threshold of " + std::to_string(_threshold_mm) + " mm while " + site_text +
                    ": every pair of positioned objects is in contact",
                once);
  }
}

// ---- The most frequent texts ---------------------------------------------------------------

void frequent_texts::add(std::string_view _text) {
  // A long text is kept as its start, told apart from others of the same start by the hash of
  // the whole: memory stays flat whatever the lines hold. The key of a cut text is longer than
  // any text kept whole, so the two never meet.
  std::string key(_text.substr(0, kept_text_bytes));
  if (_text.size() > kept_text_bytes) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "%c%016zx", '\0', std::hash<std::string_view>{}(_text));
    key.append(hash, 17);
  }
  if (const auto found = m_index.find(key); found != m_index.end()) {
    ++m_entries[found->second].lines;
    return;
  }
  if (m_entries.size() < std::max<std::size_t>(m_capacity, 1)) {
    m_index.emplace(key, m_entries.size());
    m_entries.push_back({std::move(key), 1});
    return;
  }
  // Full: the new text takes the place of the least counted and inherits its count, which
  // bounds the error of every count held.
  m_exact = false;
  const auto least = std::min_element(
      m_entries.begin(), m_entries.end(),
      [](const uid_lines& _a, const uid_lines& _b) { return _a.lines < _b.lines; });
  m_index.erase(least->uid);
  m_index.emplace(key, static_cast<std::size_t>(least - m_entries.begin()));
  least->uid = std::move(key);
  ++least->lines;
}

std::vector<uid_lines> frequent_texts::top(std::size_t _k) const {
  std::vector<uid_lines> sorted = m_entries;
  std::sort(sorted.begin(), sorted.end(), [](const uid_lines& _a, const uid_lines& _b) {
    return _a.lines != _b.lines ? _a.lines > _b.lines : _a.uid < _b.uid;
  });
  sorted.resize(std::min(_k, sorted.size()));
  for (uid_lines& one : sorted) {
    one.uid.resize(std::min(one.uid.size(), kept_text_bytes));  // the start of a cut text
  }
  return sorted;
}
}  // namespace vela::check
