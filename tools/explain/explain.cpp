// vela-explain: why a pair did or did not raise near-miss events. Replays the recording with
// vela's own replay, watching one pair, and tells every line that moved one of the two: where
// they were, how far apart, the state of the pair after the line, and what changed and why. The
// events it tells are the pair's events in vela's result for the same inputs and threshold. The
// inputs are read, never changed or deleted.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/csv.hpp"
#include "common/site_time.hpp"
#include "explain/pair_story.hpp"
#include "explain/story_page.hpp"
#include "files/file_output.hpp"
#include "site/loading.hpp"
#include "site/site.hpp"

namespace vela::explain {
namespace {
constexpr const char* program = "vela-explain";
// Beside vela's own statuses (1 a refused recording or a read error, 2 cannot open, 3 cannot
// parse): what this program refuses to explain.
constexpr int output_failure_status = 4;
constexpr int unknown_object_status = 5;
constexpr int never_an_event_status = 6;
constexpr int no_line_status = 7;

constexpr const char* usage_text =
    "Usage: vela-explain -i POSITIONS -t TRACKABLES -a ASSOCIATIONS -d DISTANCE_MM UID UID\n"
    "                    [--from TIME] [--to TIME] [--csv] [--html FILE [--force]]\n"
    "\n"
    "Tells why the pair UID UID did or did not raise near-miss events: replays the recording\n"
    "with vela's own replay and shows every line that moved one of the two, their positions and\n"
    "distance, the state of the pair after the line, and what changed and why (the threshold\n"
    "and its band, a driver, driver and vehicle, a no-alarm list, the five minutes after an\n"
    "association ended). Its events are the pair's events in vela's result. The inputs are\n"
    "read, never changed or deleted.\n"
    "\n"
    "  -i, -t, -a, -d   as vela takes them (positions may be gzip or zstd)\n"
    "  --from, --to     the window shown: a date and time in UTC (2026-01-01T00:05:00) or epoch\n"
    "                   seconds; the replay still runs from the first line\n"
    "  --csv            one row per line for a spreadsheet, instead of the text\n"
    "  --html FILE      also a self-contained page: the distance over time, the threshold and\n"
    "                   its band, the events and the spans in which the pair is silenced; an\n"
    "                   existing FILE is replaced only when it is empty or a page\n"
    "  --force          replace FILE even when it is not a page\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 told; 1 the recording cannot be read or is refused (as by vela); 2 an input\n"
    "cannot be opened; 3 a JSON input cannot be parsed; 4 the page cannot be written; 5 a uid\n"
    "that is not on the site, or the same uid twice; 6 two persons, which never raise an event;\n"
    "7 no line of either object in the window; 64 usage error; 130 and 143 interrupted by\n"
    "SIGINT and SIGTERM.\n";

struct options {
  input_names inputs;
  std::uint32_t threshold_mm = 0;
  std::string uids[2];
  boost::optional<timestamp> from;
  boost::optional<timestamp> to;
  bool csv = false;
  std::string html;
  bool force = false;  // replace a file under --html that is not a page
};

// A date and time in UTC ("2026-01-01T00:05", seconds and milliseconds optional, a space for the
// T and a final Z allowed) or epoch seconds ("1767225900", "1767225900.250").
boost::optional<timestamp> parse_time(const std::string& _text) {
  const std::string text =
      !_text.empty() && _text.back() == 'Z' ? _text.substr(0, _text.size() - 1) : _text;
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int used = 0;
  const auto whole = [&](int _fields, int _wanted) {
    return _fields == _wanted && used == static_cast<int>(text.size());
  };
  const char* const t = text.c_str();
  const bool read =
      whole(std::sscanf(t, "%4d-%2d-%2d%*[T ]%2d:%2d:%2d.%3d%n", &year, &month, &day, &hour,
                        &minute, &second, &millisecond, &used),
            7) ||
      (used = 0, second = 0, millisecond = 0,
       whole(std::sscanf(t, "%4d-%2d-%2d%*[T ]%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                         &second, &used),
             6)) ||
      (used = 0, second = 0,
       whole(std::sscanf(t, "%4d-%2d-%2d%*[T ]%2d:%2d%n", &year, &month, &day, &hour, &minute,
                         &used),
             5));
  if (read && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour >= 0 && hour <= 23 &&
      minute >= 0 && minute <= 59 && second >= 0 && second <= 60 && millisecond >= 0) {
    // Days from the civil date, proleptic Gregorian.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
    return timestamp(days * 86400 + hour * 3600 + minute * 60 + second, millisecond);
  }
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(_text.c_str(), &end);
  if (end != _text.c_str() && *end == '\0' && errno == 0 && seconds >= 0 && seconds < 1e15) {
    const auto whole_seconds = static_cast<std::int64_t>(seconds);
    return timestamp(whole_seconds,
                     static_cast<std::int64_t>((seconds - whole_seconds) * 1000 + 0.5));
  }
  return boost::none;
}

options parse_options(const tools::command_line& _line) {
  options parsed;
  bool threshold = false;
  for (const tools::given_option& given : _line.options) {
    if (given.name == "-i") {
      parsed.inputs.positions = given.value;
    } else if (given.name == "-t") {
      parsed.inputs.trackables = given.value;
    } else if (given.name == "-a") {
      parsed.inputs.associations = given.value;
    } else if (given.name == "-d") {
      parsed.threshold_mm = tools::distance_option(given.value);
      threshold = true;
    } else if (given.name == "--from" || given.name == "--to") {
      const boost::optional<timestamp> time = parse_time(given.value);
      if (!time) {
        throw tools::usage_error(given.name + ": expected a date and time in UTC or epoch " +
                                 "seconds, not '" + terminal_safe(given.value) + "'");
      }
      (given.name == "--from" ? parsed.from : parsed.to) = time;
    } else if (given.name == "--csv") {
      parsed.csv = true;
    } else if (given.name == "--force") {
      parsed.force = true;
    } else if (given.name == "--html") {
      parsed.html = given.value;
    }
  }
  if (parsed.inputs.positions.empty() || parsed.inputs.trackables.empty() ||
      parsed.inputs.associations.empty() || !threshold) {
    throw tools::usage_error("-i, -t, -a and -d are required");
  }
  if (_line.operands.size() != 2) {
    throw tools::usage_error("two uids are required, the pair to explain");
  }
  parsed.uids[0] = _line.operands[0];
  parsed.uids[1] = _line.operands[1];
  return parsed;
}

std::string metres(std::int64_t _mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(_mm) / 1000.0);
  return text;
}

std::string position_text(const story_row& _row, int _side) {
  if (!_row.positioned[_side]) {
    return "(not positioned)";
  }
  char text[64];
  std::snprintf(text, sizeof text, "(%.3f, %.3f)", _row.x[_side] / 1000.0, _row.y[_side] / 1000.0);
  return text;
}

// ---- Text ----------------------------------------------------------------------------------

class text_writer {
 public:
  text_writer(std::ostream& _out, const site& _site, const pair_story& _story)
      : m_out(_out), m_site(_site), m_story(_story) {}

