#include "explain/story_page.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/site_time.hpp"
#include "common/web_text.hpp"

namespace vela::explain {
namespace {
constexpr double width = 960;
constexpr double height = 320;
constexpr double left = 56;  // room for the distance axis
constexpr double right = 16;
constexpr double top = 16;
constexpr double bottom = 56;  // room for the time axis and the silencing strip
constexpr double strip = 10;   // height of the silencing strip, under the plot

std::string number(double _value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", _value);
  return text;
}

double seconds_of(const timestamp& _time) {
  return static_cast<double>(_time.ts) + static_cast<double>(_time.ms) / 1000.0;
}

const char* silence_class(pair_state _state) {
  switch (_state) {
    case pair_state::no_alarm:
      return "no-alarm";
    case pair_state::driver:
      return "driver";
    case pair_state::driver_and_vehicle:
      return "partners";
    case pair_state::event_not_written:
      return "not-written";
    default:
      return nullptr;
  }
}

// The distance at the top of the close-up: the threshold and a few metres beyond it.
constexpr double close_up_beyond_mm = 3000;

// A silencing state in the legend: the strip's colour (as the style gives it) and its words.
std::pair<const char*, const char*> legend_entry(pair_state _state) {
  switch (_state) {
    case pair_state::no_alarm:
      return {"#6a3d9a", "no-alarm list"};
    case pair_state::driver:
      return {"#1b9e77", "a driver takes part"};
    case pair_state::driver_and_vehicle:
      return {"#66a61e", "driver and vehicle"};
    default:
      return {"#999", state_text(_state)};
  }
}

class chart {
 public:
  // The whole span of the distances in the window.
  chart(const pair_story& _story, std::size_t _first, std::size_t _last)
      : m_story(_story), m_first(_first), m_last(_last) {
    m_t0 = seconds_of(_story.rows[_first].time);
    m_t1 = std::max(seconds_of(_story.rows[_last - 1].time), m_t0 + 1);
    double top_mm = static_cast<double>(_story.rules.band_top_mm()) * 1.5;
    for (std::size_t k = _first; k < _last; ++k) {
      top_mm = std::max(top_mm, static_cast<double>(_story.rows[k].distance_mm));
    }
    m_top_mm = std::max(top_mm, 1000.0);
  }

  // The close-up: 0 to the threshold and a few metres, the distances beyond cut off at its top.
  chart close_up() const {
    chart view = *this;
    view.m_top_mm = close_up_top_mm();
    view.m_close_up = true;
    return view;
  }

  // Worth a close-up: the pair came within the band, which the whole span draws too thin.
  bool wants_close_up() const {
    const std::int64_t band_top = m_story.rules.band_top_mm();
    bool within = false;
    for (std::size_t k = m_first; k < m_last && !within; ++k) {
      within = m_story.rows[k].distance_mm >= 0 && m_story.rows[k].distance_mm < band_top;
    }
    return within && m_top_mm > close_up_top_mm();
  }

  double top_mm() const { return m_top_mm; }

  // What the chart draws, for its legend.
  struct drawn {
    bool distance = false;
    bool written = false;
    bool skipped = false;
    std::vector<pair_state> silences;
  };
  drawn what_is_drawn() const {
    drawn found;
    for (const pair_state state : {pair_state::driver, pair_state::driver_and_vehicle,
                                   pair_state::no_alarm, pair_state::event_not_written}) {
      for (std::size_t k = m_first; k < m_last; ++k) {
        if (m_story.rows[k].state == state) {
          found.silences.push_back(state);
          break;
        }
      }
    }
    for (std::size_t k = m_first; k < m_last && !found.distance; ++k) {
      found.distance = m_story.rows[k].distance_mm >= 0;
    }
    for (const story_event& event : m_story.events) {
      if (shown(event)) {
        (event.written ? found.written : found.skipped) = true;
      }
    }
    return found;
  }

