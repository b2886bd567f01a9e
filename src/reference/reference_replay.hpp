#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/functional/hash.hpp>
#include <boost/optional.hpp>
#include <json/json.h>

#include "event.hpp"
#include "rules.hpp"
#include "site/site.hpp"
#include "timestamp.hpp"
#include "trackable_object.hpp"
#include "vehicle_driver_association.hpp"

namespace vela {
// The detection exactly as its rules are stated, kept plain as the reference that the fast
// replay is held against: every positioned object against every other on every line, state
// kept by uid text in the records the rules speak of (trackable_object, event,
// vehicle_driver_association), the document built as one JSON tree and written by the JSON
// library. Slow on purpose; used by tests, fuzzing and the benchmark, never by a run.
class reference_replay {
 public:
  using vdas_vector = std::vector<vehicle_driver_association>;

  reference_replay(const site& _site, std::uint32_t _distance_in_mm);

  // Replays every line of _positions. Throws vela::exception when the file has lines but not one
  // of them is a position line (_file_name names it then).
  void generate_alarms(std::istream& _positions, const std::string& _file_name);
  // The same a line at a time: process_line for each, then finish once.
  void process_line(const std::string& _line);
  void finish(const std::string& _file_name);
  // The uids of the objects whose pair with the line's object the last line changed: an event
  // opened, closed, marked or come closer, or the hysteresis turned.
  const std::vector<std::string>& changed_pairs() const { return m_changed_pairs; }

  // The event document of the file (four-blank indentation) or the events array of standard
  // output (tabs), each followed by a newline, as the JSON library writes them.
  std::string document(bool _file_form) const;
  Json::Value get_events_as_json() const;
  Json::Value get_track_objs_as_json() const;

  const std::map<std::string, trackable_object>& track_objs() const { return m_track_objs; }

 private:
  struct pair_state {
    bool desensitized = false;
    std::size_t events = 0;  // the size of the event list: a new event grows it
    bool open = false;
    std::int64_t duration = 0;
    std::int64_t distance = 0;
    bool skipped = false;
    bool operator==(const pair_state&) const = default;
  };
  pair_state state_of(const trackable_object& _a, const trackable_object& _b);

  void evaluate_pair(trackable_object& _track_obj, trackable_object& _another_track_obj,
                     const timestamp& _line_timestamp);
  // The decision on a pair outside the driver rule; pair steps 8 and 9 of the rule.
  void decide(trackable_object& _track_obj, trackable_object& _another_track_obj,
              std::int64_t _distance_between_TOs, boost::optional<event&> _event,
              const timestamp& _line_timestamp);

  // The event list.
  boost::optional<event&> find_event(const trackable_object& _trackable_object_1,
                                     const trackable_object& _trackable_object_2);
  event& create_event(const timestamp& _timestamp, const std::uint32_t& _distance,
                      trackable_object& _trackable_object_1, trackable_object& _trackable_object_2,
                      event::should_skip _should_skip);
  void close_event(event& _event, timestamp _closing_timestamp,
                   trackable_object& _trackable_object_1, trackable_object& _trackable_object_2);
  bool for_each_event(const trackable_object& _trackable_object,
                      const std::function<bool(event&)>& _callback);
  bool has_closed_vda_within_last_5_minutes(timestamp _timestamp,
                                            const trackable_object& _trackable_object_1,
                                            const trackable_object& _trackable_object_2) const;

  // The hysteresis, kept as a set of uid pairs, the greater uid first.
  bool get_desensitized_state(const trackable_object& _trackable1,
                              const trackable_object& _trackable2) const;
  void set_desensitized_state(bool _state, const trackable_object& _trackable1,
                              const trackable_object& _trackable2);

  // Association replay.
  void process_VDA_until(timestamp _timestamp);
  void process_remaining_VDA();

  const std::uint32_t m_distance_in_mm;
  const run_rules m_rules;  // of m_distance_in_mm
  std::map<std::string, trackable_object> m_track_objs;
  vdas_vector m_vdas;
  boost::optional<vdas_vector::const_iterator> m_current_vda;
  std::deque<event> m_events;  // a deque: events are held by reference while the list grows
  std::unordered_set<std::pair<std::string, std::string>,
                     boost::hash<std::pair<std::string, std::string>>>
      m_desensitized_state;
  timestamp m_latest_timestamp;
  std::uint64_t m_lines = 0;
  bool m_any_non_empty = false;
  bool m_any_position = false;
  bool m_any_on_site = false;
  bool m_carriage_returns_alone = false;  // the first line passes the rules with a CR inside
  std::vector<std::string> m_changed_pairs;
};
}  // namespace vela
