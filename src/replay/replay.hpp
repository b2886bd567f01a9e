#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "object_types.hpp"
#include "recording/fed_line.hpp"
#include "replay/event_sink.hpp"
#include "replay/event_store.hpp"
#include "replay/hot_object.hpp"
#include "replay/pair_candidates.hpp"
#include "replay/pair_observer.hpp"
#include "rules.hpp"
#include "site/site.hpp"
#include "timestamp.hpp"

namespace vela {
// The detection pass over a site, fed the accepted lines of a recording in order: each line
// moves its object, the pairs the move can change are evaluated by the rule of a pair, and the
// vehicle-driver associations are applied in step with the lines' times. Events go to a sink as
// soon as they are final.
//
// Observer is null_observer for a run, which costs nothing, or pair_observer for an explanation:
// the replay then tells it every decision on one pair, with its reason, as it takes it.
template <class Observer>
class basic_replay {
 public:
  basic_replay(const site& _site, const run_rules& _rules);
  // Watches the pair (_a, _b) for _observer, which must outlive the replay.
  basic_replay(const site& _site, const run_rules& _rules, Observer& _observer, object_id _a,
               object_id _b);

  // The next accepted lines, in the recording's order.
  void feed(std::span<const fed_line> _lines, event_sink& _sink);
  // After the last line: the associations left are applied and the events still open end.
  void finish(event_sink& _sink);
  // The time of the latest line.
  const timestamp& latest() const { return m_latest; }

 private:
  static constexpr std::size_t no_record = SIZE_MAX;

  // What the replay keeps of each object besides its hot state.
  struct object_state {
    vela::timestamp last_time;   // of its last position; positioned while the seconds are not 0
    vela::timestamp first_time;  // of its first position; (0, 0) until then
    object_id partner = no_object;  // association partner, unless its uid is the empty text
    vda_type side = vda_type::driver;
    std::size_t closing_record = no_record;  // the association record that ended its last one

    bool positioned() const { return last_time.ts != 0; }
    bool has_driver() const { return side == vda_type::vehicle && partner != no_object; }
  };

  void process_line(const fed_line& _line);
  void prefetch(const fed_line& _line) const;

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
  void lower_distance(const event_store::pair_view& _pair, std::int64_t _distance_mm);
  bool driver_rule_holds(object_id _a, object_id _b) const;
  bool partners(object_id _a, object_id _b) const;
  // The object whose no-alarm list names the other, or no_object.
  object_id silenced_by(object_id _a, object_id _b) const;
  bool has_closed_vda_within_last_5_minutes(const timestamp& _timestamp, object_id _a,
                                            object_id _b) const;
  // The partner an object names, as the rules compare uids: without a partner it names the
  // empty text, which is the uid of site().empty_uid_object().
  object_id named_partner(object_id _id) const;

  // Applies every association record not yet applied whose time is at most _timestamp.
  void process_VDA_until(timestamp _timestamp);
  void process_remaining_VDA();
  void apply_association(std::size_t _index);
  // The object's association state changed: its hot state follows, and the parts that keep
  // pairs by it are told.
  void association_changed(object_id _id);

  // Watching: whether (_a, _b) is the watched pair, and telling the observer.
  bool watched(object_id _a, object_id _b) const;
  void tell(object_id _a, object_id _b, const pair_decision_facts& _decision);
  pair_facts facts() const;

  const site& m_site;
  const run_rules m_rules;
  std::vector<object_state> m_objects;
  hot_objects m_hot;
  // With a threshold below 2^23 mm, the distance compares with the rule's bounds as the square
  // of the differences does with these (for differences below 2^23, where both are exact).
  bool m_exact_squares = false;
  std::uint64_t m_contact_max_s = 0;  // a contact
  std::uint64_t m_band_max_s = 0;     // below the top of the band
  event_store m_events;
  pair_candidates m_candidates;
  std::vector<object_id> m_candidate_ids;  // reused for every line
  std::size_t m_next_association = 0;
  timestamp m_latest;
  Observer* m_observer = nullptr;
  std::array<object_id, 2> m_watched{no_object, no_object};

  friend struct replay_inspection;  // tests look inside
};

using replay = basic_replay<null_observer>;
using watched_replay = basic_replay<pair_observer>;

extern template class basic_replay<null_observer>;
extern template class basic_replay<pair_observer>;
}  // namespace vela
