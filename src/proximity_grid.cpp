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
  // The radius is at most 2^32, so twice it cannot overflow.
  m_cell_mm = std::max(2 * m_radius_mm, min_cell_mm);
  // Twice as many buckets as objects: few objects of other cells share a bucket.
  std::size_t buckets = min_buckets;
  while (buckets < 2 * _object_count) {
    buckets *= 2;
  }
  m_buckets.assign(buckets, bucket{});
  m_spills.clear();
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

proximity_grid::entry& proximity_grid::entry_at(bucket& _bucket, std::uint32_t _slot) {
  return _slot < inline_entries ? _bucket.inline_part[_slot]
                                : m_spills[_bucket.spill][_slot - inline_entries];
}

void proximity_grid::add(std::uint32_t _bucket, std::uint32_t _id, std::int32_t _x,
                         std::int32_t _y) {
  bucket& b = m_buckets[_bucket];
  const std::uint32_t slot = b.count++;
  if (slot < inline_entries) {
    b.inline_part[slot] = {_x, _y, _id};
  } else {
    if (b.spill == none) {
      b.spill = static_cast<std::uint32_t>(m_spills.size());
      m_spills.emplace_back();
    }
    m_spills[b.spill].push_back({_x, _y, _id});
  }
  m_where[_id] = {_bucket, slot};
}

void proximity_grid::place(std::uint32_t _id, std::int32_t _x, std::int32_t _y) {
  const std::uint32_t target = bucket_of(cell_of(_x), cell_of(_y));
  const where w = m_where[_id];
  if (w.bucket == target) {
    entry& e = entry_at(m_buckets[target], w.slot);
    e.x = _x;
    e.y = _y;
    return;
  }
  remove(_id);
  add(target, _id, _x, _y);
}

void proximity_grid::remove(std::uint32_t _id) {
  const where w = m_where[_id];
  if (w.bucket == none) {
    return;
  }
  // The bucket's last entry takes the place of the removed one.
  bucket& b = m_buckets[w.bucket];
  const std::uint32_t last = b.count - 1;
  const entry moved = entry_at(b, last);
  entry_at(b, w.slot) = moved;
  m_where[moved.id].slot = w.slot;
  if (last >= inline_entries) {
    m_spills[b.spill].pop_back();
  }
  b.count = last;
  m_where[_id].bucket = none;
}
}  // namespace vela
