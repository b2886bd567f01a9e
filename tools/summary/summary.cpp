// vela-summary: a vela result for people or for a spreadsheet. By default a short report: how
// many events of which kind, the closest approaches and the pairs with most events. With --csv
// or --jsonl, one row per event with both objects' names and categories. With --zones, the
// events by zone, and the zones of each row.
//
// Results are read as a stream (results/result_reader), decompressed where they are stored
// compressed (results/result_input), in memory that does not grow with the number of events. The
// trackable objects come after the events in vela's document, so the rows of a file are written in
// a second pass over it, once its objects are known; the short report needs only per-pair counts
// and the closest events, resolved at the end. A document piped on standard input cannot be read
// twice: its rows are written without names and categories.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/optional.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/csv.hpp"
#include "common/rows.hpp"
#include "common/site_time.hpp"
#include "common/zones.hpp"
#include "results/result_input.hpp"
#include "results/result_reader.hpp"

namespace vela::summary {
namespace {
constexpr const char* program = "vela-summary";
constexpr int failure_status = 1;
constexpr std::size_t listed = 5;

constexpr const char* usage_text =
    "Usage: vela-summary [--csv | --jsonl] [--utc-offset +HH:MM | --time-zone NAME] [--zones FILE]\n"
    "                    EVENTS.json\n"
    "\n"
    "Reads a vela result: the document written by vela -o, or the events array vela writes to\n"
    "standard output, either stored plain or compressed with gzip or zstd; - reads standard\n"
    "input. Prints a short report: the number of events by kind, the five closest approaches\n"
    "and the five pairs with most events, with names beside uids when the result has them,\n"
    "the person of a pair first, then by uid.\n"
    "\n"
    "  --csv               one row per event instead, with a header row (RFC 4180): start, end,\n"
    "                      duration_s, distance_mm, kind, then uid, name, category, driver_uid,\n"
    "                      x_mm and y_mm of each object (a_..., b_...); a text that would\n"
    "                      run as a formula (=, +, -, @, tab, CR first) gets an apostrophe\n"
    "  --jsonl             one JSON object per line and event, with the same fields\n"
    "  --utc-offset +HH:MM  the site's time, UTC plus this, for the times shown (default UTC)\n"
    "  --time-zone NAME   the site's time zone (Europe/Berlin), daylight saving time included\n"
    "  --zones FILE        GeoJSON FeatureCollection of Polygon and MultiPolygon features in\n"
    "                      site metres, each named by its \"name\" property: the report counts\n"
    "                      the events in each zone, and the rows gain a last column, zones: the\n"
    "                      zones holding the event's mark (the midpoint of the two objects when\n"
    "                      it began), joined by ';' in CSV, an array in JSON lines; empty\n"
    "                      outside every zone\n"
    "  --help, --version\n"
    "\n"
    "A document piped on standard input is read once: its names and categories come after the\n"
    "events, so its rows have no names, categories or kinds. Exit status: 0 success, 1 the\n"
    "result cannot be read (one line on standard error) or the output cannot be written, 2 the\n"
    "zones file cannot be used, 64 usage error.\n";

enum class output { summary, csv, jsonl };

struct options {
  std::string input;  // "-" for standard input
  output form = output::summary;
  tools::site_clock clock;
  boost::optional<std::string> zones;
};

options parse_options(const tools::command_line& _line) {
  options parsed;
  boost::optional<std::string> utc_offset;
  boost::optional<std::string> time_zone;
  for (const tools::given_option& given : _line.options) {
    if (given.name == "--csv") {
      parsed.form = output::csv;
    } else if (given.name == "--jsonl") {
      parsed.form = output::jsonl;
    } else if (given.name == "--utc-offset") {
      utc_offset = given.value;
    } else if (given.name == "--time-zone") {
      time_zone = given.value;
    } else if (given.name == "--zones") {
      parsed.zones = given.value;
    }
  }
  parsed.clock = tools::clock_option(utc_offset, time_zone);
  if (_line.operands.empty()) {
    throw tools::usage_error("no result given");
  }
  parsed.input = _line.operands.front();
  return parsed;
}

// ---- Input ---------------------------------------------------------------------------------

// The input as messages name it.
std::string input_name(const std::string& _input) {
  return _input == "-" ? "standard input" : terminal_safe(_input);
}

// The result to read: a named file or standard input, readable twice when it is a regular file
// (compressed or not).
class source {
 public:
  explicit source(const std::string& _input) : m_name(input_name(_input)), m_opened(_input) {
    m_start = S_ISREG(m_opened.status().st_mode) ? ::lseek(m_opened.fd(), 0, SEEK_CUR) : -1;
  }