  void write(std::size_t _first, std::size_t _last) {
    const run_rules& rules = m_story.rules;
    m_out << "Pair " << object(m_story.a) << " and " << object(m_story.b) << "\n"
          << "Threshold " << rules.threshold_mm << " mm; an event opens at " << rules.threshold_mm
          << " mm or less and, once the pair is desensitized, closes at " << rules.band_top_mm()
          << " mm or more\n"
          << (_last - _first) << " lines of the two, "
          << tools::site_time_text(m_story.rows[_first].time) << " to "
          << tools::site_time_text(m_story.rows[_last - 1].time) << "\n\n";
    for (std::size_t k = _first; k < _last;) {
      std::size_t quiet = k;
      while (quiet < _last && m_story.rows[quiet].change.empty() &&
             m_story.rows[quiet].state == m_story.rows[k].state) {
        ++quiet;
      }
      if (quiet - k >= 2) {  // lines at which nothing changed, folded
        fold(k, quiet);
        k = quiet;
        continue;
      }
      row(m_story.rows[k]);
      ++k;
    }
    const bool any = std::any_of(m_story.events.begin(), m_story.events.end(), [&](auto& _e) {
      return lasts_into(_e, m_story.rows[_first].time, m_story.rows[_last - 1].time);
    });
    m_out << "\nEvents of the pair" << (any ? ":\n" : ": none\n");
    for (const story_event& event : m_story.events) {
      if (!lasts_into(event, m_story.rows[_first].time, m_story.rows[_last - 1].time)) {
        continue;
      }
      m_out << "  event " << event.number << ": from " << tools::site_time_text(event.start)
            << " (ts " << event.start.ts << ", ms " << event.start.ms << ") for "
            << event.duration_s << " s, closest " << event.distance_mm << " mm: "
            << (event.written ? "written" : "skipped, " + event.skip_reason) << "\n";
    }
  }

