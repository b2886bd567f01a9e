#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vela {
// What a pass over a recording counted of its lines: enough to tell a recording whose result
// would be no result.
struct recording_counts {
  std::uint64_t lines_read = 0;
  std::uint64_t non_empty_lines = 0;
  std::uint64_t position_lines = 0;  // lines that pass the line rules, on the site or not
  std::uint64_t site_lines = 0;      // position lines naming an object of the site
  bool carriage_returns_alone = false;  // the first line passes the rules with a CR inside

  // Of the first line, when it passes the line rules.
  static bool ends_in_carriage_returns_alone(std::string_view _first_line);
  recording_counts& operator+=(const recording_counts& _more);

  // Why a recording with these counts is refused, as the one line a run ends with (status 1):
  // its lines end in carriage returns alone, not one of them is a position line, or not one
  // position line names an object of the site. Empty when it is a recording of the site.
  std::string refusal(const std::string& _file_name) const;
};
}  // namespace vela
