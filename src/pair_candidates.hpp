#pragma once

#include <cstdint>
#include <vector>

#include "event_store.hpp"
#include "proximity_grid.hpp"

namespace vela {
// Chooses, for the object of a position line, the other objects whose pair evaluation can change
// anything; evaluating any other object would change nothing. A pair can change something only
//   - when the two are within the threshold (found through a grid of the last positions),
//   - when it has an open event whose partner does not drive (open events with a driver are
//     skipped and stay under the driver rule),
//   - when the driver rule holds and the pair may still lack its skipped event: the object's
//     association partner, the objects that name it as theirs, the object with the empty uid
//     (which every unassociated object "names"), and the drivers that may not have met it yet.
// A driver that has evaluated every positioned object since it started driving is "complete":
// all its pairs then hold an open skipped event, which no evaluation changes, until another
// object becomes positioned while the driver is not.
// Two persons never make a pair, so a person's candidates are never persons.
class pair_candidates {
 public:
  static constexpr std::uint32_t no_id = UINT32_MAX;

  // _is_person: per id. _empty_uid_id: the object with the empty uid, or no_id.
  void reset(const std::vector<bool>& _is_person, std::uint32_t _threshold_mm,
             std::uint32_t _empty_uid_id);

  // The object will be moved soon: start fetching what moved() reads.
  void prefetch(std::uint32_t _id) const { m_grid.prefetch(_id); }
  // The object's position was stored: positioned before (_was) and now (_is) at (_x, _y).
  void moved(std::uint32_t _id, bool _was_positioned, bool _is_positioned, std::int32_t _x,
             std::int32_t _y);
  // The object's association partner (no_id for none) and whether it drives have changed.
  void association_changed(std::uint32_t _id, std::uint32_t _partner, bool _driving);

  // For a line of _id at (_x, _y): fills _out with the ids of the objects to evaluate the line's
  // object against, in ascending order (ascending uid order).
  void collect(std::uint32_t _id, bool _was_positioned, std::int32_t _x, std::int32_t _y,
               const event_store& _events, std::vector<std::uint32_t>& _out);

 private:
  // A set of ids with constant-time insert, erase and membership, iterable.
  class id_set {
   public:
    void reset(std::size_t _capacity) {
      m_pos.assign(_capacity, absent);
      m_ids.clear();
    }
    bool contains(std::uint32_t _id) const { return m_pos[_id] != absent; }
    void insert(std::uint32_t _id);
    void erase(std::uint32_t _id);
    const std::vector<std::uint32_t>& ids() const { return m_ids; }

   private:
    static constexpr std::uint32_t absent = UINT32_MAX;
    std::vector<std::uint32_t> m_pos;
    std::vector<std::uint32_t> m_ids;
  };

  // What every line reads of an object, together in one small record.
  struct object_state {
    std::uint32_t partner = no_id;  // the association partner
    std::uint32_t named_by = 0;     // how many objects name this one as their partner
    bool person = false;
    bool driving = false;
    bool incomplete = false;  // a driver that may lack the skipped event of a positioned object
  };

  void set_incomplete(std::uint32_t _driver, bool _incomplete);
  // Every positioned object that may pair with _id.
  void collect_all(std::uint32_t _id, std::vector<std::uint32_t>& _out) const;

  std::uint32_t m_threshold_mm = 0;
  std::uint32_t m_empty_uid_id = no_id;
  std::vector<object_state> m_state;
  std::vector<std::uint32_t> m_non_persons;            // ascending
  proximity_grid m_grid;                               // the positioned objects
  std::vector<std::vector<std::uint32_t>> m_named_by;  // objects whose partner is this one
  // Drivers and incomplete positioned drivers, each split into [0] not persons, [1] persons.
  id_set m_drivers[2];
  id_set m_incomplete_positioned_drivers[2];
};
}  // namespace vela
