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
  m_cell_mm = std::max(2 * m_radius_mm, min_cell_mm);
  m_cells.clear();
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
  where& w = m_where[_id];
  const std::uint64_t cell = cell_key(cell_of(_x), cell_of(_y));
  w.x = _x;
  w.y = _y;
  if (w.in_grid && w.cell == cell) {
    return;
  }
  if (w.in_grid) {
    remove(_id);
  }
  std::vector<std::uint32_t>& ids = m_cells[cell];
  w.cell = cell;
  w.pos = static_cast<std::uint32_t>(ids.size());
  w.in_grid = true;
  ids.push_back(_id);
}

void proximity_grid::remove(std::uint32_t _id) {
  where& w = m_where[_id];
  if (!w.in_grid) {
    return;
  }
  const auto it = m_cells.find(w.cell);
  std::vector<std::uint32_t>& ids = it->second;
  const std::uint32_t moved = ids.back();
  ids[w.pos] = moved;
  m_where[moved].pos = w.pos;
  ids.pop_back();
  if (ids.empty()) {
    m_cells.erase(it);
  }
  w.in_grid = false;
}
}  // namespace vela
