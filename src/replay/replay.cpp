#include "replay/replay.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "base/geometry.hpp"
#include "exception.hpp"
#include "replay/proximity_grid.hpp"

namespace vela {
namespace {
constexpr std::int64_t desensitization_area_size_mm = 175;  // half-width of the hysteresis band
constexpr std::int64_t five_minutes_s = 300;
constexpr std::int64_t exact_square_limit = std::int64_t{1} << 23;

// The largest square of a distance that rounds to _distance_mm or less: sqrt(s) < d + 0.5.
std::uint64_t max_square_within(std::uint64_t _distance_mm) {
  return _distance_mm * _distance_mm + _distance_mm;
}
}  // namespace

replay::replay(const site& _site, std::uint32_t _threshold_mm)
    : m_site(_site), m_threshold_mm(_threshold_mm), m_objects(_site.size()) {
  m_hot.resize(_site.size());
  for (object_id id = 0; id < _site.size(); ++id) {
    m_hot[id].person = _site.is_person(id);
    m_hot[id].has_no_alarm = !_site.object(id).no_alarm.empty();
    m_hot[id].named = named_partner(id);
  }
  const std::int64_t band_top = std::int64_t{_threshold_mm} + desensitization_area_size_mm;
  m_exact_squares = band_top < exact_square_limit;
  if (m_exact_squares) {
    m_contact_max_s = max_square_within(_threshold_mm);
    m_band_max_s = max_square_within(static_cast<std::uint64_t>(band_top - 1));
  }
  m_events.reset(m_hot);
  m_candidates.reset(_site, _threshold_mm, m_hot);
}

// ---- The pass -----------------------------------------------------------------------------

void replay::run(line_reader& _reader, progress& _report,
                 const std::function<void(const event_record&)>& _sink) {
  line_feed feed(_reader, m_site, line_feed::second_core_available());
  while (const line_batch* batch = feed.next()) {
    m_counts += batch->counts;
    _report.update(m_counts.lines_read, batch->file_bytes_read, _reader.size());
    const std::vector<fed_line>& lines = batch->lines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i + 1 < lines.size()) {  // on its way into the cache while this line is evaluated
        prefetch(lines[i + 1]);
      }
      process_line(lines[i]);
      m_events.take_finished(_sink);
    }
  }
  _report.finish();
  if (const std::string why = refusal(_reader.source().name, m_counts); !why.empty()) {
    throw vela::exception(why).set_location(__FILE__, __LINE__);
  }
  m_events.lines_ended();
  process_remaining_VDA();
  if (m_watcher) {
    m_watcher(nullptr);
  }
  m_events.finish(m_latest, _sink);
}

void replay::watch(object_id _a, object_id _b, std::function<void(const fed_line*)> _watcher) {
  m_watched = {_a, _b};
  m_watcher = std::move(_watcher);
}

std::string replay::refusal(const std::string& _file_name, const recording_counts& _counts) {
  std::string why;
  if (_counts.carriage_returns_alone) {
    // One line to the line rules: its first record would be taken and every other one lost.
    why = "its lines end in carriage returns alone";
  } else if (_counts.position_lines == 0 && _counts.non_empty_lines > 0) {
    // Another kind of file, or another format.
    why = std::to_string(_counts.lines_read) +
          (_counts.lines_read == 1 ? " line read, not a position line"
                                   : " lines read, none of them a position line");
  } else if (_counts.position_lines > 0 && _counts.site_lines == 0) {
    // The recording of another site, or the trackables of another.
    why = std::to_string(_counts.position_lines) +
          (_counts.position_lines == 1
               ? " position line read, naming no object of the site"
               : " position lines read, none of them naming an object of the site");
  }
  return why.empty() ? why : "Error reading file:" + _file_name + " (" + why + ")";
}

void replay::prefetch(const fed_line& _line) const {
  __builtin_prefetch(&m_objects[_line.id], 1);
  m_candidates.prefetch(_line.id, _line.x, _line.y);
  m_events.prefetch(_line.id);
}

void replay::process_line(const fed_line& _line) {
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
#ifndef VELA_WITHOUT_WATCH  // the benchmark's build without it, to show what watching costs
  if (id == m_watched[0] || id == m_watched[1]) [[unlikely]] {
    m_watcher(&_line);
  }
#endif
}

// ---- The rule of a pair -------------------------------------------------------------------

void replay::evaluate_pair(object_id _a, object_id _b, const timestamp& _line_time) {
  const hot_object& a = m_hot[_a];
  const hot_object& b = m_hot[_b];
  if (_b == _a || !b.positioned) {
    return;  // itself, or not positioned yet
  }
  if ((a.person && b.person) || on_no_alarm_list(_a, _b)) {
    return;
  }
  const std::int64_t distance_mm = planar_distance_mm(a.x, a.y, b.x, b.y);
  const event_store::pair_view pair = m_events.find_inactive(_a, _b);
  if (driver_rule_holds(_a, _b)) {
    // Only skipped events, whatever the distance. An open event that is not active has a
    // driver, so it is skipped already.
    if (!pair.open) {
      create_event(_a, _b, distance_mm, true, pair.desensitized);
    }
    return;
  }
  decide(distance_mm, pair, _line_time);
}

