// vela-bench-replay DIR DISTANCE_MM fast|reference OUTPUT: the detection in-process on
// DIR/positions.csv, DIR/trackables.json and DIR/associations.json (kept), by the replay a run
// uses (with its streaming result) or by the plain all-pairs reference, the event document
// written to OUTPUT. Prints "seconds=S hwm_kib=M" on standard error: the time of the replay and
// the delivery of its result, and the peak memory of the process.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <json/json.h>

#include "files/file_source.hpp"
#include "files/input_file.hpp"
#include "recording/line_feed.hpp"
#include "reference/reference_replay.hpp"
#include "replay/replay.hpp"
#include "result/result.hpp"
#include "site/loading.hpp"
#include "site/site.hpp"

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

// The site's inputs loaded as a run loads them; the position file is opened by each run.
bool load(const std::string& _dir, vela::site& _site) {
  const vela::input_names names{_dir + "/positions.csv", _dir + "/trackables.json",
                                _dir + "/associations.json"};
  vela::plain_loading loader(_site, names);
  vela::loaded_files files;
  return vela::load_in_order(loader, names, files) == vela::exit_code::SYNC_SUCCESS;
}

bool run_fast(const vela::site& _site, const std::string& _positions, std::uint32_t _threshold,
              const std::string& _output) {
  vela::file_source file;
  std::string error;
  if (!file.open(_positions, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  vela::result delivery(_site, _output);
  const vela::input_file none;
  delivery.begin({&file.record(), &none, &none});
  vela::replay detection(_site, vela::run_rules{_threshold});
  // As a run reads it: on a second core where there is one.
  const bool threaded = vela::line_feed::second_core_available();
  if (threaded) {
    file.decompress_ahead();
  }
  vela::line_feed feed(file, file.buffer_bytes(), _site, threaded);
  while (const vela::line_batch* batch = feed.next()) {
    detection.feed(batch->lines, delivery);
  }
  if (!feed.counts().refusal(_positions).empty()) {
    return false;
  }
  detection.finish(delivery);
  return delivery.deliver() == vela::exit_code::SYNC_SUCCESS;
}

bool run_reference(const vela::site& _site, const std::string& _positions, std::uint32_t _threshold,
                   const std::string& _output) {
  std::ifstream positions(_positions);
  vela::reference_replay reference(_site, _threshold);
  reference.generate_alarms(positions, _positions);
  std::ofstream out(_output, std::ios::binary | std::ios::trunc);
  out << reference.document(true);
  return static_cast<bool>(out.flush());
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[3], "fast") != 0 && std::strcmp(argv[3], "reference") != 0)) {
    std::fprintf(stderr, "usage: vela-bench-replay DIR DISTANCE_MM fast|reference OUTPUT\n");
    return 2;
  }
  const std::string dir = argv[1];
  const auto threshold = static_cast<std::uint32_t>(std::stoul(argv[2]));
  vela::site site;
  if (!load(dir, site)) {
    std::fprintf(stderr, "%s: cannot load the site\n", dir.c_str());
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::string positions = dir + "/positions.csv";
  const bool done = std::strcmp(argv[3], "fast") == 0
                        ? run_fast(site, positions, threshold, argv[4])
                        : run_reference(site, positions, threshold, argv[4]);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!done) {
    return 1;
  }
  std::fprintf(stderr, "seconds=%.3f hwm_kib=%ld\n", seconds, peak_rss_kib());
  return 0;
}
