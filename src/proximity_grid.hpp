#pragma once

#include <cstdint>
#include <vector>

namespace vela {
// Planar distance in mm, rounded half away from zero. Computed in double precision, so extreme
// coordinates give a well-defined (if rounded) result.
std::int64_t planar_distance_mm(std::int32_t _x1, std::int32_t _y1, std::int32_t _x2,
                                std::int32_t _y2);

// Finds the positioned objects near a point without looking at all of them: a uniform grid of
// cells twice the search radius wide, so that a search covers exactly two by two cells, hashed
// into a fixed number of buckets. A bucket holds its first few objects with their coordinates in
// one cache line and the rest in a list of its own, so that a search reads a few cache lines
// in a row rather than following links. All of it is sized by the number of objects, whatever
// ground they cover.
class proximity_grid {
 public:
  // _radius_mm: the largest distance asked for by for_each_near.
  void reset(std::size_t _object_count, std::uint64_t _radius_mm);

  bool contains(std::uint32_t _id) const { return m_where[_id].bucket != none; }
  void prefetch(std::uint32_t _id) const { __builtin_prefetch(&m_where[_id]); }
  // Places the object at (_x, _y), inserting it if it is not in the grid.
  void place(std::uint32_t _id, std::int32_t _x, std::int32_t _y);
  void remove(std::uint32_t _id);

  // Calls _callback(id, x, y) for every object within the radius of (_x, _y) by each axis (a
  // square, so callers still check the distance), each once, in no particular order.
  template <class Callback>
  void for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback) const;

 private:
  static constexpr std::uint32_t none = UINT32_MAX;
  static constexpr std::uint32_t inline_entries = 4;
  struct entry {
    std::int32_t x;
    std::int32_t y;
    std::uint32_t id;
  };
  struct alignas(64) bucket {
    std::uint32_t count = 0;     // entries, inline ones first
    std::uint32_t spill = none;  // index of the list holding entries beyond the inline ones
    entry inline_part[inline_entries];
  };
  struct where {
    std::uint32_t bucket = none;  // none: not in the grid
    std::uint32_t slot = 0;       // place among the bucket's entries
  };

  std::int64_t cell_of(std::int64_t _coordinate) const;
  std::uint32_t bucket_of(std::int64_t _cx, std::int64_t _cy) const;
  entry& entry_at(bucket& _bucket, std::uint32_t _slot);
  void add(std::uint32_t _bucket, std::uint32_t _id, std::int32_t _x, std::int32_t _y);
  template <class Callback>
  void scan(const entry* _entries, std::uint32_t _count, std::int32_t _x, std::int32_t _y,
            Callback& _callback) const;

  std::int64_t m_radius_mm = 0;
  std::int64_t m_cell_mm = 1;
  int m_shift = 64;
  std::vector<bucket> m_buckets;
  std::vector<std::vector<entry>> m_spills;  // one per bucket that ever overflowed
  std::vector<where> m_where;                // per object
};

template <class Callback>
void proximity_grid::scan(const entry* _entries, std::uint32_t _count, std::int32_t _x,
                          std::int32_t _y, Callback& _callback) const {
  for (std::uint32_t i = 0; i < _count; ++i) {
    const entry& e = _entries[i];
    const std::int64_t dx = std::int64_t{e.x} - _x;
    const std::int64_t dy = std::int64_t{e.y} - _y;
    if (dx <= m_radius_mm && -dx <= m_radius_mm && dy <= m_radius_mm && -dy <= m_radius_mm) {
      _callback(e.id, e.x, e.y);
    }
  }
}

template <class Callback>
void proximity_grid::for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback) const {
  // Cells are twice the radius wide: the square around the point spans two cells each way.
  const std::int64_t cx = cell_of(std::int64_t{_x} - m_radius_mm);
  const std::int64_t cy = cell_of(std::int64_t{_y} - m_radius_mm);
  std::uint32_t visited[4];
  int visited_count = 0;
  for (const std::int64_t x : {cx, cx + 1}) {
    for (const std::int64_t y : {cy, cy + 1}) {
      const std::uint32_t index = bucket_of(x, y);
      bool seen = false;
      for (int i = 0; i < visited_count; ++i) {
        seen = seen || visited[i] == index;
      }
      if (seen) {
        continue;  // two cells of the square share a bucket
      }
      visited[visited_count++] = index;
      const bucket& b = m_buckets[index];
      scan(b.inline_part, std::min(b.count, inline_entries), _x, _y, _callback);
      if (b.count > inline_entries) {
        scan(m_spills[b.spill].data(), b.count - inline_entries, _x, _y, _callback);
      }
    }
  }
}
}  // namespace vela
