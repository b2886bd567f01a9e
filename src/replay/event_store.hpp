#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "base/flat_map.hpp"
#include "replay/hot_object.hpp"
#include "rules.hpp"
#include "replay/event_record.hpp"
#include "object_types.hpp"
#include "timestamp.hpp"

namespace vela {
// The events of a replay and the state of every pair of objects, keyed by object ids.
//
// Of a pair the rules need to know whether it has an open event (and, when that event will be
// written, its record) and whether it is desensitized (the hysteresis). Pairs come in two kinds:
//   - active: an open event while neither object drives. Few, and looked at on every line of
//     either object: kept with their record in a table of their own, listed per object.
//   - quiet: everything else, which may be a great many (every driver has an open, skipped event
//     with everyone it meets, and pairs stay desensitized for good): two bits per pair in the row
//     of the pair's lower id, a small hash set of the partners. A driver also keeps the list of
//     the partners of its open events, to make them active again when it stops driving.
// An open event with a driver is always skipped, so quiet pairs never have a record. Whether an
// object drives is read from the replay's objects (hot_object).
//
// The replay looks a pair up (find_inactive, or for_each_active_pair for an object's active
// ones) and tells the store what happened to it through the view it was given: open, close,
// mark_skipped, lower_distance. Records of events to write wait in creation order until every
// earlier event is final (closed, or skipped and dropped); then they leave through
// take_finished().
class event_store {
 public:
  static constexpr std::uint32_t no_slot = UINT32_MAX;

  // A pair as the store holds it, seen from object a: what the rule reads of it, and the handle
  // by which the replay tells the store what happens to it. Valid until the store next changes.
  struct pair_view {
    object_id a = no_object;
    object_id b = no_object;
    bool open = false;
    bool desensitized = false;
    bool to_write = false;                // its open event will be written: it has a record
    std::uint32_t distance = UINT32_MAX;  // that record's distance
    std::uint32_t slot = no_slot;         // where an active pair is kept

    object_id other(object_id _self) const { return _self == a ? b : a; }
  };

  // Sizes the per-object tables for _objects, whose driving flags the store reads from then on;
  // the store must be empty.
  void reset(const hot_objects& _objects);

  // A pair that is not active: the replay's candidates never list an active pair.
  pair_view find_inactive(object_id _a, object_id _b) const {
    const std::uint32_t flags = quiet_flags(_a, _b);
    pair_view view;
    view.a = _a;
    view.b = _b;
    view.open = (flags & open_bit) != 0;
    view.desensitized = (flags & desensitized_bit) != 0;
    return view;
  }
  // Any pair.
  pair_view find(object_id _a, object_id _b) const;
  // Calls _callback(const pair_view&) for each active pair of _object, seen from it; the
  // callback may close or mark the pair it is given (and no other), and open none.
  template <class Callback>
  void for_each_active_pair(object_id _object, Callback&& _callback) const;
  // The record of the pair's open event, when it will be written; else nullptr.
  event_record* record_of(const pair_view& _pair) {
    return _pair.to_write ? &record(m_active[_pair.slot].record) : nullptr;
  }

  // Opens an event for the pair (a, b), which has none, and leaves it _desensitized. With
  // _record (not yet skipped) the event will be written unless marked skipped later; without,
  // it is skipped from the start.
  void open(object_id _a, object_id _b, const event_record* _record, bool _desensitized);
  // Closes the pair's open event, its duration set already, and leaves it _desensitized.
  void close(const pair_view& _pair, bool _desensitized);
  // The pair's open event will not be written.
  void mark_skipped(const pair_view& _pair);
  // The event to be written came closer: its distance is now _distance_mm.
  void lower_distance(const pair_view& _pair, std::uint32_t _distance_mm) {
    active_pair& pair = m_active[_pair.slot];
    pair.distance = _distance_mm;
    record(pair.record).distance = _distance_mm;
  }
  // The object started or stopped driving (the replay's objects say which): the pairs of its
  // open events change kind.
  void driving_changed(object_id _object);
  // No pair is evaluated any more: a driver that stops driving now leaves its pairs as they are.
  void lines_ended() { m_lines_ended = true; }

  // Calls _callback(event_record&) on each open event of _object that will be written.
  template <class Callback>
  void for_each_open_record(object_id _object, Callback&& _callback);
  // A line of the object will come soon: start fetching what it reads first.
  void prefetch(object_id _object) const { __builtin_prefetch(&m_active_counts[_object]); }

  // Marks the end of a line: the events it created are ordered by their other object's id, as
  // if the line had evaluated its pairs in that order.
  void end_line();
  // Hands each event whose turn has come and whose content is final to _sink(const
  // event_record&), in creation order.
  template <class Sink>
  void take_finished(Sink&& _sink);
  // The end of the replay: open events end at _latest, and every event left is handed out.
  template <class Sink>
  void finish(const timestamp& _latest, Sink&& _sink);

