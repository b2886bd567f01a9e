#pragma once
// The zones of a site (a loading dock, an aisle) as vela-report and vela-summary read them: a
// GeoJSON FeatureCollection of Polygon and MultiPolygon features in site metres (x and y as the
// result has them, y growing upwards), each named by its "name" property; features of one name
// make one zone. An event lies in every zone that holds its mark, the midpoint of its two
// objects' positions when it began: holes are respected and a mark on a boundary is inside.
//
// A mark is a sum of two positions in millimetres, so it is a whole number of half millimetres.
// Corners are held in that unit too (rounded, 0.25 mm at most), which makes every test exact
// integer arithmetic: a mark on an edge is on it, not a rounding error either side of it.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vela::tools {
// A zones file that cannot be read or is not what it should be. The message is one line
// without the file's name: "feature 3: no \"name\" property".
class zone_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The status of a zones file or floor plan that cannot be used, in every companion that reads
// one: apart from 1, the result, and 64, the command line.
constexpr int site_file_status = 2;

struct zone_point {
  std::int64_t x = 0;  // half millimetres
  std::int64_t y = 0;
};

// An outer ring then its holes, each closed: the last point repeats the first.
using zone_polygon = std::vector<std::vector<zone_point>>;

struct zone {
  std::string name;
  std::vector<zone_polygon> polygons;
  zone_point low;  // the corners of the box around every ring
  zone_point high;
};

class zone_map {
 public:
  // Throws zone_error, naming what is wrong; a file that cannot be opened too.
  static zone_map read_file(const std::string& _path);
  static zone_map parse(std::string_view _json);

  // In the order of their first feature in the file.
  const std::vector<zone>& zones() const { return m_zones; }

  // The indices of the zones that hold the mark of an event whose objects were at (_xa, _ya)
  // and (_xb, _yb) mm, in increasing order, into _out (cleared first).
  void zones_at(std::int64_t _xa, std::int64_t _ya, std::int64_t _xb, std::int64_t _yb,
                std::vector<std::uint32_t>& _out) const;

 private:
  // The edges of one zone by bands of y, so that a mark is held against the few edges that
  // reach its row rather than against every corner: a zone may have a million of them.
  struct edge_bands {
    std::vector<zone_point> points;           // every ring of the zone, one after another
    std::vector<std::uint32_t> polygon_ends;  // into points: where each polygon's rings end
    std::vector<zone_point> polygon_lows;     // the box of each polygon
    std::vector<zone_point> polygon_highs;
    std::int64_t band_height = 1;            // half millimetres; the first band starts at low.y
    std::vector<std::uint32_t> band_starts;  // into edges, one more than there are bands
    std::vector<std::uint32_t> edges;        // edge k runs from points[k] to points[k + 1]
  };

  static edge_bands index(const zone& _zone);
  static bool holds(const zone& _zone, const edge_bands& _bands, std::int64_t _x, std::int64_t _y);

  std::vector<zone> m_zones;
  std::vector<edge_bands> m_bands;  // by zone
};

// Half millimetres as metres, the shortest text that reads back as the same double.
std::string half_mm_as_metres(std::int64_t _half_mm);

// The marks of the events read, which a zones file or a floor plan's bounds must share units
// with: their box, and the zones every one of them lay in, while that was the same for all.
class mark_survey {
 public:
  // The mark of an event whose objects were at (_xa, _ya) and (_xb, _yb) mm; with zones, the
  // zones that hold it.
  void add(std::int64_t _xa, std::int64_t _ya, std::int64_t _xb, std::int64_t _yb,
           const std::vector<std::uint32_t>* _zones = nullptr);

  std::size_t count() const { return m_count; }

 private:
  friend std::string zones_units_warning(const zone_map& _zones, const mark_survey& _marks);
  friend std::string bounds_units_warning(double _x_min, double _y_min, double _x_max,
                                          double _y_max, const mark_survey& _marks);

  std::size_t m_count = 0;
  double m_low_x = 0;  // half millimetres
  double m_low_y = 0;
  double m_high_x = 0;
  double m_high_y = 0;
  bool m_same_zones = true;
  std::vector<std::uint32_t> m_zones;  // those of the first mark
};

// Why _zones look to be in other units than the events (millimetres, degrees), in a few words
// that give both extents in metres, or empty. With 20 marks or more: the larger side of the
// zones' box and of the marks' box 50 times apart or more; or, with two zones or more, every
// mark in the same one zone, or in none, while the zones' box holds the marks' and is larger.
std::string zones_units_warning(const zone_map& _zones, const mark_survey& _marks);
// The same of a floor plan whose edges are at these site metres, by their extents.
std::string bounds_units_warning(double _x_min, double _y_min, double _x_max, double _y_max,
                                 const mark_survey& _marks);
}  // namespace vela::tools
