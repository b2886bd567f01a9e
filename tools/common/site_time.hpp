#pragma once
// The times of a recording or a result as the companions show them: in site time, UTC plus the
// offset that --utc-offset gives. A time shows as a date only when its milliseconds are 0 to
// 999 (vela orders times by seconds, then milliseconds, so 1500 ms is not 1.5 s later) and the
// date's year is at least 0; otherwise as its two numbers.

#include <boost/optional.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "timestamp.hpp"

namespace vela::tools {
// "+HH:MM" or "-HH:MM", at most 23:59, in minutes east of UTC; none when _text is not one.
boost::optional<int> utc_offset_minutes(std::string_view _text);

// The value of --utc-offset. Throws usage_error.
int utc_offset_option(std::string_view _text);

// For people: "2026-01-01 00:00:23.746 UTC", or "... +01:00" at an offset; "ts N ms M" when
// the time makes no date.
std::string site_time_text(std::int64_t _ts, std::int64_t _ms, int _offset_minutes = 0);
inline std::string site_time_text(const vela::timestamp& _time, int _offset_minutes = 0) {
  return site_time_text(_time.ts, _time.ms, _offset_minutes);
}

// ISO 8601 with milliseconds, _seconds_after added (an event's end): "2026-01-01T00:00:23.746Z"
// or "...+01:00"; "ts N ms M + S s" when the time makes no date of four digits.
std::string iso_time(std::int64_t _ts, std::int64_t _ms, int _offset_minutes = 0,
                     std::int64_t _seconds_after = 0);
}  // namespace vela::tools