 private:
  static constexpr std::uint64_t no_record = UINT64_MAX;
  static constexpr std::uint32_t open_bit = 1;
  static constexpr std::uint32_t desensitized_bit = 2;

  struct active_pair {
    std::array<object_id, 2> objects{};
    std::array<std::uint32_t, 2> list_pos{};  // place in each object's list
    std::uint64_t record = no_record;         // creation number of its record
    std::uint32_t distance = UINT32_MAX;      // the record's distance, kept here to be read
    bool desensitized = false;
  };
  struct key_hash {
    std::uint64_t operator()(std::uint64_t _key) const { return _key; }
  };

  static std::uint64_t pair_key(object_id _a, object_id _b);
  event_record& record(std::uint64_t _number) { return m_records[_number - m_first_record]; }
  bool is_driving(object_id _object) const { return (*m_objects)[_object].driving; }
  pair_view active_view(object_id _a, std::uint32_t _slot) const;

  // Quiet pairs: the rows.
  std::uint32_t quiet_flags(object_id _a, object_id _b) const;
  void set_quiet_flags(object_id _a, object_id _b, std::uint32_t _flags);
  void grow_row(object_id _owner);
  void erase_from_row(object_id _owner, std::size_t _place);

  // Active pairs.
  std::uint32_t activate(object_id _a, object_id _b, std::uint64_t _record, bool _desensitized);
  void deactivate(std::uint32_t _slot);

  const hot_objects* m_objects = nullptr;
  std::deque<event_record> m_records;  // from the first not yet handed out, in creation order
  std::uint64_t m_first_record = 0;    // creation number of m_records.front()
  std::uint64_t m_line_first = 0;      // creation number of the first record of this line
  std::uint64_t m_created = 0;         // records created so far

  std::vector<active_pair> m_active;
  std::vector<std::uint32_t> m_free_active;
  flat_map<std::uint64_t, std::uint32_t, key_hash> m_active_index;  // pair -> slot
  std::vector<std::vector<std::uint32_t>> m_active_lists;           // per object: slots
  std::vector<std::uint32_t> m_active_counts;  // their sizes, compact: read on every line

  // Per object, open addressing over the partners with a higher id: (partner + 1) << 2 | flags.
  std::vector<std::vector<std::uint32_t>> m_rows;
  std::vector<std::uint32_t> m_row_counts;
  std::vector<std::vector<object_id>> m_met;  // per driver: partners of its open events
  bool m_lines_ended = false;
};

inline event_store::pair_view event_store::active_view(object_id _a, std::uint32_t _slot) const {
  const active_pair& pair = m_active[_slot];
  pair_view view;
  view.a = _a;
  view.b = pair.objects[0] == _a ? pair.objects[1] : pair.objects[0];
  view.open = true;
  view.desensitized = pair.desensitized;
  view.to_write = pair.record != no_record;
  view.distance = pair.distance;
  view.slot = _slot;
  return view;
}

template <class Callback>
void event_store::for_each_open_record(object_id _object, Callback&& _callback) {
  for (const std::uint32_t slot : m_active_lists[_object]) {
    active_pair& pair = m_active[slot];
    if (pair.record != no_record) {
      event_record& rec = record(pair.record);
      _callback(rec);
      if (rec.m_state == event_record::state::skipped) {
        pair.record = no_record;  // gone from the pair: it will be dropped in its turn
        pair.distance = UINT32_MAX;
      }
    }
  }
}

template <class Callback>
void event_store::for_each_active_pair(object_id _object, Callback&& _callback) const {
  if (m_active_counts[_object] == 0) {
    return;
  }
  // From the end: closing the pair of the current slot moves the last one into its place, and
  // that one was visited already.
  const std::vector<std::uint32_t>& list = m_active_lists[_object];
  for (std::size_t i = list.size(); i-- > 0;) {
    _callback(active_view(_object, list[i]));
  }
}

template <class Sink>
void event_store::take_finished(Sink&& _sink) {
  while (!m_records.empty() && m_records.front().m_state != event_record::state::open) {
    if (m_records.front().m_state == event_record::state::closed) {
      _sink(std::as_const(m_records.front()));
    }
    m_records.pop_front();
    ++m_first_record;
  }
}

template <class Sink>
void event_store::finish(const timestamp& _latest, Sink&& _sink) {
  for (event_record& rec : m_records) {
    if (rec.m_state == event_record::state::open) {
      // Unlike a closed event, 0 seconds stays 0.
      rec.duration = run_rules::open_duration_s(rec.timestamp, _latest);
      rec.m_state = event_record::state::closed;
    }
  }
  take_finished(_sink);
}
}  // namespace vela
