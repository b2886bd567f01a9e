#include "common/command_line.hpp"

#include <getopt.h>

#include <csignal>
#include <iostream>
#include <optional>

#include "base/distance_text.hpp"
#include "base/interruption.hpp"
#include "base/text.hpp"
#include "files/file_output.hpp"

namespace vela::tools {
const char version[] = VELA_VERSION;

namespace {
// getopt_long's keys: a short option is its letter; --version and the long options come after
// every letter.
constexpr int help_key = 'h';
constexpr int version_key = 256;
constexpr int first_long_key = 257;

bool is_long(const option& _option) { return std::string_view(_option.name).rfind("--", 0) == 0; }

class option_table {
 public:
  explicit option_table(const std::vector<option>& _options) : m_options(_options) {
    // '-': operands come back in place as key 1, whatever POSIXLY_CORRECT says; ':': a missing
    // value comes back as ':' and getopt prints nothing of its own.
    m_letters = "-:h";
    for (std::size_t k = 0; k < m_options.size(); ++k) {
      const option& one = m_options[k];
      if (is_long(one)) {
        m_longs.push_back({one.name + 2, one.takes_value ? required_argument : no_argument, nullptr,
                           first_long_key + static_cast<int>(k)});
      } else {
        m_letters += one.name[1];
        m_letters += one.takes_value ? ":" : "";
      }
    }
    m_longs.push_back({"help", no_argument, nullptr, help_key});
    m_longs.push_back({"version", no_argument, nullptr, version_key});
    m_longs.push_back({nullptr, 0, nullptr, 0});
  }

  const char* letters() const { return m_letters.c_str(); }
  const struct ::option* longs() const { return m_longs.data(); }

  // The declared option of a key getopt_long returned, or nullptr for help and version.
  const option* declared(int _key) const {
    if (_key >= first_long_key) {
      return &m_options[static_cast<std::size_t>(_key - first_long_key)];
    }
    for (const option& one : m_options) {
      if (!is_long(one) && one.name[1] == _key) {
        return &one;
      }
    }
    return nullptr;
  }

  // The option of a key as the messages name it; empty for a letter not declared.
  std::string name(int _key) const {
    if (_key == help_key) {
      return "--help";  // only its long form can be given a value
    }
    if (_key == version_key) {
      return "--version";
    }
    const option* one = declared(_key);
    return one == nullptr ? std::string() : one->name;
  }

  // How many long options begin with _start ("--u" and "--utc-offset").
  std::size_t long_matches(std::string_view _start) const {
    std::size_t matches = 0;
    for (const struct ::option& one : m_longs) {
      matches += one.name != nullptr && std::string_view(one.name).rfind(_start.substr(2), 0) == 0;
    }
    return matches;
  }

 private:
  const std::vector<option>& m_options;
  std::string m_letters;
  std::vector<struct ::option> m_longs;
};

std::string quoted(std::string_view _text) { return "'" + terminal_safe(_text) + "'"; }

// What getopt_long's '?' stands for: the argument it stopped at is _argument.
usage_error refusal(const option_table& _table, int _key, std::string_view _argument) {
  if (_key == 0) {  // a long option not declared, or the start of more than one
    const std::string_view given = _argument.substr(0, _argument.find('='));
    return usage_error((_table.long_matches(given) > 1 ? "ambiguous option " : "unknown option ") +
                       quoted(given));
  }
  const std::string known = _table.name(_key);
  if (!known.empty()) {  // "--json=1"
    return usage_error(quoted(known) + " takes no value");
  }
  return usage_error("unknown option " + quoted(std::string{'-', static_cast<char>(_key)}));
}
}  // namespace

command_line read_command_line(int _argc, char** _argv, const std::vector<option>& _options,
                               std::size_t _max_operands) {
  const option_table table(_options);
  command_line line;
  const auto add_operand = [&](const char* _operand) {
    if (line.operands.size() == _max_operands) {
      throw usage_error("unexpected argument " + quoted(_operand));
    }
    line.operands.emplace_back(_operand);
  };
  ::opterr = 0;
  ::optind = 0;  // getopt starts afresh and reads the flags at the start of the letters
  int key = 0;
  while ((key = ::getopt_long(_argc, _argv, table.letters(), table.longs(), nullptr)) != -1) {
    switch (key) {
      case 1:
        add_operand(::optarg);
        break;
      case help_key:
        line.help = true;
        return line;
      case version_key:
        line.version = true;
        return line;
      case ':':
        throw usage_error(quoted(table.name(::optopt)) + " needs a value");
      case '?':
        throw refusal(table, ::optopt, _argv[::optind - 1]);
      default:
        line.options.push_back({table.declared(key)->name, ::optarg != nullptr ? ::optarg : ""});
    }
  }
  for (int at = ::optind; at < _argc; ++at) {  // after "--"
    add_operand(_argv[at]);
  }
  return line;
}

int run_program(const program& _program, int _argc, char** _argv,
                const std::function<int(const command_line&)>& _run) {
  // Past a file-size limit a write fails, and is reported, instead of the signal ending the
  // program with its temporary file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  occupy_closed_standard_descriptors();
  interruption::install(_program.name);
  try {
    const command_line line =
        read_command_line(_argc, _argv, _program.options, _program.max_operands);
    if (line.help || line.version) {
      if (line.help) {
        std::cout << _program.usage;
      } else {
        std::cout << _program.name << " " << version << "\n";
      }
      std::cout.flush();
      return std::cout ? 0 : _program.output_failure_status;
    }
    return _run(line);
  } catch (const usage_error& e) {
    complain(_program.name, std::string(e.what()) + " (see --help)");
    return usage_status;
  } catch (const std::exception& e) {  // memory exhausted, or a failure the program leaves here
    complain(_program.name, e.what());
    return failure_status;
  }
}

void complain(std::string_view _program, std::string_view _message) {
  std::cerr << _program << ": " << _message << std::endl;
}
std::uint32_t distance_option(const std::string& _text) {
  const std::optional<std::uint32_t> distance = parse_distance_mm(_text);
  if (!distance) {
    throw usage_error("invalid distance in mm -- '" + terminal_safe(_text) + "'");
  }
  return *distance;
}
}  // namespace vela::tools
