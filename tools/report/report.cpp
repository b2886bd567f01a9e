// vela-report: one self-contained HTML page of a vela result for the people who read it. Reads
// the result as a stream, writes the page to a temporary file beside the output and renames it
// into place, so that no partial page is ever left; the input is never changed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/optional.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/site_time.hpp"
#include "common/zones.hpp"
#include "report/floor_plan.hpp"
#include "report/report_page.hpp"
#include "results/result_reader.hpp"

namespace vela::report {
namespace {
constexpr const char* program = "vela-report";
constexpr std::size_t output_buffer_bytes = std::size_t{1} << 20;

constexpr const char* usage_text =
    "Usage: vela-report EVENTS.json [-o REPORT.html] [--utc-offset +HH:MM] [--title TEXT]\n"
    "                   [--threshold MM] [--zones ZONES.geojson]\n"
    "                   [--floor-plan IMAGE --plan-bounds XMIN,YMIN,XMAX,YMAX]\n"
    "\n"
    "Writes one self-contained HTML page of a vela result (the document written by vela -o, or\n"
    "the events array vela writes to standard output): counts, a floor plot, a timeline, the\n"
    "closest approaches and the pairs and objects with most events, with filters. The page\n"
    "needs no network; open it in any current browser, or print it.\n"
    "\n"
    "  EVENTS.json        the result; - reads standard input\n"
    "  -o REPORT.html     the page; without it EVENTS.html beside the input (EVENTS without\n"
    "                     its .json), or report.html for standard input\n"
    "  --utc-offset +HH:MM  the site's time zone for the times shown (default +00:00)\n"
    "  --title TEXT       the page's title\n"
    "  --threshold MM     the run's threshold (vela -d), which the result does not hold: the\n"
    "                     page states it and puts it in its vela-explain commands\n"
    "  --zones FILE       GeoJSON FeatureCollection of Polygon and MultiPolygon features in\n"
    "                     site metres, each named by its \"name\" property: the page draws\n"
    "                     them and counts the events in each\n"
    "  --floor-plan IMAGE  PNG, JPEG or SVG drawn under the floor plot, its edges at\n"
    "  --plan-bounds XMIN,YMIN,XMAX,YMAX  site metres (left, bottom, right, top)\n"
    "  --help, --version\n"
    "\n"
    "The input is never changed. Exit status: 0 success, 1 the result cannot be read or the\n"
    "page cannot be written (one line on standard error), 2 the zones file or the floor plan\n"
    "cannot be used, 64 usage error. On success the page's path is the one line on standard\n"
    "error.\n";

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
  std::string input;  // "-" for standard input
  boost::optional<std::string> output;
  int utc_offset_minutes = 0;
  boost::optional<std::string> title;
  boost::optional<std::uint32_t> threshold_mm;
  boost::optional<std::string> zones;
  boost::optional<std::string> plan;
  boost::optional<plan_bounds> bounds;
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
  for (const tools::given_option& given : _line.options) {
    if (given.name == "-o") {
      parsed.output = given.value;
    } else if (given.name == "--utc-offset") {
      parsed.utc_offset_minutes = tools::utc_offset_option(given.value);
    } else if (given.name == "--title") {
      parsed.title = given.value;
    } else if (given.name == "--threshold") {
      parsed.threshold_mm = threshold_option(given.value);
    } else if (given.name == "--zones") {
      parsed.zones = given.value;
    } else if (given.name == "--floor-plan") {
      parsed.plan = given.value;
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
  if (_line.operands.empty()) {
    throw tools::usage_error("no result given");
  }
  parsed.input = _line.operands.front();
  return parsed;
}

std::string default_output(const std::string& _input) {
  if (_input == "-") {
    return "report.html";
  }
  const std::string suffix = ".json";
  const bool has_suffix =
      _input.size() > suffix.size() &&
      _input.compare(_input.size() - suffix.size(), suffix.size(), suffix) == 0 &&
      _input[_input.size() - suffix.size() - 1] != '/';
  return (has_suffix ? _input.substr(0, _input.size() - suffix.size()) : _input) + ".html";
}

std::string base_name(const std::string& _path) {
  const std::size_t slash = _path.find_last_of('/');
  return slash == std::string::npos ? _path : _path.substr(slash + 1);
}

std::int64_t modified_ms(const struct stat& _status) {
  return std::int64_t{_status.st_mtim.tv_sec} * 1000 + _status.st_mtim.tv_nsec / 1000000;
}

// A named file as the provenance lists it (its size and time when it can be found).
input_file named_input(const std::string& _role, const std::string& _path) {
  input_file input{_role, base_name(_path), "file", {}, {}};
  struct stat status {};
  if (::stat(_path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    input.bytes = static_cast<std::uint64_t>(status.st_size);
    input.modified_ms = modified_ms(status);
  }
  return input;
}

// Reads another stream buffer through one of its own, counting the bytes: the size of a
// result that comes through a pipe.
class counting_input : public std::streambuf {
 public:
  explicit counting_input(std::streambuf* _source) : m_source(_source), m_buffer(1 << 16) {}
  std::uint64_t bytes() const { return m_bytes; }

 protected:
  int_type underflow() override {
    const std::streamsize got =
        m_source->sgetn(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size()));
    if (got <= 0) {
      return traits_type::eof();
    }
    m_bytes += static_cast<std::uint64_t>(got);
    setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + got);
    return traits_type::to_int_type(m_buffer[0]);
  }

 private:
  std::streambuf* m_source;
  std::vector<char> m_buffer;
  std::uint64_t m_bytes = 0;
};

// What the page is drawn over besides the result; read before it, so that a mistake in them
// costs no reading of a large result.
struct site_files {
  boost::optional<tools::zone_map> zones;
  boost::optional<floor_plan> plan;
  std::vector<input_file> inputs;
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

// A stream buffer over a file descriptor that remembers the first write error.
class descriptor_buffer : public std::streambuf {
 public:
  explicit descriptor_buffer(int _fd) : m_fd(_fd), m_buffer(output_buffer_bytes) {
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
  }
  int error() const { return m_error; }

