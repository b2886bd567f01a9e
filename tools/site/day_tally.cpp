#include "site/day_tally.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vela::site_tool {
namespace {
constexpr std::int64_t bucket_ms = bucket_s * 1000;
// Times beyond this many seconds from the epoch are not counted as exposure: their
// milliseconds would not fit.
constexpr std::int64_t countable_s = std::int64_t{1} << 40;

std::int64_t floor_div(std::int64_t _a, std::int64_t _b) {
  const std::int64_t q = _a / _b;
  return (_a % _b != 0 && (_a < 0) != (_b < 0)) ? q - 1 : q;
}

bool countable(const timestamp& _time) {
  return _time.ts > -countable_s && _time.ts < countable_s && _time.ms > -countable_s &&
         _time.ms < countable_s;
}

std::int64_t milliseconds(const timestamp& _time) { return _time.ts * 1000 + _time.ms; }
}  // namespace

const char* kind_name(event_kind _kind) {
  return _kind == event_kind::person_vehicle ? "person-vehicle" : "vehicle-vehicle";
}

std::int64_t distance_class(std::int64_t _distance_mm) {
  return _distance_mm < 500 ? 0 : _distance_mm <= 1000 ? 500 : 1000;
}

std::int64_t duration_class(std::int64_t _duration_s) {
  std::int64_t found = 0;
  for (const std::int64_t edge : duration_edges_s) {
    if (edge <= _duration_s) {
      found = edge;
    }
  }
  return found;
}

day_tally::day_tally(const site& _site, const site_config& _config,
                     const tools::zone_map* _zones)
    : m_site(_site), m_config(_config), m_zones(_zones), m_objects(_site.size()) {}

void day_tally::lines(std::span<const fed_line> _lines) {
  for (const fed_line& line : _lines) {
    if (m_lines++ == 0) {
      m_first = m_last = line.timestamp;
      m_day = local(line.timestamp.ts).date;
    }
    m_first = std::min(m_first, line.timestamp);
    m_last = std::max(m_last, line.timestamp);
    apply_associations_until(line.timestamp);
    object_state& object = m_objects[line.id];
    if (!countable(line.timestamp)) {
      object.seen = false;  // no gap to or from it is counted
      continue;
    }
    const std::int64_t now_ms = milliseconds(line.timestamp);
    ++bucket_at(floor_div(now_ms, bucket_ms) * bucket_s).lines;
    if (object.seen && now_ms >= object.last_ms &&
        now_ms - object.last_ms <= m_config.presence_gap_ms) {
      count_gap(line.id, object, now_ms);
    }
    object.seen = true;
    object.last_ms = now_ms;
    object.x = line.x;
    object.y = line.y;
  }
}

// The associations as the replay applies them, so that a person's driving is the replay's.
void day_tally::apply_associations_until(const timestamp& _time) {
  const std::vector<association_record>& records = m_site.associations();
  while (m_next_association < records.size() &&
         records[m_next_association].timestamp <= _time) {
    const association_record& record = records[m_next_association++];
    m_objects[record.driver].driving =
        record.created && record.vehicle != m_site.empty_uid_object();
    m_objects[record.vehicle].driving = false;
  }
}

void day_tally::count_gap(object_id _id, const object_state& _from, std::int64_t _to_ms) {
  const bool person = m_site.is_person(_id);
  const bool driving = person && _from.driving;
  object_state& object = m_objects[_id];
  std::uint32_t set = 0;
  if (m_zones != nullptr) {
    m_zones->zones_at(_from.x, _from.y, _from.x, _from.y, m_zones_found);
    // Mostly in the zones of its last gap: no lookup then.
    set = m_zone_sets[object.zone_set] == m_zones_found ? object.zone_set : zone_set();
    object.zone_set = set;
  }
  const auto add = [&](exposure_ms& _exposure, std::int64_t _ms) {
    _exposure[person ? person_exposure : vehicle_exposure] += _ms;
    if (driving) {
      _exposure[driving_exposure] += _ms;
    }
  };
  add(m_exposure, _to_ms - _from.last_ms);
  for (std::int64_t at = _from.last_ms; at < _to_ms;) {
    const std::int64_t bucket = floor_div(at, bucket_ms);
    const std::int64_t until = std::min(_to_ms, (bucket + 1) * bucket_ms);
    add(bucket_at(bucket * bucket_s).exposure, until - at);
    if (m_zones != nullptr) {
      add(zone_bucket_at(bucket * bucket_s, set), until - at);
    }
    at = until;
  }
  // A gap counts to the local day it started on.
  const std::int64_t started_s = floor_div(_from.last_ms, 1000);
  const std::int64_t day = floor_div(
      started_s + std::int64_t{offset_minutes(floor_div(started_s, bucket_s))} * 60, 86400);
  if (object.day_presence_ms != 0 && object.day != day) {
    flush_day(_id, object);
  }
  object.day = day;
  object.day_presence_ms += _to_ms - _from.last_ms;
}

