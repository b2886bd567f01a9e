// The zones of --zones: which zones hold a mark, held against a plain even-odd point in polygon
// that walks every edge, on random zones (concave, holed, several polygons, rectilinear,
// tangled, of many corners) and marks anywhere, on corners, on edges and on the rows of corners.
#include "common/zones.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

std::string metres(std::int64_t _half_mm) {
  char text[40];
  const std::int64_t whole = std::abs(_half_mm);
  std::snprintf(text, sizeof text, "%s%lld.%04lld", _half_mm < 0 ? "-" : "",
                static_cast<long long>(whole / 2000), static_cast<long long>(whole % 2000 * 5));
  return text;
}

// Zone k named "zk", its polygons alternately as one MultiPolygon and as features of one name.
std::string geojson(const std::vector<shape>& _zones) {
  std::string out = R"({"type":"FeatureCollection","features":[)";
  const auto rings = [](const polygon& _polygon) {
    std::string text = "[";
    for (const ring& each : _polygon) {
      text += text.size() > 1 ? ",[" : "[";
      for (std::size_t k = 0; k <= each.size(); ++k) {
        const point& p = each[k % each.size()];
        text += (k == 0 ? "[" : ",[") + metres(p.x) + "," + metres(p.y) + "]";
      }
      text += "]";
    }
    return text + "]";
  };
  for (std::size_t z = 0; z < _zones.size(); ++z) {
    const std::string head = R"({"type":"Feature","properties":{"name":"z)" + std::to_string(z) +
                             R"("},"geometry":{"type":)";
    if (z % 2 == 0) {
      out += head + R"("MultiPolygon","coordinates":[)";
      for (std::size_t p = 0; p < _zones[z].size(); ++p) {
        out += (p == 0 ? "" : ",") + rings(_zones[z][p]);
      }
      out += "]}},";
    } else {
      for (const polygon& each : _zones[z]) {
        out += head + R"("Polygon","coordinates":)" + rings(each) + "}},";
      }
    }
  }
  out.back() = ']';
  return out + "}";
}

class random_zones {
 public:
  explicit random_zones(unsigned _seed) : m_random(_seed) {}

  std::int64_t number(std::int64_t _low, std::int64_t _high) {
    return std::uniform_int_distribution<std::int64_t>(_low, _high)(m_random);
  }