 protected:
  int_type overflow(int_type _c) override {
    if (!drain()) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(_c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(_c);
      pbump(1);
    }
    return traits_type::not_eof(_c);
  }
  int sync() override { return drain() ? 0 : -1; }

 private:
  bool drain() {
    const char* from = pbase();
    while (m_error == 0 && from < pptr()) {
      const ssize_t written = ::write(m_fd, from, static_cast<std::size_t>(pptr() - from));
      if (written < 0 && errno != EINTR) {
        m_error = errno;
      }
      from += written > 0 ? written : 0;
    }
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    return m_error == 0;
  }

  int m_fd;
  std::vector<char> m_buffer;
  int m_error = 0;
};

// Where the page goes: a temporary file beside the output, renamed over it once complete and
// removed otherwise; or straight into an existing character device or fifo (/dev/null, a pipe),
// which must not be replaced. A symbolic link is followed, so that the link stays a link (and
// /dev/stdout is never replaced by a file).
class page_file {
 public:
  explicit page_file(const std::string& _output) : m_output(_output), m_target(_output) {
    struct stat status {};
    if (::lstat(_output.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      if (char* resolved = ::realpath(_output.c_str(), nullptr)) {
        m_target = resolved;
        std::free(resolved);
      }
    }
    if (::stat(m_target.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
      if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode)) {
        throw file_error(_output,
                         S_ISDIR(status.st_mode) ? "is a folder" : "is not a regular file");
      }
      m_fd = ::open(m_target.c_str(), O_WRONLY);
      m_direct = true;
    } else {
      m_path = m_target + ".XXXXXX";
      m_fd = ::mkstemp(m_path.data());
    }
    if (m_fd < 0) {
      throw file_error(_output, std::strerror(errno));
    }
  }
  page_file(const page_file&) = delete;
  page_file& operator=(const page_file&) = delete;
  ~page_file() {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    if (!m_direct && !m_renamed) {
      ::unlink(m_path.c_str());
    }
  }

  int fd() const { return m_fd; }

  // Makes the page the output: synced, with the permissions of a new file, renamed into place.
  void commit() {
    const int fd = m_fd;
    m_fd = -1;
    if (m_direct) {
      if (::close(fd) != 0) {
        throw file_error(m_output, std::strerror(errno));
      }
      return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::fsync(fd) != 0) {
      const int error = errno;
      ::close(fd);
      throw file_error(m_output, std::strerror(error));
    }
    if (::close(fd) != 0 || ::rename(m_path.c_str(), m_target.c_str()) != 0) {
      throw file_error(m_output, std::strerror(errno));
    }
    m_renamed = true;
  }

