// vela-bench-parse POSITIONS TRACKABLES ASSOCIATIONS: the baseline of a full run, a pass that only reads every
// line, parses it into a position and looks its object up in the trackables table. Prints
// "seconds=S lines=N known=K" on standard error.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "application.hpp"
#include "position.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vela-bench-parse POSITIONS TRACKABLES ASSOCIATIONS\n");
    return 2;
  }
  // Loads the trackables table the way a run does.
  vela::application app(argv[1], argv[2], argv[3], 0, "", true);
  if (app.init() != vela::exit_code::SYNC_SUCCESS) {
    return 1;
  }
  const auto& table = app.track_objs();

  const auto start = std::chrono::steady_clock::now();
  std::ifstream input(argv[1]);
  std::string line;
  std::uint64_t lines = 0;
  std::uint64_t known = 0;
  while (std::getline(input, line)) {
    ++lines;
    if (const auto pos = vela::position::from_csv_line(line)) {
      known += table.count(pos->obj_uid);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "seconds=%.3f lines=%llu known=%llu\n", seconds,
               static_cast<unsigned long long>(lines), static_cast<unsigned long long>(known));
  return 0;
}
