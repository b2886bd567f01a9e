#include "replay/replay.hpp"

#include <algorithm>
#include <limits>

#include "base/geometry.hpp"
#include "replay/proximity_grid.hpp"

namespace vela {
namespace {
constexpr std::int64_t exact_square_limit = std::int64_t{1} << 23;

// The largest square of a distance that rounds to _distance_mm or less: sqrt(s) < d + 0.5.
std::uint64_t max_square_within(std::uint64_t _distance_mm) {
  return _distance_mm * _distance_mm + _distance_mm;
}
}  // namespace

template <class Observer>
basic_replay<Observer>::basic_replay(const site& _site, const run_rules& _rules)
    : m_site(_site), m_rules(_rules), m_objects(_site.size()) {
  m_hot.resize(_site.size());
  for (object_id id = 0; id < _site.size(); ++id) {
    m_hot[id].person = _site.is_person(id);
    m_hot[id].has_no_alarm = !_site.object(id).no_alarm.empty();
    m_hot[id].named = named_partner(id);
  }
  const std::int64_t band_top = m_rules.band_top_mm();
  m_exact_squares = band_top < exact_square_limit;
  if (m_exact_squares) {
    m_contact_max_s = max_square_within(m_rules.threshold_mm);
    m_band_max_s = max_square_within(static_cast<std::uint64_t>(band_top - 1));
  }
  m_events.reset(m_hot);
  m_candidates.reset(_site, m_rules.threshold_mm, m_hot);
}

template <class Observer>
basic_replay<Observer>::basic_replay(const site& _site, const run_rules& _rules,
                                     Observer& _observer, object_id _a, object_id _b)
    : basic_replay(_site, _rules) {
  m_observer = &_observer;
  m_watched = {_a, _b};
}

// ---- The pass -----------------------------------------------------------------------------

template <class Observer>
void basic_replay<Observer>::feed(std::span<const fed_line> _lines, event_sink& _sink) {
  const auto hand_over = [&](const event_record& _event) { _sink.event_final(_event); };
  for (std::size_t i = 0; i < _lines.size(); ++i) {
    if (i + 1 < _lines.size()) {  // on its way into the cache while this line is evaluated
      prefetch(_lines[i + 1]);
    }
    process_line(_lines[i]);
    m_events.take_finished(hand_over);
  }
}

template <class Observer>
void basic_replay<Observer>::finish(event_sink& _sink) {
  m_events.lines_ended();
  if constexpr (Observer::watching) {
    m_observer->lines_ended();
  }
  process_remaining_VDA();
  if constexpr (Observer::watching) {
    m_observer->replay_ended(facts());
  }
  m_events.finish(m_latest, [&](const event_record& _event) { _sink.event_final(_event); });
}

template <class Observer>
void basic_replay<Observer>::prefetch(const fed_line& _line) const {
  __builtin_prefetch(&m_objects[_line.id], 1);
  m_candidates.prefetch(_line.id, _line.x, _line.y);
  m_events.prefetch(_line.id);
}

template <class Observer>
void basic_replay<Observer>::process_line(const fed_line& _line) {
  const object_id id = _line.id;
  process_VDA_until(_line.timestamp);
  m_latest = _line.timestamp;
  object_state& obj = m_objects[id];
  const bool was_positioned = obj.positioned();
  obj.last_time = _line.timestamp;
  if (obj.first_time == timestamp()) {
    obj.first_time = _line.timestamp;
  }
  hot_object& hot = m_hot[id];
  hot.x = _line.x;
  hot.y = _line.y;
  hot.positioned = obj.positioned();
  m_candidates.moved(id, was_positioned, obj.positioned(), _line.x, _line.y);
  // The active pairs first, straight from the store (marked as evaluated on the way); then the
  // others that may change.
  m_candidates.begin_line(id);
  m_events.for_each_active_pair(id, [&](const event_store::pair_view& _pair) {
    m_candidates.mark(_pair.b);
    evaluate_active_pair(_pair, _line.timestamp);
  });
  m_candidates.collect(id, was_positioned, _line.x, _line.y, m_candidate_ids);
  for (const object_id other : m_candidate_ids) {
    evaluate_pair(id, other, _line.timestamp);
  }
  m_events.end_line();
  if constexpr (Observer::watching) {
    if (id == m_watched[0] || id == m_watched[1]) {
      m_observer->line_done(_line, facts());
    }
  }
}

// ---- The rule of a pair -------------------------------------------------------------------

template <class Observer>
void basic_replay<Observer>::evaluate_pair(object_id _a, object_id _b,
                                           const timestamp& _line_time) {
  const hot_object& a = m_hot[_a];
  const hot_object& b = m_hot[_b];
  if (_b == _a || !b.positioned) {
    return;  // itself, or not positioned yet
  }
  if ((a.person && b.person) || silenced_by(_a, _b) != no_object) {
    return;
  }
  const std::int64_t distance_mm = planar_distance_mm(a.x, a.y, b.x, b.y);
  const event_store::pair_view pair = m_events.find_inactive(_a, _b);
  if (driver_rule_holds(_a, _b)) {
    // Only skipped events, whatever the distance. An open event that is not active has a
    // driver, so it is skipped already.
    if (!pair.open) {
      create_event(_a, _b, distance_mm, true, pair.desensitized);
      tell(_a, _b, {pair_decision::opened_by_driver, distance_mm, pair.desensitized});
    }
    return;
  }
  decide(distance_mm, pair, _line_time);
}

// Most lines find an active pair still in contact, or inside the band: the squares of the
// differences tell that without the distance itself, and then at most its event comes closer.
template <class Observer>
void basic_replay<Observer>::evaluate_active_pair(const event_store::pair_view& _pair,
                                                  const timestamp& _line_time) {
  const hot_object& a = m_hot[_pair.a];
  const hot_object& b = m_hot[_pair.b];
  if (!b.positioned) {
    return;
  }
  if (driver_rule_holds(_pair.a, _pair.b)) {
    m_events.mark_skipped(_pair);
    if (_pair.to_write) {
      tell(_pair.a, _pair.b,
           {partners(_pair.a, _pair.b) ? pair_decision::marked_for_partners
                                       : pair_decision::marked_for_driver,
            planar_distance_mm(a.x, a.y, b.x, b.y), _pair.desensitized});
    }
    return;
  }
  const std::int64_t dx = std::int64_t{b.x} - a.x;
  const std::int64_t dy = std::int64_t{b.y} - a.y;
  if (m_exact_squares && dx < exact_square_limit && -dx < exact_square_limit &&
      dy < exact_square_limit && -dy < exact_square_limit) {
    const auto square = static_cast<std::uint64_t>(dx * dx + dy * dy);
    if (square <= m_contact_max_s) {  // still a contact: nothing closes
      if (_pair.to_write && _pair.distance != 0 &&
          square <= max_square_within(_pair.distance - 1)) {
        lower_distance(_pair, planar_distance_mm(a.x, a.y, b.x, b.y));
      }
      return;
    }
    if (_pair.desensitized && square <= m_band_max_s) {
      return;  // beyond the threshold, inside the band: nothing changes
    }
  }
  decide(planar_distance_mm(a.x, a.y, b.x, b.y), _pair, _line_time);
}

// The hysteresis: outside the band around the threshold, a desensitized pair acts like a fresh
// one but leaves the desensitized state on each change; inside it, nothing changes.
template <class Observer>
void basic_replay<Observer>::decide(std::int64_t _distance_mm,
                                    const event_store::pair_view& _pair,
                                    const timestamp& _line_time) {
  const bool contact_is_detected = m_rules.contact(_distance_mm);
  const bool may_change = !_pair.desensitized || !m_rules.in_band(_distance_mm);
  const bool create = may_change && !_pair.open && contact_is_detected;
  const bool close = may_change && _pair.open && !contact_is_detected;
  if (event_record* record = m_events.record_of(_pair)) {  // lowered before closing: final then
    if (_distance_mm < record->distance) {
      lower_distance(_pair, _distance_mm);
    }
    if (close) {
      record->duration = run_rules::closed_duration_s(record->timestamp, _line_time);
    }
  }
  // Each creation or closing flips the hysteresis.
  if (close) {
    m_events.close(_pair, !_pair.desensitized);
    tell(_pair.a, _pair.b, {pair_decision::closed, _distance_mm, _pair.desensitized});
  }
  if (create) {
    create_event(_pair.a, _pair.b, _distance_mm, false, !_pair.desensitized);
  }
}

template <class Observer>
void basic_replay<Observer>::create_event(object_id _a, object_id _b, std::int64_t _distance_mm,
                                          bool _skipped, bool _desensitized) {
  const object_state& a = m_objects[_a];
  // No event on an object's first position with the partner of an association that ended less
  // than five minutes before.
  const bool processing_first_position_of_trackable = a.last_time == a.first_time;
  if (_skipped || (processing_first_position_of_trackable &&
                   has_closed_vda_within_last_5_minutes(a.last_time, _a, _b))) {
    m_events.open(_a, _b, nullptr, _desensitized);
    if (!_skipped) {
      tell(_a, _b, {pair_decision::opened_unwritten, _distance_mm, !_desensitized});
    }
    return;
  }
  event_record rec;
  rec.timestamp = a.last_time;
  // At most the threshold, which is 32 bits: a contact.
  rec.distance = static_cast<std::uint32_t>(_distance_mm);
  rec.objects = {_a, _b};
  for (int side = 0; side < 2; ++side) {
    const object_state& obj = m_objects[rec.objects[side]];
    rec.drivers[side] = obj.has_driver() ? obj.partner : no_object;
    rec.x[side] = m_hot[rec.objects[side]].x;
    rec.y[side] = m_hot[rec.objects[side]].y;
  }
  m_events.open(_a, _b, &rec, _desensitized);
  tell(_a, _b, {pair_decision::opened, _distance_mm, !_desensitized});
}

template <class Observer>
void basic_replay<Observer>::lower_distance(const event_store::pair_view& _pair,
                                            std::int64_t _distance_mm) {
  // Below the record's distance, which is 32 bits.
  m_events.lower_distance(_pair, static_cast<std::uint32_t>(_distance_mm));
  tell(_pair.a, _pair.b, {pair_decision::came_closer, _distance_mm, _pair.desensitized});
}

template <class Observer>
bool basic_replay<Observer>::driver_rule_holds(object_id _a, object_id _b) const {
  return partners(_a, _b) || m_hot[_a].driving || m_hot[_b].driving;
}

template <class Observer>
bool basic_replay<Observer>::partners(object_id _a, object_id _b) const {
  return m_hot[_a].named == _b || m_hot[_b].named == _a;
}

template <class Observer>
object_id basic_replay<Observer>::silenced_by(object_id _a, object_id _b) const {
  const auto lists = [&](object_id _owner, object_id _other) {
    const std::vector<object_id>& list = m_site.object(_owner).no_alarm;
    return std::binary_search(list.begin(), list.end(), _other);
  };
  if (m_hot[_a].has_no_alarm && lists(_a, _b)) {
    return _a;
  }
  return m_hot[_b].has_no_alarm && lists(_b, _a) ? _b : no_object;
}

template <class Observer>
bool basic_replay<Observer>::has_closed_vda_within_last_5_minutes(const timestamp& _timestamp,
                                                                  object_id _a,
                                                                  object_id _b) const {
  const std::size_t closing = m_objects[_a].closing_record;
  if (closing == no_record) {
    return false;
  }
  const association_record& record = m_site.associations()[closing];
  if (!run_rules::recent(record.timestamp, _timestamp)) {
    return false;
  }
  return _b == record.driver || _b == record.vehicle;
}

template <class Observer>
object_id basic_replay<Observer>::named_partner(object_id _id) const {
  const object_id partner = m_objects[_id].partner;
  return partner != no_object ? partner : m_site.empty_uid_object();
}

// ---- Association replay -------------------------------------------------------------------

template <class Observer>
void basic_replay<Observer>::process_VDA_until(timestamp _timestamp) {
  const std::vector<association_record>& records = m_site.associations();
  while (m_next_association < records.size() &&
         records[m_next_association].timestamp <= _timestamp) {
    apply_association(m_next_association);
    ++m_next_association;
  }
}

template <class Observer>
void basic_replay<Observer>::process_remaining_VDA() {
  constexpr std::int64_t max_long = std::numeric_limits<std::int64_t>::max();
  process_VDA_until(timestamp(max_long, max_long));
}

template <class Observer>
void basic_replay<Observer>::apply_association(std::size_t _index) {
  const association_record& record = m_site.associations()[_index];
  object_state& driver = m_objects[record.driver];
  object_state& vehicle = m_objects[record.vehicle];
  if (record.created) {
    // A partner whose uid is the empty text is no partner: the rules see only the uid.
    const object_id empty = m_site.empty_uid_object();
    driver.side = vda_type::driver;
    driver.partner = record.vehicle == empty ? no_object : record.vehicle;
    driver.closing_record = no_record;
    vehicle.side = vda_type::vehicle;
    vehicle.partner = record.driver == empty ? no_object : record.driver;
    vehicle.closing_record = no_record;
    // A new driver's open events are never written, including the time before.
    m_events.for_each_open_record(record.driver, [&](event_record& _event) {
      _event.m_state = event_record::state::skipped;
      tell(_event.objects[0], _event.objects[1], {pair_decision::marked_for_association});
    });
  } else {
    driver.partner = no_object;
    driver.closing_record = _index;
    vehicle.partner = no_object;
    vehicle.closing_record = _index;
  }
  association_changed(record.driver);
  association_changed(record.vehicle);
}

template <class Observer>
void basic_replay<Observer>::association_changed(object_id _id) {
  const object_state& obj = m_objects[_id];
  hot_object& hot = m_hot[_id];
  const bool was_driving = hot.driving;
  const object_id was_named = hot.named;
  hot.driving = obj.side == vda_type::driver && obj.partner != no_object;
  hot.named = named_partner(_id);
  if (hot.driving != was_driving) {
    m_events.driving_changed(_id);
  }
  m_candidates.association_changed(_id, was_named, was_driving);
}

// ---- Watching -----------------------------------------------------------------------------

template <class Observer>
bool basic_replay<Observer>::watched(object_id _a, object_id _b) const {
  return (_a == m_watched[0] && _b == m_watched[1]) || (_a == m_watched[1] && _b == m_watched[0]);
}

template <class Observer>
void basic_replay<Observer>::tell(object_id _a, object_id _b,
                                  const pair_decision_facts& _decision) {
  if constexpr (Observer::watching) {
    if (watched(_a, _b)) {
      m_observer->decided(_decision);
    }
  }
}

template <class Observer>
pair_facts basic_replay<Observer>::facts() const {
  pair_facts now;
  for (int k = 0; k < 2; ++k) {
    const hot_object& hot = m_hot[m_watched[k]];
    now.positioned[k] = hot.positioned;
    now.x[k] = hot.x;
    now.y[k] = hot.y;
    now.driving[k] = hot.driving;
    now.driven[k] = hot.driving ? hot.named : no_object;  // a driver names its vehicle
  }
  now.partners = partners(m_watched[0], m_watched[1]);
  const event_store::pair_view view = m_events.find(m_watched[0], m_watched[1]);
  now.open = view.open;
  now.to_write = view.to_write;
  now.desensitized = view.desensitized;
  now.silenced_by = silenced_by(m_watched[0], m_watched[1]);
  return now;
}

template class basic_replay<null_observer>;
template class basic_replay<pair_observer>;
}  // namespace vela