  double x(double _seconds) const {
    const double share = (std::clamp(_seconds, m_t0, m_t1) - m_t0) / (m_t1 - m_t0);
    return left + share * (width - left - right);
  }
  double y(double _mm) const {
    // The close-up's line goes on beyond its top, where the plot area cuts it.
    const double mm = m_close_up ? _mm : std::min(_mm, m_top_mm);
    return top + (1 - mm / m_top_mm) * (height - top - bottom);
  }

  void write(std::ostream& _out) const {
    if (m_close_up) {
      _out << "<svg id=\"distance-close-up\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 "
           << width << ' ' << height
           << "\" role=\"img\" aria-label=\"Distance over time, close to the threshold\">\n";
    } else {
      _out << "<svg id=\"distance-chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 "
           << width << ' ' << height << "\" role=\"img\" aria-label=\"Distance over time\">\n";
    }
    const double threshold = m_story.rules.threshold_mm;
    const double band_bottom = static_cast<double>(m_story.rules.band_bottom_mm());
    const double band_top = static_cast<double>(m_story.rules.band_top_mm());
    // The band around the threshold, then the threshold itself.
    _out << "<rect class=\"band\" x=\"" << left << "\" y=\"" << number(y(band_top))
         << "\" width=\"" << width - left - right << "\" height=\""
         << number(y(std::max(band_bottom, 0.0)) - y(band_top)) << "\"><title>the band: "
         << band_bottom << " to " << band_top << " mm</title></rect>\n";
    _out << "<line class=\"threshold\" x1=\"" << left << "\" x2=\"" << width - right << "\" y1=\""
         << number(y(threshold)) << "\" y2=\"" << number(y(threshold)) << "\"><title>threshold "
         << threshold << " mm</title></line>\n";
    write_events(_out);
    write_silences(_out);
    write_distance(_out);
    write_axes(_out);
    _out << "</svg>\n";
  }

 private:
  double close_up_top_mm() const {
    return static_cast<double>(m_story.rules.threshold_mm) + close_up_beyond_mm;
  }

  bool shown(const story_event& _event) const {
    const double start = seconds_of(_event.start);
    const double end = start + static_cast<double>(std::max<std::int64_t>(_event.duration_s, 0));
    return !(end < m_t0 || start > m_t1);
  }

  void write_events(std::ostream& _out) const {
    for (const story_event& event : m_story.events) {
      if (!shown(event)) {
        continue;
      }
      const double start = seconds_of(event.start);
      const double end = start + static_cast<double>(std::max<std::int64_t>(event.duration_s, 0));
      const double x0 = x(start);
      _out << "<rect class=\"event " << (event.written ? "written" : "skipped")
           << "\" data-event=\"" << event.number << "\" x=\"" << number(x0) << "\" y=\"" << top
           << "\" width=\"" << number(std::max(x(end) - x0, 1.0)) << "\" height=\""
           << height - top - bottom << "\"><title>event " << event.number << ", "
           << (event.written ? "written" : "skipped: " + tools::html_text(event.skip_reason))
           << ", " << event.duration_s << " s, closest " << event.distance_mm
           << " mm</title></rect>\n";
    }
  }

  // Spans in which the pair is silenced, as a strip under the plot: from the line that began one
  // to the line that ended it.
  void write_silences(std::ostream& _out) const {
    const double strip_y = height - bottom + 4;
    std::size_t k = m_first;
    while (k < m_last) {
      const char* kind = silence_class(m_story.rows[k].state);
      std::size_t end = k + 1;
      while (end < m_last && silence_class(m_story.rows[end].state) == kind) {
        ++end;
      }
      if (kind != nullptr) {
        const double x0 = x(seconds_of(m_story.rows[k].time));
        const double x1 = end < m_last ? x(seconds_of(m_story.rows[end].time)) : width - right;
        _out << "<rect class=\"silence " << kind << "\" x=\"" << number(x0) << "\" y=\"" << strip_y
             << "\" width=\"" << number(std::max(x1 - x0, 1.0)) << "\" height=\"" << strip
             << "\"><title>" << state_text(m_story.rows[k].state) << "</title></rect>\n";
      }
      k = end;
    }
  }

