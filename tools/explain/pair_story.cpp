#include "explain/pair_story.hpp"

#include <algorithm>
#include <limits>

#include "base/geometry.hpp"
#include "base/progress.hpp"
#include "base/text.hpp"
#include "exception.hpp"
#include "recording/line_feed.hpp"
#include "replay/replay.hpp"

namespace vela::explain {
namespace {
// Puts what the replay tells of the pair in words: a row per line of either object, and the
// pair's events. It holds the facts of the last line to tell what changed since, and the
// decisions taken since then to tell why.
class narrator : public pair_observer, public event_sink {
 public:
  narrator(const site& _site, const run_rules& _rules, object_id _a, object_id _b)
      : m_site(_site), m_ids{_a, _b} {
    m_story.a = _a;
    m_story.b = _b;
    m_story.rules = _rules;
  }

  void decided(const pair_decision_facts& _decision) override {
    m_decisions.push_back(_decision);
  }

  void line_done(const fed_line& _line, const pair_facts& _now) override {
    if (_now.silenced_by != no_object && m_story.silence.empty()) {
      const object_id owner = _now.silenced_by;
      m_story.silence = "silenced: the no-alarm list of " + uid(owner) + " names " +
                        uid(owner == m_ids[0] ? m_ids[1] : m_ids[0]) +
                        ", so the pair never raises an event";
    }
    story_row row;
    row.time = _line.timestamp;
    row.moved = _line.id;
    for (int k = 0; k < 2; ++k) {
      row.positioned[k] = _now.positioned[k];
      row.x[k] = _now.x[k];
      row.y[k] = _now.y[k];
    }
    if (_now.positioned[0] && _now.positioned[1]) {
      row.distance_mm = planar_distance_mm(_now.x[0], _now.y[0], _now.x[1], _now.y[1]);
    }
    std::vector<std::string> changes;
    narrate(_now, row, changes);
    row.state = state_of(_now);
    row.desensitized = _now.desensitized;
    row.event = _now.open && current() != nullptr ? current()->number : 0;
    if (current() != nullptr && row.distance_mm >= 0 && _now.open) {
      m_current_closest = std::min<std::int64_t>(m_current_closest, row.distance_mm);
    }
    for (const std::string& change : changes) {
      row.change += (row.change.empty() ? "" : "; ") + change;
    }
    m_story.rows.push_back(std::move(row));
    m_before = _now;
    m_decisions.clear();
  }

  void lines_ended() override { m_decisions.clear(); }

  // At the end: associations that start after the last line mark their drivers' open events.
  void replay_ended(const pair_facts& /*_now*/) override {
    if (current() != nullptr && marked() != nullptr) {
      current()->skip_reason =
          "an association that starts after the last line makes a driver of one of the two";
    }
    if (current() != nullptr && !current()->closed) {
      current()->distance_mm = static_cast<std::uint32_t>(
          std::min<std::int64_t>(m_current_closest, current()->distance_mm));
    }
    m_decisions.clear();
  }

