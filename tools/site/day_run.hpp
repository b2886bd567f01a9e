#pragma once
// vela-site run: a site's day replayed in process through vela's own replay, its result written
// as vela -s -o writes it, and the run stored with its provenance, exposure and counts, so that
// nothing half-made is ever left: the result's temporary file is written and synced, the store's
// transaction filled, the result renamed into place, and the transaction committed; a failed
// commit takes the renamed file away again. The inputs are never deleted.

#include <optional>
#include <string>

namespace vela::site_tool {
// Statuses beside vela's own (1 to 4), the store's (5) and the configuration's (78).
constexpr int already_stored_status = 6;

struct day_run_options {
  std::string config;
  std::string positions;
  std::string associations;
  std::optional<std::string> trackables;  // instead of the configuration's
  bool replace = false;                   // runs that overlap are replaced
};

// The whole command; its status. A configuration or a store that fails throws config_error or
// store_error, which the caller reports as every command does.
int run_day(const day_run_options& _options);
}  // namespace vela::site_tool