  const std::string& name() const { return m_name; }
  bool rereadable() const { return m_start >= 0; }

  // Reads the result through _handlers, from the start of the input (again, if rereadable).
  results::form read(const results::handlers& _handlers) {
    if (m_start >= 0 && ::lseek(m_opened.fd(), m_start, SEEK_SET) != m_start) {
      throw std::runtime_error(std::strerror(errno));
    }
    results::input content(m_opened.fd());  // decompressed where it is stored compressed
    return results::read(content, _handlers);
  }

 private:
  std::string m_name;  // for messages: terminal-safe
  results::opened_result m_opened;
  off_t m_start = -1;  // where the result begins in a regular file, else -1
};

// ---- Objects, pairs and times --------------------------------------------------------------

struct object_info {
  std::string name;
  std::string category;
};

// The trackable objects of a result by uid; empty for the events array.
using directory = std::unordered_map<std::string, object_info>;

const object_info* find(const directory& _objects, const std::string& _uid) {
  const auto found = _objects.find(_uid);
  return found == _objects.end() ? nullptr : &found->second;
}

std::string category_of(const directory& _objects, const std::string& _uid) {
  const object_info* info = find(_objects, _uid);
  return info == nullptr ? std::string() : info->category;
}

// The two uids of a pair in the order they are shown: a person before a vehicle, else by uid.
bool shown_first(const directory& _objects, const std::string& _a, const std::string& _b) {
  const bool a_person = category_of(_objects, _a) == "PERSON";
  const bool b_person = category_of(_objects, _b) == "PERSON";
  return a_person != b_person ? a_person : _a <= _b;
}

// "person-vehicle", "vehicle-vehicle" or "person-person"; empty when a category is unknown.
std::string kind_of(const directory& _objects, const std::string& _a, const std::string& _b) {
  const std::string a = category_of(_objects, _a);
  const std::string b = category_of(_objects, _b);
  const auto known = [](const std::string& _c) { return _c == "PERSON" || _c == "VEHICLE"; };
  if (!known(a) || !known(b)) {
    return "";
  }
  if (a != b) {
    return "person-vehicle";
  }
  return a == "PERSON" ? "person-person" : "vehicle-vehicle";
}

// ---- The short report ----------------------------------------------------------------------

struct approach {
  std::int64_t distance_mm = 0;
  std::int64_t ts = 0;
  std::int64_t ms = 0;
  std::int64_t duration_s = 0;
  std::string first;  // the smaller uid
  std::string second;

  auto key() const { return std::tie(distance_mm, ts, ms, first, second); }
};

using pair_key = std::pair<std::string, std::string>;  // the smaller uid first

// What the report needs of the events: counts per pair and per zone, and the closest few.
class summary_builder {
 public:
  summary_builder(const tools::zone_map* _zones, tools::mark_survey& _marks)
      : m_zones(_zones),
        m_per_zone(_zones != nullptr ? _zones->zones().size() + 1 : 0),
        m_marks(_marks) {}

