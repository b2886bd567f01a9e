#pragma once
// Helpers for the end-to-end tests: a fresh temporary folder per test, and running the built
// binary in it with its standard output and error captured.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

namespace vela::test {
// A new empty folder, removed with everything in it when the object goes.
class temp_folder {
 public:
  temp_folder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/vela-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
  }
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;
  ~temp_folder() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(m_path, ignored);
  }

  const std::string& path() const { return m_path; }
  std::string file(const std::string& _name) const { return m_path + "/" + _name; }
  bool exists(const std::string& _name) const {
    boost::system::error_code ignored;
    return boost::filesystem::exists(boost::filesystem::symlink_status(file(_name), ignored));
  }
  void write(const std::string& _name, const std::string& _content) const {
    std::ofstream out(file(_name), std::ios::binary | std::ios::trunc);
    out << _content;
    if (!out.flush()) {
      throw std::runtime_error("cannot write " + _name);
    }
  }
  std::string read(const std::string& _name) const { return read_file(file(_name)); }
  static std::string read_file(const std::string& _path) {
    std::ifstream in(_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string m_path;
};

inline std::string shell_quote(const std::string& _text) {
  std::string quoted = "'";
  for (const char c : _text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

struct run_result {
  int status = -1;       // exit status, or -1 when ended by a signal
  int signal = 0;        // the signal that ended the process, if any
  std::string out;       // standard output
  std::string err;       // standard error
};

// Reads what a run wrote to the two capture files into _result, and removes them.
inline void take_streams(const std::string& _out_file, const std::string& _err_file,
                         run_result& _result) {
  const auto slurp = [](const std::string& _name) {
    std::ifstream in(_name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  _result.out = slurp(_out_file);
  _result.err = slurp(_err_file);
  boost::system::error_code ignored;
  boost::filesystem::remove(_out_file, ignored);
  boost::filesystem::remove(_err_file, ignored);
}

// Runs the binary (VELA_BINARY unless _binary is given) in _folder with _args. _prefix goes
// before the command (e.g. "prlimit --fsize=100"), _stdout replaces the capture of standard
// output (e.g. ">&-" or ">/dev/full").
inline run_result run_in(const temp_folder& _folder, const std::string& _binary,
                         const std::vector<std::string>& _args, const std::string& _prefix = "",
                         const std::string& _stdout = "") {
  const std::string out_file = _folder.path() + "/../" +
                               boost::filesystem::path(_folder.path()).filename().string() +
                               ".stdout";
  const std::string err_file = out_file.substr(0, out_file.size() - 7) + ".stderr";
  std::string command = "cd " + shell_quote(_folder.path()) + " && " + _prefix + " " +
                        shell_quote(_binary);
  for (const std::string& arg : _args) {
    command += " " + shell_quote(arg);
  }
  command += _stdout.empty() ? " >" + shell_quote(out_file) : " " + _stdout;
  command += " 2>" + shell_quote(err_file);
  const int raw = std::system(command.c_str());
  run_result result;
  if (WIFEXITED(raw)) {
    result.status = WEXITSTATUS(raw);
    // The shell reports a child ended by a signal as 128 + the signal number.
    if (result.status > 128 && result.status < 128 + 65) {
      result.signal = result.status - 128;
      result.status = -1;
    }
  } else if (WIFSIGNALED(raw)) {
    result.signal = WTERMSIG(raw);
  }
  take_streams(out_file, err_file, result);
  return result;
}

inline run_result run_vela(const temp_folder& _folder, const std::vector<std::string>& _args,
                           const std::string& _prefix = "", const std::string& _stdout = "") {
  return run_in(_folder, VELA_BINARY, _args, _prefix, _stdout);
}

// The binary started in _folder without waiting for it, its standard output and error going to
// files beside the folder; wait() collects its end. For tests that act while it runs.
class spawned_run {
 public:
  spawned_run(const temp_folder& _folder, const std::vector<std::string>& _args,
              const std::string& _binary = VELA_BINARY)
      : m_out(_folder.path() + ".stdout"), m_err(_folder.path() + ".stderr") {
    std::vector<std::string> argv = {_binary};
    argv.insert(argv.end(), _args.begin(), _args.end());
    std::vector<char*> raw;
    for (std::string& arg : argv) {
      raw.push_back(arg.data());
    }
    raw.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {  // only async-signal-safe calls until exec
      // As from an interactive shell: whatever the test runner ignores or blocks.
      ::signal(SIGINT, SIG_DFL);
      ::signal(SIGTERM, SIG_DFL);
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int out = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (::chdir(_folder.path().c_str()) != 0 || out < 0 || err < 0 ||
          ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) {
        ::_exit(127);
      }
      ::execv(raw[0], raw.data());
      ::_exit(127);
    }
  }
  spawned_run(const spawned_run&) = delete;
  spawned_run& operator=(const spawned_run&) = delete;
  ~spawned_run() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      wait();
    }
  }

  pid_t pid() const { return m_pid; }

  run_result wait() {
    run_result result;
    int raw = 0;
    if (m_pid > 0 && ::waitpid(m_pid, &raw, 0) == m_pid) {
      result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      result.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    }
    m_pid = -1;
    take_streams(m_out, m_err, result);
    return result;
  }

 private:
  std::string m_out;
  std::string m_err;
  pid_t m_pid = -1;
};

// The lines of _text, without their newlines.
inline std::vector<std::string> lines_of(const std::string& _text) {
  std::vector<std::string> lines;
  std::istringstream in(_text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// A JSON document the way any reader of the result would take it; fails the test if malformed.
inline Json::Value parse_json(const std::string& _text) {
  Json::Value root;
  std::istringstream in(_text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors)) << errors;
  return root;
}

// The usage text, exactly as printed.
inline const char* usage_text() {
  return "Usage:\n"
         "  -i  - Input position file\n"
         "  -t  - Trackables file\n"
         "  -a  - Vehicle-Driver association file\n"
         "  -d  - distance_in_mm\n"
         " [-o] - Output event file\n"
         " [-h] - Show this message\n"
         " [-s] - Save input files\n";
}
}  // namespace vela::test
