// vela-bench-parse POSITIONS TRACKABLES: the floor every performance goal is held against. A lean
// pass over the position file: read in large blocks, split each line into its eleven fields,
// convert the numbers as the line rules do, look the uid up in a hash table of the trackables,
// and nothing else. Prints "seconds=S lines=N known=K" on standard error.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <json/json.h>

#include "base/flat_map.hpp"
#include "files/line_reader.hpp"
#include "position.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vela-bench-parse POSITIONS TRACKABLES\n");
    return 2;
  }
  // The uids of the trackables, end to end, as the keys of a hash table.
  std::ifstream trackables(argv[2]);
  Json::Value document;
  std::string errors;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), trackables, &document, &errors)) {
    std::fprintf(stderr, "%s: %s\n", argv[2], errors.c_str());
    return 1;
  }
  std::string uids;
  std::vector<std::size_t> ends;
  for (const Json::Value& object : document["trackableObjects"]) {
    uids += object["uid"].asString();
    ends.push_back(uids.size());
  }
  vela::flat_map<std::string_view, std::uint32_t, std::hash<std::string_view>> ids;
  for (std::size_t i = 0, begin = 0; i < ends.size(); begin = ends[i++]) {
    ids.find_or_insert(std::string_view(uids).substr(begin, ends[i] - begin)) =
        static_cast<std::uint32_t>(i);
  }

  const auto start = std::chrono::steady_clock::now();
  vela::line_reader reader;
  if (!reader.open(argv[1], errors)) {
    std::fprintf(stderr, "%s\n", errors.c_str());
    return 1;
  }
  std::uint64_t lines = 0;
  std::uint64_t known = 0;
  std::string_view line;
  while (reader.next(line)) {
    ++lines;
    if (const auto pos = vela::position_view::from_csv_line(line)) {
      known += ids.find(pos->obj_uid) != nullptr ? 1 : 0;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "seconds=%.3f lines=%llu known=%llu\n", seconds,
               static_cast<unsigned long long>(lines), static_cast<unsigned long long>(known));
  return 0;
}