  void add(const results::event& _event) {
    ++m_events;
    if (m_zones != nullptr) {
      const results::event_object& a = _event.objects[0];
      const results::event_object& b = _event.objects[1];
      m_zones->zones_at(a.x_mm, a.y_mm, b.x_mm, b.y_mm, m_zones_of_event);
      m_marks.add(a.x_mm, a.y_mm, b.x_mm, b.y_mm, &m_zones_of_event);
      for (const std::uint32_t zone : m_zones_of_event) {
        ++m_per_zone[zone];
      }
      m_per_zone.back() += m_zones_of_event.empty() ? 1 : 0;
    }
    auto [first, second] = std::minmax(_event.objects[0].uid, _event.objects[1].uid);
    ++m_per_pair[{first, second}];
    approach one{_event.distance_mm, _event.ts, _event.ms, _event.duration_s, first, second};
    const auto later = [](const approach& _a, const approach& _b) { return _a.key() < _b.key(); };
    if (m_closest.size() < listed || later(one, m_closest.back())) {
      m_closest.insert(std::upper_bound(m_closest.begin(), m_closest.end(), one, later),
                       std::move(one));
      m_closest.resize(std::min(m_closest.size(), listed));
    }
  }

  void print(std::ostream& _out, const directory& _objects, const tools::site_clock& _clock) const {
    print_counts(_out, _objects);
    if (m_events == 0) {
      return;
    }
    _out << "Closest approaches:\n";
    for (const approach& one : m_closest) {
      _out << "  " << one.distance_mm << " mm  " << pair_text(_objects, one.first, one.second)
           << "  at " << tools::site_time_text(one.ts, one.ms, _clock) << " for "
           << one.duration_s << " s\n";
    }
    std::vector<std::pair<pair_key, std::size_t>> pairs(m_per_pair.begin(), m_per_pair.end());
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& _a, const auto& _b) { return _a.second > _b.second; });
    _out << "Pairs with most events:\n";
    for (std::size_t k = 0; k < std::min(listed, pairs.size()); ++k) {
      _out << "  " << pairs[k].second << (pairs[k].second == 1 ? " event   " : " events  ")
           << pair_text(_objects, pairs[k].first.first, pairs[k].first.second) << "\n";
    }
    print_zones(_out);
  }

 private:
  void print_counts(std::ostream& _out, const directory& _objects) const {
    _out << m_events << " events";
    if (m_events == 0 || _objects.empty()) {
      _out << (m_events == 0 ? "\n" : " (the result names no objects: kinds unknown)\n");
      return;
    }
    std::map<std::string, std::size_t> kinds;
    for (const auto& [pair, events] : m_per_pair) {
      kinds[kind_of(_objects, pair.first, pair.second)] += events;
    }
    _out << ": " << kinds["person-vehicle"] << " person-vehicle, " << kinds["vehicle-vehicle"]
         << " vehicle-vehicle";
    const std::size_t other = m_events - kinds["person-vehicle"] - kinds["vehicle-vehicle"];
    if (other > 0) {
      _out << ", " << other << " between other objects";
    }
    _out << "\n";
  }

  // Every zone, most events first (ties in the order of the file), then the events outside.
  void print_zones(std::ostream& _out) const {
    if (m_zones == nullptr) {
      return;
    }
    const std::size_t zones = m_zones->zones().size();
    std::vector<std::size_t> order(zones);
    for (std::size_t k = 0; k < zones; ++k) {
      order[k] = k;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t _a, std::size_t _b) {
      return m_per_zone[_a] > m_per_zone[_b];
    });
    _out << "Events by zone (an event in overlapping zones counts in each):\n";
    const auto line = [&](std::size_t _count, const std::string& _what) {
      _out << "  " << _count << (_count == 1 ? " event   " : " events  ") << _what << "\n";
    };
    for (const std::size_t k : order) {
      line(m_per_zone[k], terminal_safe(m_zones->zones()[k].name));
    }
    line(m_per_zone.back(), "outside every zone");
  }

  static std::string object_text(const directory& _objects, const std::string& _uid) {
    const object_info* info = find(_objects, _uid);
    const bool named = info != nullptr && !info->name.empty();
    return terminal_safe(_uid) + (named ? " (" + terminal_safe(info->name) + ")" : "");
  }

  static std::string pair_text(const directory& _objects, const std::string& _a,
                               const std::string& _b) {
    const bool in_order = shown_first(_objects, _a, _b);
    return object_text(_objects, in_order ? _a : _b) + " - " +
           object_text(_objects, in_order ? _b : _a);
  }

  std::size_t m_events = 0;
  std::map<pair_key, std::size_t> m_per_pair;
  std::vector<approach> m_closest;  // the closest, closest first
  const tools::zone_map* m_zones;
  std::vector<std::size_t> m_per_zone;  // by zone, then outside every zone
  std::vector<std::uint32_t> m_zones_of_event;
  tools::mark_survey& m_marks;
};

