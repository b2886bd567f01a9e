#pragma once
// The command line as every companion of vela reads it, and the one way each ends a usage
// error. Options are read by getopt_long: -h and --help, --version, then the program's own;
// operands may stand among them, "--" ends the options and "-" is an operand. A mistake is one
// line on standard error, "PROGRAM: what (see --help)", and the status 64.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vela::tools {
constexpr int usage_status = 64;
// Any other failure, unless a program says otherwise.
constexpr int failure_status = 1;

// The version every companion shows: vela's.
extern const char version[];

// A mistake on the command line, in a few words without the program's name: "unknown option
// '--x'". Text from the command line in it is already terminal-safe.
class usage_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An option as it is spelt: "-o" (a letter) or "--utc-offset".
struct option {
  const char* name;
  bool takes_value = false;
};

struct given_option {
  std::string name;   // as declared, also when given abbreviated ("--utc" for "--utc-offset")
  std::string value;  // empty for an option without one
};

struct command_line {
  bool help = false;                  // -h or --help; nothing after it was read
  bool version = false;               // --version; likewise
  std::vector<given_option> options;  // in the order given
  std::vector<std::string> operands;
};

// Reads _argv (as main() has it) with _options and at most _max_operands operands. Throws
// usage_error: an unknown or ambiguous option, a missing value, a value for an option that takes
// none, an operand too many.
command_line read_command_line(int _argc, char** _argv, const std::vector<option>& _options,
                               std::size_t _max_operands);

// A companion as its main() hands it over.
struct program {
  const char* name;   // "vela-report": the start of each line it writes on standard error
  const char* usage;  // what --help prints
  std::vector<option> options;
  std::size_t max_operands = 0;
  int output_failure_status = failure_status;  // --help or --version cannot be written
};

// The whole of a companion's main(): reads the command line, answers --help and --version on
// standard output, else returns what _run returns. A usage_error from either ends with
// usage_status, any other exception with failure_status, each after one line on standard error.
int run_program(const program& _program, int _argc, char** _argv,
                const std::function<int(const command_line&)>& _run);

// A -d value read as vela reads it. Throws usage_error, worded as vela words it.
std::uint32_t distance_option(const std::string& _text);

// One line on standard error: "PROGRAM: _message". Text from a file or the command line in
// _message must already be terminal-safe (vela::terminal_safe).
void complain(std::string_view _program, std::string_view _message);
}  // namespace vela::tools
