#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/functional/hash.hpp>
#include <boost/optional.hpp>
#include <json/json.h>

#include "event.hpp"
#include "event_store.hpp"
#include "flat_map.hpp"
#include "globals.hpp"
#include "input_file.hpp"
#include "line_reader.hpp"
#include "pair_candidates.hpp"
#include "position.hpp"
#include "progress.hpp"
#include "proximity_grid.hpp"
#include "timestamp.hpp"
#include "trackable_object.hpp"
#include "vehicle_driver_association.hpp"

namespace vela {
// One run: loads the three inputs (init), replays the positions and delivers the events (run).
// Start here: init() and run() call everything else, in the order of the source file.
class application {
 public:
  using vdas_vector = std::vector<vehicle_driver_association>;

  // How a position line evaluates its pairs. Both give the same result. all_pairs is the plain
  // reference that tests and benchmarks hold the fast way against: every pair on every line, the
  // open event found by walking the object's open events, the hysteresis state kept as a set of
  // uid pairs. candidates evaluates only the pairs that can change (pair_candidates) and keys
  // pair state by object ids.
  enum class pair_selection { candidates, all_pairs };

  application(const std::string& _input_position_file_name,
              const std::string& _trackables_file_name, const std::string& _vda_file_name,
              std::uint32_t _distance_in_mm, const std::string& _output_event_file_name,
              bool _save_input_files);

  // Reads the trackables and association files and opens the position file.
  // SYNC_SUCCESS, or 2 (cannot open) or 3 (cannot parse) after one line on standard error.
  exit_code init();
  // Replays the positions, delivers the events (file or standard output) and then, unless -s,
  // deletes the three inputs. 0; 1 when the replay or a deletion failed; 4 when the result
  // could not be delivered (the inputs are kept then).
  exit_code run();

  // The replay of the position file. Throws on failures (read errors, inconsistent tables).
  void generate_alarms();
  // Writes the event document to the output file. 0, or 4 after one line on standard error.
  exit_code save_event_file() const;

  void set_pair_selection(pair_selection _selection) { m_pair_selection = _selection; }

  // The loaded tables, read-only, for tools and tests.
  const std::map<std::string, trackable_object>& track_objs() const { return m_track_objs; }
  const vdas_vector& vdas() const { return m_vdas; }

  // Rounded planar distance between two positions carrying x and y in mm.
  template <class P1, class P2>
  static std::int64_t distance(const P1& _pos1, const P2& _pos2) {
    return planar_distance_mm(_pos1.x, _pos1.y, _pos2.x, _pos2.y);
  }

 private:
  // Loading.
  // Reads and parses one JSON input; _read records which file it was.
  exit_code get_json_message_from_file(const std::string& _file_name, Json::Value& _json_message,
                                       input_file& _read) const;
  exit_code get_trackable_objects_from_json(const Json::Value& _message);
  exit_code get_vdas_from_json(const Json::Value& _message);
  void index_trackable_objects();

  // Event store.
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
  trackable_object_for_event snapshot(const trackable_object& _trackable_object) const;

  // Detection pass.
  static constexpr std::uint32_t no_object = UINT32_MAX;
  struct parsed_line {
    boost::optional<position_view> pos;
    std::uint32_t id = no_object;  // the object of an accepted line, if known
  };
  bool read_line(parsed_line& _parsed, progress& _report);
  void process_line(const position_view& _pos, std::uint32_t _id);
  void evaluate_pair(trackable_object& _track_obj, trackable_object& _another_track_obj,
                     const timestamp& _line_timestamp);
  bool get_desensitized_state(const trackable_object& _trackable1,
                              const trackable_object& _trackable2) const;
  void set_desensitized_state(bool _state, const trackable_object& _trackable1,
                              const trackable_object& _trackable2);

  // Association replay.
  void process_VDA_until(timestamp _timestamp);
  void process_remaining_VDA();
  void apply_vda(vdas_vector::const_iterator _vda);
  void association_changed(trackable_object& _trackable_object);

  // Output and clean-up.
  Json::Value get_events_as_json() const;
  Json::Value get_track_objs_as_json() const;
  exit_code write_events_to_standard_output() const;
  void refuse_input_as_temporary() const;
  // The three inputs as they were read: positions, trackables, associations.
  std::array<const input_file*, 3> inputs() const;
  exit_code delete_input_files() const;

  const std::string m_input_position_file_name;
  const std::string m_trackables_file_name;
  const std::string m_vda_file_name;
  const std::uint32_t m_distance_in_mm;
  const std::string m_output_event_file_name;
  const bool m_save_input_files;
  line_reader m_input_position_file;
  input_file m_trackables_input;
  input_file m_vdas_input;
  std::map<std::string, trackable_object> m_track_objs;  // by uid, byte-wise
  vdas_vector m_vdas;                                    // sorted by time once loaded
  boost::optional<vdas_vector::const_iterator> m_current_vda;
  event_store m_events;  // also holds the desensitized state of the pairs (candidates)
  // The desensitized pairs (all_pairs), greater uid first.
  std::unordered_set<std::pair<std::string, std::string>,
                     boost::hash<std::pair<std::string, std::string>>>
      m_desensitized_state;

  // Lookup tables built once the trackables are loaded; the table never changes afterwards.
  std::vector<trackable_object*> m_objects_by_id;  // id = rank of the uid
  std::string m_uids;  // all uids end to end: m_ids' keys, close together in memory
  flat_map<std::string_view, std::uint32_t, std::hash<std::string_view>> m_ids;  // uid -> id
  pair_candidates m_candidates;
  pair_selection m_pair_selection = pair_selection::candidates;
  std::vector<std::uint32_t> m_candidate_ids;  // reused for every line
  timestamp m_latest_timestamp;
  std::uint64_t m_lines_read = 0;
  std::uint64_t m_non_empty_lines = 0;
  std::uint64_t m_position_lines = 0;  // lines that pass the line rules, known object or not
};
}  // namespace vela
