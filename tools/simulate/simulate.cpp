// vela-simulate: writes a seeded, deterministic recording of a simulated site in the three input
// formats of vela. The site model moves the objects; this file parses the options, lets every tag
// report at its own phase with dropouts and positioning noise, and writes the files through large
// buffers. Numbers are formatted by hand from integers, so the files are the same everywhere.

#include <sys/stat.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.hpp"
#include "common/command_line.hpp"
#include "files/file_output.hpp"
#include "position.hpp"
#include "simulate/site_model.hpp"

namespace vela::sim {
namespace {
constexpr const char* program = "vela-simulate";

constexpr const char* usage_text =
    "Usage: vela-simulate --out DIR [options]\n"
    "Writes a simulated site recording into DIR (created if missing): positions.csv,\n"
    "trackables.json and associations.json. The same options give byte-identical files.\n"
    "\n"
    "  --out DIR         folder for the three files (required)\n"
    "  --persons N       persons on the site, 0 to 1000000 (default 20)\n"
    "  --vehicles N      forklifts and tugs, 0 to 1000000 (default 10)\n"
    "  --minutes M       length of the recording, more than 0 up to 10080 (default 15)\n"
    "  --rate HZ         reports per second per tag, 0.05 to 50 (default 1)\n"
    "  --area METRES     side of the square site, 30 to 100000 (default 60)\n"
    "  --seed S          seed, a whole number below 2^64 (default 1)\n"
    "  --noise FRACTION  0 to 1: after each position line, one more line that is malformed or\n"
    "                    names an unknown uid, with this probability; with any noise, a few\n"
    "                    associations name unknown uids too (default 0)\n"
    "  --start SECONDS   seconds of the first line, 86400 to 100000000000 (default 1767225600)\n"
    "  --trip-legs N     mean number of drives a driver makes between login and logout, 1 to\n"
    "                    1000 (default 3: short trips; a shift-long login is some 30)\n"
    "  --driven FRACTION 0 to 1: the share of the vehicles that drivers log in to, half again\n"
    "                    as many drivers taking turns, as far as the site has bays for them\n"
    "                    (default: every other vehicle)\n"
    "  --force           replace positions.csv, trackables.json or associations.json already\n"
    "                    in DIR (refused otherwise)\n"
    "  --help            show this message\n"
    "  --version         show the version\n"
    "\n"
    "The encounters are laid out for a threshold of 2000 mm (vela -d 2000).\n";

constexpr std::size_t buffer_bytes = std::size_t{4} << 20;
constexpr std::size_t longest_line_bytes = 512;
constexpr std::int64_t person_tag_height_mm = 1600;
constexpr std::int64_t vehicle_tag_height_mm = 2300;
constexpr std::uint64_t report_streams = std::uint64_t{1} << 40;  // apart from the movement ones
constexpr std::uint64_t noise_stream = std::uint64_t{1} << 41;
constexpr std::uint32_t per_million = 1000000;

struct options {
  std::string out;
  site_config site;
  std::int64_t period_ms = 1000;
  std::uint32_t noise_ppm = 0;  // noise lines per million position lines
  bool force = false;           // replace a recording already in the folder
};

// A file written through a large buffer into its temporary file, put in place by commit();
// every failure throws with the file's name.
class buffered_file {
 public:
  explicit buffered_file(const std::string& _path) : m_buffer(buffer_bytes) {
    m_file.open(_path);
  }

  // Room for _bytes more; write there and hand the new end to commit().
  char* reserve(std::size_t _bytes) {
    if (m_used + _bytes > m_buffer.size()) {
      flush();
    }
    return m_buffer.data() + m_used;
  }
  void commit(const char* _end) { m_used = static_cast<std::size_t>(_end - m_buffer.data()); }
  void write(std::string_view _text) {
    if (_text.size() > m_buffer.size()) {
      flush();
      m_file.write(_text);
      return;
    }
    char* out = reserve(_text.size());
    std::memcpy(out, _text.data(), _text.size());
    commit(out + _text.size());
  }
  void flush() {
    m_file.write(std::string_view(m_buffer.data(), m_used));
    m_used = 0;
  }
  // Puts the file in place.
  void put_in_place() {
    flush();
    m_file.commit();
  }

