// Entry point: parses the command line, then runs the application's two stages.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "application.hpp"
#include "base/interruption.hpp"
#include "globals.hpp"

namespace vela {
void print_help_string() {
  std::cout << "Usage:" << std::endl;
  std::cout << "  -i  - Input position file" << std::endl;
  std::cout << "  -t  - Trackables file" << std::endl;
  std::cout << "  -a  - Vehicle-Driver association file" << std::endl;
  std::cout << "  -d  - distance_in_mm" << std::endl;
  std::cout << " [-o] - Output event file" << std::endl;
  std::cout << " [-h] - Show this message" << std::endl;
  std::cout << " [-s] - Save input files" << std::endl;
}
}  // namespace vela

namespace {
// A closed standard descriptor would be reused by the next file opened, and diagnostics or the
// result would land in it. Occupy it with /dev/null opened for reading, so that writes to it
// still fail and are reported.
void occupy_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      ::open("/dev/null", O_RDONLY);  // takes the lowest free descriptor: this one
    }
  }
}

// The six values the command line gives a run.
struct run_options {
  std::string input_position_file_name;
  std::string trackables_file_name;
  std::string vda_file_name;
  std::uint32_t distance_in_mm = 0;
  std::string output_event_file_name;
  bool save_input_files = false;
};

// The -d value: strtoul's reading, the low 32 bits kept. False when it holds no number.
bool parse_distance(const char* _text, std::uint32_t& _distance_in_mm) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(_text, &end, 10);
  if (end == _text || errno == ERANGE) {
    return false;
  }
  _distance_in_mm = static_cast<std::uint32_t>(value);  // the low 32 bits
  return true;
}

// Reads the options into _options. Returns the exit status when the command line ends the run
// there (-h, an option refused), -1 when the run goes on.
int parse_options(int argc, char** argv, run_options& _options) {
  // The leading '-' hands operands over as option 1 (ignored), so that parsing goes on past them
  // whatever POSIXLY_CORRECT says.
  int option = 0;
  while ((option = ::getopt(argc, argv, "-i:t:a:d:o:f:hs")) != -1) {
    switch (option) {
      case 1:
        break;
      case 'i':
        _options.input_position_file_name = optarg;
        break;
      case 't':
        _options.trackables_file_name = optarg;
        break;
      case 'a':
        _options.vda_file_name = optarg;
        break;
      case 'o':
        _options.output_event_file_name = optarg;
        break;
      case 's':
        _options.save_input_files = true;
        break;
      case 'd':
        if (!parse_distance(optarg, _options.distance_in_mm)) {
          std::cerr << argv[0] << ": invalid distance in mm -- '" << optarg << "'" << std::endl;
          vela::print_help_string();
          return 1;
        }
        break;
      case 'h':
        vela::print_help_string();
        return 0;
      default:  // '?' (reported by getopt) and 'f'
        vela::print_help_string();
        return 1;
    }
  }
  return -1;
}

int run_command_line(int argc, char** argv) {
  run_options options;
  if (const int status = parse_options(argc, argv, options); status >= 0) {
    return status;
  }
  if (options.input_position_file_name.empty() || options.trackables_file_name.empty() ||
      options.vda_file_name.empty()) {
    vela::print_help_string();
    return 1;
  }
  vela::application app(options.input_position_file_name, options.trackables_file_name,
                        options.vda_file_name, options.distance_in_mm,
                        options.output_event_file_name, options.save_input_files);
  vela::exit_code res = app.init();
  if (res == vela::exit_code::SYNC_SUCCESS) {
    res = app.run();
  }
  return static_cast<int>(res);
}
}  // namespace

int main(int argc, char** argv) {
  // Write failures (a closed pipe, a file-size limit) must come back as errors to report with a
  // status, not end the process by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  occupy_closed_standard_descriptors();
  vela::interruption::install();
  try {
    return run_command_line(argc, argv);
  } catch (const std::exception& e) {  // e.g. memory exhaustion outside any stage
    std::cerr << e.what() << std::endl;
    return static_cast<int>(vela::exit_code::SYNC_FAILURE_UNKNOWN);
  }
}
