#include "explain/pair_story.hpp"

#include <algorithm>
#include <limits>

#include "base/geometry.hpp"
#include "base/progress.hpp"
#include "base/text.hpp"
#include "replay/replay.hpp"

namespace vela::explain {
namespace {
constexpr std::int64_t band_mm = 175;

// The pair as the replay leaves it at one moment.
struct snapshot {
  bool positioned[2] = {false, false};
  std::int32_t x[2] = {0, 0};
  std::int32_t y[2] = {0, 0};
  bool driving[2] = {false, false};
  bool partners = false;  // one names the other: driver and vehicle of one association
  bool open = false;
  bool desensitized = false;
  bool to_write = false;
};

class narrator {
 public:
  narrator(const site& _site, std::uint32_t _threshold_mm, object_id _a, object_id _b)
      : m_site(_site), m_threshold_mm(_threshold_mm), m_ids{_a, _b} {
    m_story.a = _a;
    m_story.b = _b;
    m_story.threshold_mm = _threshold_mm;
    const auto lists = [&](object_id _owner, object_id _other) {
      const std::vector<object_id>& list = _site.object(_owner).no_alarm;
      return std::binary_search(list.begin(), list.end(), _other);
    };
    if (lists(_a, _b) || lists(_b, _a)) {
      const object_id owner = lists(_a, _b) ? _a : _b;
      m_story.silence = "silenced: the no-alarm list of " + uid(owner) + " names " +
                        uid(owner == _a ? _b : _a) + ", so the pair never raises an event";
    }
  }

  // After a line of either object (_line), or at the end (nullptr).
  void observe(const replay& _replay, const fed_line* _line) {
    const snapshot now = take(_replay);
    if (_line == nullptr) {
      end(now);
      m_before = now;
      return;
    }
    story_row row;
    row.time = _line->timestamp;
    row.moved = _line->id;
    for (int k = 0; k < 2; ++k) {
      row.positioned[k] = now.positioned[k];
      row.x[k] = now.x[k];
      row.y[k] = now.y[k];
    }
    if (now.positioned[0] && now.positioned[1]) {
      row.distance_mm = planar_distance(now);
    }
    std::vector<std::string> changes;
    narrate(now, row, changes);
    row.state = state_of(now);
    row.desensitized = now.desensitized;
    row.event = now.open && current() != nullptr ? current()->number : 0;
    if (current() != nullptr && row.distance_mm >= 0 && now.open) {
      m_current_closest = std::min<std::int64_t>(m_current_closest, row.distance_mm);
    }
    for (const std::string& change : changes) {
      row.change += (row.change.empty() ? "" : "; ") + change;
    }
    m_story.rows.push_back(std::move(row));
    m_before = now;
  }

  // The events vela wrote for the pair: the final state of the story's events.
  void written(const event_record& _event) {
    const bool ours = (_event.objects[0] == m_ids[0] && _event.objects[1] == m_ids[1]) ||
                      (_event.objects[0] == m_ids[1] && _event.objects[1] == m_ids[0]);
    if (!ours) {
      return;
    }
    for (story_event& event : m_story.events) {
      if (event.start == _event.timestamp && !event.written) {
        event.written = true;
        event.skip_reason.clear();
        event.duration_s = _event.duration;
        event.distance_mm = _event.distance;
        return;
      }
    }
  }

  pair_story finish(const timestamp& _latest) {
    for (story_event& event : m_story.events) {
      if (!event.written) {
        if (event.skip_reason.empty()) {
          event.skip_reason = "never written";
        }
        if (!event.closed) {
          event.duration_s = timestamp::delta_s(event.start, _latest);
        }
      }
    }
    return std::move(m_story);
  }

 private:
  snapshot take(const replay& _replay) const {
    snapshot now;
    for (int k = 0; k < 2; ++k) {
      const hot_object& hot = _replay.hot(m_ids[k]);
      now.positioned[k] = hot.positioned;
      now.x[k] = hot.x;
      now.y[k] = hot.y;
      now.driving[k] = hot.driving;
    }
    now.partners =
        _replay.hot(m_ids[0]).named == m_ids[1] || _replay.hot(m_ids[1]).named == m_ids[0];
    const event_store::pair_view view = _replay.events().find(m_ids[0], m_ids[1]);
    now.open = view.open;
    now.desensitized = view.desensitized;
    now.to_write = view.to_write;
    return now;
  }

