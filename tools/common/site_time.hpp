#pragma once
// The times of a recording or a result as the companions show them: in site time, UTC plus the
// offset that --utc-offset gives, or the civil time of the zone --time-zone names, with its
// daylight saving time (from the system's time-zone database, through the date and time-zone
// library). A time shows as a date only when its milliseconds are 0 to 999 (vela orders times by
// seconds, then milliseconds, so 1500 ms is not 1.5 s later) and the date's year is at least 0;
// otherwise as its two numbers.

#include <boost/optional.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "timestamp.hpp"

namespace date {
class time_zone;
}  // namespace date

namespace vela::tools {
// The clock of a site: UTC, UTC plus a fixed offset, or the civil time of a zone.
class site_clock {
 public:
  site_clock() = default;  // UTC
  static site_clock fixed(int _offset_minutes);
  // An IANA zone ("Europe/Berlin"). Throws usage_error when the database does not know it.
  static site_clock zone(const std::string& _name);

  // Minutes east of UTC in effect at _ts, seconds since the epoch.
  int offset_minutes_at(std::int64_t _ts) const;
  // What a time at _ts is followed by: "UTC", "+01:00", or the zone's abbreviation ("CEST").
  std::string suffix_at(std::int64_t _ts) const;
  // "UTC", "UTC+01:00", "Europe/Berlin".
  std::string label() const;
  // The offset in effect from _from on, then each change of it until _to: (second, minutes
  // east of UTC), for a page that shows times without a time-zone database.
  std::vector<std::pair<std::int64_t, int>> offsets_between(std::int64_t _from,
                                                            std::int64_t _to) const;

 private:
  int m_offset_minutes = 0;
  const date::time_zone* m_zone = nullptr;
  std::string m_name;
};

// The clock the options give: --utc-offset or --time-zone, at most one of them; UTC without
// either. Throws usage_error.
site_clock clock_option(const boost::optional<std::string>& _utc_offset,
                        const boost::optional<std::string>& _time_zone);

// For people, in site time: "2026-03-29 03:30:00.000 CEST"; "ts N ms M" when it makes no date.
std::string site_time_text(std::int64_t _ts, std::int64_t _ms, const site_clock& _clock);
// ISO 8601 with milliseconds and the offset in effect, _seconds_after added (an event's end).
std::string iso_time(std::int64_t _ts, std::int64_t _ms, const site_clock& _clock,
                     std::int64_t _seconds_after);

// A moment in site time as a day's work counts it: the local date ("2026-03-29") and the
// minute of that day, of _ts seconds since the epoch at _offset_minutes east of UTC.
struct local_moment {
  std::string date;
  int minute_of_day = 0;
};
local_moment local_moment_at(std::int64_t _ts, int _offset_minutes);

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
