#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vela {
// Finds the positioned objects near a point without looking at all of them: a uniform grid of
// cells hashed into a fixed number of buckets. The cells are a power of two of mm wide (a
// coordinate's cell is a shift, not a division): at least four times the search radius where
// objects are few, so that a search covers one or two cells each way, or at least the radius,
// three cells each way, where a search meets so many objects that reading more cells costs less;
// the grid watches what its searches read and changes between the two. A bucket holds its first few objects
// with their coordinates in one cache line and the rest in a list of its own, so that a search
// reads a few cache lines in a row rather than following links. All of it is sized by the number of
// objects, whatever ground they cover.
class proximity_grid {
 public:
  // _radius_mm: the largest distance asked for by for_each_near. Ids are below _object_count, of
  // which at most _members are in the grid at once.
  void reset(std::size_t _object_count, std::uint64_t _radius_mm, std::size_t _members);
  void reset(std::size_t _object_count, std::uint64_t _radius_mm) {
    reset(_object_count, _radius_mm, _object_count);
  }

  bool contains(std::uint32_t _id) const { return m_where[_id].bucket != none; }
  // The width of the cells now, mm.
  std::int64_t cell_mm() const { return std::int64_t{1} << m_cell_shift; }
  // The object will be placed at (_x, _y) and searched around soon: start fetching what that
  // reads first (the searches of a sparse site find the other buckets empty).
  void prefetch(std::uint32_t _id, std::int32_t _x, std::int32_t _y) const {
    __builtin_prefetch(&m_where[_id]);
    __builtin_prefetch(&m_buckets[bucket_of(cell_of(_x), cell_of(_y))]);
  }
  // Places the object at (_x, _y), inserting it if it is not in the grid.
  void place(std::uint32_t _id, std::int32_t _x, std::int32_t _y);
  void remove(std::uint32_t _id);

  // Calls _callback(id, x, y) for every object within the radius of (_x, _y) by each axis (a
  // square, so callers still check the distance), each once, in no particular order. _except (an
  // object searching around itself) may be left out: a search that finds only it reads no bucket.
  template <class Callback>
  void for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback,
                     std::uint32_t _except = none) const;

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

  // Arithmetic shift: the floor of the quotient, for negative coordinates too.
  std::int64_t cell_of(std::int64_t _coordinate) const { return _coordinate >> m_cell_shift; }
  std::uint32_t bucket_of(std::int64_t _cx, std::int64_t _cy) const {
    const std::uint64_t key = (static_cast<std::uint64_t>(_cx) * 0x9E3779B97F4A7C15ull) ^
                              (static_cast<std::uint64_t>(_cy) * 0xC2B2AE3D27D4EB4Full);
    return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
  }
  entry& entry_at(bucket& _bucket, std::uint32_t _slot);
  void add(std::uint32_t _bucket, std::uint32_t _id, std::int32_t _x, std::int32_t _y);
  template <class Callback>
  void scan(const entry* _entries, std::uint32_t _count, std::int32_t _x, std::int32_t _y,
            Callback& _callback) const;

  static constexpr int max_cells = 9;  // three by three, with the finest cells
  // Rebuilds the grid with cells 2^_cell_shift mm wide.
  void change_cells(int _cell_shift);
  // Every so many searches, the cells that suit what they read.
  void adapt_cells();

  std::int64_t m_radius_mm = 0;
  int m_cell_shift = 0;  // cells are 2^m_cell_shift mm wide
  int m_fine_shift = 0;  // the finest cells: at least the radius
  mutable std::uint64_t m_searches = 0;
  mutable std::uint64_t m_entries_read = 0;
  int m_shift = 64;
  std::vector<bucket> m_buckets;
  // Whether each bucket holds anything: a small array that stays in the processor's cache, so
  // that a search reads only the buckets that hold someone.
  std::vector<std::uint8_t> m_occupied;
  std::vector<std::vector<entry>> m_spills;  // one per bucket that ever overflowed
  std::vector<where> m_where;                // per object
};

template <class Callback>
void proximity_grid::scan(const entry* _entries, std::uint32_t _count, std::int32_t _x,
                          std::int32_t _y, Callback& _callback) const {
  const auto span = static_cast<std::uint64_t>(2 * m_radius_mm);
  const std::int64_t left = std::int64_t{_x} - m_radius_mm;
  const std::int64_t bottom = std::int64_t{_y} - m_radius_mm;
  // First the entries within the square, without a branch on each (which half of them would
  // mispredict on a crowded site), then the callbacks.
  constexpr std::uint32_t chunk = 64;
  std::uint32_t within[chunk];
  for (std::uint32_t begin = 0; begin < _count; begin += chunk) {
    const std::uint32_t end = std::min(_count, begin + chunk);
    std::uint32_t found = 0;
    for (std::uint32_t i = begin; i < end; ++i) {
      within[found] = i;
      // Unsigned: a coordinate left of the square wraps around to far beyond its span.
      const bool inside = static_cast<std::uint64_t>(_entries[i].x - left) <= span &&
                          static_cast<std::uint64_t>(_entries[i].y - bottom) <= span;
      found += inside ? 1 : 0;
    }
    for (std::uint32_t k = 0; k < found; ++k) {
      const entry& e = _entries[within[k]];
      _callback(e.id, e.x, e.y);
    }
  }
}

template <class Callback>
void proximity_grid::for_each_near(std::int32_t _x, std::int32_t _y, Callback&& _callback,
                                   std::uint32_t _except) const {
  // The bucket that holds _except alone (just written by place(), so in the cache): not read.
  std::uint32_t own_bucket = _except == none ? none : m_where[_except].bucket;
  if (own_bucket != none && m_buckets[own_bucket].count != 1) {
    own_bucket = none;
  }
  ++m_searches;
  // The square around the point spans one or two cells each way, three with the finest cells.
  const std::int64_t cx1 = cell_of(std::int64_t{_x} + m_radius_mm);
  const std::int64_t cy1 = cell_of(std::int64_t{_y} + m_radius_mm);
  std::uint32_t visited[max_cells];
  int visited_count = 0;
  for (std::int64_t cx = cell_of(std::int64_t{_x} - m_radius_mm); cx <= cx1; ++cx) {
    for (std::int64_t cy = cell_of(std::int64_t{_y} - m_radius_mm); cy <= cy1; ++cy) {
      const std::uint32_t index = bucket_of(cx, cy);
      if (m_occupied[index] == 0 || index == own_bucket) {
        continue;  // nobody there, or only the object searching
      }
      bool seen = false;
      for (int j = 0; j < visited_count; ++j) {
        seen = seen || visited[j] == index;
      }
      if (seen) {
        continue;  // two cells of the square share a bucket
      }
      visited[visited_count++] = index;
      const bucket& b = m_buckets[index];
      m_entries_read += b.count;
      scan(b.inline_part, std::min(b.count, inline_entries), _x, _y, _callback);
      if (b.count > inline_entries) {
        scan(m_spills[b.spill].data(), b.count - inline_entries, _x, _y, _callback);
      }
    }
  }
}
}  // namespace vela