 private:
  std::string m_output;  // as given, for messages
  std::string m_target;  // the output with symbolic links resolved
  std::string m_path;    // the temporary file
  int m_fd = -1;
  bool m_direct = false;
  bool m_renamed = false;
};

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

void write_page(std::istream& _in, const struct stat& _input, const std::string& _input_name,
                const options& _options, const site_files& _site) {
  const std::string output = _options.output ? *_options.output : default_output(_options.input);
  check_not_input(output, _input, _input_name);
  const std::pair<const boost::optional<std::string>*, const char*> site_inputs[] = {
      {&_options.zones, "the zones file"}, {&_options.plan, "the floor plan"}};
  for (const auto& [path, role] : site_inputs) {
    struct stat status {};
    if (*path && ::stat((*path)->c_str(), &status) == 0) {
      check_not_input(output, status, **path, role);
    }
  }
  page_file page(output);
  descriptor_buffer buffer(page.fd());
  std::ostream out(&buffer);
  const std::string source = _options.input == "-" ? "standard input" : base_name(_options.input);
  page_options settings{_options.title ? *_options.title : "Near-miss report: " + source,
                        source,
                        std::string(program) + " " + tools::version,
                        _options.utc_offset_minutes,
                        _options.threshold_mm,
                        _site.zones ? &*_site.zones : nullptr,
                        _site.plan ? &*_site.plan : nullptr};
  page_writer writer(out, settings);
  counting_input counted(_in.rdbuf());
  std::istream in(&counted);
  results::form form = results::form::document;
  try {
    form = results::read(
        in, {[&](const results::event& _event) { writer.add_event(_event); },
             [&](const results::trackable& _object) { writer.add_trackable(_object); }});
  } catch (const std::runtime_error& e) {  // the reader's and the page's refusals alike
    throw file_error(_input_name, e.what());
  }
  provenance made;
  input_file result{"result", source, _options.input == "-" ? "standard input" : "file", {}, {}};
  if (S_ISREG(_input.st_mode)) {
    result.bytes = static_cast<std::uint64_t>(_input.st_size);
    result.modified_ms = modified_ms(_input);
  } else {
    result.via = "pipe";
    result.bytes = counted.bytes();
  }
  made.inputs.push_back(result);
  made.inputs.insert(made.inputs.end(), _site.inputs.begin(), _site.inputs.end());
  made.made_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  writer.finish(form, made);
  out.flush();
  if (buffer.error() != 0 || !out) {
    throw file_error(output, std::strerror(buffer.error() != 0 ? buffer.error() : EIO));
  }
  page.commit();
  // Where the page is, for the one who asked for it.
  std::cerr << terminal_safe(output) << std::endl;
}

void run(const options& _options) {
  const site_files site = read_site_files(_options);
  struct stat status {};
  if (_options.input == "-") {
    if (::fstat(STDIN_FILENO, &status) != 0) {
      throw file_error("standard input", std::strerror(errno));
    }
    write_page(std::cin, status, "standard input", _options, site);
    return;
  }
  if (::stat(_options.input.c_str(), &status) != 0) {
    throw file_error(_options.input, std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    throw file_error(_options.input, "is a folder");
  }
  std::ifstream in(_options.input, std::ios::binary);
  if (!in) {
    throw file_error(_options.input, std::strerror(errno));
  }
  write_page(in, status, _options.input, _options, site);
}
}  // namespace
}  // namespace vela::report

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // Past a file-size limit a write fails (and the temporary page is removed) instead of the
  // signal ending the program and leaving it behind.
  std::signal(SIGXFSZ, SIG_IGN);
  const vela::tools::program report{vela::report::program,
                                    vela::report::usage_text,
                                    {{"-o", true},
                                     {"--utc-offset", true},
                                     {"--title", true},
                                     {"--threshold", true},
                                     {"--zones", true},
                                     {"--floor-plan", true},
                                     {"--plan-bounds", true}},
                                    1};
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
