// vela-report: one self-contained HTML page of a vela result for the people who read it. Reads
// the result as a stream, writes the page to a temporary file beside the output and renames it
// into place, so that no partial page is ever left; the input is never changed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

#include <boost/optional.hpp>

#include "report_page.hpp"
#include "result_reader.hpp"

namespace vela::report {
namespace {
constexpr const char* program = "vela-report";
constexpr std::size_t output_buffer_bytes = std::size_t{1} << 20;
constexpr int usage_status = 64;
constexpr int failure_status = 1;

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

// An error to report as "vela-report: FILE: reason".
class file_error : public std::runtime_error {
 public:
  file_error(std::string _file, const std::string& _reason)
      : std::runtime_error(_reason), m_file(std::move(_file)) {}
  const std::string& file() const { return m_file; }

 private:
  std::string m_file;
};

class usage_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct options {
  std::string input;  // "-" for standard input
  boost::optional<std::string> output;
  int utc_offset_minutes = 0;
  boost::optional<std::string> title;
};

// A file name as it may appear in a one-line message: control characters as \xNN.
std::string shown(const std::string& _name) {
  std::string out;
  for (const char c : _name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

// "+HH:MM" or "-HH:MM" in minutes east of UTC.
int parse_utc_offset(const std::string& _text) {
  const boost::optional<int> minutes = result::utc_offset_minutes(_text);
  if (!minutes) {
    throw usage_error("--utc-offset: expected +HH:MM or -HH:MM, not '" + shown(_text) + "'");
  }
  return *minutes;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; empty when _arg is not it.
boost::optional<std::string> option_value(const std::vector<std::string>& _args, std::size_t& _at,
                                          const std::string& _name) {
  const std::string& arg = _args[_at];
  if (arg.rfind(_name + "=", 0) == 0 && _name.size() > 2) {
    return arg.substr(_name.size() + 1);
  }
  if (arg != _name) {
    return boost::none;
  }
  if (_at + 1 == _args.size()) {
    throw usage_error(_name + ": missing its value");
  }
  return _args[++_at];
}

options parse_options(const std::vector<std::string>& _args) {
  options parsed;
  bool only_files = false;
  std::vector<std::string> inputs;
  for (std::size_t at = 0; at < _args.size(); ++at) {
    const std::string& arg = _args[at];
    if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
      inputs.push_back(arg);
    } else if (arg == "--") {
      only_files = true;
    } else if (const auto output = option_value(_args, at, "-o")) {
      parsed.output = *output;
    } else if (const auto offset = option_value(_args, at, "--utc-offset")) {
      parsed.utc_offset_minutes = parse_utc_offset(*offset);
    } else if (const auto title = option_value(_args, at, "--title")) {
      parsed.title = *title;
    } else {
      throw usage_error("unknown option '" + shown(arg) + "' (see --help)");
    }
  }
  if (inputs.size() != 1) {
    throw usage_error(inputs.empty() ? "no result given (see --help)"
                                     : "more than one result given (see --help)");
  }
  parsed.input = inputs.front();
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
        throw file_error(shown(_output),
                         S_ISDIR(status.st_mode) ? "is a folder" : "is not a regular file");
      }
      m_fd = ::open(m_target.c_str(), O_WRONLY);
      m_direct = true;
    } else {
      m_path = m_target + ".XXXXXX";
      m_fd = ::mkstemp(m_path.data());
    }
    if (m_fd < 0) {
      throw file_error(shown(_output), std::strerror(errno));
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
        throw file_error(shown(m_output), std::strerror(errno));
      }
      return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::fsync(fd) != 0) {
      const int error = errno;
      ::close(fd);
      throw file_error(shown(m_output), std::strerror(error));
    }
    if (::close(fd) != 0 || ::rename(m_path.c_str(), m_target.c_str()) != 0) {
      throw file_error(shown(m_output), std::strerror(errno));
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
    throw file_error(shown(_output),
                     "is the result " + _input_name + "; the page would replace it");
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
  page_writer writer(out, {_options.title ? *_options.title : "Near-miss report: " + source, source,
                           std::string(program) + " " + VELA_VERSION, _options.utc_offset_minutes});
  result::form form = result::form::document;
  try {
    form = result::read(_in,
                        {[&](const result::event& _event) { writer.add_event(_event); },
                         [&](const result::trackable& _object) { writer.add_trackable(_object); }});
  } catch (const std::runtime_error& e) {  // the reader's and the page's refusals alike
    throw file_error(_input_name, e.what());
  }
  writer.finish(form);
  out.flush();
  if (buffer.error() != 0 || !out) {
    throw file_error(shown(output), std::strerror(buffer.error() != 0 ? buffer.error() : EIO));
  }
  page.commit();
  std::cerr << shown(output) << std::endl;  // where the page is, for the one who asked for it
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
  const std::string name = shown(_options.input);
  if (::stat(_options.input.c_str(), &status) != 0) {
    throw file_error(name, std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    throw file_error(name, "is a folder");
  }
  std::ifstream in(_options.input, std::ios::binary);
  if (!in) {
    throw file_error(name, std::strerror(errno));
  }
  write_page(in, status, name, _options);
}
}  // namespace
}  // namespace vela::report

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // Past a file-size limit a write fails (and the temporary page is removed) instead of the
  // signal ending the program and leaving it behind.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << vela::report::usage_text << std::flush;
    return std::cout ? 0 : 1;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << vela::report::program << " " << VELA_VERSION << std::endl;
    return std::cout ? 0 : 1;
  }
  const char* const program = vela::report::program;
  try {
    vela::report::run(vela::report::parse_options(args));
  } catch (const vela::report::usage_error& e) {
    std::cerr << program << ": " << e.what() << std::endl;
    return vela::report::usage_status;
  } catch (const vela::report::file_error& e) {
    std::cerr << program << ": " << e.file() << ": " << e.what() << std::endl;
    return vela::report::failure_status;
  } catch (const std::exception& e) {  // e.g. memory exhausted
    std::cerr << program << ": " << e.what() << std::endl;
    return vela::report::failure_status;
  }
  return 0;
}
