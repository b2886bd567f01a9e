// vela-bench-replay DIR DISTANCE_MM candidates|all_pairs OUTPUT: the whole job in-process on
// DIR/positions.csv, DIR/trackables.json and DIR/associations.json (kept), with the chosen pair
// selection, the result written to OUTPUT. Prints "seconds=S replay_hwm_kib=M" on standard
// error: the replay's time and the peak memory reached before the output is built.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "application.hpp"

namespace {
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[3], "candidates") != 0 &&
                    std::strcmp(argv[3], "all_pairs") != 0)) {
    std::fprintf(stderr, "usage: vela-bench-replay DIR DISTANCE_MM candidates|all_pairs OUTPUT\n");
    return 2;
  }
  const std::string dir = argv[1];
  vela::application app(dir + "/positions.csv", dir + "/trackables.json",
                        dir + "/associations.json", std::stoul(argv[2]), argv[4], true);
  if (std::strcmp(argv[3], "all_pairs") == 0) {
    app.set_pair_selection(vela::application::pair_selection::all_pairs);
  }
  if (app.init() != vela::exit_code::SYNC_SUCCESS) {
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  app.generate_alarms();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long hwm = peak_rss_kib();
  if (app.save_event_file() != vela::exit_code::SYNC_SUCCESS) {
    return 1;
  }
  std::fprintf(stderr, "seconds=%.3f replay_hwm_kib=%ld\n", seconds, hwm);
  return 0;
}