 private:
  std::string object(object_id _id) const {
    const site_object& obj = m_site.object(_id);
    return terminal_safe(obj.uid, 80) + " (" + terminal_safe(obj.name, 80) + ", " +
           (obj.category == category::person ? "person" : "vehicle") + ")";
  }

  void row(const story_row& _row) {
    m_out << tools::site_time_text(_row.time) << "  " << terminal_safe(m_site.object(_row.moved).uid, 80)
          << " moved  " << position_text(_row, 0) << " " << position_text(_row, 1) << " m  "
          << (_row.distance_mm < 0 ? std::string("-") : metres(_row.distance_mm) + " m") << "  "
          << state_text(_row.state);
    if (_row.event != 0) {
      m_out << " (event " << _row.event << ")";
    }
    m_out << "\n";
    if (!_row.change.empty()) {
      m_out << "    " << _row.change << "\n";
    }
  }

  void fold(std::size_t _first, std::size_t _last) {
    std::int64_t low = -1;
    std::int64_t high = -1;
    for (std::size_t k = _first; k < _last; ++k) {
      const std::int64_t d = m_story.rows[k].distance_mm;
      if (d >= 0) {
        low = low < 0 ? d : std::min(low, d);
        high = std::max(high, d);
      }
    }
    m_out << "  " << (_last - _first) << " lines";
    if (low >= 0) {
      m_out << ", " << metres(low) << " to " << metres(high) << " m";
    }
    m_out << ", " << state_text(m_story.rows[_first].state) << "\n";
  }

