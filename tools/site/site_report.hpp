#pragma once
// vela-site report: one self-contained page of one or several sites over a period of days or
// months, made from their stores' counts (quarter hours, objects' days, density cells) and capped
// lists of events, never from every event: near misses as rates per hour of exposure, per day,
// week and month, per zone and shift, for vehicles, drivers and persons.

#include <optional>
#include <string>
#include <vector>

namespace vela::site_tool {
// The page's own status besides the store's (5) and the configuration's (78): runs of the period
// made with different settings (without --mixed-runs), or a page that cannot be written.
constexpr int report_refused_status = 1;

// How many rows the capped list of the closest approaches holds.
constexpr std::size_t listed_events = 50;
// How many objects each ranking shows; by rate only those present at least this many hours.
constexpr std::size_t ranked_objects = 20;
constexpr double ranked_from_hours = 8;

struct report_options {
  std::vector<std::string> configs;  // one per site
  std::optional<std::string> from;   // site-local dates, both included
  std::optional<std::string> to;
  std::string output;
  bool mixed_runs = false;  // runs of different settings are shown, each with its settings
  bool force = false;       // replace a file under -o that is not a page
};

// The whole command; its status.
int make_report(const report_options& _options);
}  // namespace vela::site_tool
