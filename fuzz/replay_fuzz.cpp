// The whole run in-process on the same files, and the plain all-pairs reference on its site. Both
// results must be the same bytes, and every written event must obey
// the rules that hold whatever the input (within the threshold, never two persons, never a pair
// excluded by a no-alarm list).
//
// Input: one byte that picks the threshold, the association document up to the first NUL byte,
// then the position lines. Small decoders turn most bytes into well-formed input about a fixed
// set of objects near each other, so that the time goes to events, drivers and the hysteresis
// rather than to rejected lines:
//   - an association part that starts with '{' is JSON text as it is; otherwise every four
//     bytes are one association: vehicle, driver, start, end (see decode_associations);
//   - an empty position line, or one that starts like a numeric field, is taken as it is; any
//     other line is compact: object and modes, time step, two coordinates, one more byte (see
//     line_decoder::decode).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include <json/json.h>
#include <boost/filesystem.hpp>
#include <boost/optional.hpp>

#include "application.hpp"
#include "exception.hpp"
#include "fuzz_support.hpp"
#include "reference/reference_replay.hpp"

namespace {
constexpr std::uint32_t thresholds_mm[] = {0, 100, 175, 1000, 2000, 5000, 2147483648u, 4294967295u};

// Persons and vehicles; the empty uid; prefixes of each other; one no-alarm pair (P2, V2); one
// object of an unknown category that the loader passes over.
constexpr char trackables_json[] = R"({"trackableObjects": [
  {"uid": "", "name": "no uid", "category": "VEHICLE"},
  {"uid": "P1", "name": "Anna", "category": "PERSON"},
  {"uid": "P10", "name": "Ben", "category": "PERSON"},
  {"uid": "P2", "name": "Carl", "category": "PERSON", "t2t_no_alarm_uid": ["V2", 7]},
  {"uid": "V1", "name": "Forklift 1", "category": "VEHICLE"},
  {"uid": "V10", "name": "Forklift 10", "category": "VEHICLE"},
  {"uid": "V2", "name": "Truck 2", "category": "VEHICLE"},
  {"uid": "V3", "name": "Truck 3", "category": "VEHICLE", "t2t_no_alarm_uid": ["V"]},
  {"uid": "C1", "name": "Crane", "category": "CRANE"}
]})";
const std::set<std::string> persons = {"P1", "P10", "P2"};
const std::pair<std::string, std::string> no_alarm_pair = {"P2", "V2"};

// What a decoded byte names: the known objects (the busiest twice), and uids that are not in
// the table.
constexpr const char* uids[16] = {"",   "P1", "P10", "P2", "V1", "V10", "V2",  "V3",
                                  "V1", "P1", "V10", "V2", "C1", "V",   "P1 ", "X"};

// Positions start at this second; association times lie on a grid of 4 s from it, which the
// compact lines can jump to.
constexpr std::int64_t start_s = 1000;
constexpr std::int64_t association_step_s = 4;

// The second that a byte names on the association grid; 1 names the first line's second.
std::int64_t grid_time_s(std::uint8_t _byte) {
  return start_s + association_step_s * (std::int64_t{_byte} - 1);
}

std::uint8_t byte_at(std::string_view _bytes, std::size_t _i) {
  return _i < _bytes.size() ? static_cast<std::uint8_t>(_bytes[_i]) : 0;
}

std::int64_t signed_byte(std::uint8_t _byte) { return static_cast<std::int8_t>(_byte); }

std::string quoted(const char* _text) { return std::string("\"") + _text + "\""; }

// Every four bytes: vehicle (low 4 bits), driver (low 4 bits), start on the association grid,
// and the end: 1 none, 2 "removed_at" 0, 3 at the start, 4 before the start, else after it.
// (A NUL byte ends the part, so no code needs one.)
std::string decode_associations(std::string_view _part) {
  if (!_part.empty() && _part.front() == '{') {
    return std::string(_part);
  }
  std::string json = R"({"vehicle_driver_associations": [)";
  for (std::size_t i = 0; i < _part.size(); i += 4) {
    const std::int64_t created = grid_time_s(byte_at(_part, i + 2));
    const std::uint8_t end = byte_at(_part, i + 3);
    json += i == 0 ? "\n" : ",\n";
    json += R"({"vehicle_uid": )" + quoted(uids[byte_at(_part, i) & 15]) + R"(, "driver_uid": )" +
            quoted(uids[byte_at(_part, i + 1) & 15]) + R"(, "created_at": )" +
            std::to_string(created);
    if (end > 1) {
      const std::int64_t removed = end == 2   ? 0
                                   : end == 3 ? created
                                   : end == 4 ? created - association_step_s
                                              : created + association_step_s * (end - 4);
      json += R"(, "removed_at": )" + std::to_string(removed);
    }
    json += "}";
  }
  return json + "]}\n";
}

