#pragma once

#include <cstdint>
#include <vector>

#include "replay/hot_object.hpp"
#include "replay/neighbour_lists.hpp"
#include "replay/proximity_grid.hpp"
#include "site/site.hpp"

namespace vela {
// Chooses, for the object of a position line, the other objects whose pair evaluation can change
// anything; evaluating any other object would change nothing. A pair can change something only
//   - when the two are within the threshold (found in the object's list of neighbours, below),
//   - when it is active: an open event while neither object drives (these the replay evaluates
//     from the event store itself and marks here, so that they are not listed again),
//   - when the driver rule holds and the pair may still lack its skipped event: the object's
//     named partner, the objects that name it as theirs, and the drivers that may not have met it
//     yet.
// A driver that has evaluated every positioned object since it started driving is "complete":
// all its pairs then hold an open skipped event, which no evaluation changes, until another
// object becomes positioned while the driver is not.
// Two persons never make a pair, so a person's candidates are never persons.
//
// The neighbours: each positioned object has a reference position, where it stood when its list
// was last made, and stays within half a skin of it; the lists hold every pair (but two persons)
// whose references are within the threshold plus the skin, so that every pair within the
// threshold is among them. An object that goes beyond half the skin lists its pairs again, from
// a grid of the references; most lines only walk the list. Where the lists would take more
// memory than the site is worth (a threshold that takes in much of the site), the grid holds the
// last positions instead and every line searches it.
class pair_candidates {
 public:
  // Every object starts as _objects has it: without a partner, naming _site's empty-uid object
  // (if any). What an object is, whom it names and whether it drives are read from _objects
  // from then on.
  void reset(const site& _site, std::uint32_t _threshold_mm, const hot_objects& _objects);

  // A line of the object at (_x, _y) will come soon: start fetching what it reads.
  void prefetch(object_id _id, std::int32_t _x, std::int32_t _y) const {
    if (m_listing) {
      m_lists.prefetch(_id);
    } else {
      m_grids[(*m_objects)[_id].person].prefetch(_id, _x, _y);
    }
    __builtin_prefetch(&m_state[_id]);
  }
  // The object's position was stored: positioned before (_was) and now (_is) at (_x, _y).
  void moved(object_id _id, bool _was_positioned, bool _is_positioned, std::int32_t _x,
             std::int32_t _y);
  // The partner the object names, or whether it drives, may have changed: they were
  // _was_named and _was_driving, and _objects has them now.
  void association_changed(object_id _id, object_id _was_named, bool _was_driving);

  // A line of _id: begin_line(), then mark() each object already evaluated against it (the
  // partners of its active pairs), then collect() fills _out with the other objects to evaluate
  // the line's object against, each once, in no particular order; at (_x, _y) it now stands.
  void begin_line(object_id _id);
  void mark(object_id _other) { m_added_on[_other] = m_line; }
  // Whether the lists find the near objects still, rather than the grid of last positions.
  bool listing() const { return m_listing; }
  void collect(object_id _id, bool _was_positioned, std::int32_t _x, std::int32_t _y,
               std::vector<object_id>& _out);

 private:
  // A set of ids with constant-time insert, erase and membership, iterable.
  class id_set {
   public:
    void reset(std::size_t _capacity) {
      m_pos.assign(_capacity, absent);
      m_ids.clear();
    }
    bool contains(object_id _id) const { return m_pos[_id] != absent; }
    void insert(object_id _id);
    void erase(object_id _id);
    const std::vector<object_id>& ids() const { return m_ids; }

   private:
    static constexpr std::uint32_t absent = UINT32_MAX;
    std::vector<std::uint32_t> m_pos;
    std::vector<object_id> m_ids;
  };

  // What the candidates keep of an object besides its hot state.
  struct object_state {
    std::uint32_t named_pos = 0;  // its place in m_named_by[named]
    std::uint32_t named_by = 0;   // how many objects name it: the size of m_named_by[id]
    bool incomplete = false;  // a driver that may lack the skipped event of a positioned object
    std::int32_t reference_x = 0;  // where its list was made, mm
    std::int32_t reference_y = 0;
  };

  // Files the object under the partner it names now, no longer under _was_named.
  void name(object_id _id, object_id _was_named, object_id _named);
  void set_incomplete(object_id _driver, bool _incomplete);
  // A superset of the pairs within the threshold, cheaper than the distance itself.
  bool within_threshold(std::int32_t _x, std::int32_t _y, std::int32_t _ox, std::int32_t _oy) const;
  // The object, positioned at (_x, _y), is farther than half the skin from its reference.
  bool beyond_half_skin(object_id _id, std::int32_t _x, std::int32_t _y) const;
  // Makes (_x, _y) the object's reference and its list the pairs within reach of it.
  void relist(object_id _id, std::int32_t _x, std::int32_t _y);
  // Both grids emptied, for searches of up to _radius_mm.
  void reset_grids(std::uint64_t _radius_mm);
  // The lists outgrew their budget: from now on the grid holds the last positions.
  void stop_listing();
  bool positioned(object_id _id) const {
    return m_grids[(*m_objects)[_id].person].contains(_id);
  }
  // Adds _other to the line's candidates unless it is there already.
  void add(object_id _other, std::vector<object_id>& _out);
  // The objects of _id's list within the threshold of (_x, _y) that may change.
  void collect_listed(object_id _id, std::int32_t _x, std::int32_t _y,
                      std::vector<object_id>& _out);
  // Every positioned object that may pair with _id.
  void collect_all(object_id _id, std::vector<object_id>& _out);

  const hot_objects* m_objects = nullptr;
  std::uint32_t m_threshold_mm = 0;
  std::uint64_t m_squared_limit = 0;  // (T + 1)^2; 0 when the threshold is too large for it
  std::vector<object_state> m_state;
  std::vector<object_id> m_non_persons;            // ascending
  // The positioned objects, at their references while listing, else at their last positions: [0]
  // not persons, [1] persons. A person searches the first alone.
  proximity_grid m_grids[2];
  bool m_listing = false;
  std::uint64_t m_reach_square = 0;  // the largest square of a difference of references listed
  std::size_t m_list_budget = 0;     // entries
  neighbour_lists m_lists;
  // The relisting each object was last marked for, so that a relisting tells the pairs it keeps
  // from those it drops.
  std::vector<std::uint32_t> m_relisted_on;
  std::uint32_t m_relisting = 0;
  std::vector<std::vector<object_id>> m_named_by;  // objects naming this one as their partner
  // Drivers and incomplete positioned drivers, each split into [0] not persons, [1] persons.
  id_set m_drivers[2];
  id_set m_incomplete_positioned_drivers[2];
  // The line each object was last added for, so that each is added once.
  std::vector<std::uint32_t> m_added_on;
  std::uint32_t m_line = 0;
};
}  // namespace vela
