// Entry point: parses the command line, then runs the application's two stages.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "application.hpp"
#include "base/distance_text.hpp"
#include "base/interruption.hpp"
#include "base/text.hpp"
#include "files/file_output.hpp"
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
// The six values the command line gives a run.
struct run_options {
  std::string input_position_file_name;
  std::string trackables_file_name;
  std::string vda_file_name;
  std::optional<std::uint32_t> distance_in_mm;  // a run at 0 mm only when asked for
  std::string output_event_file_name;
  bool save_input_files = false;
};

// Keys of the two long options, apart from every letter.
constexpr int help_key = 256;
constexpr int version_key = 257;
constexpr struct option long_options[] = {{"help", no_argument, nullptr, help_key},
                                          {"version", no_argument, nullptr, version_key},
                                          {nullptr, 0, nullptr, 0}};

// getopt_long takes "--he" for "--help"; only the whole words are options here.
bool spelt_out(char** argv, std::string_view _word) {
  return optind > 0 && argv[optind - 1] == _word;
}

// The usage text after a refused option; _line (terminal-safe) first on standard error.
int refuse(const std::string& _line) {
  std::cerr << _line << std::endl;
  vela::print_help_string();
  return 1;
}

// Reads the options into _options. Returns the exit status when the command line ends the run
// there (-h, an option refused), -1 when the run goes on.
int parse_options(int argc, char** argv, run_options& _options) {
  // The leading '-' hands operands over as option 1 (ignored), so that parsing goes on past them
  // whatever POSIXLY_CORRECT says.
  int option = 0;
  while ((option = ::getopt_long(argc, argv, "-i:t:a:d:o:f:hs", long_options, nullptr)) != -1) {
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
        _options.distance_in_mm = vela::parse_distance_mm(optarg);
        if (!_options.distance_in_mm) {
          return refuse(vela::terminal_safe(argv[0]) + ": invalid distance in mm -- '" +
                        vela::terminal_safe(optarg) + "'");
        }
        break;
      case help_key:
      case version_key:
        if (!spelt_out(argv, option == help_key ? "--help" : "--version")) {
          // As getopt_long words an option it does not know.
          return refuse(vela::terminal_safe(argv[0]) + ": unrecognized option '" +
                        vela::terminal_safe(argv[optind - 1]) + "'");
        }
        if (option == version_key) {
          std::cout << "vela " << VELA_VERSION << std::endl;
          return 0;
        }
        vela::print_help_string();
        return 0;
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
  if (!options.distance_in_mm) {
    return refuse(vela::terminal_safe(argv[0]) + ": missing distance in mm (-d)");
  }
  vela::application app(options.input_position_file_name, options.trackables_file_name,
                        options.vda_file_name, *options.distance_in_mm,
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
  vela::occupy_closed_standard_descriptors();
  vela::interruption::install();
  try {
    return run_command_line(argc, argv);
  } catch (const std::exception& e) {  // e.g. memory exhaustion outside any stage
    std::cerr << e.what() << std::endl;
    return static_cast<int>(vela::exit_code::SYNC_FAILURE_UNKNOWN);
  }
}
