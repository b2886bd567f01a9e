#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include "base/progress.hpp"
#include "files/line_reader.hpp"
#include "position.hpp"
#include "replay/event_store.hpp"
#include "replay/hot_object.hpp"
#include "replay/line_feed.hpp"
#include "replay/pair_candidates.hpp"
#include "site/site.hpp"
#include "timestamp.hpp"

namespace vela {
// The detection pass over a site: replays the position file line by line, moves the line's
// object, evaluates the pairs the move can change by the rule of a pair (evaluate_pair), and
// applies the vehicle-driver associations in step with the lines' times.
class replay {
 public:
  static constexpr std::size_t no_record = SIZE_MAX;

  // What the replay keeps of each object besides its position (position()).
  struct object_state {
    vela::timestamp last_time;   // of its last position; positioned while the seconds are not 0
    vela::timestamp first_time;  // of its first position; (0, 0) until then
    object_id partner = no_object;  // association partner, unless its uid is the empty text
    vda_type side = vda_type::driver;
    std::size_t closing_record = no_record;  // the association record that ended its last one

    bool positioned() const { return last_time.ts != 0; }
    bool has_driver() const { return side == vda_type::vehicle && partner != no_object; }
  };
  replay(const site& _site, std::uint32_t _threshold_mm);

  // Replays every line of _reader, then the associations left, and gives the events still open
  // their duration. _sink receives the events to write, in creation order, each as soon as it is
  // final. Throws vela::exception on a read error, and with refusal()'s line when the recording
  // is refused.
  void run(line_reader& _reader, progress& _report,
           const std::function<void(const event_record&)>& _sink);

  const object_state& state(object_id _id) const { return m_objects[_id]; }
  // The object's last position, mm.
  std::pair<std::int32_t, std::int32_t> position(object_id _id) const {
    return {m_hot[_id].x, m_hot[_id].y};
  }
  const timestamp& latest() const { return m_latest; }

  // Why a recording with these counts is refused, as the one line a run ends with (status 1):
  // its lines end in carriage returns alone, not one of them is a position line, or not one
  // position line names an object of the site. Empty when it is a recording of the site.
  static std::string refusal(const std::string& _file_name, const recording_counts& _counts);

  // One accepted line of an object of the site, as run() processes it; for tests that step
  // through a replay. The candidates of that line (the partners of its active pairs aside,
  // which events() lists before the line) are line_candidates() afterwards.
  void process_line(const fed_line& _line);
  // The object of a line soon to come: start fetching what its line reads.
  void prefetch(const fed_line& _line) const;
  const std::vector<object_id>& line_candidates() const { return m_candidate_ids; }
  const event_store& events() const { return m_events; }
  const hot_object& hot(object_id _id) const { return m_hot[_id]; }

  // Watches one pair, for an explanation of it: after every line of _a or _b, and once more after
  // the associations left at the end are applied, _watcher is called with the replay as that left
  // it (with the line, or nullptr at the end). A line of another object costs one comparison
  // more when nothing is watched, and nothing else.
  void watch(object_id _a, object_id _b, std::function<void(const fed_line*)> _watcher);

  // Applies every association record not yet applied whose time is at most _timestamp.
  void process_VDA_until(timestamp _timestamp);
  void process_remaining_VDA();

 private:

  // The rule of a pair: _a, the object of the line, against _b. The pair is not active.
  void evaluate_pair(object_id _a, object_id _b, const timestamp& _line_time);
  // The same for an active pair (an open event, neither driving) of _pair.a, the line's object:
  // such a pair was made by an evaluation, so it is on no no-alarm list and not two persons.
  void evaluate_active_pair(const event_store::pair_view& _pair, const timestamp& _line_time);
  void decide(std::int64_t _distance_mm, const event_store::pair_view& _pair,
              const timestamp& _line_time);
  // Opens the event of the pair, leaving it _desensitized; _skipped: never to be written.
  void create_event(object_id _a, object_id _b, std::int64_t _distance_mm, bool _skipped,
                    bool _desensitized);
  bool driver_rule_holds(object_id _a, object_id _b) const;
  bool on_no_alarm_list(object_id _a, object_id _b) const;
  bool has_closed_vda_within_last_5_minutes(const timestamp& _timestamp, object_id _a,
                                            object_id _b) const;
  // The partner an object names, as the rules compare uids: without a partner it names the
  // empty text, which is the uid of site().empty_uid_object().
  object_id named_partner(object_id _id) const;

  void apply_association(std::size_t _index);
  // The object's association state changed: its hot state follows, and the parts that keep
  // pairs by it are told.
  void association_changed(object_id _id);

  const site& m_site;
  const std::uint32_t m_threshold_mm;
  std::vector<object_state> m_objects;
  hot_objects m_hot;
  // With a threshold below 2^23 mm, the distance compares with the rule's bounds as the square
  // of the differences does with these (for differences below 2^23, where both are exact).
  bool m_exact_squares = false;
  std::uint64_t m_contact_max_s = 0;  // d <= T
  std::uint64_t m_band_max_s = 0;     // d < T + 175
  event_store m_events;
  pair_candidates m_candidates;
  std::vector<object_id> m_candidate_ids;  // reused for every line
  std::size_t m_next_association = 0;
  timestamp m_latest;
  recording_counts m_counts;
  std::array<object_id, 2> m_watched{no_object, no_object};
  std::function<void(const fed_line*)> m_watcher;
};
}  // namespace vela
