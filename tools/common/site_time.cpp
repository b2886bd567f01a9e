#include "common/site_time.hpp"

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

std::string site_time_text(std::int64_t _ts, std::int64_t _ms, int _offset_minutes) {
  const boost::optional<civil_time> time = to_civil(_ts, _ms, 0, _offset_minutes);
  if (!time) {
    return "ts " + std::to_string(_ts) + " ms " + std::to_string(_ms);
  }
  return date_text(*time, ' ', _offset_minutes == 0 ? " UTC" : " " + offset_text(_offset_minutes));
}

std::string iso_time(std::int64_t _ts, std::int64_t _ms, int _offset_minutes,
                     std::int64_t _seconds_after) {
  const boost::optional<civil_time> time = to_civil(_ts, _ms, _seconds_after, _offset_minutes);
  if (!time || time->year() > 9999) {
    return "ts " + std::to_string(_ts) + " ms " + std::to_string(_ms) + " + " +
           std::to_string(_seconds_after) + " s";
  }
  return date_text(*time, 'T', _offset_minutes == 0 ? "Z" : offset_text(_offset_minutes));
}
}  // namespace vela::tools
