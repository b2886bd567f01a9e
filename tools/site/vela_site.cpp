// vela-site: a site configured once and remembered: the day's run stored with what it was made
// from and the hours of exposure that turn counts into rates, and the stored runs and events
// listed for a spreadsheet or a database's own tools.

#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/rows.hpp"
#include "common/site_time.hpp"
#include "files/file_output.hpp"
#include "site/day_run.hpp"
#include "site/site_report.hpp"
#include "site/site_config.hpp"
#include "site/store.hpp"

namespace vela::site_tool {
namespace {
constexpr const char* program = "vela-site";

constexpr const char* usage_text =
    "Usage: vela-site init DIR\n"
    "       vela-site run SITE.toml -i POSITIONS -a ASSOCIATIONS [-t TRACKABLES] [--replace]\n"
    "       vela-site forget SITE.toml RUN\n"
    "       vela-site runs SITE.toml [--csv | --jsonl]\n"
    "       vela-site events SITE.toml [--from TIME] [--to TIME] [--csv | --jsonl]\n"
    "       vela-site report SITE.toml [MORE_SITES.toml...] [--from DATE] [--to DATE] -o PAGE\n"
    "                        [--mixed-runs] [--force]\n"
    "\n"
    "A site of vela, configured once (SITE.toml) and remembered in a store (SQLite, or a\n"
    "PostgreSQL server shared by several machines).\n"
    "\n"
    "  init DIR      writes DIR/site.toml, a commented template (never over an existing one)\n"
    "  run           replays the day's recording through vela's own replay at the site's\n"
    "                threshold, writes its result as vela -s -o does, into the site's results\n"
    "                folder, and stores the run: what it was made from, its events, and the\n"
    "                hours of exposure of its objects. The inputs are never deleted.\n"
    "    -i, -a, -t  the position file (plain, gzip or zstd), the associations, and the\n"
    "                trackables instead of the site's\n"
    "    --replace   replace the stored runs whose time the recording overlaps\n"
    "  forget RUN    removes a stored run and its events (its result file stays)\n"
    "  runs          the stored runs, one a row\n"
    "  events        the stored events, one a row; --from and --to take site-local time\n"
    "                (2026-01-01, 2026-01-01T06:00) or epoch seconds, as [from, to)\n"
    "  --csv, --jsonl  every column, for a spreadsheet or one JSON object a line\n"
    "  report        one self-contained page of the sites' runs from DATE to DATE (site-local,\n"
    "                both included; by default every stored day): near misses per 100\n"
    "                vehicle-hours and per 100 person-hours on foot, by day, week, month,\n"
    "                zone and shift, the vehicles, drivers and persons, the sites side by side\n"
    "    --mixed-runs  show runs made with different thresholds, zones or presence gaps,\n"
    "                each with its settings, instead of refusing them\n"
    "    --force     replace a file under -o that is not a page\n"
    "  --help, --version\n"
    "\n"
    "VELA_STORE overrides the configuration's store. Exit status: 0 done; 1 to 4 as vela ends\n"
    "(the recording, the inputs, the result); 5 the store cannot be opened or written; 6 the\n"
    "recording is stored already, or overlaps a stored run; 64 usage error; 78 the\n"
    "configuration cannot be used; 130 and 143 interrupted (nothing stored, no result left).\n";

const tools::program& verb_program(const std::string& _verb) {
  static const tools::program init{program, usage_text, {}, 1};
  static const tools::program run{
      program, usage_text, {{"-i", true}, {"-a", true}, {"-t", true}, {"--replace"}}, 1};
  static const tools::program forget{program, usage_text, {}, 2};
  static const tools::program runs{program, usage_text, {{"--csv"}, {"--jsonl"}}, 1};
  static const tools::program events{
      program, usage_text, {{"--csv"}, {"--jsonl"}, {"--from", true}, {"--to", true}}, 1};
  static const tools::program report{program,
                                     usage_text,
                                     {{"-o", true},
                                      {"--from", true},
                                      {"--to", true},
                                      {"--mixed-runs"},
                                      {"--force"}},
                                     std::numeric_limits<std::size_t>::max()};
  static const tools::program bare{program, usage_text, {}, 0};
  if (_verb == "init") {
    return init;
  }
  if (_verb == "run") {
    return run;
  }
  if (_verb == "forget") {
    return forget;
  }
  if (_verb == "runs") {
    return runs;
  }
  if (_verb == "events") {
    return events;
  }
  if (_verb == "report") {
    return report;
  }
  return bare;
}

site_config configuration(const tools::command_line& _line) {
  if (_line.operands.empty()) {
    throw tools::usage_error("no site given: SITE.toml");
  }
  const char* environment_store = std::getenv("VELA_STORE");
  return read_site_config(_line.operands[0], environment_store != nullptr
                                                 ? std::optional<std::string>(environment_store)
                                                 : std::nullopt);
}

std::optional<tools::row_form> form_of(const tools::command_line& _line) {
  std::optional<tools::row_form> form;
  for (const tools::given_option& given : _line.options) {
    const tools::row_form asked =
        given.name == "--csv" ? tools::row_form::csv : tools::row_form::jsonl;
    if (given.name != "--csv" && given.name != "--jsonl") {
      continue;
    }
    if (form && *form != asked) {
      throw tools::usage_error("--csv and --jsonl are two forms: give one");
    }
    form = asked;
  }
  return form;
}

// ---- init ----------------------------------------------------------------------------------

int init(const tools::command_line& _line) {
  if (_line.operands.empty()) {
    throw tools::usage_error("no folder given: init DIR");
  }
  const std::string folder = _line.operands[0];
  boost::system::error_code error;
  boost::filesystem::create_directories(folder, error);
  const std::string file = folder + "/site.toml";
  if (boost::filesystem::exists(boost::filesystem::symlink_status(file, error))) {
    tools::complain(program, terminal_safe(file) + ": there already; it is never replaced");
    return tools::failure_status;
  }
  output_file written;
  try {
    written.open(file);
    written.write(site_config_template());
    written.commit();
  } catch (const output_error& e) {
    tools::complain(program, terminal_safe(e.what()));
    return tools::failure_status;
  }
  std::cout << terminal_safe(file) << std::endl;
  return 0;
}

// ---- Listings ------------------------------------------------------------------------------

tools::row_field text(const std::string& _value) { return {_value, {}}; }
tools::row_field number(std::int64_t _value) { return {{}, _value}; }
tools::row_field hours(std::int64_t _ms) {
  tools::row_field value;
  value.real = static_cast<double>(_ms) / 3600000.0;
  return value;
}
tools::row_field optional_text(const db_row& _row, int _column) {
  return _row.is_null(_column) ? tools::row_field{} : text(_row.text(_column));
}

std::string json_object_of_input(const db_row& _row, int _first) {
  std::string object = "{\"name\":";
  tools::append_json_string(object, _row.text(_first));
  object += ",\"size\":" + std::to_string(_row.integer(_first + 1)) + ",\"sha256\":";
  tools::append_json_string(object, _row.text(_first + 2));
  return object + "}";
}

tools::row run_row(const db_row& _row, const tools::site_clock& _clock) {
  const auto input = [&](int _first) {
    tools::row_field value;
    value.json = json_object_of_input(_row, _first);
    return value;
  };
  tools::row_field shifts;
  shifts.json = _row.text(21);
  return {
      {"run", number(_row.integer(0))},
      {"site", text(_row.text(1))},
      {"day", text(_row.text(2))},
      {"first_ts", text(tools::iso_time(_row.integer(3), _row.integer(4), _clock, 0))},
      {"last_ts", text(tools::iso_time(_row.integer(5), _row.integer(6), _clock, 0))},
      {"threshold_mm", number(_row.integer(7))},
      {"band_mm", number(_row.integer(8))},
      {"vela_version", text(_row.text(9))},
      {"positions", input(10)},
      {"trackables", input(13)},
      {"associations", input(16)},
      {"config_sha256", text(_row.text(19))},
      {"zones_sha256", optional_text(_row, 20)},
      {"shifts", shifts},
      {"presence_gap_s", tools::row_field{{}, {}, {}, static_cast<double>(_row.integer(22)) / 1000}},
      {"time_zone", text(_row.text(23))},
      {"cell_m", tools::row_field{{}, {}, {}, _row.real(24)}},
      {"result", text(_row.text(25))},
      {"result_sha256", text(_row.text(26))},
      {"lines_read", number(_row.integer(27))},
      {"lines_accepted", number(_row.integer(28))},
      {"events", number(_row.integer(29))},
      {"person_vehicle", number(_row.integer(30))},
      {"vehicle_vehicle", number(_row.integer(31))},
      {"vehicle_hours", hours(_row.integer(32))},
      {"person_hours", hours(_row.integer(33))},
      {"driving_hours", hours(_row.integer(34))},
      {"stored_at", text(_row.text(35))},
  };
}

int list_runs(const tools::command_line& _line) {
  const std::optional<tools::row_form> form = form_of(_line);
  const site_config config = configuration(_line);
  store history(config, false);
  bool header = false;
  std::string out;
  history.each_run([&](const db_row& _row) {
    const tools::row fields = run_row(_row, config.clock);
    out.clear();
    if (!form) {
      char line[512];
      std::snprintf(line, sizeof line, "run %lld  %s  %lld events (%lld person-vehicle, %lld "
                    "vehicle-vehicle)  %.1f vehicle-hours  %.1f person-hours  ",
                    static_cast<long long>(_row.integer(0)), _row.text(2).c_str(),
                    static_cast<long long>(_row.integer(29)),
                    static_cast<long long>(_row.integer(30)),
                    static_cast<long long>(_row.integer(31)), _row.integer(32) / 3600000.0,
                    _row.integer(33) / 3600000.0);
      out = line + terminal_safe(_row.text(25)) + "\n";
    } else {
      if (*form == tools::row_form::csv && !header) {
        out = tools::csv_header(fields);
        header = true;
      }
      tools::append_row(out, *form, fields);
    }
    std::cout << out;
  });
  std::cout.flush();
  return std::cout ? 0 : tools::failure_status;
}

// Site-local time ("2026-01-01", "2026-01-01T06:00[:SS]") or epoch seconds, as epoch seconds.
std::int64_t time_option(const std::string& _name, const std::string& _text,
                         const tools::site_clock& _clock) {
  if (!_text.empty() && _text.find_first_not_of("0123456789") == std::string::npos &&
      _text.size() < 16) {
    return std::stoll(_text);
  }
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  char separator = 0;
  const int read = std::sscanf(_text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &year, &month, &day,
                               &separator, &hour, &minute, &second);
  const bool date_only = read == 3 && _text.size() == 10;
  const bool with_time = (read == 6 || read == 7) && (separator == 'T' || separator == ' ') &&
                         (_text.size() == 16 || _text.size() == 19);
  if (!(date_only || with_time) || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59) {
    throw tools::usage_error(_name + ": expected site-local time (2026-01-01 or "
                                     "2026-01-01T06:00) or epoch seconds, not '" +
                             terminal_safe(_text) + "'");
  }
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  const std::int64_t as_utc = ::timegm(&parts);
  // The offset in effect at that moment, looked up twice for a moment near a change.
  const std::int64_t guess = as_utc - std::int64_t{_clock.offset_minutes_at(as_utc)} * 60;
  return as_utc - std::int64_t{_clock.offset_minutes_at(guess)} * 60;
}

int list_events(const tools::command_line& _line) {
  const std::optional<tools::row_form> form = form_of(_line);
  const site_config config = configuration(_line);
  std::int64_t from = std::numeric_limits<std::int64_t>::min();
  std::int64_t to = std::numeric_limits<std::int64_t>::max();
  for (const tools::given_option& given : _line.options) {
    if (given.name == "--from") {
      from = time_option(given.name, given.value, config.clock);
    } else if (given.name == "--to") {
      to = time_option(given.name, given.value, config.clock);
    }
  }
  store history(config, false);
  bool header = false;
  std::string out;
  history.each_event(from, to, [&](const db_row& _row) {
    const std::int64_t ts = _row.integer(1);
    const std::int64_t ms = _row.integer(2);
    const std::int64_t duration = _row.integer(3);
    tools::row fields = {
        {"start", text(tools::iso_time(ts, ms, config.clock, 0))},
        {"end", text(tools::iso_time(ts, ms, config.clock, duration))},
        {"duration_s", number(duration)},
        {"distance_mm", number(_row.integer(4))},
        {"kind", text(_row.text(5))},
    };
    for (const auto& [side, first] : {std::pair<std::string, int>{"a_", 6}, {"b_", 12}}) {
      fields.push_back({side + "uid", text(_row.text(first))});
      fields.push_back({side + "name", optional_text(_row, first + 1)});
      fields.push_back({side + "category", optional_text(_row, first + 2)});
      fields.push_back({side + "driver_uid", optional_text(_row, first + 3)});
      fields.push_back({side + "x_mm", number(_row.integer(first + 4))});
      fields.push_back({side + "y_mm", number(_row.integer(first + 5))});
    }
    fields.push_back({"run", number(_row.integer(0))});
    std::vector<std::string> zones;
    const std::string joined = _row.text(18);
    for (std::size_t at = 0; !joined.empty() && at <= joined.size();) {
      const std::size_t end = std::min(joined.find(';', at), joined.size());
      zones.push_back(joined.substr(at, end - at));
      at = end + 1;
    }
    fields.push_back({"zones", {{}, {}, zones}});
    out.clear();
    const tools::row_form shown = form.value_or(tools::row_form::csv);
    if (shown == tools::row_form::csv && !header) {
      out = tools::csv_header(fields);
      header = true;
    }
    tools::append_row(out, shown, fields);
    std::cout << out;
  });
  std::cout.flush();
  return std::cout ? 0 : tools::failure_status;
}

int forget(const tools::command_line& _line) {
  if (_line.operands.size() < 2) {
    throw tools::usage_error("forget needs the site and the run: forget SITE.toml RUN");
  }
  const std::string& run = _line.operands[1];
  if (run.empty() || run.size() > 18 || run.find_first_not_of("0123456789") != std::string::npos) {
    throw tools::usage_error("a run is its number, as vela-site runs lists it, not '" +
                             terminal_safe(run) + "'");
  }
  const site_config config = configuration(_line);
  store history(config, false);
  if (!history.forget(std::stoll(run))) {
    tools::complain(program, "no run " + run + " of " + terminal_safe(config.name) + " in " +
                                 history.shown());
    return tools::failure_status;
  }
  std::cout << "run " << run << " forgotten" << std::endl;
  return 0;
}

// A site-local date, YYYY-MM-DD.
std::string date_option(const std::string& _name, const std::string& _text) {
  int year = 0;
  int month = 0;
  int day = 0;
  char end = 0;
  if (_text.size() != 10 ||
      std::sscanf(_text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &end) != 3 || month < 1 ||
      month > 12 || day < 1 || day > 31) {
    throw tools::usage_error(_name + ": expected a site-local date, 2026-01-31, not '" +
                             terminal_safe(_text) + "'");
  }
  return _text;
}

int report_page(const tools::command_line& _line) {
  report_options options;
  options.configs = _line.operands;
  for (const tools::given_option& given : _line.options) {
    if (given.name == "-o") {
      options.output = given.value;
    } else if (given.name == "--from") {
      options.from = date_option(given.name, given.value);
    } else if (given.name == "--to") {
      options.to = date_option(given.name, given.value);
    } else if (given.name == "--mixed-runs") {
      options.mixed_runs = true;
    } else if (given.name == "--force") {
      options.force = true;
    }
  }
  if (options.configs.empty()) {
    throw tools::usage_error("no site given: report SITE.toml... -o PAGE");
  }
  if (options.output.empty()) {
    throw tools::usage_error("report needs -o PAGE");
  }
  if (options.from && options.to && *options.to < *options.from) {
    throw tools::usage_error("--to comes before --from");
  }
  return make_report(options);
}

int dispatch(const std::string& _verb, const tools::command_line& _line) {
  try {
    if (_verb == "init") {
      return init(_line);
    }
    if (_verb == "run") {
      if (_line.operands.empty()) {
        throw tools::usage_error("no site given: run SITE.toml -i POSITIONS -a ASSOCIATIONS");
      }
      day_run_options options;
      options.config = _line.operands[0];
      for (const tools::given_option& given : _line.options) {
        if (given.name == "-i") {
          options.positions = given.value;
        } else if (given.name == "-a") {
          options.associations = given.value;
        } else if (given.name == "-t") {
          options.trackables = given.value;
        } else if (given.name == "--replace") {
          options.replace = true;
        }
      }
      if (options.positions.empty() || options.associations.empty()) {
        throw tools::usage_error("run needs -i POSITIONS and -a ASSOCIATIONS");
      }
      return run_day(options);
    }
    if (_verb == "forget") {
      return forget(_line);
    }
    if (_verb == "runs") {
      return list_runs(_line);
    }
    if (_verb == "report") {
      return report_page(_line);
    }
    return list_events(_line);
  } catch (const config_error& e) {
    tools::complain(program, e.what());
    return config_status;
  } catch (const store_error& e) {
    tools::complain(program, e.what());
    return store_status;
  }
}
}  // namespace
}  // namespace vela::site_tool

int main(int argc, char** argv) {
  namespace site = vela::site_tool;
  const std::string verb = argc > 1 ? argv[1] : "";
  const bool known = verb == "init" || verb == "run" || verb == "forget" || verb == "runs" ||
                     verb == "events" || verb == "report";
  if (!known) {
    // --help, --version or a mistake: read as a command line of no verb.
    return vela::tools::run_program(
        site::verb_program(""), argc, argv, [&](const vela::tools::command_line&) {
          throw vela::tools::usage_error(verb.empty() ? "no command given: init, run, forget, "
                                                        "runs or events"
                                                      : "unknown command '" +
                                                            vela::terminal_safe(verb) + "'");
          return 0;
        });
  }
  return vela::tools::run_program(site::verb_program(verb), argc - 1, argv + 1,
                                  [&](const vela::tools::command_line& _line) {
                                    return site::dispatch(verb, _line);
                                  });
}
