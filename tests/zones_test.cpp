// The zones of --zones: which zones hold a mark, held against a plain even-odd point in polygon
// that walks every edge, on random zones (concave, holed, several polygons, on a lattice and
// tangled, of many corners) and marks anywhere, on corners, on edges and on the rows of corners.
#include "common/zones.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace vela {
namespace {
using point = tools::zone_point;  // half millimetres
using ring = std::vector<point>;  // not closed
using polygon = std::vector<ring>;
using shape = std::vector<polygon>;
__extension__ typedef __int128 wide;

// Inside by the count of edges that the mark's row meets right of it (each taken from its lower
// end up to, not including, its upper end), or on an edge.
bool plain_holds(const polygon& _polygon, std::int64_t _x, std::int64_t _y) {
  bool odd = false;
  for (const ring& each : _polygon) {
    for (std::size_t k = 0; k < each.size(); ++k) {
      const point a = each[k];
      const point b = each[(k + 1) % each.size()];
      const wide area = wide{a.x - _x} * (b.y - _y) - wide{a.y - _y} * (b.x - _x);
      if (area == 0 && wide{a.x - _x} * (b.x - _x) <= 0 && wide{a.y - _y} * (b.y - _y) <= 0) {
        return true;
      }
      if (std::min(a.y, b.y) <= _y && _y < std::max(a.y, b.y)) {
        // The row meets the edge at a.x + (y - a.y) (b.x - a.x) / (b.y - a.y): right of x?
        const wide ahead = wide{a.x - _x} * (b.y - a.y) + wide{_y - a.y} * (b.x - a.x);
        odd ^= (ahead > 0) == (b.y > a.y);
      }
    }
  }
  return odd;
}

// Zone k named "zk", a feature per polygon; corners in metres, written exactly.
std::string geojson(const std::vector<shape>& _zones) {
  const auto metres = [](std::int64_t _half_mm) {
    const std::int64_t whole = std::abs(_half_mm);
    std::string fraction = std::to_string(10000 + whole % 2000 * 5).substr(1);
    return (_half_mm < 0 ? "-" : "") + std::to_string(whole / 2000) + "." + fraction;
  };
  std::string out = R"({"type":"FeatureCollection","features":[)";
  for (std::size_t z = 0; z < _zones.size(); ++z) {
    for (const polygon& each : _zones[z]) {
      out += R"({"type":"Feature","properties":{"name":"z)" + std::to_string(z) +
             R"("},"geometry":{"type":"Polygon","coordinates":[)";
      for (const ring& rim : each) {
        for (std::size_t k = 0; k <= rim.size(); ++k) {
          const point& p = rim[k % rim.size()];
          out += (k == 0 ? "[[" : ",[") + metres(p.x) + "," + metres(p.y) + "]";
        }
        out += &rim == &each.back() ? "]" : "],";
      }
      out += "]}},";
    }
  }
  out.back() = ']';
  return out + "}";
}

std::mt19937_64 random_engine;

std::int64_t number(std::int64_t _low, std::int64_t _high) {
  return std::uniform_int_distribution<std::int64_t>(_low, _high)(random_engine);
}

// Corners at random angles and radii around (_x, _y), on a lattice of _step: concave.
ring star(std::int64_t _x, std::int64_t _y, std::int64_t _low, std::int64_t _high,
          std::size_t _corners, std::int64_t _step = 10) {
  std::vector<double> angles(_corners);
  for (double& angle : angles) {
    angle = std::uniform_real_distribution<double>(0, 6.283185307179586)(random_engine);
  }
  std::sort(angles.begin(), angles.end());
  ring corners;
  for (const double angle : angles) {
    const auto radius = static_cast<double>(number(_low, _high));
    corners.push_back({_x + std::llround(radius * std::cos(angle) / _step) * _step,
                       _y + std::llround(radius * std::sin(angle) / _step) * _step});
  }
  return corners;
}

// A walk on a lattice of 10, across then up or down in turn, back to where it began:
// horizontal edges, corners on each other's rows, edges that cross and overlap.
ring walk(std::size_t _turns) {
  ring corners = {{0, 0}};
  for (std::size_t k = 0; k < _turns; ++k) {
    const point& last = corners.back();
    corners.push_back(k % 2 == 0 ? point{last.x + number(-4, 4) * 10, last.y}
                                 : point{last.x, last.y + number(-4, 4) * 10});
  }
  corners.push_back({0, corners.back().y});
  return corners;
}

