#include "reference/reference_replay.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "exception.hpp"
#include "position.hpp"

namespace vela {
namespace {

// The same key for (A, B) and (B, A): the greater uid first.
std::pair<std::string, std::string> desensitized_key(const trackable_object& _trackable1,
                                                     const trackable_object& _trackable2) {
  if (_trackable2.uid <= _trackable1.uid) {
    return {_trackable1.uid, _trackable2.uid};
  }
  return {_trackable2.uid, _trackable1.uid};
}

// As the rules state it, apart from the replay's own: sqrt(dx^2 + dy^2) in double precision,
// rounded to the nearest millimetre, halves away from zero.
std::int64_t distance(const trackable_object& _a, const trackable_object& _b) {
  const double dx = static_cast<double>(_a.last_position.x) - _b.last_position.x;
  const double dy = static_cast<double>(_a.last_position.y) - _b.last_position.y;
  return static_cast<std::int64_t>(std::round(std::sqrt(dx * dx + dy * dy)));
}
}  // namespace

// The site's tables, back in the form the rules speak of: objects by uid, records by uid.
reference_replay::reference_replay(const site& _site, std::uint32_t _distance_in_mm)
    : m_distance_in_mm(_distance_in_mm), m_rules{m_distance_in_mm} {
  for (const site_object& obj : _site.objects()) {
    trackable_object track_obj;
    track_obj.uid = obj.uid;
    track_obj.name = obj.name;
    track_obj.m_category = obj.category;
    for (const object_id other : obj.no_alarm) {
      track_obj.tag_config.t2t_no_alarm_uid.insert(_site.object(other).uid);
    }
    m_track_objs.emplace(obj.uid, std::move(track_obj));
  }
  for (const association_record& record : _site.associations()) {
    m_vdas.push_back({record.timestamp, _site.object(record.vehicle).uid,
                      _site.object(record.driver).uid, record.created});
  }
}

// ---- The pass -----------------------------------------------------------------------------

void reference_replay::generate_alarms(std::istream& _positions, const std::string& _file_name) {
  std::string line;
  while (std::getline(_positions, line)) {
    process_line(line);
  }
  finish(_file_name);
}

void reference_replay::process_line(const std::string& _line) {
  m_changed_pairs.clear();
  ++m_lines;
  m_any_non_empty = m_any_non_empty || !_line.empty();
  const boost::optional<position> pos = position::from_csv_line(_line);
  if (!pos) {
    return;
  }
  m_any_position = true;
  if (m_lines == 1) {
    const std::size_t carriage_return = _line.find('\r');
    m_carriage_returns_alone =
        carriage_return != std::string::npos && carriage_return + 1 < _line.size();
  }
  const auto found = m_track_objs.find(pos->obj_uid);
  if (found == m_track_objs.end()) {
    return;
  }
  m_any_on_site = true;
  process_VDA_until(pos->timestamp);
  m_latest_timestamp = pos->timestamp;
  trackable_object& track_obj = found->second;
  track_obj.last_position.timestamp = pos->timestamp;
  track_obj.last_position.x = pos->x;
  track_obj.last_position.y = pos->y;
  track_obj.last_position.z = pos->z;
  track_obj.last_position.sublocation_uid = pos->sublocation_uid;
  if (track_obj.first_position.timestamp == timestamp()) {
    track_obj.first_position.timestamp = pos->timestamp;
  }
  for (auto& entry : m_track_objs) {
    const pair_state before = state_of(track_obj, entry.second);
    evaluate_pair(track_obj, entry.second, pos->timestamp);
    if (!(state_of(track_obj, entry.second) == before)) {
      m_changed_pairs.push_back(entry.first);
    }
  }
}

void reference_replay::finish(const std::string& _file_name) {
  // Recordings whose result would be no result are refused, as a run refuses them.
  const auto refuse = [&](const std::string& _why) {
    throw vela::exception("Error reading file:" + _file_name + " (" + _why + ")")
        .set_location(__FILE__, __LINE__);
  };
  if (m_carriage_returns_alone) {
    refuse("its lines end in carriage returns alone");
  }
  if (m_any_non_empty && !m_any_position) {
    refuse(std::to_string(m_lines) + (m_lines == 1 ? " line read, not a position line"
                                                   : " lines read, none of them a position line"));
  }
  if (m_any_position && !m_any_on_site) {
    refuse("no position line naming an object of the site");
  }
  process_remaining_VDA();
  for (event& ev : m_events) {
    if (ev.duration == 0) {  // still open: ends with the last position, and 0 stays 0
      ev.duration = run_rules::open_duration_s(ev.timestamp, m_latest_timestamp);
    }
  }
}

// Everything of a pair that an evaluation may change.
reference_replay::pair_state reference_replay::state_of(const trackable_object& _a,
                                                        const trackable_object& _b) {
  pair_state state;
  state.desensitized = get_desensitized_state(_a, _b);
  state.events = m_events.size();
  if (const boost::optional<event&> open = find_event(_a, _b)) {
    state.open = true;
    state.duration = open->duration;
    state.distance = open->distance;
    state.skipped = open->m_should_skip == event::should_skip::yes;
  }
  return state;
}

void reference_replay::evaluate_pair(trackable_object& _track_obj,
                                     trackable_object& _another_track_obj,
                                     const timestamp& _line_timestamp) {
  if (_another_track_obj.uid == _track_obj.uid ||
      _another_track_obj.last_position.timestamp.ts == 0) {
    return;
  }
  const bool in_t2t_no_alarm_list =
      _track_obj.tag_config.t2t_no_alarm_uid.count(_another_track_obj.uid) != 0 ||
      _another_track_obj.tag_config.t2t_no_alarm_uid.count(_track_obj.uid) != 0;
  const bool both_trackables_is_person = _track_obj.m_category == category::person &&
                                         _another_track_obj.m_category == category::person;
  if (in_t2t_no_alarm_list || both_trackables_is_person) {
    return;
  }
  const std::int64_t distance_between_TOs = distance(_track_obj, _another_track_obj);
  const boost::optional<event&> found = find_event(_track_obj, _another_track_obj);
  if (_track_obj.is_vda_associated(_another_track_obj.uid) ||
      _another_track_obj.is_vda_associated(_track_obj.uid) || _track_obj.is_vda_driver() ||
      _another_track_obj.is_vda_driver()) {
    if (found) {
      found->m_should_skip = event::should_skip::yes;
    } else {
      create_event(_track_obj.last_position.timestamp,
                   static_cast<std::uint32_t>(distance_between_TOs), _track_obj, _another_track_obj,
                   event::should_skip::yes);
    }
    return;
  }
  decide(_track_obj, _another_track_obj, distance_between_TOs, found, _line_timestamp);
}

void reference_replay::decide(trackable_object& _track_obj, trackable_object& _another_track_obj,
                              std::int64_t _distance_between_TOs, boost::optional<event&> _event,
                              const timestamp& _line_timestamp) {
  const bool previous_event_state = _event.has_value();
  const bool contact_is_detected = m_rules.contact(_distance_between_TOs);
  const bool in_desensitized_state = get_desensitized_state(_track_obj, _another_track_obj);
  boost::optional<bool> new_desensitized_state;
  const auto create = [&] {
    return &create_event(_track_obj.last_position.timestamp,
                         static_cast<std::uint32_t>(_distance_between_TOs), _track_obj,
                         _another_track_obj, event::should_skip::no);
  };
  event* ev = _event ? &*_event : nullptr;
  bool in_desensitization_area = false;
  if (in_desensitized_state) {
    in_desensitization_area = m_rules.in_band(_distance_between_TOs);
  }
  if (!in_desensitized_state || !in_desensitization_area) {
    if (!previous_event_state && contact_is_detected) {
      ev = create();
      new_desensitized_state = !in_desensitized_state;
    } else if (previous_event_state && !contact_is_detected) {
      close_event(*ev, _line_timestamp, _track_obj, _another_track_obj);
      new_desensitized_state = !in_desensitized_state;
    }
  }
  if (new_desensitized_state) {
    set_desensitized_state(*new_desensitized_state, _track_obj, _another_track_obj);
  }
  if (ev != nullptr) {
    ev->distance = std::min(ev->distance, _distance_between_TOs);
  }
}

// ---- The event list -----------------------------------------------------------------------

boost::optional<event&> reference_replay::find_event(const trackable_object& _trackable_object_1,
                                                     const trackable_object& _trackable_object_2) {
  for (const std::uint32_t index : _trackable_object_1.event_index) {
    event& ev = m_events.at(index);
    if (ev.trackable_object_1.uid == _trackable_object_2.uid ||
        ev.trackable_object_2.uid == _trackable_object_2.uid) {
      return ev;
    }
  }
  return boost::none;
}

namespace {
trackable_object_for_event snapshot(const trackable_object& _trackable_object) {
  trackable_object_for_event snap;
  snap.uid = _trackable_object.uid;
  snap.x = _trackable_object.last_position.x;
  snap.y = _trackable_object.last_position.y;
  if (_trackable_object.is_vda_vehicle()) {
    snap.driver_uid = _trackable_object.get_vda_uid();
  }
  return snap;
}
}  // namespace

event& reference_replay::create_event(const timestamp& _timestamp, const std::uint32_t& _distance,
                                      trackable_object& _trackable_object_1,
                                      trackable_object& _trackable_object_2,
                                      event::should_skip _should_skip) {
  const auto index = static_cast<std::uint32_t>(m_events.size());
  event ev;
  ev.index = index;
  ev.timestamp = _timestamp;
  ev.distance = std::int64_t{_distance};
  ev.trackable_object_1 = snapshot(_trackable_object_1);
  ev.trackable_object_2 = snapshot(_trackable_object_2);
  ev.m_should_skip = _should_skip;
  const bool processing_first_position_of_trackable =
      _timestamp == _trackable_object_1.first_position.timestamp;
  if (processing_first_position_of_trackable &&
      has_closed_vda_within_last_5_minutes(_timestamp, _trackable_object_1, _trackable_object_2)) {
    ev.m_should_skip = event::should_skip::yes;
  }
  m_events.push_back(std::move(ev));
  _trackable_object_1.event_index.insert(index);
  _trackable_object_2.event_index.insert(index);
  return m_events.back();
}

void reference_replay::close_event(event& _event, timestamp _closing_timestamp,
                                   trackable_object& _trackable_object_1,
                                   trackable_object& _trackable_object_2) {
  _event.duration = run_rules::closed_duration_s(_event.timestamp, _closing_timestamp);
  const auto index = static_cast<std::uint32_t>(_event.index);
  _trackable_object_1.event_index.erase(index);
  _trackable_object_2.event_index.erase(index);
}

bool reference_replay::for_each_event(const trackable_object& _trackable_object,
                                      const std::function<bool(event&)>& _callback) {
  for (const std::uint32_t index : _trackable_object.event_index) {
    if (!_callback(m_events.at(index))) {
      return false;
    }
  }
  return true;
}

bool reference_replay::has_closed_vda_within_last_5_minutes(
    timestamp _timestamp, const trackable_object& _trackable_object_1,
    const trackable_object& _trackable_object_2) const {
  const boost::optional<std::uint64_t> closing = _trackable_object_1.get_closing_vda_index();
  if (!closing) {
    return false;
  }
  const vehicle_driver_association& vda = m_vdas.at(*closing);
  if (!run_rules::recent(vda.timestamp, _timestamp)) {
    return false;
  }
  return _trackable_object_2.uid == vda.driver_uid || _trackable_object_2.uid == vda.vehicle_uid;
}

// ---- Hysteresis ---------------------------------------------------------------------------

bool reference_replay::get_desensitized_state(const trackable_object& _trackable1,
                                              const trackable_object& _trackable2) const {
  return m_desensitized_state.count(desensitized_key(_trackable1, _trackable2)) != 0;
}

void reference_replay::set_desensitized_state(bool _state, const trackable_object& _trackable1,
                                              const trackable_object& _trackable2) {
  if (_state) {
    m_desensitized_state.insert(desensitized_key(_trackable1, _trackable2));
  } else {
    m_desensitized_state.erase(desensitized_key(_trackable1, _trackable2));
  }
}

// ---- Association replay -------------------------------------------------------------------

void reference_replay::process_VDA_until(timestamp _timestamp) {
  if (!m_current_vda) {
    m_current_vda = m_vdas.cbegin();
  }
  vdas_vector::const_iterator& current = *m_current_vda;
  while (current != m_vdas.cend() && current->timestamp <= _timestamp) {
    trackable_object& driver = m_track_objs.at(current->driver_uid);
    trackable_object& vehicle = m_track_objs.at(current->vehicle_uid);
    if (current->created) {
      driver.set_associated_vehicle(current->vehicle_uid);
      vehicle.set_associated_driver(current->driver_uid);
      for_each_event(driver, [](event& _event) {
        _event.m_should_skip = event::should_skip::yes;
        return true;
      });
    } else {
      const auto vda_index = static_cast<std::uint64_t>(current - m_vdas.cbegin());
      driver.clear_vda_association(vda_index);
      vehicle.clear_vda_association(vda_index);
    }
    ++current;
  }
}

void reference_replay::process_remaining_VDA() {
  constexpr std::int64_t max_long = std::numeric_limits<std::int64_t>::max();
  process_VDA_until(timestamp(max_long, max_long));
}

// ---- Output -------------------------------------------------------------------------------

Json::Value reference_replay::get_events_as_json() const {
  Json::Value events(Json::arrayValue);
  for (const event& ev : m_events) {
    if (ev.m_should_skip == event::should_skip::no) {
      events.append(ev.get_as_json());
    }
  }
  return events;
}

Json::Value reference_replay::get_track_objs_as_json() const {
  Json::Value track_objs(Json::arrayValue);
  for (const auto& entry : m_track_objs) {
    track_objs.append(entry.second.get_as_json());
  }
  return track_objs;
}

std::string reference_replay::document(bool _file_form) const {
  if (!_file_form) {
    return Json::writeString(Json::StreamWriterBuilder(), get_events_as_json()) + "\n";
  }
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "    ";
  Json::Value document;
  document["trackableObjects"] = get_track_objs_as_json();
  document["events"] = get_events_as_json();
  return Json::writeString(builder, document) + "\n";
}
}  // namespace vela
