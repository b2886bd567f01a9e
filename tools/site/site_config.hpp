#pragma once
// A site's configuration: one TOML file per site, every path in it relative to the file. It names
// the site (its key in the store), its threshold, its clock, its trackables, where its runs are
// remembered and its results kept, and optionally its zones, floor plan, shifts and the page's
// noise filters.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/site_time.hpp"

namespace vela::site_tool {
// Configuration errors end with this status (sysexits' EX_CONFIG).
constexpr int config_status = 78;

// A configuration that cannot be used: one line naming the file, the line and the key.
class config_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A shift: local times as minutes after midnight, on a quarter hour; one that ends before it
// starts runs past midnight and belongs to the day it started.
struct shift {
  std::string name;
  int start_min = 0;
  int end_min = 0;

  bool holds(int _minute_of_day) const;
  // The minutes it lasts, 1 to 1440.
  int length_min() const;
};

struct floor_plan_config {
  std::string image;                 // path
  std::array<double, 4> bounds{};    // site metres: left, bottom, right, top
};

// The durations at which the page's min_duration_s may cut, the edges of the duration classes.
constexpr std::array<std::int64_t, 7> duration_edges_s = {0, 1, 2, 5, 10, 30, 60};

struct site_config {
  std::string file;    // the configuration file, as given
  std::string folder;  // the folder it lies in: paths are relative to it
  std::string sha256;  // of its bytes

  std::string name;
  std::uint32_t threshold_mm = 0;
  std::string time_zone = "UTC";
  tools::site_clock clock;
  std::optional<std::string> trackables;  // path
  std::string store;                      // a path, or a postgresql:// URI
  std::string results = "results";        // folder, a path
  std::optional<std::string> zones;       // path
  std::optional<floor_plan_config> floor_plan;
  std::vector<shift> shifts;
  std::int64_t presence_gap_ms = 10000;
  double cell_m = 2;
  std::int64_t report_min_duration_s = 0;
  std::vector<std::string> report_ignore_zones;

  // The shift a local minute of the day falls in, or nullptr ("no shift").
  const shift* shift_at(int _minute_of_day) const;
  bool store_is_postgresql() const;
};

// Reads _file. VELA_STORE in _environment_store overrides the store. Throws config_error.
site_config read_site_config(const std::string& _file,
                             const std::optional<std::string>& _environment_store);

// A store's name as messages may show it: a postgresql:// URI without its password.
std::string shown_store(const std::string& _store);

// "DIR/site.toml": a commented template, for vela-site init.
std::string site_config_template();
}  // namespace vela::site_tool