// Marks on the corners and on the edges (a sample of them for large zones), on the rows of
// corners, and anywhere in and around the zones.
std::vector<point> marks_for(const std::vector<shape>& _zones) {
  std::vector<std::pair<point, point>> edges;
  point low{INT64_MAX, INT64_MAX}, high{INT64_MIN, INT64_MIN};
  for (const shape& zone : _zones) {
    for (const polygon& each : zone) {
      for (const ring& rim : each) {
        for (std::size_t k = 0; k < rim.size(); ++k) {
          edges.emplace_back(rim[k], rim[(k + 1) % rim.size()]);
          low = {std::min(low.x, rim[k].x), std::min(low.y, rim[k].y)};
          high = {std::max(high.x, rim[k].x), std::max(high.y, rim[k].y)};
        }
      }
    }
  }
  std::shuffle(edges.begin(), edges.end(), random_engine);
  edges.resize(std::min<std::size_t>(edges.size(), 1000));
  const std::int64_t margin = (high.x - low.x + high.y - low.y) / 10 + 1;
  std::vector<point> marks;
  for (const auto& [a, b] : edges) {
    // A lattice point of the edge, its ends included: exactly on it.
    const std::int64_t step = std::max<std::int64_t>(std::gcd(b.x - a.x, b.y - a.y), 1);
    const std::int64_t t = number(0, step);
    marks.push_back(a);
    marks.push_back({a.x + (b.x - a.x) / step * t, a.y + (b.y - a.y) / step * t});
    marks.push_back({number(low.x - margin, high.x + margin), a.y});
    marks.push_back(
        {number(low.x - margin, high.x + margin), number(low.y - margin, high.y + margin)});
  }
  return marks;
}

TEST(ZonesTest, IndexedAnswerIsThePlainOne) {
  const struct {
    const char* name;
    std::function<std::vector<shape>()> make;
  } cases[] = {
      {"concave, holed, several polygons, overlapping zones",
       [] {
         std::vector<shape> zones(3);
         for (shape& zone : zones) {
           for (int p = 0; p < 3; ++p) {
             const std::int64_t x = number(-30, 30) * 100, y = number(-30, 30) * 100;
             zone.push_back(
                 {star(x, y, 1500, 3000, 30), star(x, y, 0, 600, 7), star(x, y, 800, 1400, 12)});
           }
         }
         return zones;
       }},
      {"walks on a lattice",
       [] {
         return std::vector<shape>{{{walk(40)}, {walk(9)}}, {{walk(6)}}};
       }},
      // Edges that each span many rows: fewer bands than edges.
      {"many corners, jagged",
       [] {
         return std::vector<shape>{
             {{star(0, 0, 900'000, 1'000'000, 20'000, 1), star(0, 0, 0, 800'000, 5'000, 1)}}};
       }},
  };
  for (const auto& row : cases) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
      SCOPED_TRACE(std::string(row.name) + ", seed " + std::to_string(seed));
      random_engine.seed(seed);
      const std::vector<shape> zones = row.make();
      const tools::zone_map map = tools::zone_map::parse(geojson(zones));
      ASSERT_EQ(map.zones().size(), zones.size());
      std::vector<std::uint32_t> found;
      std::size_t inside = 0;
      for (const point& mark : marks_for(zones)) {
        std::vector<std::uint32_t> expected;
        for (std::uint32_t z = 0; z < zones.size(); ++z) {
          if (std::any_of(zones[z].begin(), zones[z].end(),
                          [&](const polygon& _p) { return plain_holds(_p, mark.x, mark.y); })) {
            expected.push_back(z);
          }
        }
        // The mark is the sum of the two positions in millimetres, split anyhow.
        const std::int64_t xa = number(-5000, 5000), ya = number(-5000, 5000);
        map.zones_at(xa, ya, mark.x - xa, mark.y - ya, found);
        ASSERT_EQ(found, expected) << "mark " << mark.x << "," << mark.y;
        inside += expected.empty() ? 0 : 1;
      }
      EXPECT_GT(inside, 0U) << "no mark in any zone";
    }
  }
}
}  // namespace
}  // namespace vela
