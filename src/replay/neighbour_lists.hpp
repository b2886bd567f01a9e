#pragma once

#include <cstdint>
#include <vector>

#include "object_types.hpp"

namespace vela {
// Pairs of objects kept in a list per object, each pair in the lists of both: walked from
// either side, added and removed in constant time. An entry knows where its twin stands in the
// other object's list, so that removing a pair moves one entry in each list.
class neighbour_lists {
 public:
  struct entry {
    object_id other;
    std::uint32_t twin;  // place of the pair's entry in the list of `other`
  };

  void reset(std::size_t _object_count);
  const std::vector<entry>& of(object_id _id) const { return m_lists[_id]; }
  // Entries in all lists together: two per pair.
  std::size_t entries() const { return m_entries; }
  void prefetch(object_id _id) const { __builtin_prefetch(&m_lists[_id]); }

  // The pair (_a, _b), which must not be listed yet.
  void add(object_id _a, object_id _b);
  // The pair of the entry at _place in _a's list; the last entry of that list takes its place.
  void remove(object_id _a, std::uint32_t _place);
  // Every pair of _a.
  void clear(object_id _a);

 private:
  // Takes the entry at _place out of _id's list, keeping the twin of the one moved into it.
  void take_out(object_id _id, std::uint32_t _place);

  std::vector<std::vector<entry>> m_lists;
  std::size_t m_entries = 0;
};
}  // namespace vela
