#pragma once

#include <cstdint>
#include <vector>

namespace vela {
// Planar distance in mm, rounded half away from zero. Computed in double precision, so extreme
// coordinates give a well-defined (if rounded) result.
std::int64_t planar_distance_mm(std::int32_t _x1, std::int32_t _y1, std::int32_t _x2,
                                std::int32_t _y2);

// Finds the positioned objects near a point without looking at all of them: a uniform grid of
// cells at least four times the search radius wide (so a search touches one to four cells),
// hashed into a fixed number of buckets, each a list linked through per-object arrays. All of
// it is a few dense arrays sized by the number of objects, whatever ground they cover, and
// small enough to stay in the processor's caches.
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
  struct where {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t bucket = none;  // none: not in the grid
    std::uint32_t prev = none;    // neighbours in the bucket's list
    std::uint32_t next = none;
  };

  std::int64_t cell_of(std::int64_t _coordinate) const;
  std::uint32_t bucket_of(std::int64_t _cx, std::int64_t _cy) const;

  std::int64_t m_radius_mm = 0;
  std::int64_t m_cell_mm = 1;
  int m_shift = 64;
  std::vector<std::uint32_t> m_heads;  // first object of each bucket
  std::vector<where> m_where;          // per object
};

template <class Callback>
void proximity_grid::for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback) const {
  const std::int64_t cx0 = cell_of(std::int64_t{_x} - m_radius_mm);
  const std::int64_t cx1 = cell_of(std::int64_t{_x} + m_radius_mm);
  const std::int64_t cy0 = cell_of(std::int64_t{_y} - m_radius_mm);
  const std::int64_t cy1 = cell_of(std::int64_t{_y} + m_radius_mm);
  std::uint32_t visited[4];
  int visited_count = 0;
  for (std::int64_t cx = cx0; cx <= cx1; ++cx) {
    for (std::int64_t cy = cy0; cy <= cy1; ++cy) {
      const std::uint32_t bucket = bucket_of(cx, cy);
      bool seen = false;
      for (int i = 0; i < visited_count; ++i) {
        seen = seen || visited[i] == bucket;
      }
      if (seen) {
        continue;  // two cells of the square share a bucket
      }
      visited[visited_count++] = bucket;
      for (std::uint32_t id = m_heads[bucket]; id != none; id = m_where[id].next) {
        const where& w = m_where[id];
        const std::int64_t dx = std::int64_t{w.x} - _x;
        const std::int64_t dy = std::int64_t{w.y} - _y;
        if (dx <= m_radius_mm && -dx <= m_radius_mm && dy <= m_radius_mm && -dy <= m_radius_mm) {
          _callback(id, w.x, w.y);
        }
      }
    }
  }
}
}  // namespace vela
