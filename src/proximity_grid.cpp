#include "proximity_grid.hpp"

#include <algorithm>
#include <cmath>

namespace vela {
namespace {
constexpr std::int64_t min_cell_mm = 1000;  // keeps cells sensible for tiny thresholds
constexpr std::size_t min_buckets = 1024;

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
  // The radius is at most 2^32, so four times it cannot overflow.
  m_cell_mm = std::max(4 * m_radius_mm, min_cell_mm);
  // Twice as many buckets as objects: few objects of other cells share a bucket.
  std::size_t buckets = min_buckets;
  while (buckets < 2 * _object_count) {
    buckets *= 2;
  }
  m_heads.assign(buckets, none);
  m_shift = 64 - __builtin_ctzll(buckets);
  m_where.assign(_object_count, where{});
}

std::int64_t proximity_grid::cell_of(std::int64_t _coordinate) const {
  return floor_div(_coordinate, m_cell_mm);
}

std::uint32_t proximity_grid::bucket_of(std::int64_t _cx, std::int64_t _cy) const {
  const std::uint64_t key = (static_cast<std::uint64_t>(_cx) * 0x9E3779B97F4A7C15ull) ^
                            (static_cast<std::uint64_t>(_cy) * 0xC2B2AE3D27D4EB4Full);
  return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
}

void proximity_grid::place(std::uint32_t _id, std::int32_t _x, std::int32_t _y) {
  const std::uint32_t bucket = bucket_of(cell_of(_x), cell_of(_y));
  where& w = m_where[_id];
  w.x = _x;
  w.y = _y;
  if (w.bucket == bucket) {
    return;
  }
  remove(_id);
  w.bucket = bucket;
  w.prev = none;
  w.next = m_heads[bucket];
  if (w.next != none) {
    m_where[w.next].prev = _id;
  }
  m_heads[bucket] = _id;
}

void proximity_grid::remove(std::uint32_t _id) {
  where& w = m_where[_id];
  if (w.bucket == none) {
    return;
  }
  if (w.prev != none) {
    m_where[w.prev].next = w.next;
  } else {
    m_heads[w.bucket] = w.next;
  }
  if (w.next != none) {
    m_where[w.next].prev = w.prev;
  }
  w.bucket = none;
}
}  // namespace vela