  // The events vela writes for the pair: the final state of the story's events.
  void event_final(const event_record& _event) override {
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
  void run_committed() override {}
  void run_abandoned() override {}

  pair_story finish(const timestamp& _latest) {
    for (story_event& event : m_story.events) {
      if (!event.written) {
        if (event.skip_reason.empty()) {
          event.skip_reason = "never written";
        }
        if (!event.closed) {
          event.duration_s = run_rules::open_duration_s(event.start, _latest);
        }
      }
    }
    return std::move(m_story);
  }

 private:
  // The decision of a kind taken since the last line, if any.
  const pair_decision_facts* decision(pair_decision _what) const {
    for (const pair_decision_facts& taken : m_decisions) {
      if (taken.what == _what) {
        return &taken;
      }
    }
    return nullptr;
  }
  const pair_decision_facts* opening() const {
    for (const pair_decision what : {pair_decision::opened, pair_decision::opened_unwritten,
                                     pair_decision::opened_by_driver}) {
      if (const pair_decision_facts* taken = decision(what)) {
        return taken;
      }
    }
    return nullptr;
  }
  const pair_decision_facts* marked() const {
    for (const pair_decision what :
         {pair_decision::marked_for_partners, pair_decision::marked_for_driver,
          pair_decision::marked_for_association}) {
      if (const pair_decision_facts* taken = decision(what)) {
        return taken;
      }
    }
    return nullptr;
  }

  pair_state state_of(const pair_facts& _now) const {
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

  // Why an open event will not be written, in words: who drives, as the line left the pair.
  std::string driver_reason(const pair_facts& _now) const {
    if (_now.partners) {
      return uid(m_ids[0]) + " and " + uid(m_ids[1]) +
             " are driver and vehicle of one association";
    }
    const object_id driver = _now.driving[0] ? m_ids[0] : m_ids[1];
    return uid(driver) + " drives a vehicle, and a driver raises no event while driving";
  }
  std::string marking_reason(const pair_decision_facts& _marked, const pair_facts& _now) const {
    const bool someone_drives = _now.partners || _now.driving[0] || _now.driving[1];
    if (_marked.what == pair_decision::marked_for_association && !someone_drives) {
      return "an association started for the driver of this pair";
    }
    return driver_reason(_now);
  }

  void narrate(const pair_facts& _now, story_row& _row, std::vector<std::string>& _changes) {
    const pair_facts& before = m_before;
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
    const run_rules& rules = m_story.rules;
    if (const pair_decision_facts* opened = opening()) {
      if (opened->what == pair_decision::opened) {
        open_event(_row.time, true, "");
        _changes.push_back("event " + std::to_string(current()->number) + " opens: " +
                           std::to_string(opened->distance_mm) + " mm is within the threshold of " +
                           std::to_string(rules.threshold_mm) + " mm" +
                           (opened->desensitized_before
                                ? " and, the pair being desensitized, " +
                                      std::to_string(rules.band_bottom_mm()) + " mm or less"
                                : ""));
      } else if (opened->what == pair_decision::opened_unwritten) {
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
    } else if (const pair_decision_facts* marking = marked();
               marking != nullptr && _now.open && current() != nullptr) {
      const std::string reason = marking_reason(*marking, _now);
      current()->skip_reason = reason;
      _changes.push_back("event " + std::to_string(current()->number) +
                         " will not be written: " + reason);
    }
    if (const pair_decision_facts* closed = decision(pair_decision::closed)) {
      const std::int64_t limit =
          closed->desensitized_before ? rules.band_top_mm() : rules.threshold_mm;
      std::string what = current() != nullptr ? "event " + std::to_string(current()->number)
                                              : std::string("the skipped event");
      _changes.push_back(what + " closes: " + std::to_string(closed->distance_mm) +
                         " mm is beyond " +
                         (closed->desensitized_before ? "the threshold and its band, "
                                                      : "the threshold, ") +
                         std::to_string(limit) + " mm" +
                         (closed->desensitized_before ? " or more" : ""));
      if (current() != nullptr) {
        current()->closed = true;
        current()->end = _row.time;
        current()->duration_s = run_rules::closed_duration_s(current()->start, _row.time);
        current()->distance_mm = static_cast<std::uint32_t>(
            std::min<std::int64_t>(m_current_closest, current()->distance_mm));
        m_open = -1;
      }
    }
    if (!before.open && !_now.open && before.desensitized != _now.desensitized && positioned) {
      _changes.push_back(_now.desensitized
                             ? "desensitized: the next event opens only at " +
                                   std::to_string(rules.band_bottom_mm()) + " mm or less"
                             : "no longer desensitized");
    }
  }

  void narrate_associations(const pair_facts& _before, const pair_facts& _now,
                            std::vector<std::string>& _changes) const {
    for (int k = 0; k < 2; ++k) {
      if (_before.driving[k] != _now.driving[k]) {
        _changes.push_back(uid(m_ids[k]) +
                           (_now.driving[k] ? " starts driving " + uid(_now.driven[k]) +
                                                  ": while it drives, its pairs raise no event"
                                            : " stops driving " + uid(_before.driven[k]) +
                                                  ": its pairs are evaluated again"));
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

  const site& m_site;
  object_id m_ids[2];
  pair_story m_story;
  pair_facts m_before;
  std::vector<pair_decision_facts> m_decisions;  // since the last line
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

pair_story tell(const site& _site, const run_rules& _rules, file_source& _recording, object_id _a,
                object_id _b) {
  narrator teller(_site, _rules, _a, _b);
  watched_replay detection(_site, _rules, teller, _a, _b);
  const bool threaded = line_feed::second_core_available();
  if (threaded) {
    _recording.decompress_ahead();
  }
  line_feed feed(_recording, _recording.buffer_bytes(), _site, threaded);
  progress report(_recording.record().name);
  while (const line_batch* batch = feed.next()) {
    report.update(feed.counts().lines_read, _recording.bytes_read(), _recording.size());
    detection.feed(batch->lines, teller);
  }
  report.finish();
  if (const std::string why = feed.counts().refusal(_recording.record().name); !why.empty()) {
    throw vela::exception(why).set_location(__FILE__, __LINE__);
  }
  detection.finish(teller);
  return teller.finish(detection.latest());
}
}  // namespace vela::explain
