// vela-bench-parse POSITIONS TRACKABLES: vela's own parse, alone. The position file read as a run
// reads it (decompressed if stored so), each line split and converted by the line rules and its
// uid looked up in the site, on one thread, and nothing else: what the reading side of a run
// costs, to hold against the tight pass. Prints "seconds=S lines=N known=K" on standard error.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "files/file_source.hpp"
#include "files/line_reader.hpp"
#include "position.hpp"
#include "site/loading.hpp"
#include "site/site.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vela-bench-parse POSITIONS TRACKABLES\n");
    return 2;
  }
  vela::site site;
  const vela::input_names names{argv[1], argv[2], ""};
  vela::plain_loading loader(site, names);
  Json::Value trackables;
  vela::input_file read;
  if (loader.get_json_message_from_file(argv[2], trackables, read) !=
          vela::exit_code::SYNC_SUCCESS ||
      loader.get_trackable_objects_from_json(trackables) != vela::exit_code::SYNC_SUCCESS) {
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  vela::file_source file;
  std::string error;
  if (!file.open(argv[1], error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  vela::line_reader reader(file, file.buffer_bytes());
  std::uint64_t lines = 0;
  std::uint64_t known = 0;
  std::string_view line;
  vela::position_view pos;
  while (reader.next(line)) {
    ++lines;
    if (!reader.cut() && !vela::position_view::parse(line, pos).rejects()) {
      known += site.find(pos.obj_uid) != vela::no_object ? 1 : 0;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "seconds=%.3f lines=%llu known=%llu\n", seconds,
               static_cast<unsigned long long>(lines), static_cast<unsigned long long>(known));
  return 0;
}
