#pragma once
// What a day's run gives the store beside its provenance, counted in the same pass as the
// events: the exposure of every object (the hours that turn counts into rates), the events
// themselves, and the counts the report over months reads instead of the events: per quarter
// hour of UTC time, per object and local day, per density cell.

#include <array>
#include <limits>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "common/zones.hpp"
#include "recording/fed_line.hpp"
#include "replay/event_sink.hpp"
#include "site/site.hpp"
#include "site/site_config.hpp"

namespace vela::site_tool {
// Seconds of a quarter hour: the buckets of the counts.
constexpr std::int64_t bucket_s = 900;
// Exposure by what the object was: a vehicle, a person, a person driving (part of the persons').
enum exposure_kind { vehicle_exposure, person_exposure, driving_exposure, exposure_kinds };

enum class event_kind { person_vehicle, vehicle_vehicle };
const char* kind_name(event_kind _kind);  // "person-vehicle", "vehicle-vehicle"

// The distance classes: below 500, 500 to 1,000, above 1,000 mm (by their lower edge).
std::int64_t distance_class(std::int64_t _distance_mm);
// The duration classes: the largest of 0, 1, 2, 5, 10, 30 and 60 s at most the duration.
std::int64_t duration_class(std::int64_t _duration_s);

// An event as the store keeps it, its objects ordered as vela-summary rows them: a person
// first, otherwise by uid.
struct tallied_event {
  event_record record;  // as the replay made it
  event_kind kind = event_kind::vehicle_vehicle;
  int a = 0;  // the side of record.objects shown first
  std::vector<std::uint32_t> zones;  // holding its mark
  std::uint32_t zone_set = 0;        // of day_tally::zone_sets()
  std::string shift;                 // of its start, or "" for no shift
};

class day_tally : public event_sink {
 public:
  using exposure_ms = std::array<std::int64_t, exposure_kinds>;

  struct bucket {
    std::uint64_t lines = 0;
    exposure_ms exposure{};
  };
  // kind, zone set, shift ("" for none), duration class, distance class.
  using event_key = std::tuple<int, std::uint32_t, std::string, std::int64_t, std::int64_t>;
  // An object in a role (role_of), local day, kind, zone set, duration class.
  using object_event_key =
      std::tuple<object_id, int, std::string, int, std::uint32_t, std::int64_t>;
  // Cell x, cell y (in sides of the cell from the origin), kind, zone set, duration class.
  using cell_key = std::tuple<std::int64_t, std::int64_t, int, std::uint32_t, std::int64_t>;
  enum role { as_vehicle, as_driver, as_person };
  struct object_day {
    std::int64_t presence_ms = 0;
    std::array<std::uint64_t, 2> events{};  // by kind
  };

  day_tally(const site& _site, const site_config& _config, const tools::zone_map* _zones);

  // The accepted lines, in the order the replay takes them.
  void lines(std::span<const fed_line> _lines);
  // After the last line: what is still counted per object goes to its day.
  void finish();
  void event_final(const event_record& _event) override;
  void run_committed() override {}
  void run_abandoned() override {}

  // The day: the site-local date of the first accepted line; empty without one.
  const std::string& day() const { return m_day; }
  const timestamp& first() const { return m_first; }
  const timestamp& last() const { return m_last; }
  std::uint64_t lines_accepted() const { return m_lines; }
  const exposure_ms& exposure() const { return m_exposure; }
  const std::vector<tallied_event>& events() const { return m_events; }
  std::uint64_t events_of(event_kind _kind) const { return m_by_kind[static_cast<int>(_kind)]; }

  const std::map<std::int64_t, bucket>& buckets() const { return m_buckets; }
  // By quarter hour and zone set: every gap of a site with zones in one of them.
  const std::map<std::pair<std::int64_t, std::uint32_t>, exposure_ms>& zone_buckets() const {
    return m_zone_buckets;
  }
  // The zones holding a mark or a position, each set once, by its index; 0 is the empty set.
  const std::vector<std::vector<std::uint32_t>>& zone_sets() const { return m_zone_sets; }
  const std::map<object_event_key, std::uint64_t>& object_events() const {
    return m_object_events;
  }
  const std::map<std::pair<std::int64_t, event_key>, std::uint64_t>& event_buckets() const {
    return m_event_buckets;
  }
  const std::map<std::pair<object_id, std::string>, object_day>& object_days() const {
    return m_object_days;
  }
  const std::map<cell_key, std::uint64_t>& density() const { return m_density; }

 private:
  struct object_state {
    std::int64_t last_ms = 0;
    bool seen = false;
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool driving = false;
    std::uint32_t zone_set = 0;          // of its last counted gap
    std::int64_t day = 0;                // local day number of the presence below
    std::int64_t day_presence_ms = 0;    // not yet in m_object_days
  };

  void apply_associations_until(const timestamp& _time);
  void count_gap(object_id _id, const object_state& _from, std::int64_t _to_ms);
  // The index of the zone set just found (m_zones_found).
  std::uint32_t zone_set();
  // The local date and minute of the day of _ts, the offset looked up once a quarter hour.
  tools::local_moment local(std::int64_t _ts);
  int offset_minutes(std::int64_t _bucket);
  bucket& bucket_at(std::int64_t _bucket_s);
  exposure_ms& zone_bucket_at(std::int64_t _bucket_s, std::uint32_t _set);
  void flush_day(object_id _id, object_state& _object);

  const site& m_site;
  const site_config& m_config;
  const tools::zone_map* m_zones;
  std::vector<object_state> m_objects;
  std::size_t m_next_association = 0;
  std::vector<std::uint32_t> m_zones_found;  // reused
  std::unordered_map<std::int64_t, int> m_offsets;  // minutes east of UTC, by bucket
  // The bucket, zone buckets and offset met last: lines come mostly in time order.
  std::int64_t m_cached_bucket = std::numeric_limits<std::int64_t>::min();
  bucket* m_cached = nullptr;
  std::int64_t m_cached_zone_bucket = std::numeric_limits<std::int64_t>::min();
  std::vector<exposure_ms*> m_cached_zones;
  std::int64_t m_cached_offset_bucket = std::numeric_limits<std::int64_t>::min();
  int m_cached_offset = 0;

  std::string m_day;
  timestamp m_first;
  timestamp m_last;
  std::uint64_t m_lines = 0;
  exposure_ms m_exposure{};
  std::vector<tallied_event> m_events;
  std::array<std::uint64_t, 2> m_by_kind{};
  std::map<std::int64_t, bucket> m_buckets;
  std::map<std::pair<std::int64_t, std::uint32_t>, exposure_ms> m_zone_buckets;
  std::map<std::pair<std::int64_t, event_key>, std::uint64_t> m_event_buckets;
  std::map<std::pair<object_id, std::string>, object_day> m_object_days;
  std::map<object_event_key, std::uint64_t> m_object_events;
  std::map<cell_key, std::uint64_t> m_density;
  std::vector<std::vector<std::uint32_t>> m_zone_sets{{}};
  std::map<std::vector<std::uint32_t>, std::uint32_t> m_zone_set_index{{{}, 0}};
};
}  // namespace vela::site_tool
