// vela-check: looks at the three inputs of a vela run before vela consumes them. Loads them in
// vela's order with vela's code, so that it ends with vela's status and message where vela
// would end with 2 or 3; then reports what they hold and what is worth a warning, as text or as
// one JSON document. Opens every file read-only and writes nothing but the report.

#include <json/json.h>

#include <boost/optional.hpp>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/text.hpp"
#include "check/input_check.hpp"
#include "common/command_line.hpp"
#include "common/site_time.hpp"
#include "exception.hpp"
#include "files/input_file.hpp"
#include "globals.hpp"
#include "site/loading.hpp"
#include "site/site.hpp"

namespace vela::check {
namespace {
constexpr const char* program = "vela-check";
constexpr int warnings_status = 1;
constexpr int output_failure_status = 4;
constexpr std::size_t never_seen_listed = 10;

constexpr const char* usage_text =
    "Usage: vela-check -i POSITIONS.csv -t TRACKABLES.json -a ASSOCIATIONS.json\n"
    "                  [-d DISTANCE_MM] [--json]\n"
    "\n"
    "Reads the three inputs of a vela run as vela reads them, and reports what they hold and\n"
    "what in them is worth a warning before vela consumes them: trackables passed over,\n"
    "associations vela ignores or that lie outside the recording, malformed position lines by\n"
    "reason, lines naming objects not on the site, time going backwards, and a threshold that\n"
    "looks wrong. Nothing is written, moved or deleted.\n"
    "\n"
    "  -i POSITIONS.csv      the position file\n"
    "  -t TRACKABLES.json    the trackables file\n"
    "  -a ASSOCIATIONS.json  the vehicle-driver association file\n"
    "  -d DISTANCE_MM        the threshold you mean to give vela, read as vela reads it\n"
    "  --json                the report as one JSON document\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 nothing worth a warning; 1 warnings, or the position file cannot be read\n"
    "to its end; 2 an input cannot be opened and 3 a JSON input cannot be parsed or lacks its\n"
    "list (as vela would end, with vela's message); 4 the report cannot be written; 64 usage\n"
    "error.\n";

struct options {
  std::string positions;
  std::string trackables;
  std::string associations;
  boost::optional<std::uint32_t> threshold_mm;
  bool json = false;
};

options parse_options(const tools::command_line& _line) {
  options parsed;
  for (const tools::given_option& given : _line.options) {
    if (given.name == "-i") {
      parsed.positions = given.value;
    } else if (given.name == "-t") {
      parsed.trackables = given.value;
    } else if (given.name == "-a") {
      parsed.associations = given.value;
    } else if (given.name == "-d") {
      parsed.threshold_mm = tools::distance_option(given.value);
    } else if (given.name == "--json") {
      parsed.json = true;
    }
  }
  if (parsed.positions.empty() || parsed.trackables.empty() || parsed.associations.empty()) {
    throw tools::usage_error("-i, -t and -a are required");
  }
  return parsed;
}

// ---- Text ----------------------------------------------------------------------------------

void write_position_facts(std::ostream& _out, const positions_facts& _facts,
                          std::uint64_t _objects) {
  if (_facts.first_time) {
    _out << "  time: " << tools::site_time_text(*_facts.first_time) << " to "
         << tools::site_time_text(*_facts.last_time) << "\n";
  }
  _out << "  objects seen: " << _facts.objects_seen << " of " << _objects;
  for (std::size_t k = 0; k < std::min(never_seen_listed, _facts.never_seen.size()); ++k) {
    _out << (k == 0 ? "; never seen: " : ", ") << _facts.never_seen[k];
  }
  _out << (_facts.never_seen.size() > never_seen_listed ? ", ...\n" : "\n");
  if (_facts.median_rate_hz) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.2f", *_facts.median_rate_hz);
    _out << "  median reporting rate: " << rate << " Hz per object (" << _facts.rated_objects
         << (_facts.rated_objects == 1 ? " object)\n" : " objects)\n");
  }
  if (_facts.box) {
    _out << "  x from " << _facts.box->x_min << " to " << _facts.box->x_max << " mm, y from "
         << _facts.box->y_min << " to " << _facts.box->y_max << " mm\n";
  }
  for (std::size_t k = 0; k < _facts.most_frequent_unknown.size(); ++k) {
    const uid_lines& one = _facts.most_frequent_unknown[k];
    _out << (k == 0 ? "  most frequent objects not on the site: " : ", ") << one.uid << " ("
         << (_facts.unknown_counts_exact ? "" : "at most ") << one.lines
         << (one.lines == 1 ? " line)" : " lines)");
  }
  _out << (_facts.most_frequent_unknown.empty() ? "" : "\n");
}

void write_text(std::ostream& _out, const options& _options, const report& _report) {
  const trackables_facts& trackables = _report.trackables;
  const positions_facts& positions = _report.positions;
  const std::uint64_t objects = trackables.persons + trackables.vehicles;
  _out << "Trackables " << terminal_safe(_options.trackables, shown_line_bytes) << ": " << objects
       << " objects on the site, " << trackables.persons << " persons and " << trackables.vehicles
       << " vehicles (" << trackables.entries << " entries)\n";
  _out << "Associations " << terminal_safe(_options.associations, shown_line_bytes) << ": "
       << _report.associations.entries << " entries, " << _report.associations.on_site
       << " between objects on the site\n";
  _out << "Positions " << terminal_safe(_options.positions, shown_line_bytes) << ": "
       << positions.lines_read << " lines read, " << positions.accepted << " accepted, "
       << positions.malformed << " malformed, " << positions.unknown_object_lines
       << " naming objects not on the site\n";
  write_position_facts(_out, positions, objects);
  if (_report.threshold_mm) {
    _out << "Threshold: " << *_report.threshold_mm << " mm\n";
  }
  if (_report.warnings.empty()) {
    _out << "\nNo warnings.\n";
    return;
  }
  _out << "\n"
       << _report.warnings.size()
       << (_report.warnings.size() == 1 ? " warning:\n" : " warnings:\n");
  for (const warning& one : _report.warnings) {
    _out << "  " << one.section << ": " << one.message << "\n";
    const char* place = one.section == "positions" ? "line " : "entry ";
    for (const example& at : one.examples) {
      _out << "    " << place << at.at << ": " << at.text << "\n";
    }
  }
}

// ---- JSON ----------------------------------------------------------------------------------

Json::Value time_json(const vela::timestamp& _time) {
  Json::Value time;
  time["ts"] = static_cast<Json::Int64>(_time.ts);
  time["ms"] = static_cast<Json::Int64>(_time.ms);
  time["text"] = tools::site_time_text(_time);
  return time;
}

Json::Value positions_json(const positions_facts& _facts) {
  Json::Value json;
  json["lines_read"] = static_cast<Json::UInt64>(_facts.lines_read);
  json["accepted"] = static_cast<Json::UInt64>(_facts.accepted);
  json["malformed"] = static_cast<Json::UInt64>(_facts.malformed);
  json["unknown_object_lines"] = static_cast<Json::UInt64>(_facts.unknown_object_lines);
  json["most_frequent_unknown"] = Json::arrayValue;
  for (const uid_lines& one : _facts.most_frequent_unknown) {
    Json::Value entry;
    entry["uid"] = one.uid;
    entry["lines"] = static_cast<Json::UInt64>(one.lines);
    json["most_frequent_unknown"].append(entry);
  }
  json["unknown_counts_exact"] = _facts.unknown_counts_exact;
  json["objects_seen"] = static_cast<Json::UInt64>(_facts.objects_seen);
  json["never_seen"] = Json::arrayValue;
  for (const std::string& uid : _facts.never_seen) {
    json["never_seen"].append(uid);
  }
  json["first_time"] = _facts.first_time ? time_json(*_facts.first_time) : Json::Value();
  json["last_time"] = _facts.last_time ? time_json(*_facts.last_time) : Json::Value();
  json["rated_objects"] = static_cast<Json::UInt64>(_facts.rated_objects);
  json["median_rate_hz"] =
      _facts.median_rate_hz ? Json::Value(*_facts.median_rate_hz) : Json::Value();
  json["bounding_box_mm"] = Json::Value();
  if (_facts.box) {
    json["bounding_box_mm"]["x_min"] = _facts.box->x_min;
    json["bounding_box_mm"]["x_max"] = _facts.box->x_max;
    json["bounding_box_mm"]["y_min"] = _facts.box->y_min;
    json["bounding_box_mm"]["y_max"] = _facts.box->y_max;
  }
  return json;
}

Json::Value warning_json(const warning& _warning) {
  Json::Value json = _warning.details.isObject() ? _warning.details : Json::Value();
  json["section"] = _warning.section;
  json["code"] = _warning.code;
  json["message"] = _warning.message;
  json["count"] = static_cast<Json::UInt64>(_warning.count);
  json["examples"] = Json::arrayValue;
  const char* place = _warning.section == "positions" ? "line" : "entry";
  for (const example& at : _warning.examples) {
    Json::Value one;
    one[place] = static_cast<Json::UInt64>(at.at);
    one["text"] = at.text;
    json["examples"].append(one);
  }
  return json;
}

void write_json(std::ostream& _out, const options& _options, const report& _report) {
  Json::Value root;
  root["files"]["positions"] = terminal_safe(_options.positions, shown_line_bytes);
  root["files"]["trackables"] = terminal_safe(_options.trackables, shown_line_bytes);
  root["files"]["associations"] = terminal_safe(_options.associations, shown_line_bytes);
  root["threshold_mm"] = _report.threshold_mm ? Json::Value(*_report.threshold_mm) : Json::Value();
  const trackables_facts& trackables = _report.trackables;
  root["trackables"]["entries"] = static_cast<Json::UInt64>(trackables.entries);
  root["trackables"]["objects"] =
      static_cast<Json::UInt64>(trackables.persons + trackables.vehicles);
  root["trackables"]["persons"] = static_cast<Json::UInt64>(trackables.persons);
  root["trackables"]["vehicles"] = static_cast<Json::UInt64>(trackables.vehicles);
  root["associations"]["entries"] = static_cast<Json::UInt64>(_report.associations.entries);
  root["associations"]["on_site"] = static_cast<Json::UInt64>(_report.associations.on_site);
  root["positions"] = positions_json(_report.positions);
  root["warnings"] = Json::arrayValue;
  for (const warning& one : _report.warnings) {
    root["warnings"].append(warning_json(one));
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "    ";
  builder["emitUTF8"] = true;  // every text is valid UTF-8: terminal_safe() escapes the rest
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(root, &_out);
  _out << "\n";
}

// ---- The run -------------------------------------------------------------------------------

int run(const options& _options) {
  // Loaded in vela's order: vela's status when vela would stop, after vela's message.
  site loaded;
  const input_names names{_options.positions, _options.trackables, _options.associations};
  plain_loading loader(loaded, names);
  loaded_files files;
  const exit_code loading = load_in_order(loader, names, files);
  if (loading != exit_code::SYNC_SUCCESS) {
    return static_cast<int>(loading);
  }
  report found;
  check_trackables(loader.trackables_document, loaded, found);
  try {
    check_positions(files.positions, loaded, found);
  } catch (const vela::exception& e) {  // vela's line, which names the file as it was given
    throw std::runtime_error(terminal_safe(e.what()));
  }
  check_associations(loader.associations_document, loaded, found);
  if (_options.threshold_mm) {
    check_threshold(*_options.threshold_mm, found);
  }
  if (_options.json) {
    write_json(std::cout, _options, found);
  } else {
    write_text(std::cout, _options, found);
  }
  std::cout.flush();
  if (!std::cout) {
    tools::complain(program, "standard output: the report cannot be written");
    return output_failure_status;
  }
  return found.warnings.empty() ? 0 : warnings_status;
}
}  // namespace
}  // namespace vela::check

int main(int argc, char** argv) {
  // A closed pipe must come back as a write error with its status, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  const vela::tools::program check{
      vela::check::program,
      vela::check::usage_text,
      {{"-i", true}, {"-t", true}, {"-a", true}, {"-d", true}, {"--json"}},
      0,
      vela::check::output_failure_status};
  return vela::tools::run_program(check, argc, argv, [](const vela::tools::command_line& _line) {
    return vela::check::run(vela::check::parse_options(_line));
  });
}