  void write_distance(std::ostream& _out) const {
    std::string points;
    for (std::size_t k = m_first; k < m_last; ++k) {
      const story_row& row = m_story.rows[k];
      if (row.distance_mm < 0) {
        continue;
      }
      points += number(x(seconds_of(row.time))) + "," +
                number(y(static_cast<double>(row.distance_mm))) + " ";
    }
    if (m_close_up) {  // cut at the plot's edges
      _out << "<svg class=\"plot-area\" x=\"" << left << "\" y=\"" << top << "\" width=\""
           << width - left - right << "\" height=\"" << height - top - bottom
           << "\" overflow=\"hidden\" viewBox=\"" << left << ' ' << top << ' '
           << width - left - right << ' ' << height - top - bottom << "\">";
    }
    _out << "<polyline class=\"distance\" points=\"" << points << "\"/>\n";
    if (m_close_up) {
      _out << "</svg>\n";
    }
  }

  void write_axes(std::ostream& _out) const {
    // The close-up in whole metres, so that the threshold reads off it; the whole span in fourths.
    const int metres = static_cast<int>(std::ceil(m_top_mm / 6000));
    const int ticks = m_close_up ? static_cast<int>(m_top_mm / 1000 / metres) : 4;
    for (int k = 0; k <= ticks; ++k) {
      const double mm = m_close_up ? 1000.0 * metres * k : m_top_mm * k / 4;
      _out << "<text class=\"axis\" x=\"" << left - 6 << "\" y=\"" << number(y(mm) + 4)
           << "\" text-anchor=\"end\">" << number(mm / 1000) << " m</text>\n";
    }
    const double axis_y = height - bottom + strip + 22;
    for (int k = 0; k <= 4; ++k) {
      const double seconds = m_t0 + (m_t1 - m_t0) * k / 4;
      const auto whole = static_cast<std::int64_t>(seconds);
      std::string text = tools::site_time_text(whole, 0);
      text = text.substr(11, 8);  // the time of day, in UTC
      const char* anchor = k == 0 ? "start" : k == 4 ? "end" : "middle";
      _out << "<text class=\"axis\" x=\"" << number(x(seconds)) << "\" y=\"" << axis_y
           << "\" text-anchor=\"" << anchor << "\">" << text << "</text>\n";
    }
  }

