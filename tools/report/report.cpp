// vela-report: one self-contained HTML page of a vela result for the people who read it. Reads
// the result as a stream, writes the page to a temporary file beside the output and renames it
// into place, so that no partial page is ever left; the input is never changed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/optional.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "base/sha256.hpp"
#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/site_time.hpp"
#include "common/zones.hpp"
#include "files/file_output.hpp"
#include "report/floor_plan.hpp"
#include "report/report_page.hpp"
#include "results/result_input.hpp"
#include "results/result_reader.hpp"

namespace vela::report {
namespace {
constexpr const char* program = "vela-report";
constexpr std::size_t output_buffer_bytes = std::size_t{1} << 20;

constexpr const char* usage_text =
    "Usage: vela-report EVENTS.json... [-o REPORT.html] [--utc-offset +HH:MM | --time-zone NAME]\n"
    "                   [--title TEXT] [--threshold MM] [--zones ZONES.geojson]\n"
    "                   [--floor-plan IMAGE --plan-bounds XMIN,YMIN,XMAX,YMAX] [--force]\n"
    "\n"
    "Writes one self-contained HTML page of one or more vela results (the document written by\n"
    "vela -o, or the events array vela writes to standard output; either may be stored\n"
    "compressed with gzip or zstd): counts, a floor plot, a timeline and the trend by day,\n"
    "hours by weekday, the closest approaches, the pairs, objects, vehicles and drivers with\n"
    "most events, with filters. The page needs no network; open it in any current browser, or\n"
    "print it.\n"
    "\n"
    "  EVENTS.json...     the results, or folders of them (every .json, .json.gz and\n"
    "                     .json.zst file in them); - reads standard input\n"
    "  -o REPORT.html     the page; without it, for one result, EVENTS.html beside the input\n"
    "                     (EVENTS without its .json, .json.gz or .json.zst), or report.html\n"
    "                     for standard input; required for several results or a folder; an\n"
    "                     existing file there is replaced only when it is empty or a page\n"
    "  --utc-offset +HH:MM  the site's time, UTC plus this (default UTC)\n"
    "  --time-zone NAME   the site's time zone (Europe/Berlin), daylight saving time included\n"
    "  --title TEXT       the page's title\n"
    "  --threshold MM     the run's threshold (vela -d), which the result does not hold: the\n"
    "                     page states it and puts it in its vela-explain commands\n"
    "  --zones FILE       GeoJSON FeatureCollection of Polygon and MultiPolygon features in\n"
    "                     site metres, each named by its \"name\" property: the page draws\n"
    "                     them and counts the events in each\n"
    "  --floor-plan IMAGE  PNG, JPEG or SVG drawn under the floor plot, its edges at\n"
    "  --plan-bounds XMIN,YMIN,XMAX,YMAX  site metres (left, bottom, right, top)\n"
    "  --force            replace the file under -o even when it is not a page\n"
    "  --help, --version\n"
    "\n"
    "Each event is shown with its own result's names and categories; a warning says where\n"
    "results name a uid differently. The input is never changed. Exit status: 0 success, 1 the\n"
    "result cannot be read or the page cannot be written (one line on standard error), 2 the\n"
    "zones file or the floor plan cannot be used, 64 usage error (a result given twice, or a\n"
    "copy of one, among them), 130 and 143 interrupted by SIGINT and SIGTERM (no page is left\n"
    "behind). On success the page's path is the last line on standard error.\n";

// A failure to report as "vela-report: FILE: reason"; the file as the command line gave it.
std::runtime_error file_error(const std::string& _file, const std::string& _reason) {
  return std::runtime_error(terminal_safe(_file) + ": " + _reason);
}

// A zones file or floor plan that cannot be used: "FILE: reason", status 2.
class site_file_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct options {
  std::vector<std::string> inputs;  // as given: files, folders, "-" for standard input
  boost::optional<std::string> output;
  tools::site_clock clock;
  boost::optional<std::string> title;
  boost::optional<std::uint32_t> threshold_mm;
  boost::optional<std::string> zones;
  boost::optional<std::string> plan;
  boost::optional<plan_bounds> bounds;
  bool force = false;  // replace a file under -o that is not a page
};

std::uint32_t threshold_option(const std::string& _text) {
  std::uint32_t value = 0;
  const char* end = _text.data() + _text.size();
  const auto [at, error] = std::from_chars(_text.data(), end, value);
  if (_text.empty() || error != std::errc() || at != end) {
    throw tools::usage_error(
        "--threshold: expected a whole number of millimetres, 0 to "
        "4294967295 as vela -d takes it, not '" +
        terminal_safe(_text) + "'");
  }
  return value;
}

options parse_options(const tools::command_line& _line) {
  options parsed;
  boost::optional<std::string> utc_offset;
  boost::optional<std::string> time_zone;
  for (const tools::given_option& given : _line.options) {
    if (given.name == "-o") {
      parsed.output = given.value;
    } else if (given.name == "--utc-offset") {
      utc_offset = given.value;
    } else if (given.name == "--time-zone") {
      time_zone = given.value;
    } else if (given.name == "--title") {
      parsed.title = given.value;
    } else if (given.name == "--threshold") {
      parsed.threshold_mm = threshold_option(given.value);
    } else if (given.name == "--zones") {
      parsed.zones = given.value;
    } else if (given.name == "--floor-plan") {
      parsed.plan = given.value;
    } else if (given.name == "--force") {
      parsed.force = true;
    } else if (given.name == "--plan-bounds") {
      plan_bounds bounds;
      if (!parse_plan_bounds(given.value, bounds)) {
        throw tools::usage_error(
            "--plan-bounds: expected XMIN,YMIN,XMAX,YMAX in metres, each minimum below its "
            "maximum, not '" +
            terminal_safe(given.value) + "'");
      }
      parsed.bounds = bounds;
    }
  }
  if (parsed.plan.has_value() != parsed.bounds.has_value()) {
    throw tools::usage_error(parsed.plan ? "--floor-plan needs --plan-bounds, the site metres of "
                                           "its edges"
                                         : "--plan-bounds needs --floor-plan");
  }
  parsed.clock = tools::clock_option(utc_offset, time_zone);
  if (_line.operands.empty()) {
    throw tools::usage_error("no result given");
  }
  parsed.inputs = _line.operands;
  return parsed;
}

// The length of the ending that names a result: ".json", or ".json.gz" and ".json.zst" for one
// stored compressed; 0 for a name without one. (What a file holds is told by its first bytes.)
std::size_t result_ending(const std::string& _name) {
  for (const std::string_view ending : {".json.gz", ".json.zst", ".json"}) {
    if (_name.size() > ending.size() &&
        _name.compare(_name.size() - ending.size(), ending.size(), ending) == 0) {
      return ending.size();
    }
  }
  return 0;
}

struct result_list {
  std::vector<std::string> files;
  bool from_folder = false;
};

// The results named by the operands: a folder stands for every result file in it (.json,
// .json.gz, .json.zst), by name.
result_list result_files(const options& _options) {
  result_list list;
  std::vector<std::string>& files = list.files;
  for (const std::string& input : _options.inputs) {
    struct stat status {};
    if (input == "-" || ::stat(input.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      files.push_back(input);  // opened later, where a failure is reported
      continue;
    }
    std::vector<std::string> in_folder;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator it(input, error), end; !error && it != end;
         it.increment(error)) {
      if (result_ending(it->path().filename().string()) == 0) {
        continue;
      }
      // The library's own message would quote the name raw (a link loop named "l\x1b]0;...").
      boost::system::error_code kind_error;
      if (boost::filesystem::is_regular_file(it->path(), kind_error)) {
        in_folder.push_back(it->path().string());
      } else if (kind_error) {
        throw file_error(it->path().string(), std::strerror(kind_error.value()));
      }
    }
    if (error) {
      throw file_error(input, std::strerror(error.value()));
    }
    if (in_folder.empty()) {
      throw file_error(input, "a folder without a .json result");
    }
    std::sort(in_folder.begin(), in_folder.end());
    files.insert(files.end(), in_folder.begin(), in_folder.end());
    list.from_folder = true;
  }
  return list;
}

// A result named twice (by a folder and by name, or through a link) would count its events
// twice.
void refuse_repeated(const std::vector<std::string>& _files) {
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const std::string& file : _files) {
    struct stat status {};
    if (file != "-" && ::stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        !seen.emplace(status.st_dev, status.st_ino).second) {
      throw tools::usage_error("the same result given twice: " + terminal_safe(file));
    }
  }
}

std::string default_output(const std::string& _input) {
  if (_input == "-") {
    return "report.html";
  }
  const std::size_t ending = result_ending(_input);
  const bool stem = ending > 0 && _input[_input.size() - ending - 1] != '/';
  return (stem ? _input.substr(0, _input.size() - ending) : _input) + ".html";
}

std::string base_name(const std::string& _path) {
  const std::size_t slash = _path.find_last_of('/');
  return slash == std::string::npos ? _path : _path.substr(slash + 1);
}

std::int64_t modified_ms(const struct stat& _status) {
  return std::int64_t{_status.st_mtim.tv_sec} * 1000 + _status.st_mtim.tv_nsec / 1000000;
}

// A named file as the provenance lists it (its size and time when it can be found).
page_input named_input(const std::string& _role, const std::string& _path) {
  page_input input{_role, base_name(_path), "file", {}, {}};
  struct stat status {};
  if (::stat(_path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    input.bytes = static_cast<std::uint64_t>(status.st_size);
    input.modified_ms = modified_ms(status);
  }
  return input;
}

// What the page is drawn over besides the result; read before it, so that a mistake in them
// costs no reading of a large result.
struct site_files {
  boost::optional<tools::zone_map> zones;
  boost::optional<floor_plan> plan;
  std::vector<page_input> inputs;
};

site_files read_site_files(const options& _options) {
  site_files files;
  if (_options.zones) {
    try {
      files.zones = tools::zone_map::read_file(*_options.zones);
    } catch (const tools::zone_error& e) {
      throw site_file_error(terminal_safe(*_options.zones) + ": " + e.what());
    }
    files.inputs.push_back(named_input("zones", *_options.zones));
  }
  if (_options.plan) {
    try {
      files.plan = read_floor_plan(*_options.plan, *_options.bounds);
    } catch (const plan_error& e) {
      throw site_file_error(terminal_safe(*_options.plan) + ": " + e.what());
    }
    files.inputs.push_back(named_input("floor plan", *_options.plan));
  }
  return files;
}

// Refuses to rename the page over an input (or a link to one): that would replace the input.
void check_not_input(const std::string& _output, const struct stat& _input,
                     const std::string& _input_name, const char* _role = "the result") {
  struct stat output {};
  if (::stat(_output.c_str(), &output) == 0 && S_ISREG(output.st_mode) &&
      output.st_dev == _input.st_dev && output.st_ino == _input.st_ino) {
    throw file_error(_output, std::string("is ") + _role + " " + terminal_safe(_input_name) +
                                  "; the page would replace it");
  }
}

// An input as messages name it, and as the page lists it.
std::string message_name(const std::string& _input) {
  return _input == "-" ? "standard input" : _input;
}
std::string shown_name(const std::string& _input) {
  return _input == "-" ? "standard input" : base_name(_input);
}

// The status of an input: standard input's for "-". Throws when it cannot be had.
struct stat input_status(const std::string& _input) {
  try {
    return results::opened_result(_input).status();
  } catch (const results::read_error& e) {
    throw file_error(message_name(_input), e.what());
  }
}

// The names of the results as the page lists them and filters by them: the file's name, or
// the path as given where two results share a name (mon/events.json, tue/events.json).
std::vector<std::string> result_names(const std::vector<std::string>& _results) {
  std::vector<std::string> names;
  for (const std::string& input : _results) {
    names.push_back(shown_name(input));
  }
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t k = 0; k < names.size(); ++k) {
    const auto [low, high] = std::equal_range(sorted.begin(), sorted.end(), names[k]);
    if (high - low > 1 && _results[k] != "-") {
      names[k] = _results[k];
    }
  }
  return names;
}

// A result as it was read: how the provenance lists it, and what tells a copy of it.
struct read_facts {
  page_input listed;
  sha256::digest digest;  // of the content, decompressed
  std::uint64_t events = 0;
};

// Reads the result _input into the page as result _index, named _name.
read_facts read_result(page_writer& _writer, std::uint32_t _index, const std::string& _input,
                       const std::string& _name) {
  std::unique_ptr<results::opened_result> opened;
  try {
    opened = std::make_unique<results::opened_result>(_input);
  } catch (const results::read_error& e) {
    throw file_error(message_name(_input), e.what());
  }
  const struct stat& status = opened->status();
  results::input content(opened->fd(), true);  // decompressed where stored compressed; hashed
  _writer.begin_result(_index);
  results::form form = results::form::document;
  read_facts facts;
  try {
    form = results::read(
        content, {[&](const results::event& _event) {
                    _writer.add_event(_event);
                    ++facts.events;
                  },
                  [&](const results::trackable& _object) { _writer.add_trackable(_object); }});
  } catch (const std::runtime_error& e) {  // the reader's and the page's refusals alike
    throw file_error(message_name(_input), e.what());
  }
  _writer.end_result(form);
  facts.digest = content.digest();
  page_input& result = facts.listed;
  result = {"result", _name, _input == "-" ? "standard input" : "file", {}, {}};
  if (S_ISREG(status.st_mode)) {
    result.bytes = static_cast<std::uint64_t>(status.st_size);
    result.modified_ms = modified_ms(status);
  } else {
    result.via = "pipe";
    result.bytes = content.file_bytes();
  }
  return facts;
}

// Results that name a uid differently, in one line: the first such uid, each name and category
// it had with the first result that gave it, and how many more uids differ.
std::string disagreement_text(const uid_disagreement& _found,
                              const std::vector<std::string>& _results) {
  std::string text = "the results disagree on " + terminal_safe(_found.uid) + ":";
  for (std::size_t k = 0; k < _found.variants.size(); ++k) {
    const uid_disagreement::variant& variant = _found.variants[k];
    text += k == 0 ? " " : ", ";
    text += variant.name.empty() ? "no name" : "\"" + terminal_safe(variant.name) + "\"";
    text += " (" + (variant.category.empty() ? "no category" : terminal_safe(variant.category)) +
            ") in " + terminal_safe(message_name(_results[variant.result]));
  }
  if (_found.uids > 1) {
    text += ", and on " + std::to_string(_found.uids - 1) +
            (_found.uids == 2 ? " more uid" : " more uids");
  }
  return text + "; each event is shown with its own result's name and category";
}

void write_page(const options& _options, const std::vector<std::string>& _results,
                const site_files& _site) {
  const std::string output = _options.output ? *_options.output : default_output(_results.front());
  for (const std::string& input : _results) {
    check_not_input(output, input_status(input), shown_name(input));
  }
  const std::pair<const boost::optional<std::string>*, const char*> site_inputs[] = {
      {&_options.zones, "the zones file"}, {&_options.plan, "the floor plan"}};
  for (const auto& [path, role] : site_inputs) {
    struct stat status {};
    if (*path && ::stat((*path)->c_str(), &status) == 0) {
      check_not_input(output, status, **path, role);
    }
  }
  struct stat status {};
  if (::stat(output.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    throw file_error(output, "is a folder");
  }
  output_file page;
  try {
    page.open(output, _options.force ? replacing::any_file : replacing::only_a_page);
  } catch (const output_error& e) {
    throw file_error(output, terminal_safe(e.reason()));
  }
  output_buffer buffer(page);
  std::ostream out(&buffer);
  const std::string source = _results.size() == 1 ? shown_name(_results.front())
                                                  : std::to_string(_results.size()) + " results";
  page_options settings{_options.title ? *_options.title : "Near-miss report: " + source,
                        source,
                        std::string(program) + " " + tools::version,
                        _options.clock,
                        _options.threshold_mm,
                        _site.zones ? &*_site.zones : nullptr,
                        _site.plan ? &*_site.plan : nullptr};
  page_writer writer(out, settings);
  provenance made;
  const std::vector<std::string> names = result_names(_results);
  // A copy of a result (another file of the same content, compressed or not) would count its
  // events twice; two quiet days are alike and both kept.
  std::map<sha256::digest, std::string> read_before;
  for (std::size_t k = 0; k < _results.size(); ++k) {
    read_facts read = read_result(writer, static_cast<std::uint32_t>(k), _results[k], names[k]);
    if (read.events > 0) {
      const auto [earlier, added] = read_before.try_emplace(read.digest, _results[k]);
      if (!added) {
        throw tools::usage_error(
            "the same result given twice: " + terminal_safe(message_name(earlier->second)) +
            " and " + terminal_safe(message_name(_results[k])) + " have the same content");
      }
    }
    made.inputs.push_back(std::move(read.listed));
  }
  made.inputs.insert(made.inputs.end(), _site.inputs.begin(), _site.inputs.end());
  // A zones file or plan in other units than the results: a word here and on the page, no more.
  std::vector<std::string> warnings;
  const auto warn = [&](const std::string& _file, const std::string& _text) {
    if (!_text.empty()) {
      tools::complain(program, "warning: " + terminal_safe(_file) + ": " + terminal_safe(_text));
      warnings.push_back(base_name(_file) + ": " + _text);
    }
  };
  if (_site.zones) {
    warn(*_options.zones, tools::zones_units_warning(*_site.zones, writer.marks()));
  }
  if (_site.plan) {
    const plan_bounds& bounds = _site.plan->bounds;
    warn(*_options.plan, tools::bounds_units_warning(bounds.x_min, bounds.y_min, bounds.x_max,
                                                     bounds.y_max, writer.marks()));
  }
  made.made_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  writer.finish(made, warnings);
  out.flush();
  try {
    buffer.rethrow_failure();
    page.commit();
  } catch (const output_error& e) {
    throw file_error(output, terminal_safe(e.reason()));
  }
  if (writer.disagreement().uids > 0) {
    tools::complain(program, "warning: " + disagreement_text(writer.disagreement(), _results));
  }
  // Where the page is, for the one who asked for it.
  std::cerr << terminal_safe(output) << std::endl;
}

void run(const options& _options) {
  const result_list listed = result_files(_options);
  const std::vector<std::string>& results = listed.files;
  if (!_options.output && listed.from_folder) {
    throw tools::usage_error("-o is required for a folder of results");
  }
  if (!_options.output && results.size() > 1) {
    throw tools::usage_error("-o is required when more than one result is given");
  }
  if (std::count(results.begin(), results.end(), "-") > 1) {
    throw tools::usage_error("standard input can be read once: '-' given twice");
  }
  refuse_repeated(results);
  const site_files site = read_site_files(_options);
  write_page(_options, results, site);
}
}  // namespace
}  // namespace vela::report

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const vela::tools::program report{vela::report::program,
                                    vela::report::usage_text,
                                    {{"-o", true},
                                     {"--utc-offset", true},
                                     {"--time-zone", true},
                                     {"--title", true},
                                     {"--threshold", true},
                                     {"--zones", true},
                                     {"--floor-plan", true},
                                     {"--plan-bounds", true},
                                     {"--force"}},
                                    std::numeric_limits<std::size_t>::max()};
  return vela::tools::run_program(report, argc, argv, [](const vela::tools::command_line& _line) {
    const vela::report::options options = vela::report::parse_options(_line);
    try {
      vela::report::run(options);
    } catch (const vela::report::site_file_error& e) {
      vela::tools::complain(vela::report::program, e.what());
      return vela::tools::site_file_status;
    }
    return 0;
  });
}