  // Corners at random angles and radii around (_x, _y), on a lattice of _step: concave.
  ring star(std::int64_t _x, std::int64_t _y, std::int64_t _low, std::int64_t _high,
            std::size_t _corners, std::int64_t _step) {
    std::vector<double> angles(_corners);
    for (double& angle : angles) {
      angle = std::uniform_real_distribution<double>(0, 6.283185307179586)(m_random);
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

  // A staircase over a base: every other edge horizontal, corners on each other's rows.
  ring steps(std::int64_t _x, std::int64_t _y, std::size_t _steps) {
    ring corners = {{_x, _y}};
    std::int64_t x = _x;
    for (std::size_t k = 0; k < _steps; ++k) {
      const std::int64_t top = _y + number(1, 8) * 10;
      corners.push_back({x, top});
      x += number(1, 4) * 10;
      corners.push_back({x, top});
    }
    corners.push_back({x, _y});
    return corners;
  }

  // Corners anywhere in a small square, repeated ones and crossing edges included.
  ring tangle(std::size_t _corners) {
    ring corners;
    for (std::size_t k = 0; k < _corners; ++k) {
      corners.push_back({number(0, 6) * 10, number(0, 6) * 10});
    }
    return corners;
  }

  std::mt19937_64& engine() { return m_random; }

 private:
  std::mt19937_64 m_random;
};

// Marks on the corners and the edges (a sample of them for large zones), on the rows of
// corners, and anywhere in and around the zones.
std::vector<point> marks_for(const std::vector<shape>& _zones, random_zones& _random) {
  std::vector<std::pair<point, point>> edges;
  for (const shape& zone : _zones) {
    for (const polygon& each : zone) {
      for (const ring& rim : each) {
        for (std::size_t k = 0; k < rim.size(); ++k) {
          edges.emplace_back(rim[k], rim[(k + 1) % rim.size()]);
        }
      }
    }
  }
  point low = edges[0].first, high = low;
  for (const auto& [a, b] : edges) {
    low = {std::min(low.x, a.x), std::min(low.y, a.y)};
    high = {std::max(high.x, a.x), std::max(high.y, a.y)};
  }
  std::shuffle(edges.begin(), edges.end(), _random.engine());
  edges.resize(std::min<std::size_t>(edges.size(), 1000));
  const std::int64_t margin = (high.x - low.x + high.y - low.y) / 10 + 1;
  std::vector<point> marks;
  for (const auto& [a, b] : edges) {
    // A lattice point of the edge, its ends included: exactly on it.
    const std::int64_t step = std::gcd(b.x - a.x, b.y - a.y);
    const std::int64_t t = step == 0 ? 0 : _random.number(0, step);
    marks.push_back(a);
    marks.push_back(step == 0 ? a
                              : point{a.x + (b.x - a.x) / step * t, a.y + (b.y - a.y) / step * t});
    marks.push_back({_random.number(low.x - margin, high.x + margin), a.y});
    marks.push_back({_random.number(low.x - margin, high.x + margin),
                     _random.number(low.y - margin, high.y + margin)});
  }
  return marks;
}

TEST(ZonesTest, IndexedAnswerIsThePlainOne) {
  const struct {
    const char* name;
    std::function<std::vector<shape>(random_zones&)> make;
  } cases[] = {
      {"concave",
       [](random_zones& _r) {
         return std::vector<shape>{{{_r.star(0, 0, 200, 2000, 40, 10)}},
                                   {{_r.star(500, 300, 100, 900, 12, 100)}}};
       }},
      {"holed",
       [](random_zones& _r) {
         return std::vector<shape>{
             {{_r.star(0, 0, 1500, 3000, 30, 10), _r.star(0, 0, 100, 600, 9, 10),
               _r.star(0, 0, 800, 1400, 20, 10)}}};
       }},
      {"several polygons, overlapping zones",
       [](random_zones& _r) {
         std::vector<shape> zones(3);
         for (shape& zone : zones) {
           for (int p = 0; p < 4; ++p) {
             const std::int64_t x = _r.number(-30, 30) * 100, y = _r.number(-30, 30) * 100;
             zone.push_back({_r.star(x, y, 800, 2000, 16, 10), _r.star(x, y, 0, 600, 7, 10)});
           }
         }
         return zones;
       }},
      {"rectilinear",
       [](random_zones& _r) {
         return std::vector<shape>{{{_r.steps(0, 0, 30)}, {_r.steps(50, 40, 10)}},
                                   {{_r.steps(20, 20, 12)}}};
       }},
      {"tangled",
       [](random_zones& _r) {
         return std::vector<shape>{{{_r.tangle(9), _r.tangle(5)}}, {{_r.tangle(4)}}};
       }},
      {"many corners",
       [](random_zones& _r) {
         return std::vector<shape>{
             {{_r.star(0, 0, 900'000, 1'000'000, 20'000, 1), _r.star(0, 0, 0, 800'000, 5'000, 1)}}};
       }},
      {"long edges across many rows",
       [](random_zones& _r) {
         ring comb = {{0, 0}};
         for (std::int64_t tooth = 0; tooth < 2000; ++tooth) {
           comb.push_back({tooth * 20, 200'000 + _r.number(0, 5) * 10});
           comb.push_back({tooth * 20 + 10, 200'000 + _r.number(0, 5) * 10});
           comb.push_back({tooth * 20 + 10, _r.number(1, 20) * 10});
         }
         comb.push_back({40'000, 0});
         return std::vector<shape>{{{comb}}};
       }},
  };
  for (const auto& row : cases) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
      SCOPED_TRACE(std::string(row.name) + ", seed " + std::to_string(seed));
      random_zones random(seed);
      const std::vector<shape> zones = row.make(random);
      const tools::zone_map map = tools::zone_map::parse(geojson(zones));
      ASSERT_EQ(map.zones().size(), zones.size());
      std::vector<std::uint32_t> found;
      std::size_t inside = 0;
      for (const point& mark : marks_for(zones, random)) {
        std::vector<std::uint32_t> expected;
        for (std::uint32_t z = 0; z < zones.size(); ++z) {
          if (std::any_of(zones[z].begin(), zones[z].end(),
                          [&](const polygon& _p) { return plain_holds(_p, mark.x, mark.y); })) {
            expected.push_back(z);
          }
        }
        // The mark is the sum of the two positions in millimetres, split anyhow.
        const std::int64_t xa = random.number(-5000, 5000), ya = random.number(-5000, 5000);
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