 private:
  vela::output_file m_file;
  std::vector<char> m_buffer;
  std::size_t m_used = 0;
};

// ---- Options -------------------------------------------------------------------------------

// A plain decimal ("15", "0.25", ".5") scaled by 10^_decimals; no sign, no exponent, at most
// _decimals digits after the point.
bool parse_decimal(const std::string& _text, int _decimals, std::int64_t& _scaled) {
  std::int64_t value = 0;
  int digits = 0;
  int fraction = -1;  // digits after the point; -1 before a point
  for (const char* c = _text.c_str(); *c != '\0'; ++c) {
    if (*c == '.' && fraction < 0) {
      fraction = 0;
      continue;
    }
    if (*c < '0' || *c > '9' || fraction == _decimals) {
      return false;
    }
    fraction += fraction >= 0 ? 1 : 0;
    value = value * 10 + (*c - '0');
    if (++digits + _decimals > 18) {  // stays far below 2^63 once scaled
      return false;
    }
  }
  for (int k = std::max(fraction, 0); k < _decimals; ++k) {
    value *= 10;
  }
  _scaled = value;
  return digits > 0;
}

bool parse_seed(const std::string& _text, std::uint64_t& _seed) {
  std::uint64_t value = 0;
  for (const char* c = _text.c_str(); *c != '\0'; ++c) {
    const auto digit = static_cast<std::uint64_t>(*c - '0');
    if (*c < '0' || *c > '9' || value > (UINT64_MAX - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  _seed = value;
  return !_text.empty();
}

// One numeric option: its name, how many decimals it takes, its range (scaled), what to say.
struct numeric_option {
  const char* name;
  int decimals;
  std::int64_t low;
  std::int64_t high;
  const char* expected;
};

constexpr numeric_option persons_option{"persons", 0, 0, 1000000, "a whole number, 0 to 1000000"};
constexpr numeric_option vehicles_option{"vehicles", 0, 0, 1000000, "a whole number, 0 to 1000000"};
constexpr numeric_option minutes_option{"minutes", 3, 1, 10080000,
                                        "minutes, more than 0 up to 10080, 3 decimals at most"};
constexpr numeric_option rate_option{"rate", 3, 50, 50000, "Hz, 0.05 to 50, 3 decimals at most"};
constexpr numeric_option area_option{"area", 3, 30000, 100000000,
                                     "metres, 30 to 100000, 3 decimals at most"};
constexpr numeric_option noise_option{"noise", 6, 0, 1000000,
                                      "a fraction, 0 to 1, 6 decimals at most"};
constexpr numeric_option start_option{"start", 0, 86400, 100000000000,
                                      "seconds, 86400 to 100000000000"};
constexpr numeric_option trip_legs_option{"trip-legs", 0, 1, 1000, "a whole number, 1 to 1000"};
constexpr numeric_option driven_option{"driven", 6, 0, 1000000,
                                       "a fraction, 0 to 1, 6 decimals at most"};

// The value of a numeric option, scaled; throws usage_error when it is not one or out of range.
std::int64_t numeric(const numeric_option& _option, const std::string& _text) {
  std::int64_t value = 0;
  if (!parse_decimal(_text, _option.decimals, value) || value < _option.low ||
      value > _option.high) {
    throw tools::usage_error(std::string("invalid --") + _option.name + " '" +
                             terminal_safe(_text) + "' (expected " + _option.expected + ")");
  }
  return value;
}

void apply_option(const tools::given_option& _given, options& _options) {
  const std::string& name = _given.name;
  const std::string& text = _given.value;
  site_config& site = _options.site;
  if (name == "--out") {
    if (text.empty()) {
      throw tools::usage_error("--out needs a folder name");
    }
    _options.out = text;
  } else if (name == "--persons") {
    site.persons = static_cast<std::uint32_t>(numeric(persons_option, text));
  } else if (name == "--vehicles") {
    site.vehicles = static_cast<std::uint32_t>(numeric(vehicles_option, text));
  } else if (name == "--minutes") {
    site.duration_ms = numeric(minutes_option, text) * 60;  // from thousandths of a minute
  } else if (name == "--rate") {  // millihertz to a period, rounded to the nearest millisecond
    const std::int64_t millihertz = numeric(rate_option, text);
    _options.period_ms = (1000000 + millihertz / 2) / millihertz;
  } else if (name == "--area") {
    site.side_mm = numeric(area_option, text);
  } else if (name == "--seed") {
    if (!parse_seed(text, site.seed)) {
      throw tools::usage_error("invalid --seed '" + terminal_safe(text) +
                               "' (expected a whole number below 2^64)");
    }
  } else if (name == "--noise") {
    _options.noise_ppm = static_cast<std::uint32_t>(numeric(noise_option, text));
  } else if (name == "--start") {
    site.start_s = numeric(start_option, text);
  } else if (name == "--trip-legs") {
    site.trip_legs = numeric(trip_legs_option, text);
  } else if (name == "--driven") {
    site.driven_ppm = numeric(driven_option, text);
  } else if (name == "--force") {
    _options.force = true;
  }
}

options parse_options(const tools::command_line& _line) {
  options parsed;
  for (const tools::given_option& given : _line.options) {
    apply_option(given, parsed);
  }
  if (parsed.out.empty()) {
    throw tools::usage_error("--out is required");
  }
  if (parsed.site.persons + parsed.site.vehicles == 0) {
    throw tools::usage_error("no objects: give --persons or --vehicles above 0");
  }
  return parsed;
}

// ---- Formatting ----------------------------------------------------------------------------

// ---- Recording -----------------------------------------------------------------------------

// One tag: reports every period at its own phase, misses about 2 % of its reports and now and
// then a few in a row, and is off by up to ±100 mm per coordinate.
struct tag {
  std::string uid;
  std::string mac;
  rng reports{0};
  std::int64_t phase_ms = 0;
  std::int64_t height_mm = 0;
  std::int64_t silent = 0;  // reports still to miss in an outage

  bool misses_report() {
    if (silent > 0) {
      --silent;
      return true;
    }
    const std::uint64_t draw = reports.next() % 10000;
    if (draw < 10) {
      silent = reports.between(2, 10);
    }
    return draw < 200;
  }
  // Triangular noise in [-100, 100] mm on each coordinate.
  void add_noise(std::int64_t& _x, std::int64_t& _y, std::int64_t& _z) {
    const std::uint64_t draw = reports.next();
    const auto part = [&](int _shift) {
      return static_cast<std::int64_t>((draw >> _shift & 0xFFFF) % 101);
    };
    _x += part(0) + part(16) - 100;
    _y += part(32) + part(48) - 100;
    _z += reports.between(-100, 100);
  }
};

// The fields of one position line, before formatting.
// A line of the recording: the position fields but the project and the type, which are the same
// on every line.
struct line_fields {
  std::uint64_t id = 0;
  std::int64_t ts = 0;
  std::int64_t ms = 0;
  std::string_view mac;
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t z = 0;
  std::string_view uid;
  std::string_view zone;
};

char* put_line(char* _out, const line_fields& _line) {
  return position_fields{_line.id, _line.ts,  _line.ms,  _line.mac,   _line.x, _line.y,
                         _line.z,  _line.uid, _line.zone, "PRJ-1", "TAG"}
      .write(_out);
}

std::string line_text(const line_fields& _line) {
  char buffer[longest_line_bytes];
  return std::string(buffer, put_line(buffer, _line));
}

// _text (one line) with field _column (from 0) replaced by _value.
std::string replace_field(const std::string& _text, std::size_t _column,
                          const std::string& _value) {
  std::size_t begin = 0;
  for (std::size_t column = 0; column < _column; ++column) {
    begin = _text.find(',', begin) + 1;
  }
  return _text.substr(0, begin) + _value + _text.substr(_text.find(',', begin));
}

// The line cut at or before its tenth comma: an eleventh field never starts.
std::string short_line(rng& _noise, const std::string& _text) {
  std::size_t tenth = 0;
  for (int comma = 0; comma < 10; ++comma) {
    tenth = _text.find(',', comma == 0 ? 0 : tenth + 1);
  }
  const auto cut = _noise.between(0, static_cast<std::int64_t>(tenth) + 1);
  return _text.substr(0, static_cast<std::size_t>(cut)) + "\n";
}

// A numeric field (id, ts, ms, x, y or z) without a digit where the number must start.
std::string wordy_line(rng& _noise, const std::string& _text) {
  static const char* const words[] = {"n/a", "NaN", "x", "", " ", "--5", "+-3", "null"};
  const auto column = static_cast<std::size_t>(_noise.next() % 6);
  return replace_field(_text, column < 3 ? column : column + 1, words[_noise.next() % 8]);
}

// A coordinate beyond 32 bits, or an id beyond 64 bits.
std::string out_of_range_line(rng& _noise, const std::string& _text) {
  const auto column = static_cast<std::size_t>(4 + _noise.next() % 4);
  if (column == 7) {
    return replace_field(_text, 0, "18446744073709551616" + std::to_string(_noise.between(0, 9)));
  }
  const std::int64_t beyond = 2147483648 + _noise.between(0, 999999999);
  return replace_field(_text, column, std::to_string(_noise.chance(500) ? beyond : -beyond));
}

// Lines that vela must skip: well-formed but naming a tag missing from the trackables file, or
// malformed in ways the position format rejects (a short line, a field without digits, a header,
// a number beyond its range, a gateway's chatter, an empty line). Never a line that parses with
// a known uid: that would move an object.
std::string noise_line(rng& _noise, line_fields _line) {
  switch (_noise.next() % 7) {
    case 0: {
      const std::string uid = "X000" + std::to_string(_noise.between(1, 9));
      _line.uid = uid;
      _line.mac = "02:56:4C:FF:FF:00";
      _line.x += _noise.between(-5000, 5000);
      return line_text(_line);
    }
    case 1:
      return short_line(_noise, line_text(_line));
    case 2:
      return wordy_line(_noise, line_text(_line));
    case 3:
      return "id,ts,ms,mac,x,y,z,obj_uid,sublocation_uid,project_uid,type\n";
    case 4:
      return out_of_range_line(_noise, line_text(_line));
    case 5:
      return _noise.chance(500) ? "# gateway 3 restarted\n" : "\r\n";
    default:
      return "\n";
  }
}

// ---- The three files -----------------------------------------------------------------------

void write_trackables(buffered_file& _file, const std::vector<trackable>& _trackables) {
  _file.write("{\n  \"trackableObjects\": [");
  for (std::size_t index = 0; index < _trackables.size(); ++index) {
    const trackable& object = _trackables[index];
    std::string entry = index == 0 ? "\n" : ",\n";
    entry += "    {\"uid\": \"" + object.uid + "\", \"name\": \"" + object.name +
             "\", \"category\": \"" + (object.vehicle ? "VEHICLE" : "PERSON") + "\"";
    if (!object.no_alarm.empty()) {
      entry += ", \"t2t_no_alarm_uid\": [";
      for (std::size_t k = 0; k < object.no_alarm.size(); ++k) {
        entry += (k == 0 ? "\"" : ", \"") + object.no_alarm[k] + "\"";
      }
      entry += "]";
    }
    _file.write(entry + "}");
  }
  _file.write("\n  ]\n}\n");
}

// The association file, written as associations are made, so memory does not grow with time.
class association_writer {
 public:
  explicit association_writer(const std::string& _path) : m_file(_path) {
    m_file.write("{\n  \"vehicle_driver_associations\": [");
  }
  void add(const std::string& _vehicle_uid, const std::string& _driver_uid,
           boost::optional<std::int64_t> _created_s, boost::optional<std::int64_t> _removed_s) {
    std::string entry = m_count++ == 0 ? "\n" : ",\n";
    entry +=
        "    {\"vehicle_uid\": \"" + _vehicle_uid + "\", \"driver_uid\": \"" + _driver_uid + "\"";
    if (_created_s) {
      entry += ", \"created_at\": " + std::to_string(*_created_s);
    }
    if (_removed_s) {
      entry += ", \"removed_at\": " + std::to_string(*_removed_s);
    }
    m_file.write(entry + "}");
  }
  void add(const std::vector<association_record>& _records) {
    for (const association_record& record : _records) {
      add(record.vehicle_uid, record.driver_uid, record.created_s, record.removed_s);
    }
  }
  void finish() { m_file.write("\n  ]\n}\n"); }
  void put_in_place() { m_file.put_in_place(); }

 private:
  buffered_file m_file;
  std::size_t m_count = 0;
};

// Associations that vela drops because a uid is unknown; the last has no times at all, which is
// fine for a dropped one.
void add_unknown_associations(association_writer& _writer, const std::vector<trackable>& _objects,
                              std::int64_t _start_s) {
  std::string person = "X0101";
  std::string vehicle = "X0102";
  for (const trackable& object : _objects) {
    (object.vehicle ? vehicle : person) = object.uid;
  }
  _writer.add(vehicle, "X0103", _start_s + 60, _start_s + 120);
  _writer.add("X0104", person, _start_s + 30, boost::none);
  _writer.add("X0105", "X0106", boost::none, boost::none);
}

std::vector<tag> make_tags(const options& _options, const std::vector<trackable>& _objects) {
  std::vector<tag> tags(_objects.size());
  for (std::size_t index = 0; index < tags.size(); ++index) {
    tag& unit = tags[index];
    unit.uid = _objects[index].uid;
    const std::uint64_t serial = index + 1;
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:56:4C:%02X:%02X:%02X",
                  static_cast<unsigned>(serial >> 16 & 0xFF),
                  static_cast<unsigned>(serial >> 8 & 0xFF), static_cast<unsigned>(serial & 0xFF));
    unit.mac = mac;
    unit.reports = rng(stream_seed(_options.site.seed, report_streams + index));
    unit.phase_ms = unit.reports.between(0, _options.period_ms - 1);
    unit.height_mm = _objects[index].vehicle
                         ? vehicle_tag_height_mm
                         : person_tag_height_mm + unit.reports.between(-100, 100);
  }
  return tags;
}

// The position lines, period by period, each tag at its phase: lines in time order.
class recorder {
 public:
  explicit recorder(const options& _options)
      : m_options(_options),
        m_site(_options.site),
        m_tags(make_tags(_options, m_site.trackables())),
        m_noise(stream_seed(_options.site.seed, noise_stream)),
        m_trackables(_options.out + "/trackables.json"),
        m_positions(_options.out + "/positions.csv"),
        m_associations(_options.out + "/associations.json") {
    for (std::size_t index = 0; index < m_tags.size(); ++index) {
      m_order.push_back(index);
    }
    std::stable_sort(m_order.begin(), m_order.end(), [&](std::size_t _a, std::size_t _b) {
      return m_tags[_a].phase_ms < m_tags[_b].phase_ms;
    });
    for (int zone = 1; zone <= m_site.zones(); ++zone) {
      m_zones.push_back("zone-" + std::to_string(zone));
    }
  }

  void run() {
    write_trackables(m_trackables, m_site.trackables());
    const std::int64_t duration_ms = m_options.site.duration_ms;
    for (std::int64_t base = 0; base < duration_ms; base += m_options.period_ms) {
      for (const std::size_t index : m_order) {
        const std::int64_t t = base + m_tags[index].phase_ms;
        if (t >= duration_ms) {
          break;  // the rest of the period lies beyond the end too
        }
        m_site.decide_until(t);
        report(index, t);
      }
      m_associations.add(m_site.take_associations());
    }
    m_associations.add(m_site.take_associations());
    if (m_options.noise_ppm > 0) {
      add_unknown_associations(m_associations, m_site.trackables(), m_options.site.start_s);
    }
    m_associations.finish();
    // All three in place together: a signal waits from the first rename to the last.
    m_trackables.put_in_place();
    m_associations.put_in_place();
    m_positions.put_in_place();
  }

 private:
  void report(std::size_t _index, std::int64_t _t) {
    tag& unit = m_tags[_index];
    if (unit.misses_report()) {
      return;
    }
    const point at = m_site.position_at(_index, _t);
    line_fields line{++m_line_id,
                     m_options.site.start_s + _t / 1000,
                     _t % 1000,
                     unit.mac,
                     at.x,
                     at.y,
                     unit.height_mm,
                     unit.uid,
                     m_zones[static_cast<std::size_t>(m_site.zone_of(at) - 1)]};
    unit.add_noise(line.x, line.y, line.z);
    char* out = m_positions.reserve(longest_line_bytes + unit.uid.size());
    m_positions.commit(put_line(out, line));
    if (m_options.noise_ppm > 0 && m_noise.next() % per_million < m_options.noise_ppm) {
      line.id = ++m_line_id;
      m_positions.write(noise_line(m_noise, line));
    }
  }

  const options& m_options;
  site_model m_site;
  std::vector<tag> m_tags;
  std::vector<std::size_t> m_order;  // tags by phase
  std::vector<std::string> m_zones;
  rng m_noise;
  buffered_file m_trackables;
  buffered_file m_positions;
  association_writer m_associations;
  std::uint64_t m_line_id = 0;
};

constexpr const char* recording_files[] = {"positions.csv", "trackables.json", "associations.json"};

// The three files in _options.out, made if missing. Throws std::runtime_error.
void write_recording(const options& _options) {
  try {
    if (!boost::filesystem::is_directory(_options.out)) {  // it fails on "." in Boost 1.74
      boost::filesystem::create_directories(_options.out);
    }
  } catch (const boost::filesystem::filesystem_error& e) {  // its text quotes the folder as given
    throw std::runtime_error(terminal_safe(e.what()));
  }
  // A recording there may be the only copy of a day: replaced only when asked.
  for (const char* name : recording_files) {
    struct stat status {};
    if (!_options.force && ::lstat((_options.out + "/" + name).c_str(), &status) == 0) {
      throw std::runtime_error(terminal_safe(_options.out) + ": holds " + name +
                               " already; --force replaces the recording");
    }
  }
  try {
    recorder(_options).run();
  } catch (const vela::exception& e) {
    throw std::runtime_error(terminal_safe(e.what()));
  }
}
}  // namespace
}  // namespace vela::sim

int main(int argc, char** argv) {
  const vela::tools::program simulate{vela::sim::program,
                                      vela::sim::usage_text,
                                      {{"--out", true},
                                       {"--persons", true},
                                       {"--vehicles", true},
                                       {"--minutes", true},
                                       {"--rate", true},
                                       {"--area", true},
                                       {"--seed", true},
                                       {"--noise", true},
                                       {"--start", true},
                                       {"--trip-legs", true},
                                       {"--driven", true},
                                       {"--force"}}};
  return vela::tools::run_program(simulate, argc, argv, [](const vela::tools::command_line& _line) {
    const vela::sim::options options = vela::sim::parse_options(_line);
    vela::sim::write_recording(options);
    return 0;
  });
}