  std::ostream& m_out;
  const site& m_site;
  const pair_story& m_story;
};

// ---- CSV -----------------------------------------------------------------------------------

void write_csv(std::ostream& _out, const site& _site, const pair_story& _story, std::size_t _first,
               std::size_t _last) {
  _out << "time,ts,ms,moved,a_x_mm,a_y_mm,b_x_mm,b_y_mm,distance_mm,state,desensitized,event,"
          "change\r\n";
  for (std::size_t k = _first; k < _last; ++k) {
    const story_row& row = _story.rows[k];
    std::string line = tools::iso_time(row.time.ts, row.time.ms) + "," +
                       std::to_string(row.time.ts) + "," + std::to_string(row.time.ms) + ",";
    tools::append_csv_text(line, _site.object(row.moved).uid);
    for (int side = 0; side < 2; ++side) {
      line += row.positioned[side]
                  ? "," + std::to_string(row.x[side]) + "," + std::to_string(row.y[side])
                  : std::string(",,");
    }
    line += "," + (row.distance_mm < 0 ? std::string() : std::to_string(row.distance_mm)) + ",";
    tools::append_csv_text(line, state_text(row.state));
    line += std::string(",") + (row.desensitized ? "yes" : "no") + "," +
            (row.event == 0 ? std::string() : std::to_string(row.event)) + ",";
    tools::append_csv_text(line, row.change);
    _out << line << "\r\n";
  }
}

// ---- The run -------------------------------------------------------------------------------

int run(const options& _options) {
  site loaded;
  plain_loading loader(loaded, _options.inputs);
  loaded_files files;
  const exit_code loading = load_in_order(loader, _options.inputs, files);
  if (loading != exit_code::SYNC_SUCCESS) {
    return static_cast<int>(loading);  // after vela's own message
  }
  object_id ids[2];
  for (int k = 0; k < 2; ++k) {
    ids[k] = loaded.find(_options.uids[k]);
    if (ids[k] == no_object) {
      tools::complain(program, terminal_safe(_options.uids[k]) + ": not an object of the site in " +
                                   terminal_safe(_options.inputs.trackables));
      return unknown_object_status;
    }
  }
  if (ids[0] == ids[1]) {
    tools::complain(program, terminal_safe(_options.uids[0]) +
                                 " given twice: a pair is two objects");
    return unknown_object_status;
  }
  if (loaded.is_person(ids[0]) && loaded.is_person(ids[1])) {
    tools::complain(program, terminal_safe(_options.uids[0]) + " and " +
                                 terminal_safe(_options.uids[1]) +
                                 " are both persons: two persons never raise an event");
    return never_an_event_status;
  }
  if (!_options.html.empty() && _options.html != "-") {
    for (const input_file* input : files.read()) {
      if (input->is_at(_options.html)) {
        tools::complain(program, terminal_safe(_options.html) + ": an input; it is never written");
        return output_failure_status;
      }
    }
  }
  // Opened before the replay, so that a page that may not be replaced costs no replay.
  output_file page;
  if (!_options.html.empty()) {
    try {
      page.open(_options.html, _options.force ? replacing::any_file : replacing::only_a_page);
    } catch (const output_error& e) {
      tools::complain(program, terminal_safe(_options.html) + ": " + terminal_safe(e.reason()));
      return output_failure_status;
    }
  }
  const pair_story story =
      tell(loaded, run_rules{_options.threshold_mm}, files.positions, ids[0], ids[1]);
  // The window: the rows of lines within [from, to].
  std::size_t first = 0;
  while (first < story.rows.size() && _options.from && story.rows[first].time < *_options.from) {
    ++first;
  }
  std::size_t last = first;
  while (last < story.rows.size() && !(_options.to && *_options.to < story.rows[last].time)) {
    ++last;
  }
  if (first == last) {
    tools::complain(program, "no line of " + terminal_safe(_options.uids[0]) + " or " +
                                 terminal_safe(_options.uids[1]) +
                                 (_options.from || _options.to ? " in the window"
                                                               : " in the recording"));
    return no_line_status;
  }
  if (_options.csv) {
    write_csv(std::cout, loaded, story, first, last);
  } else {
    text_writer(std::cout, loaded, story).write(first, last);
  }
  if (page.is_open()) {
    output_buffer buffer(page);
    std::ostream out(&buffer);
    write_story_page(out, loaded, story, first, last, std::string(program) + " " + tools::version);
    out.flush();
    try {
      buffer.rethrow_failure();
      page.commit();
    } catch (const output_error& e) {
      page.abandon();
      tools::complain(program, terminal_safe(_options.html) + ": the page cannot be written (" +
                                   terminal_safe(e.reason()) + ")");
      return output_failure_status;
    }
  }
  std::cout.flush();
  return std::cout ? 0 : output_failure_status;
}
}  // namespace
}  // namespace vela::explain

int main(int argc, char** argv) {
  const vela::tools::program explain{
      vela::explain::program,
      vela::explain::usage_text,
      {{"-i", true},
       {"-t", true},
       {"-a", true},
       {"-d", true},
       {"--from", true},
       {"--to", true},
       {"--csv"},
       {"--html", true},
       {"--force"}},
      2,
      vela::explain::output_failure_status};
  return vela::tools::run_program(explain, argc, argv, [](const vela::tools::command_line& _line) {
    return vela::explain::run(vela::explain::parse_options(_line));
  });
}