  static std::int64_t planar_distance(const snapshot& _now) {
    return planar_distance_mm(_now.x[0], _now.y[0], _now.x[1], _now.y[1]);
  }

  bool driver_rule(const snapshot& _now) const {
    return _now.partners || _now.driving[0] || _now.driving[1];
  }

  pair_state state_of(const snapshot& _now) const {
    if (!m_story.silence.empty()) {
      return pair_state::no_alarm;
    }
    if (!_now.positioned[0] || !_now.positioned[1]) {
      return pair_state::not_positioned;
    }
    if (_now.partners) {
      return pair_state::driver_and_vehicle;
    }
    if (_now.driving[0] || _now.driving[1]) {
      return pair_state::driver;
    }
    if (_now.open) {
      return _now.to_write ? pair_state::event_open : pair_state::event_not_written;
    }
    return _now.desensitized ? pair_state::desensitized : pair_state::no_event;
  }

  std::string uid(object_id _id) const { return terminal_safe(m_site.object(_id).uid, 80); }

  // Why the driver rule holds, in words.
  std::string driver_reason(const snapshot& _now) const {
    if (_now.partners) {
      return uid(m_ids[0]) + " and " + uid(m_ids[1]) +
             " are driver and vehicle of one association";
    }
    const object_id driver = _now.driving[0] ? m_ids[0] : m_ids[1];
    return uid(driver) + " drives a vehicle, and a driver raises no event while driving";
  }

  void narrate(const snapshot& _now, story_row& _row, std::vector<std::string>& _changes) {
    const snapshot& before = m_before;
    const bool positioned = _now.positioned[0] && _now.positioned[1];
    if (positioned && !(before.positioned[0] && before.positioned[1])) {
      _changes.push_back(m_story.silence.empty()
                             ? "both positioned: the pair is evaluated from here on"
                             : m_story.silence);
    }
    if (!m_story.silence.empty()) {
      return;
    }
    narrate_associations(before, _now, _changes);
    const std::int64_t threshold = m_threshold_mm;
    const std::int64_t distance = _row.distance_mm;
    if (!before.open && _now.open) {
      if (_now.to_write) {
        open_event(_row.time, true, "");
        _changes.push_back("event " + std::to_string(current()->number) + " opens: " +
                           std::to_string(distance) + " mm is within the threshold of " +
                           std::to_string(threshold) + " mm" +
                           (before.desensitized
                                ? " and, the pair being desensitized, " +
                                      std::to_string(threshold - band_mm) + " mm or less"
                                : ""));
      } else if (!driver_rule(_now)) {
        const std::string reason =
            "within five minutes of an ended association on a first position: " +
            uid(_row.moved) + "'s first line comes less than five minutes after its " +
            "association with " + uid(_row.moved == m_ids[0] ? m_ids[1] : m_ids[0]) + " ended";
        open_event(_row.time, false, reason);
        _changes.push_back("event " + std::to_string(current()->number) +
                           " opens but is never written: " + reason);
      } else {
        m_open = -1;  // the driver rule's own event, never written, not told
      }
    } else if (before.open && _now.open && before.to_write && !_now.to_write &&
               current() != nullptr) {
      const std::string reason = driver_rule(_now)
                                     ? driver_reason(_now)
                                     : "an association started for the driver of this pair";
      current()->skip_reason = reason;
      _changes.push_back("event " + std::to_string(current()->number) +
                         " will not be written: " + reason);
    }
    if (before.open && !_now.open) {
      const std::int64_t limit = before.desensitized ? threshold + band_mm : threshold;
      std::string what = current() != nullptr ? "event " + std::to_string(current()->number)
                                              : std::string("the skipped event");
      _changes.push_back(what + " closes: " + std::to_string(distance) + " mm is beyond " +
                         (before.desensitized ? "the threshold and its band, " : "the threshold, ") +
                         std::to_string(limit) + " mm" +
                         (before.desensitized ? " or more" : ""));
      if (current() != nullptr) {
        current()->closed = true;
        current()->end = _row.time;
        current()->duration_s =
            std::max<std::int64_t>(timestamp::delta_s(current()->start, _row.time), 1);
        current()->distance_mm = static_cast<std::uint32_t>(
            std::min<std::int64_t>(m_current_closest, current()->distance_mm));
        m_open = -1;
      }
    }
    if (!before.open && !_now.open && before.desensitized != _now.desensitized && positioned) {
      _changes.push_back(_now.desensitized
                             ? "desensitized: the next event opens only at " +
                                   std::to_string(threshold - band_mm) + " mm or less"
                             : "no longer desensitized");
    }
  }

