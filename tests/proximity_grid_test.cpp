#include "base/geometry.hpp"
#include "replay/proximity_grid.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace vela {
namespace {
constexpr std::int32_t min32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t max32 = std::numeric_limits<std::int32_t>::max();

using found = std::vector<std::tuple<std::uint32_t, std::int32_t, std::int32_t>>;

found near(const proximity_grid& _grid, std::int32_t _x, std::int32_t _y,
           std::uint32_t _except = UINT32_MAX) {
  found result;
  _grid.for_each_near(
      _x, _y,
      [&](std::uint32_t _id, std::int32_t _ox, std::int32_t _oy) {
        result.emplace_back(_id, _ox, _oy);
      },
      _except);
  std::sort(result.begin(), result.end());
  return result;
}

TEST(ProximityGridTest, PlanarDistanceRoundsHalfAwayFromZeroWithoutOverflow) {
  const struct {
    std::int32_t x1, y1, x2, y2;
    std::int64_t distance;
  } rows[] = {
      {0, 0, 3000, 4000, 5000},
      {0, 0, 1, 1, 1},
      {-3, -3, -1, -1, 3},                       // 2.83
      {0, 0, 1000000, 1000, 1000000},            // 1000000.49999988
      {1, 0, -999998, 1000, 1000000},            // 999999.50000038
      {min32, 7, max32, 7, 4294967295},          // one axis
      {min32, min32, max32, max32, 6074000999},  // (2^32 - 1) * sqrt(2) = 6074000998.54
      {max32, min32, min32, max32, 6074000999},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.distance);
    EXPECT_EQ(planar_distance_mm(row.x1, row.y1, row.x2, row.y2), row.distance);
    EXPECT_EQ(planar_distance_mm(row.x2, row.y2, row.x1, row.y1), row.distance);
  }
}

TEST(ProximityGridTest, FindsObjectsWithinTheRadiusAcrossCells) {
  proximity_grid grid;
  grid.reset(5, 2000);
  grid.place(0, -1, -1);
  grid.place(1, 1999, -1);      // in another cell, at the radius
  grid.place(2, 2000, -1);      // just beyond
  grid.place(3, -2001, -2001);  // the corner of the square
  grid.place(4, -2002, -2001);
  EXPECT_EQ(near(grid, -1, -1), (found{{0, -1, -1}, {1, 1999, -1}, {3, -2001, -2001}}));
  grid.place(0, -5, -3);  // within its cell
  grid.place(1, 50000, -50000);
  grid.remove(3);
  grid.remove(3);
  EXPECT_EQ(near(grid, -1, -1), (found{{0, -5, -3}}));
  EXPECT_EQ(near(grid, 48000, -48000), (found{{1, 50000, -50000}}));
  EXPECT_FALSE(grid.contains(3));
}

TEST(ProximityGridTest, AgreesWithBruteForceOnRandomPlacements) {
  const struct {
    std::uint64_t radius;
    std::int32_t span;  // coordinates lie in [-span, span]; a small span crowds the cells
  } rows[] = {{0, 6}, {7, 60}, {2000, 20000}, {2000, 3000}, {1000000000, max32}};
  std::mt19937 random(7);
  constexpr std::uint32_t objects = 300;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.radius);
    std::uniform_int_distribution<std::int32_t> coordinate(-row.span, row.span);
    std::uniform_int_distribution<std::uint32_t> pick(0, objects - 1);
    proximity_grid grid;
    grid.reset(objects, row.radius);
    std::map<std::uint32_t, std::pair<std::int32_t, std::int32_t>> placed;
    std::size_t hits = 0;
    for (int step = 0; step < 600; ++step) {
      const std::uint32_t id = pick(random);
      if (step % 5 == 4) {
        grid.remove(id);
        placed.erase(id);
      } else {
        placed[id] = {coordinate(random), coordinate(random)};
        grid.place(id, placed[id].first, placed[id].second);
      }
      const std::int32_t x = coordinate(random);
      const std::int32_t y = coordinate(random);
      found expected;
      for (const auto& [other, where] : placed) {
        const auto r = static_cast<std::int64_t>(row.radius);
        if (std::abs(std::int64_t{where.first} - x) <= r &&
            std::abs(std::int64_t{where.second} - y) <= r) {
          expected.emplace_back(other, where.first, where.second);
        }
      }
      ASSERT_EQ(near(grid, x, y), expected) << "step " << step;
      hits += expected.size();
      // A search around a placed object itself may leave it out, but no one else.
      if (const auto self = placed.find(id); self != placed.end()) {
        found others = near(grid, self->second.first, self->second.second, id);
        others.erase(std::remove_if(others.begin(), others.end(),
                                    [&](const auto& _hit) { return std::get<0>(_hit) == id; }),
                     others.end());
        found all = near(grid, self->second.first, self->second.second);
        all.erase(std::remove_if(all.begin(), all.end(),
                                 [&](const auto& _hit) { return std::get<0>(_hit) == id; }),
                  all.end());
        ASSERT_EQ(others, all) << "step " << step;
      }
      ASSERT_EQ(grid.contains(id), placed.count(id) == 1);
    }
    EXPECT_GT(hits, 300u);  // dense enough to exercise the search
  }
}
// A crowd makes the grid take finer cells, and a spread-out site coarser ones again; every
// search agrees with the brute force throughout.
TEST(ProximityGridTest, AgreesWithBruteForceWhileItsCellsChange) {
  constexpr std::uint32_t objects = 200;
  constexpr std::uint64_t radius = 2000;
  proximity_grid grid;
  grid.reset(objects, radius);
  const std::int64_t coarse = grid.cell_mm();
  std::mt19937 random(5);
  std::vector<std::pair<std::int32_t, std::int32_t>> placed(objects);
  std::vector<std::int64_t> widths;
  for (const std::int32_t span : {3000, 2000000}) {  // a crowd, then a large site
    std::uniform_int_distribution<std::int32_t> coordinate(-span, span);
    for (std::uint32_t id = 0; id < objects; ++id) {
      placed[id] = {coordinate(random), coordinate(random)};
      grid.place(id, placed[id].first, placed[id].second);
    }
    for (int step = 0; step < 140000; ++step) {
      const std::uint32_t id = static_cast<std::uint32_t>(step) % objects;
      placed[id] = {coordinate(random), coordinate(random)};
      grid.place(id, placed[id].first, placed[id].second);
      if (step % 97 != 0) {  // a search of its own now and then, compared in full
        grid.for_each_near(placed[id].first, placed[id].second,
                           [](std::uint32_t, std::int32_t, std::int32_t) {});
        continue;
      }
      found expected;
      for (std::uint32_t other = 0; other < objects; ++other) {
        if (std::abs(std::int64_t{placed[other].first} - placed[id].first) <= 2000 &&
            std::abs(std::int64_t{placed[other].second} - placed[id].second) <= 2000) {
          expected.emplace_back(other, placed[other].first, placed[other].second);
        }
      }
      ASSERT_EQ(near(grid, placed[id].first, placed[id].second), expected) << "step " << step;
    }
    widths.push_back(grid.cell_mm());
  }
  EXPECT_LT(widths[0], coarse);  // the crowd took finer cells
  EXPECT_EQ(widths[1], coarse);  // and the large site the coarse ones again
}
}  // namespace
}  // namespace vela
