#pragma once

#include <cstdint>
#include <vector>

#include "flat_map.hpp"

namespace vela {
// Planar distance in mm, rounded half away from zero. Computed in double precision, so extreme
// coordinates give a well-defined (if rounded) result.
std::int64_t planar_distance_mm(std::int32_t _x1, std::int32_t _y1, std::int32_t _x2,
                                std::int32_t _y2);

// A uniform grid over the last positions of the positioned objects, to find the objects near a
// point without looking at all of them. Cells are at least four times the search radius wide,
// so a search touches one to four cells, and each cell keeps its members' positions in one
// array. Empty cells are dropped, so memory follows the objects, not the ground they covered.
class proximity_grid {
 public:
  // _radius_mm: the largest distance asked for by for_each_near.
  void reset(std::size_t _object_count, std::uint64_t _radius_mm);

  bool contains(std::uint32_t _id) const { return m_where[_id].cell != no_cell; }
  // Places the object at (_x, _y), inserting it if it is not in the grid.
  void place(std::uint32_t _id, std::int32_t _x, std::int32_t _y);
  void remove(std::uint32_t _id);

  // Calls _callback(id, x, y) for every object within the radius of (_x, _y) by each axis (a
  // square, so callers still check the distance), in no particular order.
  template <class Callback>
  void for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback) const;

 private:
  struct member {
    std::uint32_t id = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
  };
  struct cell {
    std::uint64_t key = 0;
    std::vector<member> members;
  };
  struct where {
    std::uint32_t cell = no_cell;  // index into m_cells
    std::uint32_t pos = 0;         // index into the cell's members
  };
  struct key_hash {
    std::uint64_t operator()(std::uint64_t _key) const { return _key; }
  };
  static constexpr std::uint32_t no_cell = UINT32_MAX;

  std::int64_t cell_of(std::int64_t _coordinate) const;
  static std::uint64_t cell_key(std::int64_t _cx, std::int64_t _cy);

  std::int64_t m_radius_mm = 0;
  std::int64_t m_cell_mm = 1;
  flat_map<std::uint64_t, std::uint32_t, key_hash> m_cell_index;  // cell key -> m_cells
  std::vector<cell> m_cells;
  std::vector<std::uint32_t> m_free_cells;
  std::vector<where> m_where;
};

template <class Callback>
void proximity_grid::for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback) const {
  const std::int64_t cx0 = cell_of(std::int64_t{_x} - m_radius_mm);
  const std::int64_t cx1 = cell_of(std::int64_t{_x} + m_radius_mm);
  const std::int64_t cy0 = cell_of(std::int64_t{_y} - m_radius_mm);
  const std::int64_t cy1 = cell_of(std::int64_t{_y} + m_radius_mm);
  for (std::int64_t cx = cx0; cx <= cx1; ++cx) {
    for (std::int64_t cy = cy0; cy <= cy1; ++cy) {
      const std::uint32_t* index = m_cell_index.find(cell_key(cx, cy));
      if (index == nullptr) {
        continue;
      }
      for (const member& m : m_cells[*index].members) {
        const std::int64_t dx = std::int64_t{m.x} - _x;
        const std::int64_t dy = std::int64_t{m.y} - _y;
        if (dx <= m_radius_mm && -dx <= m_radius_mm && dy <= m_radius_mm && -dy <= m_radius_mm) {
          _callback(m.id, m.x, m.y);
        }
      }
    }
  }
}
}  // namespace vela
