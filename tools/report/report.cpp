// vela-report: one self-contained HTML page of a vela result for the people who read it. Reads
// the result as a stream, writes the page to a temporary file beside the output and renames it
// into place, so that no partial page is ever left; the input is never changed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/optional.hpp>
#include <cerrno>
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
#include "report/report_page.hpp"
#include "results/result_reader.hpp"

namespace vela::report {
namespace {
constexpr const char* program = "vela-report";
constexpr std::size_t output_buffer_bytes = std::size_t{1} << 20;

constexpr const char* usage_text =
    "Usage: vela-report EVENTS.json [-o REPORT.html] [--utc-offset +HH:MM] [--title TEXT]\n"
    "\n"
    "Writes one self-contained HTML page of a vela result (the document written by vela -o, or\n"
    "the events array vela writes to standard output): counts, a floor plot, a timeline, the\n"
    "closest approaches and the pairs and objects with most events, with filters. The page\n"
    "needs no network; open it in any current browser.\n"
    "\n"
    "  EVENTS.json        the result; - reads standard input\n"
    "  -o REPORT.html     the page; without it EVENTS.html beside the input (EVENTS without\n"
    "                     its .json), or report.html for standard input\n"
    "  --utc-offset +HH:MM  the site's time zone for the times shown (default +00:00)\n"
    "  --title TEXT       the page's title\n"
    "  --help, --version\n"
    "\n"
    "The input is never changed. Exit status: 0 success, 1 the result cannot be read or the\n"
    "page cannot be written (one line on standard error), 64 usage error. On success the\n"
    "page's path is the one line on standard error.\n";

// A failure to report as "vela-report: FILE: reason"; the file as the command line gave it.
std::runtime_error file_error(const std::string& _file, const std::string& _reason) {
  return std::runtime_error(terminal_safe(_file) + ": " + _reason);
}

struct options {
  std::string input;  // "-" for standard input
  boost::optional<std::string> output;
  int utc_offset_minutes = 0;
  boost::optional<std::string> title;
};

options parse_options(const tools::command_line& _line) {
  options parsed;
  for (const tools::given_option& given : _line.options) {
    if (given.name == "-o") {
      parsed.output = given.value;
    } else if (given.name == "--utc-offset") {
      parsed.utc_offset_minutes = tools::utc_offset_option(given.value);
    } else if (given.name == "--title") {
      parsed.title = given.value;
    }
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

// Refuses to rename the page over the input (or a link to it): that would replace the input.
void check_not_input(const std::string& _output, const struct stat& _input,
                     const std::string& _input_name) {
  struct stat output {};
  if (::stat(_output.c_str(), &output) == 0 && S_ISREG(output.st_mode) &&
      output.st_dev == _input.st_dev && output.st_ino == _input.st_ino) {
    throw file_error(_output,
                     "is the result " + terminal_safe(_input_name) + "; the page would replace it");
  }
}

void write_page(std::istream& _in, const struct stat& _input, const std::string& _input_name,
                const options& _options) {
  const std::string output = _options.output ? *_options.output : default_output(_options.input);
  check_not_input(output, _input, _input_name);
  page_file page(output);
  descriptor_buffer buffer(page.fd());
  std::ostream out(&buffer);
  const std::string source = _options.input == "-" ? "standard input" : base_name(_options.input);
  page_writer writer(out,
                     {_options.title ? *_options.title : "Near-miss report: " + source, source,
                      std::string(program) + " " + tools::version, _options.utc_offset_minutes});
  results::form form = results::form::document;
  try {
    form = results::read(
        _in, {[&](const results::event& _event) { writer.add_event(_event); },
              [&](const results::trackable& _object) { writer.add_trackable(_object); }});
  } catch (const std::runtime_error& e) {  // the reader's and the page's refusals alike
    throw file_error(_input_name, e.what());
  }
  writer.finish(form);
  out.flush();
  if (buffer.error() != 0 || !out) {
    throw file_error(output, std::strerror(buffer.error() != 0 ? buffer.error() : EIO));
  }
  page.commit();
  // Where the page is, for the one who asked for it.
  std::cerr << terminal_safe(output) << std::endl;
}

void run(const options& _options) {
  struct stat status {};
  if (_options.input == "-") {
    if (::fstat(STDIN_FILENO, &status) != 0) {
      throw file_error("standard input", std::strerror(errno));
    }
    write_page(std::cin, status, "standard input", _options);
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
  write_page(in, status, _options.input, _options);
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
                                    {{"-o", true}, {"--utc-offset", true}, {"--title", true}},
                                    1};
  return vela::tools::run_program(report, argc, argv, [](const vela::tools::command_line& _line) {
    vela::report::run(vela::report::parse_options(_line));
    return 0;
  });
}