// Most lines find an active pair still in contact, or inside the band: the squares of the
// differences tell that without the distance itself, and then at most its event comes closer.
void replay::evaluate_active_pair(const event_store::pair_view& _pair,
                                  const timestamp& _line_time) {
  const hot_object& a = m_hot[_pair.a];
  const hot_object& b = m_hot[_pair.b];
  if (!b.positioned) {
    return;
  }
  if (driver_rule_holds(_pair.a, _pair.b)) {
    m_events.mark_skipped(_pair);
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
        m_events.lower_distance(
            _pair, static_cast<std::uint32_t>(planar_distance_mm(a.x, a.y, b.x, b.y)));
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
void replay::decide(std::int64_t _distance_mm, const event_store::pair_view& _pair,
                    const timestamp& _line_time) {
  const std::int64_t threshold = m_threshold_mm;
  const bool contact_is_detected = _distance_mm <= threshold;
  const bool in_desensitization_area = threshold - desensitization_area_size_mm < _distance_mm &&
                                       _distance_mm < threshold + desensitization_area_size_mm;
  const bool may_change = !_pair.desensitized || !in_desensitization_area;
  const bool create = may_change && !_pair.open && contact_is_detected;
  const bool close = may_change && _pair.open && !contact_is_detected;
  if (event_record* record = m_events.record_of(_pair)) {  // lowered before closing: final then
    if (_distance_mm < record->distance) {
      m_events.lower_distance(_pair, static_cast<std::uint32_t>(_distance_mm));
    }
    if (close) {
      record->duration =
          std::max<std::int64_t>(timestamp::delta_s(record->timestamp, _line_time), 1);
    }
  }
  // Each creation or closing flips the hysteresis.
  if (close) {
    m_events.close(_pair, !_pair.desensitized);
  }
  if (create) {
    create_event(_pair.a, _pair.b, _distance_mm, false, !_pair.desensitized);
  }
}

void replay::create_event(object_id _a, object_id _b, std::int64_t _distance_mm, bool _skipped,
                          bool _desensitized) {
  const object_state& a = m_objects[_a];
  // No event on an object's first position with the partner of an association that ended less
  // than five minutes before.
  const bool processing_first_position_of_trackable = a.last_time == a.first_time;
  if (_skipped || (processing_first_position_of_trackable &&
                   has_closed_vda_within_last_5_minutes(a.last_time, _a, _b))) {
    m_events.open(_a, _b, nullptr, _desensitized);
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
}

bool replay::driver_rule_holds(object_id _a, object_id _b) const {
  const hot_object& a = m_hot[_a];
  const hot_object& b = m_hot[_b];
  return a.named == _b || b.named == _a || a.driving || b.driving;
}

bool replay::on_no_alarm_list(object_id _a, object_id _b) const {
  const auto lists = [&](object_id _owner, object_id _other) {
    const std::vector<object_id>& list = m_site.object(_owner).no_alarm;
    return std::binary_search(list.begin(), list.end(), _other);
  };
  return (m_hot[_a].has_no_alarm && lists(_a, _b)) || (m_hot[_b].has_no_alarm && lists(_b, _a));
}

bool replay::has_closed_vda_within_last_5_minutes(const timestamp& _timestamp, object_id _a,
                                                  object_id _b) const {
  const std::size_t closing = m_objects[_a].closing_record;
  if (closing == no_record) {
    return false;
  }
  const association_record& record = m_site.associations()[closing];
  if (timestamp::delta_s(record.timestamp, _timestamp) >= five_minutes_s) {
    return false;
  }
  return _b == record.driver || _b == record.vehicle;
}

object_id replay::named_partner(object_id _id) const {
  const object_id partner = m_objects[_id].partner;
  return partner != no_object ? partner : m_site.empty_uid_object();
}

// ---- Association replay -------------------------------------------------------------------

void replay::process_VDA_until(timestamp _timestamp) {
  const std::vector<association_record>& records = m_site.associations();
  while (m_next_association < records.size() &&
         records[m_next_association].timestamp <= _timestamp) {
    apply_association(m_next_association);
    ++m_next_association;
  }
}

void replay::process_remaining_VDA() {
  constexpr std::int64_t max_long = std::numeric_limits<std::int64_t>::max();
  process_VDA_until(timestamp(max_long, max_long));
}

void replay::apply_association(std::size_t _index) {
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
    m_events.for_each_open_record(
        record.driver, [](event_record& _event) { _event.m_state = event_record::state::skipped; });
  } else {
    driver.partner = no_object;
    driver.closing_record = _index;
    vehicle.partner = no_object;
    vehicle.closing_record = _index;
  }
  association_changed(record.driver);
  association_changed(record.vehicle);
}

void replay::association_changed(object_id _id) {
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
}  // namespace vela
