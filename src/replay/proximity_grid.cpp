#include "replay/proximity_grid.hpp"

#include <algorithm>

namespace vela {
namespace {
constexpr int min_cell_shift = 10;  // cells of at least 1024 mm, for tiny thresholds
constexpr std::size_t min_buckets = 1024;
constexpr std::uint64_t searches_per_review = std::uint64_t{1} << 16;
// Objects read per search at which the finer cells pay for reading more of them, and back.
constexpr std::uint64_t to_fine_entries = 32;
constexpr std::uint64_t to_coarse_entries = 12;
}  // namespace

void proximity_grid::reset(std::size_t _object_count, std::uint64_t _radius_mm,
                           std::size_t _members) {
  m_radius_mm = static_cast<std::int64_t>(_radius_mm);
  // The radius is below 2^32, so the cells stay below 2^34 mm.
  m_fine_shift = min_cell_shift;
  while ((std::int64_t{1} << m_fine_shift) < m_radius_mm) {
    ++m_fine_shift;
  }
  m_cell_shift = m_fine_shift + 2;  // few objects until they show otherwise
  m_searches = 0;
  m_entries_read = 0;
  // Eight times as many buckets as objects: few share a bucket, and a search mostly finds its
  // buckets empty, which the processor learns to foresee.
  std::size_t buckets = min_buckets;
  while (buckets < 8 * _members) {
    buckets *= 2;
  }
  m_buckets.assign(buckets, bucket{});
  m_occupied.assign(buckets, 0);
  m_spills.clear();
  m_shift = 64 - __builtin_ctzll(buckets);
  m_where.assign(_object_count, where{});
}

proximity_grid::entry& proximity_grid::entry_at(bucket& _bucket, std::uint32_t _slot) {
  return _slot < inline_entries ? _bucket.inline_part[_slot]
                                : m_spills[_bucket.spill][_slot - inline_entries];
}

void proximity_grid::add(std::uint32_t _bucket, std::uint32_t _id, std::int32_t _x,
                         std::int32_t _y) {
  bucket& b = m_buckets[_bucket];
  const std::uint32_t slot = b.count++;
  m_occupied[_bucket] = 1;
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

void proximity_grid::adapt_cells() {
  const std::uint64_t read_per_search = m_entries_read / m_searches;
  m_searches = 0;
  m_entries_read = 0;
  if (m_cell_shift != m_fine_shift && read_per_search > to_fine_entries) {
    change_cells(m_fine_shift);
  } else if (m_cell_shift == m_fine_shift && read_per_search < to_coarse_entries) {
    change_cells(m_fine_shift + 2);
  }
}

void proximity_grid::change_cells(int _cell_shift) {
  std::vector<entry> placed;
  for (std::uint32_t id = 0; id < m_where.size(); ++id) {
    if (m_where[id].bucket != none) {
      placed.push_back(entry_at(m_buckets[m_where[id].bucket], m_where[id].slot));
    }
  }
  m_buckets.assign(m_buckets.size(), bucket{});
  m_occupied.assign(m_occupied.size(), 0);
  m_spills.clear();
  m_where.assign(m_where.size(), where{});
  m_cell_shift = _cell_shift;
  for (const entry& e : placed) {
    add(bucket_of(cell_of(e.x), cell_of(e.y)), e.id, e.x, e.y);
  }
}

void proximity_grid::place(std::uint32_t _id, std::int32_t _x, std::int32_t _y) {
  if (m_searches >= searches_per_review) {
    adapt_cells();
  }
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
  m_occupied[w.bucket] = last != 0 ? 1 : 0;
  m_where[_id].bucket = none;
}
}  // namespace vela
