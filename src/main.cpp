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

int run_command_line(int argc, char** argv) {
  std::string input_position_file_name;
  std::string trackables_file_name;
  std::string vda_file_name;
  std::uint32_t distance_in_mm = 0;
  std::string output_event_file_name;
  bool save_input_files = false;

  // The leading '-' hands operands over as option 1 (ignored), so that parsing goes on past them
  // whatever POSIXLY_CORRECT says.
  int option = 0;
  while ((option = ::getopt(argc, argv, "-i:t:a:d:o:f:hs")) != -1) {
    switch (option) {
      case 1:
        break;
      case 'i':
        input_position_file_name = optarg;
        break;
      case 't':
        trackables_file_name = optarg;
        break;
      case 'a':
        vda_file_name = optarg;
        break;
      case 'o':
        output_event_file_name = optarg;
        break;
      case 's':
        save_input_files = true;
        break;
      case 'd': {
        errno = 0;
        char* end = nullptr;
        const unsigned long value = std::strtoul(optarg, &end, 10);
        if (end == optarg || errno == ERANGE) {
          std::cerr << argv[0] << ": invalid distance in mm -- '" << optarg << "'" << std::endl;
          vela::print_help_string();
          return 1;
        }
        distance_in_mm = static_cast<std::uint32_t>(value);  // the low 32 bits
        break;
      }
      case 'h':
        vela::print_help_string();
        return 0;
      default:  // '?' (reported by getopt) and 'f'
        vela::print_help_string();
        return 1;
    }
  }
  if (input_position_file_name.empty() || trackables_file_name.empty() || vda_file_name.empty()) {
    vela::print_help_string();
    return 1;
  }
  vela::application app(input_position_file_name, trackables_file_name, vda_file_name,
                        distance_in_mm, output_event_file_name, save_input_files);
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
  try {
    return run_command_line(argc, argv);
  } catch (const std::exception& e) {  // e.g. memory exhaustion outside any stage
    std::cerr << e.what() << std::endl;
    return static_cast<int>(vela::exit_code::SYNC_FAILURE_UNKNOWN);
  }
}
