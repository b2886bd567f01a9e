#include "application.hpp"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <iostream>
#include <limits>

#include <boost/filesystem.hpp>

#include "exception.hpp"
#include "file_output.hpp"
#include "input_file.hpp"
#include "position.hpp"
#include "progress.hpp"

namespace vela {
namespace {
constexpr std::int64_t desensitization_area_size_mm = 175;  // half-width of the hysteresis band
constexpr std::int64_t five_minutes_s = 300;

// A document without its list is another kind of file (perhaps the other input): reading it as
// an empty list would consume a recording for a result made from nothing.
exit_code report_missing_list(const std::string& _file_name, const Json::Value& _message,
                              const std::string& _member) {
  const bool present = _message.isObject() && _message.isMember(_member);
  std::cerr << "Error parsing file:" << _file_name << " (field \"" << _member << "\" "
            << (present ? "is not an array" : "not found") << ")" << std::endl;
  return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
}
}  // namespace

// ---- Construction -------------------------------------------------------------------------

application::application(const std::string& _input_position_file_name,
                         const std::string& _trackables_file_name,
                         const std::string& _vda_file_name, std::uint32_t _distance_in_mm,
                         const std::string& _output_event_file_name, bool _save_input_files)
    : m_input_position_file_name(_input_position_file_name),
      m_trackables_file_name(_trackables_file_name),
      m_vda_file_name(_vda_file_name),
      m_distance_in_mm(_distance_in_mm),
      m_output_event_file_name(_output_event_file_name),
      m_save_input_files(_save_input_files) {}

// ---- Loading ------------------------------------------------------------------------------

exit_code application::init() {
  {
    Json::Value trackables;
    exit_code res = get_json_message_from_file(m_trackables_file_name, trackables, m_trackables_input);
    if (res == exit_code::SYNC_SUCCESS) {
      res = get_trackable_objects_from_json(trackables);
    }
    if (res != exit_code::SYNC_SUCCESS) {
      return res;
    }
  }
  std::string error;
  if (!m_input_position_file.open(m_input_position_file_name, error)) {
    std::cerr << error << std::endl;
    return exit_code::SYNC_FAILURE_OPENING_INPUT_FILE;
  }
  Json::Value vdas;
  exit_code res = get_json_message_from_file(m_vda_file_name, vdas, m_vdas_input);
  if (res == exit_code::SYNC_SUCCESS) {
    res = get_vdas_from_json(vdas);
  }
  // The inputs are deleted only once the result is delivered (run).
  return res;
}

exit_code application::get_json_message_from_file(const std::string& _file_name,
                                                  Json::Value& _json_message,
                                                  input_file& _read) const {
  _read = input_file{_file_name};
  std::string content;
  std::string error;
  if (!read_whole_file(_read, content, error)) {
    std::cerr << "Error opening file:" << _file_name << " (" << error << ")" << std::endl;
    return exit_code::SYNC_FAILURE_OPENING_INPUT_FILE;
  }
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  // Newer readers skip a byte-order mark and accept trailing commas by default; both are
  // syntax errors here.
  builder["skipBom"] = false;
  builder["allowTrailingCommas"] = false;
  std::string errors;
  bool parsed = false;
  try {
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    parsed = reader->parse(content.data(), content.data() + content.size(), &_json_message,
                           &errors);
  } catch (const std::exception& e) {  // nesting beyond the reader's limit, memory exhaustion
    errors = e.what();
  }
  if (!parsed) {
    std::cerr << "Error parsing file:" << _file_name << " (" << errors << ")" << std::endl;
    return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}

exit_code application::get_trackable_objects_from_json(const Json::Value& _message) {
  const std::string object = "trackableObjects";
  try {
    const Json::Value j_trackable_objects = _message[object];
    if (!j_trackable_objects.isArray() && !j_trackable_objects.isObject()) {
      return report_missing_list(m_trackables_file_name, _message, object);
    }
    for (const Json::Value& j_trackable_object : j_trackable_objects) {
      trackable_object track_obj;
      std::string err;
      if (!get_j_value(j_trackable_object, "uid", track_obj.uid, err)) {
        throw vela::exception(object + ": " + err).set_location(__FILE__, __LINE__);
      }
      const std::string context = object + " \"" + track_obj.uid + "\": ";
      if (!get_j_value(j_trackable_object, "name", track_obj.name, err)) {
        throw vela::exception(context + err).set_location(__FILE__, __LINE__);
      }
      if (j_trackable_object.isMember("t2t_no_alarm_uid") &&
          j_trackable_object["t2t_no_alarm_uid"].isArray()) {
        for (const Json::Value& uid : j_trackable_object["t2t_no_alarm_uid"]) {
          if (uid.isString()) {
            track_obj.tag_config.t2t_no_alarm_uid.insert(uid.asString());
          }
        }
      }
      std::string category_str;
      if (!get_j_value(j_trackable_object, "category", category_str, err)) {
        throw vela::exception(context + err).set_location(__FILE__, __LINE__);
      }
      if (category_str == "VEHICLE") {
        track_obj.m_category = category::vehicle;
      } else if (category_str == "PERSON") {
        track_obj.m_category = category::person;
      } else {
        continue;  // an unknown category passes the object over
      }
      // A repeated uid keeps the first object.
      m_track_objs.emplace(track_obj.uid, std::move(track_obj));
    }
  } catch (const std::exception& e) {
    std::cerr << "Error parsing file:" << " (" << e.what() << ")" << std::endl;
    return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}

exit_code application::get_vdas_from_json(const Json::Value& _message) {
  const std::string object = "vehicle_driver_associations";
  try {
    const Json::Value j_vdas = _message[object];
    if (!j_vdas.isNull() && !j_vdas.isArray() && !j_vdas.isObject()) {
      return report_missing_list(m_vda_file_name, _message, object);  // missing: no associations
    }
    for (const Json::Value& j_vda : j_vdas) {
      std::string vehicle_uid;
      std::string driver_uid;
      std::string err;
      if (!get_j_value(j_vda, "vehicle_uid", vehicle_uid, err) ||
          !get_j_value(j_vda, "driver_uid", driver_uid, err)) {
        throw vela::exception(object + ": " + err).set_location(__FILE__, __LINE__);
      }
      if (m_track_objs.count(vehicle_uid) == 0 || m_track_objs.count(driver_uid) == 0) {
        continue;  // unknown objects: dropped silently, times unread
      }
      std::int64_t created = 0;
      if (!get_j_value(j_vda, "created_at", created, err)) {
        throw vela::exception(object + ": " + err).set_location(__FILE__, __LINE__);
      }
      // Without a usable end the association lasts to the end of time.
      constexpr std::int64_t end_of_time = std::numeric_limits<std::int64_t>::max();
      std::int64_t removed = end_of_time;
      std::string ignored;
      get_j_value(j_vda, "removed_at", removed, ignored);
      if (removed == 0 || removed < created) {
        removed = end_of_time;
      }
      m_vdas.push_back({timestamp(created, 0), vehicle_uid, driver_uid, true});
      m_vdas.push_back({timestamp(removed, 0), vehicle_uid, driver_uid, false});
    }
  } catch (const std::exception& e) {
    std::cerr << "Error parsing file:" << " (" << e.what() << ")" << std::endl;
    return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
  }
  // By time alone: records of equal time keep no particular order.
  std::sort(m_vdas.begin(), m_vdas.end(),
            [](const vehicle_driver_association& _l, const vehicle_driver_association& _r) {
              return _l.timestamp < _r.timestamp;
            });
  return exit_code::SYNC_SUCCESS;
}

void application::index_trackable_objects() {
  m_objects_by_id.clear();
  m_ids.clear();
  m_uids.clear();
  for (auto& [uid, obj] : m_track_objs) {
    obj.id = static_cast<std::uint32_t>(m_objects_by_id.size());
    m_objects_by_id.push_back(&obj);
    m_uids += uid;
  }
  std::size_t offset = 0;
  for (const trackable_object* obj : m_objects_by_id) {
    m_ids.find_or_insert(std::string_view(m_uids).substr(offset, obj->uid.size())) = obj->id;
    offset += obj->uid.size();
  }
  const std::uint32_t* empty_uid = m_ids.find(std::string_view());
  std::vector<bool> is_person;
  for (const trackable_object* obj : m_objects_by_id) {
    is_person.push_back(obj->m_category == category::person);
  }
  m_events.reset(m_objects_by_id.size());
  m_candidates.reset(is_person, m_distance_in_mm,
                     empty_uid == nullptr ? pair_candidates::no_id : *empty_uid);
}

// ---- Event store --------------------------------------------------------------------------

boost::optional<event&> application::find_event(const trackable_object& _trackable_object_1,
                                                const trackable_object& _trackable_object_2) {
  event* found = nullptr;
  if (m_pair_selection == pair_selection::candidates) {
    found = m_events.find(_trackable_object_1.id, _trackable_object_2.id);
  } else {
    // Either side of an open event of the first object may be the second object.
    const std::string& other = _trackable_object_2.uid;
    m_events.for_each_open(_trackable_object_1.id, [&](event& _event) {
      if (_event.trackable_object_1.uid == other || _event.trackable_object_2.uid == other) {
        found = &_event;
        return false;
      }
      return true;
    });
  }
  if (found == nullptr) {
    return boost::none;
  }
  return *found;
}

trackable_object_for_event application::snapshot(const trackable_object& _trackable_object) const {
  trackable_object_for_event snap;
  snap.uid = _trackable_object.uid;
  snap.x = _trackable_object.last_position.x;
  snap.y = _trackable_object.last_position.y;
  if (_trackable_object.is_vda_vehicle()) {
    // The driver's own uid, not the vehicle's copy, which changes with the association.
    snap.driver_uid = m_objects_by_id[*m_ids.find(_trackable_object.get_vda_uid())]->uid;
  }
  return snap;
}

event& application::create_event(const timestamp& _timestamp, const std::uint32_t& _distance,
                                 trackable_object& _trackable_object_1,
                                 trackable_object& _trackable_object_2,
                                 event::should_skip _should_skip) {
  event ev;
  ev.timestamp = _timestamp;
  ev.distance = std::int64_t{_distance};
  ev.trackable_object_1 = snapshot(_trackable_object_1);
  ev.trackable_object_2 = snapshot(_trackable_object_2);
  ev.m_should_skip = _should_skip;
  // No event on an object's first position with the partner of an association that ended
  // less than five minutes before.
  const bool processing_first_position_of_trackable =
      _timestamp == _trackable_object_1.first_position.timestamp;
  if (processing_first_position_of_trackable &&
      has_closed_vda_within_last_5_minutes(_timestamp, _trackable_object_1, _trackable_object_2)) {
    ev.m_should_skip = event::should_skip::yes;
  }
  return m_events.open(ev, _trackable_object_1.id, _trackable_object_2.id);
}

void application::close_event(event& _event, timestamp _closing_timestamp,
                              trackable_object& _trackable_object_1,
                              trackable_object& _trackable_object_2) {
  _event.duration = std::max<std::int64_t>(timestamp::delta_s(_event.timestamp, _closing_timestamp), 1);
  m_events.close(_trackable_object_1.id, _trackable_object_2.id);
}

bool application::for_each_event(const trackable_object& _trackable_object,
                                 const std::function<bool(event&)>& _callback) {
  return m_events.for_each_open(_trackable_object.id, _callback);
}

bool application::has_closed_vda_within_last_5_minutes(
    timestamp _timestamp, const trackable_object& _trackable_object_1,
    const trackable_object& _trackable_object_2) const {
  const boost::optional<std::uint64_t> closing = _trackable_object_1.get_closing_vda_index();
  if (!closing) {
    return false;
  }
  const vehicle_driver_association& vda = m_vdas.at(*closing);
  if (timestamp::delta_s(vda.timestamp, _timestamp) >= five_minutes_s) {
    return false;
  }
  return _trackable_object_2.uid == vda.driver_uid || _trackable_object_2.uid == vda.vehicle_uid;
}

// ---- Detection pass -----------------------------------------------------------------------

void application::generate_alarms() {
  index_trackable_objects();
  m_latest_timestamp = timestamp();
  progress report(m_input_position_file_name);
  // One line is read ahead, so that its object is on its way into the cache while the current
  // line is evaluated; the reader keeps both lines valid.
  parsed_line lines[2];
  int current = 0;
  bool have_current = read_line(lines[current], report);
  while (have_current) {
    const bool have_next = read_line(lines[1 - current], report);
    if (lines[current].id != no_object) {
      process_line(*lines[current].pos, lines[current].id);
    }
    current = 1 - current;
    have_current = have_next;
  }
  report.finish();
  m_input_position_file.close();
  if (m_position_lines == 0 && m_non_empty_lines > 0) {
    // Another kind of file, or another format: an empty result from it would be no result.
    throw vela::exception("Error reading file:" + m_input_position_file_name + " (" +
                          std::to_string(m_lines_read) +
                          (m_lines_read == 1 ? " line read, not a position line)"
                                             : " lines read, none of them a position line)"))
        .set_location(__FILE__, __LINE__);
  }
  process_remaining_VDA();
  // Events still open end with the last position; unlike a closed event, 0 seconds stays 0.
  m_events.for_each_open_event([this](event& _event) {
    _event.duration = timestamp::delta_s(_event.timestamp, m_latest_timestamp);
  });
}

bool application::read_line(parsed_line& _parsed, progress& _report) {
  std::string_view line;
  if (!m_input_position_file.next(line)) {
    return false;
  }
  _report.update(++m_lines_read, m_input_position_file.bytes_consumed(),
                 m_input_position_file.size());
  _parsed.id = no_object;
  m_non_empty_lines += line.empty() ? 0 : 1;
  // A malformed line, or one naming an object not in the trackables table, is skipped without a
  // message.
  _parsed.pos = position_view::from_csv_line(line);
  if (_parsed.pos) {
    ++m_position_lines;
    if (const std::uint32_t* id = m_ids.find(_parsed.pos->obj_uid)) {
      _parsed.id = *id;
      __builtin_prefetch(&m_objects_by_id[*id]->last_position, 1);
      m_candidates.prefetch(*id);
    }
  }
  return true;
}

void application::process_line(const position_view& _pos, std::uint32_t _id) {
  process_VDA_until(_pos.timestamp);
  m_latest_timestamp = _pos.timestamp;
  trackable_object& track_obj = *m_objects_by_id[_id];
  const bool was_positioned = track_obj.last_position.timestamp.ts != 0;
  track_obj.last_position.timestamp = _pos.timestamp;
  track_obj.last_position.x = _pos.x;
  track_obj.last_position.y = _pos.y;
  track_obj.last_position.z = _pos.z;
  track_obj.last_position.sublocation_uid.assign(_pos.sublocation_uid);
  if (track_obj.first_position.timestamp == timestamp()) {
    track_obj.first_position.timestamp = _pos.timestamp;
  }
  const bool is_positioned = track_obj.last_position.timestamp.ts != 0;

  // In ascending uid order either way, so that events created on one line keep their order.
  if (m_pair_selection == pair_selection::all_pairs) {
    for (trackable_object* another_track_obj : m_objects_by_id) {
      evaluate_pair(track_obj, *another_track_obj, _pos.timestamp);
    }
    return;
  }
  m_candidates.moved(track_obj.id, was_positioned, is_positioned, _pos.x, _pos.y);
  m_candidates.collect(track_obj.id, was_positioned, _pos.x, _pos.y, m_events, m_candidate_ids);
  for (const std::uint32_t id : m_candidate_ids) {
    evaluate_pair(track_obj, *m_objects_by_id[id], _pos.timestamp);
  }
}

void application::evaluate_pair(trackable_object& _track_obj, trackable_object& _another_track_obj,
                                const timestamp& _line_timestamp) {
  if (&_another_track_obj == &_track_obj ||
      _another_track_obj.last_position.timestamp.ts == 0) {  // itself, or not positioned yet
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
  const std::int64_t distance_between_TOs =
      distance(_track_obj.last_position, _another_track_obj.last_position);
  const boost::optional<event&> event = find_event(_track_obj, _another_track_obj);

  // Driver rule: only skipped events, whatever the distance.
  if (_track_obj.is_vda_associated(_another_track_obj.uid) ||
      _another_track_obj.is_vda_associated(_track_obj.uid) || _track_obj.is_vda_driver() ||
      _another_track_obj.is_vda_driver()) {
    if (event) {
      event->m_should_skip = event::should_skip::yes;
    } else {
      // The low 32 bits, as the creation takes them; a skipped event's distance is never written.
      create_event(_track_obj.last_position.timestamp,
                   static_cast<std::uint32_t>(distance_between_TOs), _track_obj,
                   _another_track_obj, event::should_skip::yes);
    }
    return;
  }

  const std::int64_t threshold = m_distance_in_mm;
  const bool previous_event_state = event.has_value();
  const bool contact_is_detected = distance_between_TOs <= threshold;
  const bool in_desensitized_state = get_desensitized_state(_track_obj, _another_track_obj);
  // Outside the band around the threshold, a desensitized pair acts like a fresh one but
  // leaves the desensitized state on each change; inside it, nothing changes.
  const bool in_desensitization_area =
      threshold - desensitization_area_size_mm < distance_between_TOs &&
      distance_between_TOs < threshold + desensitization_area_size_mm;
  const bool may_change = !in_desensitized_state || !in_desensitization_area;
  const bool create = may_change && !previous_event_state && contact_is_detected;
  const bool close = may_change && previous_event_state && !contact_is_detected;

  if (event) {  // lowered before closing, since closing may release a skipped event
    event->distance = std::min(event->distance, distance_between_TOs);
  }
  if (close) {
    close_event(*event, _line_timestamp, _track_obj, _another_track_obj);
  }
  if (create) {  // contact: the distance is at most the 32-bit threshold
    create_event(_track_obj.last_position.timestamp,
                 static_cast<std::uint32_t>(distance_between_TOs), _track_obj, _another_track_obj,
                 event::should_skip::no);
  }
  if (create || close) {
    set_desensitized_state(!in_desensitized_state, _track_obj, _another_track_obj);
  }
}

namespace {
// The same key for (A, B) and (B, A): the greater uid first.
std::pair<std::string, std::string> desensitized_key(const trackable_object& _trackable1,
                                                     const trackable_object& _trackable2) {
  if (_trackable2.uid <= _trackable1.uid) {
    return {_trackable1.uid, _trackable2.uid};
  }
  return {_trackable2.uid, _trackable1.uid};
}
}  // namespace

bool application::get_desensitized_state(const trackable_object& _trackable1,
                                         const trackable_object& _trackable2) const {
  if (m_pair_selection == pair_selection::candidates) {
    return m_events.is_desensitized(_trackable1.id, _trackable2.id);
  }
  return m_desensitized_state.count(desensitized_key(_trackable1, _trackable2)) != 0;
}

void application::set_desensitized_state(bool _state, const trackable_object& _trackable1,
                                         const trackable_object& _trackable2) {
  if (m_pair_selection == pair_selection::candidates) {
    m_events.set_desensitized(_state, _trackable1.id, _trackable2.id);
  } else if (_state) {
    m_desensitized_state.insert(desensitized_key(_trackable1, _trackable2));
  } else {
    m_desensitized_state.erase(desensitized_key(_trackable1, _trackable2));
  }
}

// ---- Association replay -------------------------------------------------------------------

void application::process_VDA_until(timestamp _timestamp) {
  if (!m_current_vda) {
    m_current_vda = m_vdas.cbegin();
  }
  vdas_vector::const_iterator& current = *m_current_vda;
  while (current != m_vdas.cend() && current->timestamp <= _timestamp) {
    apply_vda(current);
    ++current;
  }
}

void application::process_remaining_VDA() {
  constexpr std::int64_t max_long = std::numeric_limits<std::int64_t>::max();
  process_VDA_until(timestamp(max_long, max_long));
}

void application::apply_vda(vdas_vector::const_iterator _vda) {
  trackable_object& driver = m_track_objs.at(_vda->driver_uid);
  trackable_object& vehicle = m_track_objs.at(_vda->vehicle_uid);
  if (_vda->created) {
    driver.set_associated_vehicle(_vda->vehicle_uid);
    vehicle.set_associated_driver(_vda->driver_uid);
    association_changed(driver);
    association_changed(vehicle);
    // A new driver's open events are never written, including the time before.
    for_each_event(driver, [](event& _event) {
      _event.m_should_skip = event::should_skip::yes;
      return true;
    });
  } else {
    const auto vda_index = static_cast<std::uint64_t>(_vda - m_vdas.cbegin());
    driver.clear_vda_association(vda_index);
    vehicle.clear_vda_association(vda_index);
    association_changed(driver);
    association_changed(vehicle);
  }
}

void application::association_changed(trackable_object& _trackable_object) {
  const bool driving = _trackable_object.is_vda_driver();
  m_events.set_driving(_trackable_object.id, driving);
  if (m_pair_selection == pair_selection::candidates) {
    const std::string& partner_uid = _trackable_object.get_vda_uid();
    const std::uint32_t partner =
        partner_uid.empty() ? pair_candidates::no_id : *m_ids.find(partner_uid);
    m_candidates.association_changed(_trackable_object.id, partner, driving);
  }
}

// ---- Output and clean-up ------------------------------------------------------------------

Json::Value application::get_events_as_json() const {
  Json::Value events(Json::arrayValue);
  for (const event* ev : m_events.written_in_creation_order()) {
    events.append(ev->get_as_json());
  }
  return events;
}

Json::Value application::get_track_objs_as_json() const {
  Json::Value track_objs(Json::arrayValue);
  for (const auto& entry : m_track_objs) {
    track_objs.append(entry.second.get_as_json());
  }
  return track_objs;
}

exit_code application::save_event_file() const {
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "    ";
  try {
    refuse_input_as_temporary();
    output_file out;
    out.open(m_output_event_file_name);
    Json::Value document;
    document["trackableObjects"] = get_track_objs_as_json();
    document["events"] = get_events_as_json();
    std::string text = Json::writeString(builder, document);
    text += '\n';
    out.write(text);
    out.commit();
  } catch (const std::exception& e) {
    std::cerr << "Error writing file:" << m_output_event_file_name << " (" << e.what() << ")"
              << std::endl;
    return exit_code::SYNC_FAILURE_WRITING_OUTPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}

// Replacing a stale temporary file that is in fact an input would lose that input.
void application::refuse_input_as_temporary() const {
  const std::string temporary = temporary_name_of(m_output_event_file_name);
  for (const input_file* input : inputs()) {
    if (input->is_at(temporary)) {
      throw vela::exception(temporary + ": an input of this run").set_location(__FILE__, __LINE__);
    }
  }
}

std::array<const input_file*, 3> application::inputs() const {
  return {&m_input_position_file.source(), &m_trackables_input, &m_vdas_input};
}

exit_code application::write_events_to_standard_output() const {
  try {
    std::string text = Json::writeString(Json::StreamWriterBuilder(), get_events_as_json());
    text += '\n';
    std::cout.flush();
    write_all(STDOUT_FILENO, text, "standard output");
  } catch (const std::exception& e) {
    std::cerr << "Error writing file: (" << e.what() << ")" << std::endl;
    return exit_code::SYNC_FAILURE_WRITING_OUTPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}

exit_code application::delete_input_files() const {
  if (m_save_input_files) {
    return exit_code::SYNC_SUCCESS;
  }
  exit_code res = exit_code::SYNC_SUCCESS;
  // Every deletion is attempted; a file that is already gone is not an error.
  for (const input_file* input : inputs()) {
    boost::system::error_code ignored;
    if (!m_output_event_file_name.empty() &&
        boost::filesystem::equivalent(input->name, m_output_event_file_name, ignored)) {
      continue;  // the result was written over this input: deleting it would lose the result
    }
    const std::string failure = delete_input(*input);
    if (!failure.empty()) {
      std::cerr << failure << std::endl;
      res = exit_code::SYNC_FAILURE_UNKNOWN;
    }
  }
  return res;
}

exit_code application::run() {
  try {
    generate_alarms();
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return exit_code::SYNC_FAILURE_UNKNOWN;
  }
  const exit_code delivered = m_output_event_file_name.empty() ? write_events_to_standard_output()
                                                               : save_event_file();
  if (delivered != exit_code::SYNC_SUCCESS) {
    return delivered;  // nothing delivered: the inputs stay
  }
  return delete_input_files();
}
}  // namespace vela
