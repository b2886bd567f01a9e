#include "common/site_time.hpp"

#include <date/tz.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/text.hpp"
#include "common/command_line.hpp"

namespace vela::tools {
namespace {
struct civil_time {
  std::tm parts{};
  int ms = 0;

  long long year() const { return static_cast<long long>(parts.tm_year) + 1900; }
};

// The date and time of ts seconds, ms milliseconds and _seconds_after more in site time; none
// when there is no such date (or no sum without overflow).
boost::optional<civil_time> to_civil(std::int64_t _ts, std::int64_t _ms,
                                     std::int64_t _seconds_after, int _offset_minutes) {
  std::int64_t seconds = 0;
  if (_ms < 0 || _ms > 999 || __builtin_add_overflow(_ts, _seconds_after, &seconds) ||
      __builtin_add_overflow(seconds, std::int64_t{_offset_minutes} * 60, &seconds)) {
    return boost::none;
  }
  civil_time time;
  time.ms = static_cast<int>(_ms);
  const auto as_time_t = static_cast<std::time_t>(seconds);
  if (static_cast<std::int64_t>(as_time_t) != seconds ||
      ::gmtime_r(&as_time_t, &time.parts) == nullptr || time.year() < 0) {
    return boost::none;
  }
  return time;
}

// "+01:00" for 60 minutes east of UTC; utc_offset_minutes() gives less than a day.
std::string offset_text(int _offset_minutes) {
  const int minutes = (_offset_minutes < 0 ? -_offset_minutes : _offset_minutes) % (24 * 60);
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", _offset_minutes < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

// The date and time with _between them, then _zone.
std::string date_text(const civil_time& _time, char _between, const std::string& _zone) {
  char text[128];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d%c%02d:%02d:%02d.%03d", _time.year(),
                _time.parts.tm_mon + 1, _time.parts.tm_mday, _between, _time.parts.tm_hour,
                _time.parts.tm_min, _time.parts.tm_sec, _time.ms);
  return text + _zone;
}
}  // namespace

boost::optional<int> utc_offset_minutes(std::string_view _text) {
  const auto digit = [&](std::size_t _at) { return _text[_at] >= '0' && _text[_at] <= '9'; };
  const bool shaped = _text.size() == 6 && (_text[0] == '+' || _text[0] == '-') && digit(1) &&
                      digit(2) && _text[3] == ':' && digit(4) && digit(5);
  if (!shaped) {
    return boost::none;
  }
  const int hours = (_text[1] - '0') * 10 + (_text[2] - '0');
  const int minutes = (_text[4] - '0') * 10 + (_text[5] - '0');
  if (hours > 23 || minutes > 59) {
    return boost::none;
  }
  return (_text[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

int utc_offset_option(std::string_view _text) {
  const boost::optional<int> minutes = utc_offset_minutes(_text);
  if (!minutes) {
    throw usage_error("--utc-offset: expected +HH:MM or -HH:MM, not '" + terminal_safe(_text) +
                      "'");
  }
  return *minutes;
}

// ---- Clocks --------------------------------------------------------------------------------

namespace {
// The seconds a zone is asked about: the years 1 to 9999, where its rules are defined.
constexpr std::int64_t earliest_s = -62135596800;
constexpr std::int64_t latest_s = 253402300799;

date::sys_info zone_info(const date::time_zone& _zone, std::int64_t _ts) {
  const std::int64_t at = std::clamp(_ts, earliest_s, latest_s);
  return _zone.get_info(date::sys_seconds{std::chrono::seconds{at}});
}
}  // namespace

site_clock site_clock::fixed(int _offset_minutes) {
  site_clock clock;
  clock.m_offset_minutes = _offset_minutes;
  return clock;
}

site_clock site_clock::zone(const std::string& _name) {
  site_clock clock;
  try {
    clock.m_zone = date::locate_zone(_name);
  } catch (const std::exception&) {  // unknown, or no database at all
    throw usage_error("--time-zone: '" + terminal_safe(_name) +
                      "' is not a zone of the system's time-zone database");
  }
  clock.m_name = _name;
  return clock;
}

int site_clock::offset_minutes_at(std::int64_t _ts) const {
  if (m_zone == nullptr) {
    return m_offset_minutes;
  }
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::minutes>(zone_info(*m_zone, _ts).offset).count());
}

std::string site_clock::suffix_at(std::int64_t _ts) const {
  if (m_zone != nullptr) {
    return zone_info(*m_zone, _ts).abbrev;
  }
  return m_offset_minutes == 0 ? "UTC" : offset_text(m_offset_minutes);
}

std::string site_clock::label() const {
  if (m_zone != nullptr) {
    return m_name;
  }
  return m_offset_minutes == 0 ? "UTC" : "UTC" + offset_text(m_offset_minutes);
}

std::vector<std::pair<std::int64_t, int>> site_clock::offsets_between(std::int64_t _from,
                                                                      std::int64_t _to) const {
  std::vector<std::pair<std::int64_t, int>> offsets = {{_from, offset_minutes_at(_from)}};
  if (m_zone == nullptr) {
    return offsets;
  }
  std::int64_t at = std::clamp(_from, earliest_s, latest_s);
  const std::int64_t until = std::clamp(_to, earliest_s, latest_s);
  while (at < until) {
    const date::sys_info info = zone_info(*m_zone, at);
    const std::int64_t next = info.end.time_since_epoch().count();
    if (next <= at || next > until) {
      break;
    }
    at = next;
    offsets.emplace_back(at, offset_minutes_at(at));
  }
  return offsets;
}

site_clock clock_option(const boost::optional<std::string>& _utc_offset,
                        const boost::optional<std::string>& _time_zone) {
  if (_utc_offset && _time_zone) {
    throw usage_error("--utc-offset and --time-zone: give one of them, not both");
  }
  if (_time_zone) {
    return site_clock::zone(*_time_zone);
  }
  return _utc_offset ? site_clock::fixed(utc_offset_option(*_utc_offset)) : site_clock();
}

std::string site_time_text(std::int64_t _ts, std::int64_t _ms, const site_clock& _clock) {
  const int offset = _clock.offset_minutes_at(_ts);
  const boost::optional<civil_time> time = to_civil(_ts, _ms, 0, offset);
  if (!time) {
    return "ts " + std::to_string(_ts) + " ms " + std::to_string(_ms);
  }
  return date_text(*time, ' ', " " + _clock.suffix_at(_ts));
}

std::string iso_time(std::int64_t _ts, std::int64_t _ms, const site_clock& _clock,
                     std::int64_t _seconds_after) {
  std::int64_t at = 0;
  const int offset =
      __builtin_add_overflow(_ts, _seconds_after, &at) ? 0 : _clock.offset_minutes_at(at);
  const boost::optional<civil_time> time = to_civil(_ts, _ms, _seconds_after, offset);
  if (!time || time->year() > 9999) {
    return "ts " + std::to_string(_ts) + " ms " + std::to_string(_ms) + " + " +
           std::to_string(_seconds_after) + " s";
  }
  return date_text(*time, 'T', offset == 0 && _clock.label() == "UTC" ? "Z" : offset_text(offset));
}

std::string site_time_text(std::int64_t _ts, std::int64_t _ms, int _offset_minutes) {
  return site_time_text(_ts, _ms, site_clock::fixed(_offset_minutes));
}

std::string iso_time(std::int64_t _ts, std::int64_t _ms, int _offset_minutes,
                     std::int64_t _seconds_after) {
  return iso_time(_ts, _ms, site_clock::fixed(_offset_minutes), _seconds_after);
}

local_moment local_moment_at(std::int64_t _ts, int _offset_minutes) {
  const std::int64_t local = _ts + std::int64_t{_offset_minutes} * 60;
  std::int64_t days = local / 86400;
  std::int64_t second = local % 86400;
  if (second < 0) {
    second += 86400;
    --days;
  }
  // The civil date of a day count since 1970-01-01, in the proleptic Gregorian calendar.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t day_of_era = z - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const std::int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const std::int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day));
  return {text, static_cast<int>(second / 60)};
}
}  // namespace vela::tools
