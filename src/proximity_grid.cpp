#include "proximity_grid.hpp"

#include <algorithm>
#include <cmath>

namespace vela {
namespace {
constexpr std::int64_t min_cell_mm = 1000;  // keeps cells sensible for tiny thresholds

std::int64_t floor_div(std::int64_t _a, std::int64_t _b) {
  const std::int64_t q = _a / _b;
  return (_a % _b != 0 && _a < 0) ? q - 1 : q;
}
}  // namespace

std::int64_t planar_distance_mm(std::int32_t _x1, std::int32_t _y1, std::int32_t _x2,
                                std::int32_t _y2) {
  // The differences are exact in 64 bits and in double; their squares may round, never overflow.
  const auto dx = static_cast<double>(std::int64_t{_x2} - _x1);
  const auto dy = static_cast<double>(std::int64_t{_y2} - _y1);
  return static_cast<std::int64_t>(std::round(std::sqrt(dx * dx + dy * dy)));
}

void proximity_grid::reset(std::size_t _object_count, std::uint64_t _radius_mm) {
  m_radius_mm = static_cast<std::int64_t>(_radius_mm);
  m_cell_mm = std::max(4 * m_radius_mm, min_cell_mm);
  m_cell_index.clear();
  m_cells.clear();
  m_free_cells.clear();
  m_where.assign(_object_count, where{});
}

std::int64_t proximity_grid::cell_of(std::int64_t _coordinate) const {
  return floor_div(_coordinate, m_cell_mm);
}

std::uint64_t proximity_grid::cell_key(std::int64_t _cx, std::int64_t _cy) {
  // Cells are at least 1000 mm wide, so cell coordinates of 32-bit positions fit 32 bits.
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_cx)) << 32) |
         static_cast<std::uint32_t>(_cy);
}

void proximity_grid::place(std::uint32_t _id, std::int32_t _x, std::int32_t _y) {
  const std::uint64_t key = cell_key(cell_of(_x), cell_of(_y));
  where& w = m_where[_id];
  if (w.cell != no_cell && m_cells[w.cell].key == key) {
    member& m = m_cells[w.cell].members[w.pos];
    m.x = _x;
    m.y = _y;
    return;
  }
  remove(_id);
  std::uint32_t index = 0;
  if (const std::uint32_t* found = m_cell_index.find(key)) {
    index = *found;
  } else {  // a new cell: reuse a dropped one, keeping its array
    if (m_free_cells.empty()) {
      index = static_cast<std::uint32_t>(m_cells.size());
      m_cells.emplace_back();
    } else {
      index = m_free_cells.back();
      m_free_cells.pop_back();
    }
    m_cells[index].key = key;
    m_cell_index.find_or_insert(key) = index;
  }
  std::vector<member>& members = m_cells[index].members;
  w.cell = index;
  w.pos = static_cast<std::uint32_t>(members.size());
  members.push_back(member{_id, _x, _y});
}

void proximity_grid::remove(std::uint32_t _id) {
  where& w = m_where[_id];
  if (w.cell == no_cell) {
    return;
  }
  cell& c = m_cells[w.cell];
  c.members[w.pos] = c.members.back();
  m_where[c.members[w.pos].id].pos = w.pos;
  c.members.pop_back();
  if (c.members.empty()) {
    m_cell_index.erase(c.key);
    m_free_cells.push_back(w.cell);
  }
  w = where{};
}
}  // namespace vela