  const pair_story& m_story;
  std::size_t m_first;
  std::size_t m_last;
  double m_t0 = 0;
  double m_t1 = 1;
  double m_top_mm = 1;
  bool m_close_up = false;
};

std::string object_text(const site& _site, object_id _id) {
  const site_object& obj = _site.object(_id);
  return tools::html_text(obj.uid) + " (" + tools::html_text(obj.name) + ", " +
         (obj.category == category::person ? "person" : "vehicle") + ")";
}
}  // namespace

void write_story_page(std::ostream& _out, const site& _site, const pair_story& _story,
                      std::size_t _first, std::size_t _last, const std::string& _generator) {
  const std::string a = object_text(_site, _story.a);
  const std::string b = object_text(_site, _story.b);
  _out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
          "style-src 'unsafe-inline'\">\n"
       << "<title>" << tools::html_text(_site.object(_story.a).uid) << " and "
       << tools::html_text(_site.object(_story.b).uid) << ": why, or why not</title>\n<style>\n"
       << "body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }\n"
       << "svg { width: 100%; max-width: 960px; height: auto; background: #fff; }\n"
       << ".band { fill: #f4d9a6; opacity: .6; } .threshold { stroke: #b35c00; "
          "stroke-width: 1.5; }\n"
       << ".distance { fill: none; stroke: #1f4e8c; stroke-width: 1.5; }\n"
       << ".event.written { fill: #d9534f; opacity: .25; } .event.skipped { fill: #888; "
          "opacity: .25; }\n"
       << ".silence.no-alarm { fill: #6a3d9a; } .silence.driver { fill: #1b9e77; }\n"
       << ".silence.partners { fill: #66a61e; } .silence.not-written { fill: #999; }\n"
       << ".axis { font-size: 11px; fill: #555; } .legend span { display: inline-block; "
          "width: 1em; height: .8em; margin: 0 .3em 0 1em; }\n"
       << "table { border-collapse: collapse; margin-top: 1em; } td, th { border-bottom: 1px "
          "solid #ddd; padding: .2em .6em; text-align: left; vertical-align: top; }\n"
       << "</style>\n</head>\n<body>\n";
  _out << "<h1>" << a << " and " << b << "</h1>\n";
  _out << "<p id=\"threshold\">Threshold " << _story.rules.threshold_mm << " mm; band "
       << _story.rules.band_bottom_mm() << " to " << _story.rules.band_top_mm() << " mm. " << (_last - _first) << " lines from "
       << tools::site_time_text(_story.rows[_first].time) << " to "
       << tools::site_time_text(_story.rows[_last - 1].time) << ".</p>\n";
  if (!_story.silence.empty()) {
    _out << "<p class=\"silence-note\">" << tools::html_text(_story.silence) << "</p>\n";
  }
  const chart whole(_story, _first, _last);
  whole.write(_out);
  if (whole.wants_close_up()) {
    const chart near = whole.close_up();
    _out << "<p id=\"close-up-note\">Close to the threshold: 0 to " << number(near.top_mm() / 1000)
         << " m, where the whole span of " << number(whole.top_mm() / 1000)
         << " m leaves the band a thin line.</p>\n";
    near.write(_out);
  }
  // Only what the charts draw.
  const chart::drawn drawn = whole.what_is_drawn();
  _out << "<p class=\"legend\">";
  if (drawn.distance) {
    _out << "<span style=\"background:#1f4e8c\"></span>distance";
  }
  _out << "<span style=\"background:#b35c00\"></span>threshold"
       << "<span style=\"background:#f4d9a6\"></span>band";
  if (drawn.written) {
    _out << "<span style=\"background:#d9534f\"></span>event written";
  }
  if (drawn.skipped) {
    _out << "<span style=\"background:#888\"></span>event skipped";
  }
  for (const pair_state state : drawn.silences) {
    const auto [colour, text] = legend_entry(state);
    _out << "<span style=\"background:" << colour << "\"></span>" << text;
  }
  _out << "</p>\n";
  _out << "<h2>Events</h2>\n<table id=\"events\"><thead><tr><th>Event</th><th>Start</th>"
          "<th>Duration</th><th>Closest</th><th>In the result</th></tr></thead><tbody>\n";
  for (const story_event& event : _story.events) {
    if (!lasts_into(event, _story.rows[_first].time, _story.rows[_last - 1].time)) {
      continue;
    }
    _out << "<tr class=\"" << (event.written ? "written" : "skipped") << "\"><td>" << event.number
         << "</td><td>" << tools::site_time_text(event.start) << "</td><td>" << event.duration_s
         << " s</td><td>" << event.distance_mm << " mm</td><td>"
         << (event.written ? "written" : "skipped: " + tools::html_text(event.skip_reason))
         << "</td></tr>\n";
  }
  _out << "</tbody></table>\n<h2>What changed, and why</h2>\n<table id=\"changes\"><thead><tr>"
          "<th>Time</th><th>Moved</th><th>Distance</th><th>State after</th><th>Why</th></tr>"
          "</thead><tbody>\n";
  for (std::size_t k = _first; k < _last; ++k) {
    const story_row& row = _story.rows[k];
    if (row.change.empty()) {
      continue;
    }
    _out << "<tr><td>" << tools::site_time_text(row.time) << "</td><td>"
         << tools::html_text(_site.object(row.moved).uid) << "</td><td>"
         << (row.distance_mm < 0 ? std::string("-") : std::to_string(row.distance_mm) + " mm")
         << "</td><td>" << state_text(row.state) << "</td><td>" << tools::html_text(row.change)
         << "</td></tr>\n";
  }
  _out << "</tbody></table>\n<p class=\"made\">Made by " << tools::html_text(_generator)
       << " from vela's own replay.</p>\n</body>\n</html>\n";
}
}  // namespace vela::explain