// ---- Rows ----------------------------------------------------------------------------------

constexpr const char* object_fields[] = {"uid", "name", "category", "driver_uid", "x_mm", "y_mm"};

using field = tools::row_field;


class row_writer {
 public:
  row_writer(std::ostream& _out, output _form, const tools::site_clock& _clock,
             const tools::zone_map* _zones, tools::mark_survey& _marks)
      : m_out(_out), m_form(_form), m_clock(_clock), m_zones(_zones), m_marks(_marks) {
    if (m_form == output::csv) {
      std::string header = "start,end,duration_s,distance_mm,kind";
      for (const char* side : {"a_", "b_"}) {
        for (const char* name : object_fields) {
          header += std::string(",") + side + name;
        }
      }
      m_out << header << (m_zones != nullptr ? ",zones" : "") << "\r\n";
    }
  }

  void write(const results::event& _event, const directory& _objects) {
    const bool in_order = shown_first(_objects, _event.objects[0].uid, _event.objects[1].uid);
    const results::event_object& a = _event.objects[in_order ? 0 : 1];
    const results::event_object& b = _event.objects[in_order ? 1 : 0];
    const std::string kind = kind_of(_objects, a.uid, b.uid);
    std::vector<std::pair<std::string, field>> fields = {
        {"start", {tools::iso_time(_event.ts, _event.ms, m_clock, 0), {}}},
        {"end", {tools::iso_time(_event.ts, _event.ms, m_clock, _event.duration_s), {}}},
        {"duration_s", {{}, _event.duration_s}},
        {"distance_mm", {{}, _event.distance_mm}},
        {"kind", {kind.empty() ? boost::none : boost::make_optional(kind), {}}},
    };
    add_object(fields, "a_", a, _objects);
    add_object(fields, "b_", b, _objects);
    if (m_zones != nullptr) {
      m_zones->zones_at(a.x_mm, a.y_mm, b.x_mm, b.y_mm, m_zones_of_event);
      m_marks.add(a.x_mm, a.y_mm, b.x_mm, b.y_mm, &m_zones_of_event);
      std::vector<std::string> names;
      for (const std::uint32_t zone : m_zones_of_event) {
        names.push_back(m_zones->zones()[zone].name);
      }
      fields.push_back({"zones", {{}, {}, std::move(names)}});
    }
    m_line.clear();
    tools::append_row(m_line, m_form == output::csv ? tools::row_form::csv : tools::row_form::jsonl,
                      fields);
    m_out << m_line;
  }

 private:
  static void add_object(std::vector<std::pair<std::string, field>>& _fields, const char* _side,
                         const results::event_object& _object, const directory& _objects) {
    const object_info* info = find(_objects, _object.uid);
    const auto text = [](const std::string& _value) { return field{_value, {}}; };
    const std::string side = _side;
    _fields.push_back({side + "uid", text(_object.uid)});
    _fields.push_back({side + "name", info != nullptr ? text(info->name) : field{}});
    _fields.push_back({side + "category", info != nullptr ? text(info->category) : field{}});
    _fields.push_back(
        {side + "driver_uid", _object.driver_uid ? text(*_object.driver_uid) : field{}});
    _fields.push_back({side + "x_mm", {{}, _object.x_mm}});
    _fields.push_back({side + "y_mm", {{}, _object.y_mm}});
  }