  void narrate_associations(const snapshot& _before, const snapshot& _now,
                            std::vector<std::string>& _changes) const {
    for (int k = 0; k < 2; ++k) {
      if (_before.driving[k] != _now.driving[k]) {
        _changes.push_back(uid(m_ids[k]) + (_now.driving[k] ? " starts driving: " : " stops driving: ") +
                           (_now.driving[k] ? "while it drives, its pairs raise no event"
                                            : "its pairs are evaluated again"));
      }
    }
    if (_before.partners != _now.partners) {
      _changes.push_back(_now.partners
                             ? uid(m_ids[0]) + " and " + uid(m_ids[1]) +
                                   " become driver and vehicle of one association"
                             : uid(m_ids[0]) + " and " + uid(m_ids[1]) +
                                   " are no longer driver and vehicle");
    }
  }

  story_event* current() { return m_open < 0 ? nullptr : &m_story.events[m_open]; }

  void open_event(const timestamp& _start, bool _to_write, const std::string& _reason) {
    story_event event;
    event.number = static_cast<int>(m_story.events.size()) + 1;
    event.start = _start;
    event.skip_reason = _to_write ? "" : _reason;
    event.distance_mm = std::numeric_limits<std::uint32_t>::max();
    m_story.events.push_back(event);
    m_open = static_cast<int>(m_story.events.size()) - 1;
    m_current_closest = std::numeric_limits<std::int64_t>::max();
  }

  // At the end: associations that start after the last line mark their drivers' open events.
  void end(const snapshot& _now) {
    if (current() != nullptr && m_before.to_write && !_now.to_write) {
      current()->skip_reason =
          "an association that starts after the last line makes a driver of one of the two";
    }
    if (current() != nullptr && !current()->closed) {
      current()->distance_mm = static_cast<std::uint32_t>(
          std::min<std::int64_t>(m_current_closest, current()->distance_mm));
    }
  }

  const site& m_site;
  std::uint32_t m_threshold_mm;
  object_id m_ids[2];
  pair_story m_story;
  snapshot m_before;
  int m_open = -1;  // the told event open now, by its place in the story's events
  std::int64_t m_current_closest = 0;
};
}  // namespace

const char* state_text(pair_state _state) {
  switch (_state) {
    case pair_state::not_positioned:
      return "not both positioned";
    case pair_state::no_alarm:
      return "silenced by a no-alarm list";
    case pair_state::driver:
      return "skipped: a driver takes part";
    case pair_state::driver_and_vehicle:
      return "skipped: driver and vehicle";
    case pair_state::no_event:
      return "no event";
    case pair_state::desensitized:
      return "no event, desensitized";
    case pair_state::event_open:
      return "event open";
    case pair_state::event_not_written:
      return "event open, not written";
  }
  return "";
}

bool lasts_into(const story_event& _event, const timestamp& _from, const timestamp& _to) {
  const timestamp end(_event.start.ts + std::max<std::int64_t>(_event.duration_s, 0),
                      _event.start.ms);
  return _from <= end && _event.start <= _to;
}

pair_story tell(const site& _site, std::uint32_t _threshold_mm, line_reader& _reader, object_id _a,
                object_id _b) {
  narrator teller(_site, _threshold_mm, _a, _b);
  replay detection(_site, _threshold_mm);
  detection.watch(_a, _b, [&](const fed_line* _line) { teller.observe(detection, _line); });
  progress report(_reader.source().name);
  detection.run(_reader, report, [&](const event_record& _event) { teller.written(_event); });
  return teller.finish(detection.latest());
}
}  // namespace vela::explain