void day_tally::flush_day(object_id _id, object_state& _object) {
  m_object_days[{_id, tools::local_moment_at(_object.day * 86400, 0).date}].presence_ms +=
      _object.day_presence_ms;
  _object.day_presence_ms = 0;
}

void day_tally::finish() {
  for (object_id id = 0; id < m_objects.size(); ++id) {
    if (m_objects[id].day_presence_ms != 0) {
      flush_day(id, m_objects[id]);
    }
  }
}

day_tally::bucket& day_tally::bucket_at(std::int64_t _bucket_s) {
  if (_bucket_s != m_cached_bucket) {
    m_cached = &m_buckets[_bucket_s];
    m_cached_bucket = _bucket_s;
  }
  return *m_cached;
}

day_tally::exposure_ms& day_tally::zone_bucket_at(std::int64_t _bucket_s, std::uint32_t _set) {
  if (_bucket_s != m_cached_zone_bucket) {
    m_cached_zones.assign(m_cached_zones.size(), nullptr);
    m_cached_zone_bucket = _bucket_s;
  }
  if (_set >= m_cached_zones.size()) {
    m_cached_zones.resize(_set + 1, nullptr);
  }
  if (m_cached_zones[_set] == nullptr) {
    m_cached_zones[_set] = &m_zone_buckets[{_bucket_s, _set}];
  }
  return *m_cached_zones[_set];
}

int day_tally::offset_minutes(std::int64_t _bucket) {
  if (_bucket != m_cached_offset_bucket) {
    auto found = m_offsets.find(_bucket);
    if (found == m_offsets.end()) {
      found = m_offsets.emplace(_bucket, m_config.clock.offset_minutes_at(_bucket * bucket_s)).first;
    }
    m_cached_offset_bucket = _bucket;
    m_cached_offset = found->second;
  }
  return m_cached_offset;
}

void day_tally::event_final(const event_record& _event) {
  tallied_event event;
  event.record = _event;
  const bool persons[2] = {m_site.is_person(_event.objects[0]),
                           m_site.is_person(_event.objects[1])};
  event.kind = persons[0] || persons[1] ? event_kind::person_vehicle : event_kind::vehicle_vehicle;
  event.a = persons[1] || (!persons[0] && _event.objects[1] < _event.objects[0]) ? 1 : 0;
  if (m_zones != nullptr) {
    m_zones->zones_at(_event.x[0], _event.y[0], _event.x[1], _event.y[1], m_zones_found);
    event.zones = m_zones_found;
    event.zone_set = zone_set();
  }
  const tools::local_moment start = local(_event.timestamp.ts);
  if (const shift* in = m_config.shift_at(start.minute_of_day)) {
    event.shift = in->name;
  }
  const int kind = static_cast<int>(event.kind);
  ++m_by_kind[kind];
  const std::int64_t bucket = floor_div(_event.timestamp.ts, bucket_s) * bucket_s;
  const std::int64_t duration = duration_class(_event.duration);
  const std::int64_t distance = distance_class(_event.distance);
  ++m_event_buckets[{bucket, {kind, event.zone_set, event.shift, duration, distance}}];
  for (std::size_t side = 0; side < 2; ++side) {
    const object_id id = _event.objects[side];
    ++m_object_days[{id, start.date}].events[kind];
    const int role_of_object = m_site.is_person(id) ? as_person : as_vehicle;
    ++m_object_events[{id, role_of_object, start.date, kind, event.zone_set, duration}];
    if (_event.drivers[side] != no_object) {
      ++m_object_events[{_event.drivers[side], as_driver, start.date, kind, event.zone_set,
                         duration}];
    }
  }
  // The mark, the midpoint, in half millimetres; the cell by its corner in the site's metres.
  const double cell_half_mm = m_config.cell_m * 2000;
  const auto cell = [&](std::int32_t _a, std::int32_t _b) {
    return static_cast<std::int64_t>(
        std::floor((static_cast<double>(_a) + static_cast<double>(_b)) / cell_half_mm));
  };
  ++m_density[{cell(_event.x[0], _event.x[1]), cell(_event.y[0], _event.y[1]), kind,
               event.zone_set, duration}];
  m_events.push_back(std::move(event));
}

std::uint32_t day_tally::zone_set() {
  const auto [found, added] = m_zone_set_index.emplace(
      m_zones_found, static_cast<std::uint32_t>(m_zone_sets.size()));
  if (added) {
    m_zone_sets.push_back(m_zones_found);
  }
  return found->second;
}

tools::local_moment day_tally::local(std::int64_t _ts) {
  if (_ts <= -countable_s || _ts >= countable_s) {
    return {"unknown", 0};  // no day of a calendar
  }
  return tools::local_moment_at(_ts, offset_minutes(floor_div(_ts, bucket_s)));
}
}  // namespace vela::site_tool