  std::ostream& m_out;
  output m_form;
  const tools::site_clock& m_clock;
  const tools::zone_map* m_zones;
  std::vector<std::uint32_t> m_zones_of_event;
  tools::mark_survey& m_marks;
  std::string m_line;  // reused for every row
};

// ---- The run -------------------------------------------------------------------------------

void collect(directory& _objects, const results::trackable& _object) {
  _objects[_object.uid] = {_object.name, _object.category};
}

void write_summary(source& _input, const options& _options, const tools::zone_map* _zones,
                   tools::mark_survey& _marks) {
  directory objects;
  summary_builder builder(_zones, _marks);
  _input.read({[&](const results::event& _event) { builder.add(_event); },
               [&](const results::trackable& _object) { collect(objects, _object); }});
  builder.print(std::cout, objects, _options.clock);
}

void write_rows(source& _input, const options& _options, const tools::zone_map* _zones,
                tools::mark_survey& _marks) {
  directory objects;
  if (_input.rereadable()) {  // first the objects, then the rows with their names
    _input.read({nullptr, [&](const results::trackable& _object) { collect(objects, _object); }});
    row_writer rows(std::cout, _options.form, _options.clock, _zones, _marks);
    _input.read({[&](const results::event& _event) { rows.write(_event, objects); }, nullptr});
    return;
  }
  row_writer rows(std::cout, _options.form, _options.clock, _zones, _marks);
  bool named_late = false;
  _input.read({[&](const results::event& _event) { rows.write(_event, objects); },
               [&](const results::trackable&) { named_late = true; }});
  if (named_late) {
    tools::complain(program, _input.name() +
                                 ": the names and categories come after the events and are not in"
                                 " the rows; give the file by name to have them");
  }
}

int run(const options& _options) {
  // The zones first: a mistake in them costs no reading of a large result.
  boost::optional<tools::zone_map> zones;
  if (_options.zones) {
    try {
      zones = tools::zone_map::read_file(*_options.zones);
    } catch (const tools::zone_error& e) {
      tools::complain(program, terminal_safe(*_options.zones) + ": " + e.what());
      return tools::site_file_status;
    }
  }
  const tools::zone_map* zone_map = zones ? &*zones : nullptr;
  tools::mark_survey marks;
  try {
    source input(_options.input);
    if (_options.form == output::summary) {
      write_summary(input, _options, zone_map, marks);
    } else {
      write_rows(input, _options, zone_map, marks);
    }
  } catch (const std::exception& e) {  // the reader's refusals, read errors
    std::cout.flush();
    tools::complain(program, input_name(_options.input) + ": " + e.what());
    return failure_status;
  }
  std::cout.flush();
  // Zones in other units than the result: a word, not a refusal.
  const std::string units = zones ? tools::zones_units_warning(*zones, marks) : "";
  if (!units.empty()) {
    tools::complain(program,
                    "warning: " + terminal_safe(*_options.zones) + ": " + terminal_safe(units));
  }
  if (!std::cout) {
    tools::complain(program, "standard output: cannot be written");
    return failure_status;
  }
  return 0;
}
}  // namespace
}  // namespace vela::summary

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const vela::tools::program summary{vela::summary::program,
                                     vela::summary::usage_text,
                                     {{"--csv"},
                                      {"--jsonl"},
                                      {"--utc-offset", true},
                                      {"--time-zone", true},
                                      {"--zones", true}},
                                     1,
                                     vela::summary::failure_status};
  return vela::tools::run_program(summary, argc, argv, [](const vela::tools::command_line& _line) {
    return vela::summary::run(vela::summary::parse_options(_line));
  });
}