std::int32_t clamp_to_int32(std::int64_t _value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      _value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Turns compact lines into position lines, keeping a clock and each object's last position.
class line_decoder {
 public:
  // Steps of 25 mm reach the threshold and both edges of the 175 mm band exactly; beyond ten
  // metres, 64 steps make the threshold.
  explicit line_decoder(std::uint32_t _threshold_mm)
      : m_unit_mm(_threshold_mm <= 10000 ? 25 : _threshold_mm / 64) {}

  // Byte 0: object (bits 0-3), time mode (bits 4-5), place mode (bits 6-7). Time modes, with
  // byte 1: seconds forward; tens of milliseconds forward (carried into seconds); seconds
  // backward (up to 31); a jump to the association grid, or for 0 one line at second 0 (an
  // object that is "not positioned"). Place modes, with bytes 2 to 4 as signed steps: from
  // the object's last place; from the origin; from the place of the object named by byte 2;
  // far away in steps of 2^24 mm, the extremes of the 32-bit range included.
  std::string decode(std::string_view _line) {
    if (_line.empty() ||
        std::string_view("0123456789+- ,").find(_line.front()) != std::string_view::npos) {
      return std::string(_line);
    }
    const std::uint8_t mode = byte_at(_line, 0);
    const std::uint8_t b1 = byte_at(_line, 1);
    const std::uint8_t b2 = byte_at(_line, 2);
    const std::uint8_t b3 = byte_at(_line, 3);
    const std::uint8_t b4 = byte_at(_line, 4);
    const std::string uid = uids[mode & 15];
    const std::pair<std::int64_t, std::int64_t> time = advance_clock((mode >> 4) & 3, b1);
    point& own = m_last[uid];
    point next;
    switch (mode >> 6) {
      case 0:
        next = {own.x + signed_byte(b2) * m_unit_mm, own.y + signed_byte(b3) * m_unit_mm};
        break;
      case 1:
        next = {signed_byte(b2) * m_unit_mm, signed_byte(b3) * m_unit_mm};
        break;
      case 2: {
        const point other = m_last[uids[b2 & 15]];
        next = {other.x + signed_byte(b3) * m_unit_mm, other.y + signed_byte(b4) * m_unit_mm};
        break;
      }
      default:
        next = {far(b2, b4), far(b3, b4)};
        break;
    }
    own = {clamp_to_int32(next.x), clamp_to_int32(next.y)};
    std::ostringstream line;
    line << ++m_id << ',' << time.first << ',' << time.second << ",AA:BB:CC:DD:EE:FF," << own.x
         << ',' << own.y << ",0," << uid << ",S1,PR1,TAG";
    return line.str();
  }

 private:
  struct point {
    std::int64_t x = 0;
    std::int64_t y = 0;
  };

  // The line's time as seconds and milliseconds.
  std::pair<std::int64_t, std::int64_t> advance_clock(int _mode, std::uint8_t _step) {
    switch (_mode) {
      case 0:
        m_s += _step;
        break;
      case 1:
        m_ms += 10 * std::int64_t{_step};
        m_s += m_ms / 1000;
        m_ms %= 1000;
        break;
      case 2:
        m_s -= _step % 32;
        break;
      default:
        if (_step == 0) {
          return {0, 0};
        }
        m_s = grid_time_s(_step);
        m_ms = 0;
        break;
    }
    return {m_s, m_ms};
  }

  static std::int64_t far(std::uint8_t _coarse, std::uint8_t _fine) {
    if (_coarse == 127) {
      return std::numeric_limits<std::int32_t>::max();
    }
    if (_coarse == 128) {
      return std::numeric_limits<std::int32_t>::min();
    }
    return signed_byte(_coarse) * (std::int64_t{1} << 24) + signed_byte(_fine);
  }

  std::int64_t m_unit_mm;
  std::int64_t m_s = start_s;
  std::int64_t m_ms = 0;
  std::uint64_t m_id = 0;
  std::map<std::string, point> m_last;
};

// The position lines, each decoded; a final line without a newline stays so.
std::string decode_positions(std::string_view _part, std::uint32_t _threshold_mm) {
  line_decoder decoder(_threshold_mm);
  std::string text;
  std::size_t begin = 0;
  while (begin < _part.size()) {
    const std::size_t newline = _part.find('\n', begin);
    const std::size_t end = newline == std::string_view::npos ? _part.size() : newline;
    text += decoder.decode(_part.substr(begin, end - begin));
    if (newline != std::string_view::npos) {
      text += '\n';
    }
    begin = end + 1;
  }
  return text;
}

using vela::fuzz::files;

struct outcome {
  vela::exit_code init = vela::exit_code::SYNC_SUCCESS;
  vela::exit_code run = vela::exit_code::SYNC_SUCCESS;
  boost::optional<std::string> output;
  boost::optional<std::string> reference;  // the reference's document, when it succeeds
};

// One run as `vela -s -d _threshold_mm -o FILE` would make it, and the reference on its site.
outcome run_both(std::uint32_t _threshold_mm) {
  boost::system::error_code ignored;
  boost::filesystem::remove(files().output, ignored);  // a stale result must not pass for new
  vela::application app(files().positions, files().trackables, files().associations, _threshold_mm,
                        files().output, true);
  outcome result;
  result.init = app.init();
  if (result.init != vela::exit_code::SYNC_SUCCESS) {
    return result;
  }
  result.run = app.run();
  result.output = vela::fuzz::read_file(files().output);
  vela::reference_replay reference(app.loaded_site(), _threshold_mm);
  std::ifstream positions(files().positions, std::ios::binary);
  try {
    reference.generate_alarms(positions, files().positions);
    result.reference = reference.document(true);
  } catch (const vela::exception&) {  // a refused recording: no result either
  }
  return result;
}

bool is_pair(const std::string& _a, const std::string& _b,
             const std::pair<std::string, std::string>& _pair) {
  return (_a == _pair.first && _b == _pair.second) || (_a == _pair.second && _b == _pair.first);
}

// Rules every written event obeys, whatever the input.
void check_events(const std::string& _document, std::uint32_t _threshold_mm) {
  Json::Value root;
  std::string errors;
  std::istringstream in(_document);
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors)) {
    vela::fuzz::finding("the result does not parse: " + errors);
  }
  for (const Json::Value& event : root["events"]) {
    if (event["distance"].asInt64() > std::int64_t{_threshold_mm}) {
      vela::fuzz::finding("an event beyond the threshold");
    }
    const std::string a = event["trackables"][0]["uid"].asString();
    const std::string b = event["trackables"][1]["uid"].asString();
    if (a == b || (persons.count(a) != 0 && persons.count(b) != 0) ||
        is_pair(a, b, no_alarm_pair)) {
      vela::fuzz::finding("an event of a pair that never raises one: " + a + ", " + b);
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vela::fuzz::silence_standard_error();
  vela::fuzz::write_file(files().trackables, trackables_json);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
  const std::string_view input(reinterpret_cast<const char*>(_data), _size);
  const std::uint32_t threshold_mm = thresholds_mm[byte_at(input, 0) & 7];
  const std::string_view rest = input.substr(std::min<std::size_t>(1, input.size()));
  const std::size_t separator = rest.find('\0');
  const std::string_view association_part =
      separator == std::string_view::npos ? std::string_view() : rest.substr(0, separator);
  const std::string_view position_part =
      separator == std::string_view::npos ? rest : rest.substr(separator + 1);
  vela::fuzz::write_file(files().associations, decode_associations(association_part));
  const std::string positions = decode_positions(position_part, threshold_mm);
  vela::fuzz::write_file(files().positions, positions);

  const outcome both = run_both(threshold_mm);
  if (both.init != vela::exit_code::SYNC_SUCCESS) {
    if (both.init != vela::exit_code::SYNC_FAILURE_PARSING_INPUT_FILE) {
      vela::fuzz::finding("init returned " + vela::fuzz::exit_code_text(both.init));
    }
    return 0;
  }
  if (!both.reference) {  // a recording the reference refuses fails, with nothing written
    if (both.run != vela::exit_code::SYNC_FAILURE_UNKNOWN || both.output) {
      vela::fuzz::finding("a refused recording: run returned " +
                          vela::fuzz::exit_code_text(both.run));
    }
    return 0;
  }
  if (both.run != vela::exit_code::SYNC_SUCCESS || !both.output) {
    vela::fuzz::finding("run returned " + vela::fuzz::exit_code_text(both.run));
  }
  if (*both.output != *both.reference) {
    vela::fuzz::finding("the replay differs from the reference:\n--- reference\n" +
                        *both.reference + "\n--- replay\n" + *both.output);
  }
  check_events(*both.output, threshold_mm);
  return 0;
}
