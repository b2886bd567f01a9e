#pragma once
// What the fuzz targets share: a scratch folder of the process for the files the program reads
// and writes, quiet diagnostics, and the way a target reports a finding.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include <boost/filesystem.hpp>
#include <boost/optional.hpp>

#include "application.hpp"
#include "globals.hpp"
#include "position.hpp"

namespace vela::fuzz {
// A new folder of this process, removed with its content at exit unless VELA_FUZZ_KEEP is set
// (to read the decoded inputs of one saved input by hand). In memory where /dev/shm exists,
// since the program syncs every output file it writes.
class scratch_folder {
 public:
  scratch_folder() {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string fallback = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    for (const std::string& base : {std::string("/dev/shm"), fallback}) {
      std::string pattern = base + "/vela-fuzz-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) {
        m_path = pattern;
        return;
      }
    }
    std::perror("vela fuzz: mkdtemp");
    std::abort();
  }
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;
  ~scratch_folder() {
    if (std::getenv("VELA_FUZZ_KEEP") != nullptr) {
      std::fprintf(stderr, "vela fuzz: files kept in %s\n", m_path.c_str());
      return;
    }
    boost::system::error_code ignored;
    boost::filesystem::remove_all(m_path, ignored);
  }

  std::string file(const std::string& _name) const { return m_path + "/" + _name; }

 private:
  std::string m_path;
};

inline const scratch_folder& scratch() {
  static const scratch_folder folder;
  return folder;
}

// The files of one run in the scratch folder.
struct input_files {
  std::string positions = scratch().file("positions.csv");
  std::string trackables = scratch().file("trackables.json");
  std::string associations = scratch().file("associations.json");
  std::string output = scratch().file("events.json");
};

inline const input_files& files() {
  static const input_files names;
  return names;
}

// Reports what the fuzzer found (visible when the saved input is run again by hand) and ends
// the input as a crash.
[[noreturn]] inline void finding(const std::string& _what) {
  std::fprintf(stderr, "finding: %s\n", _what.c_str());
  __builtin_trap();
}

inline void write_file(const std::string& _path, std::string_view _content) {
  std::ofstream out(_path, std::ios::binary | std::ios::trunc);
  out.write(_content.data(), static_cast<std::streamsize>(_content.size()));
  if (!out.flush()) {
    finding("cannot write " + _path);
  }
}

// The file's content; empty when it does not exist.
inline boost::optional<std::string> read_file(const std::string& _path) {
  std::ifstream in(_path, std::ios::binary);
  if (!in) {
    return boost::none;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The program's one-line diagnostics go to std::cerr; thousands of them per second would bury
// the fuzzer's own report.
inline void silence_standard_error() {
  class null_buffer : public std::streambuf {
   protected:
    int overflow(int _c) override { return traits_type::not_eof(_c); }
    std::streamsize xsputn(const char*, std::streamsize _count) override { return _count; }
  };
  static null_buffer buffer;
  std::cerr.rdbuf(&buffer);
}

inline std::string exit_code_text(vela::exit_code _code) {
  return std::to_string(static_cast<int>(_code));
}

// Loads arbitrary inputs: false when init rejected them as it may (it cannot open or parse
// them); any other outcome than success is a finding.
inline bool loaded(vela::application& _app) {
  const vela::exit_code result = _app.init();
  if (result == vela::exit_code::SYNC_FAILURE_OPENING_INPUT_FILE ||
      result == vela::exit_code::SYNC_FAILURE_PARSING_INPUT_FILE) {
    return false;
  }
  if (result != vela::exit_code::SYNC_SUCCESS) {
    finding("init returned " + exit_code_text(result));
  }
  return true;
}

// One input of a loader target: _bytes become the file _input, the job runs on the scratch
// files, and whatever init accepted must replay successfully; _check(app) looks at what was
// loaded before the replay.
template <class Check>
void load_and_run(const std::string& _input, std::string_view _bytes, Check&& _check) {
  write_file(_input, _bytes);
  vela::application app(files().positions, files().trackables, files().associations, 2000,
                        files().output, true);
  if (!loaded(app)) {
    return;
  }
  _check(std::as_const(app));
  const vela::exit_code ran = app.run();
  if (ran != vela::exit_code::SYNC_SUCCESS) {
    finding("run returned " + exit_code_text(ran));
  }
}
}  // namespace vela::fuzz
