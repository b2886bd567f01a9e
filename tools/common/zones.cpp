#include "common/zones.hpp"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "base/text.hpp"
#include "files/input_file.hpp"

namespace vela::tools {
namespace {
// Products of coordinate differences need more than 64 bits.
__extension__ typedef __int128 wide;

// Beyond this a corner is no site's: 10^12 m, so that every difference of two corners, and of
// a corner and a mark inside the box, stays far inside what a product of two can hold.
constexpr double coordinate_limit_m = 1e12;
constexpr std::size_t file_limit_bytes = std::size_t{64} << 20;

using json = rapidjson::Value;

std::string feature_text(std::size_t _feature) { return "feature " + std::to_string(_feature); }

std::int64_t half_mm(const json& _value, const std::string& _where) {
  if (!_value.IsNumber()) {
    throw zone_error(_where + ": a position holds something other than numbers");
  }
  const double metres = _value.GetDouble();
  if (!(std::fabs(metres) <= coordinate_limit_m)) {
    throw zone_error(_where + ": a coordinate beyond 10^12 m");
  }
  return std::llround(metres * 2000);
}

std::vector<zone_point> ring_of(const json& _ring, const std::string& _where) {
  if (!_ring.IsArray()) {
    throw zone_error(_where + ": a ring that is not an array of positions");
  }
  std::vector<zone_point> ring;
  ring.reserve(_ring.Size());
  for (const json& position : _ring.GetArray()) {
    if (!position.IsArray() || position.Size() < 2) {
      throw zone_error(_where + ": a position that is not an array of x and y");
    }
    ring.push_back({half_mm(position[0], _where), half_mm(position[1], _where)});
  }
  if (ring.size() < 4) {
    throw zone_error(_where + ": a ring of fewer than 4 positions");
  }
  if (ring.front().x != ring.back().x || ring.front().y != ring.back().y) {
    throw zone_error(_where +
                     ": a ring that is not closed (its last position must repeat its "
                     "first)");
  }
  return ring;
}

zone_polygon polygon_of(const json& _rings, const std::string& _where) {
  if (!_rings.IsArray() || _rings.Empty()) {
    throw zone_error(_where + ": a polygon that is not a non-empty array of rings");
  }
  zone_polygon polygon;
  for (const json& ring : _rings.GetArray()) {
    polygon.push_back(ring_of(ring, _where));
  }
  return polygon;
}

const json* member(const json& _object, const char* _name) {
  const auto found = _object.FindMember(_name);
  return found == _object.MemberEnd() ? nullptr : &found->value;
}

std::vector<zone_polygon> polygons_of(const json& _feature, const std::string& _where) {
  const json* geometry = member(_feature, "geometry");
  if (geometry == nullptr || geometry->IsNull()) {
    throw zone_error(_where + ": no geometry");
  }
  const json* type = geometry->IsObject() ? member(*geometry, "type") : nullptr;
  const json* coordinates = geometry->IsObject() ? member(*geometry, "coordinates") : nullptr;
  if (type == nullptr || !type->IsString()) {
    throw zone_error(_where + ": a geometry without its \"type\"");
  }
  const std::string kind = type->GetString();
  if (kind != "Polygon" && kind != "MultiPolygon") {
    throw zone_error(_where + ": a " + terminal_safe(kind.substr(0, 40)) +
                     ", not a Polygon or MultiPolygon");
  }
  if (coordinates == nullptr) {
    throw zone_error(_where + ": a " + kind + " without \"coordinates\"");
  }
  if (kind == "Polygon") {
    return {polygon_of(*coordinates, _where)};
  }
  if (!coordinates->IsArray() || coordinates->Empty()) {
    throw zone_error(_where + ": a MultiPolygon that holds no polygon");
  }
  std::vector<zone_polygon> polygons;
  for (const json& rings : coordinates->GetArray()) {
    polygons.push_back(polygon_of(rings, _where));
  }
  return polygons;
}

std::string name_of(const json& _feature, const std::string& _where) {
  const json* properties = member(_feature, "properties");
  const json* name =
      properties != nullptr && properties->IsObject() ? member(*properties, "name") : nullptr;
  if (name == nullptr || !name->IsString() || name->GetStringLength() == 0) {
    throw zone_error(_where + ": no \"name\" property that names its zone");
  }
  std::string text(name->GetString(), name->GetStringLength());
  // vela-summary joins the names of an event's zones with ';' in a CSV cell.
  if (text.find(';') != std::string::npos) {
    throw zone_error(_where +
                     ": a name with ';', which separates zone names in vela-summary's "
                     "CSV");
  }
  return text;
}

enum class edge_side { apart, on, crossed };

// Where the mark (_x, _y) stands to the edge from _a to _b: on it, or left of it where the edge
// crosses the mark's row (half-open in y, so that a row through a corner counts it once). The
// even-odd count of crossed edges over all the rings of a polygon tells inside: a hole is
// outside, its edge inside.
edge_side side_of(const zone_point& _a, const zone_point& _b, std::int64_t _x, std::int64_t _y) {
  // Twice the signed area of (a, b, mark): zero when the mark is on the line through a, b.
  const wide cross = wide{_b.x - _a.x} * (_y - _a.y) - wide{_x - _a.x} * (_b.y - _a.y);
  if (cross == 0 && _x >= std::min(_a.x, _b.x) && _x <= std::max(_a.x, _b.x) &&
      _y >= std::min(_a.y, _b.y) && _y <= std::max(_a.y, _b.y)) {
    return edge_side::on;
  }
  return (_a.y > _y) != (_b.y > _y) && (cross > 0) == (_b.y > _a.y) ? edge_side::crossed
                                                                    : edge_side::apart;
}

bool outside(const zone_point& _low, const zone_point& _high, std::int64_t _x, std::int64_t _y) {
  return _x < _low.x || _x > _high.x || _y < _low.y || _y > _high.y;
}
}  // namespace

zone_map zone_map::read_file(const std::string& _path) {
  input_file file{_path};
  std::string text;
  std::string error;
  switch (read_whole_file(file, text, error, file_limit_bytes)) {
    case whole_file::read:
      return parse(text);
    case whole_file::cannot_open:
      throw zone_error(error);
    case whole_file::folder:
      throw zone_error("is a folder");
    case whole_file::too_large:
      throw zone_error("larger than 64 MiB: not a zones file");
    case whole_file::read_error:
      break;
  }
  throw zone_error("cannot be read");
}

namespace {
// The zones of a file, by name in the order of their first feature; boxes not yet set.
std::vector<zone> zones_of(std::string_view _json) {
  rapidjson::Document document;
  // Iterative: nesting as deep as the file likes cannot exhaust the stack.
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(_json.data(),
                                                                                      _json.size());
  if (document.HasParseError()) {
    if (document.GetParseError() == rapidjson::kParseErrorDocumentEmpty) {
      throw zone_error("empty: not GeoJSON");
    }
    throw zone_error("not JSON at byte offset " + std::to_string(document.GetErrorOffset()) + ": " +
                     rapidjson::GetParseError_En(document.GetParseError()));
  }
  const json* type = document.IsObject() ? member(document, "type") : nullptr;
  if (type == nullptr || !type->IsString() ||
      std::string(type->GetString()) != "FeatureCollection") {
    throw zone_error("not a GeoJSON FeatureCollection");
  }
  const json* features = member(document, "features");
  if (features == nullptr || !features->IsArray()) {
    throw zone_error("a FeatureCollection without its \"features\" array");
  }
  std::vector<zone> zones;
  std::unordered_map<std::string, std::size_t> index_of_name;
  std::size_t number = 0;
  for (const json& feature : features->GetArray()) {
    const std::string where = feature_text(++number);
    const json* feature_type = feature.IsObject() ? member(feature, "type") : nullptr;
    if (feature_type == nullptr || !feature_type->IsString() ||
        std::string(feature_type->GetString()) != "Feature") {
      throw zone_error(where + ": not a GeoJSON Feature");
    }
    std::string name = name_of(feature, where);
    std::vector<zone_polygon> polygons = polygons_of(feature, where);
    const auto [found, added] = index_of_name.try_emplace(name, zones.size());
    if (added) {
      zones.push_back({std::move(name), {}, {}, {}});
    }
    zone& into = zones[found->second];
    for (zone_polygon& polygon : polygons) {
      into.polygons.push_back(std::move(polygon));
    }
  }
  if (zones.empty()) {
    throw zone_error("holds no Polygon or MultiPolygon feature");
  }
  return zones;
}
}  // namespace

zone_map zone_map::parse(std::string_view _json) {
  zone_map map;
  // The document is gone before the index is made: with a million corners each is large.
  map.m_zones = zones_of(_json);
  for (zone& one : map.m_zones) {
    one.low = one.polygons.front().front().front();
    one.high = one.low;
    for (const zone_polygon& polygon : one.polygons) {
      for (const std::vector<zone_point>& ring : polygon) {
        for (const zone_point& point : ring) {
          one.low = {std::min(one.low.x, point.x), std::min(one.low.y, point.y)};
          one.high = {std::max(one.high.x, point.x), std::max(one.high.y, point.y)};
        }
      }
    }
    map.m_bands.push_back(index(one));
  }
  return map;
}

zone_map::edge_bands zone_map::index(const zone& _zone) {
  edge_bands bands;
  std::vector<std::uint32_t> edges;  // in the order of the file
  std::size_t corners = 0;
  for (const zone_polygon& polygon : _zone.polygons) {
    for (const std::vector<zone_point>& ring : polygon) {
      corners += ring.size();
    }
  }
  bands.points.reserve(corners);
  edges.reserve(corners);
  for (const zone_polygon& polygon : _zone.polygons) {
    zone_point low = polygon.front().front();
    zone_point high = low;
    for (const std::vector<zone_point>& ring : polygon) {
      const auto first = static_cast<std::uint32_t>(bands.points.size());
      for (std::uint32_t k = 0; k + 1 < ring.size(); ++k) {
        edges.push_back(first + k);
      }
      for (const zone_point& point : ring) {
        low = {std::min(low.x, point.x), std::min(low.y, point.y)};
        high = {std::max(high.x, point.x), std::max(high.y, point.y)};
      }
      bands.points.insert(bands.points.end(), ring.begin(), ring.end());
    }
    bands.polygon_ends.push_back(static_cast<std::uint32_t>(bands.points.size()));
    bands.polygon_lows.push_back(low);
    bands.polygon_highs.push_back(high);
  }
  // About one band per edge, so that a band holds a few edges of an outline; but an edge lies
  // in every band it spans, and where long edges would fill memory the bands are made fewer.
  const std::int64_t span = _zone.high.y - _zone.low.y + 1;
  const auto band_of = [&](std::int64_t _y) {
    return static_cast<std::size_t>((_y - _zone.low.y) / bands.band_height);
  };
  const auto span_of = [&](std::uint32_t _edge) {
    const zone_point& a = bands.points[_edge];
    const zone_point& b = bands.points[_edge + 1];
    return std::pair{band_of(std::min(a.y, b.y)), band_of(std::max(a.y, b.y))};
  };
  const std::size_t budget = 4 * edges.size();
  std::int64_t count = std::clamp<std::int64_t>(static_cast<std::int64_t>(edges.size()), 1, span);
  std::size_t entries = 0;
  for (;;) {
    bands.band_height = (span + count - 1) / count;
    entries = 0;
    for (const std::uint32_t edge : edges) {
      const auto [first, last] = span_of(edge);
      entries += last - first + 1;
    }
    if (entries <= budget || bands.band_height >= span) {
      break;
    }
    count = (count + 1) / 2;
  }
  // By band, each band's edges in the order of the file: a polygon's edges stay together.
  bands.band_starts.assign(band_of(_zone.high.y) + 2, 0);
  for (const std::uint32_t edge : edges) {
    const auto [first, last] = span_of(edge);
    for (std::size_t band = first; band <= last; ++band) {
      ++bands.band_starts[band + 1];
    }
  }
  std::partial_sum(bands.band_starts.begin(), bands.band_starts.end(), bands.band_starts.begin());
  std::vector<std::uint32_t> next(bands.band_starts.begin(), bands.band_starts.end() - 1);
  bands.edges.resize(entries);
  for (const std::uint32_t edge : edges) {
    const auto [first, last] = span_of(edge);
    for (std::size_t band = first; band <= last; ++band) {
      bands.edges[next[band]++] = edge;
    }
  }
  return bands;
}

bool zone_map::holds(const zone& _zone, const edge_bands& _bands, std::int64_t _x,
                     std::int64_t _y) {
  const auto band = static_cast<std::size_t>((_y - _zone.low.y) / _bands.band_height);
  // The edges of the mark's band that belong to one polygon follow each other; a polygon holds
  // the mark when one of them does, or when an odd number of them cross its row to its right.
  bool inside = false;
  bool skipped = false;
  std::uint32_t polygon_end = 0;
  for (std::uint32_t at = _bands.band_starts[band]; at < _bands.band_starts[band + 1]; ++at) {
    const std::uint32_t edge = _bands.edges[at];
    if (edge >= polygon_end) {
      if (inside) {
        return true;
      }
      const std::size_t polygon = static_cast<std::size_t>(
          std::upper_bound(_bands.polygon_ends.begin(), _bands.polygon_ends.end(), edge) -
          _bands.polygon_ends.begin());
      polygon_end = _bands.polygon_ends[polygon];
      skipped = outside(_bands.polygon_lows[polygon], _bands.polygon_highs[polygon], _x, _y);
    }
    if (skipped) {
      continue;
    }
    switch (side_of(_bands.points[edge], _bands.points[edge + 1], _x, _y)) {
      case edge_side::on:
        return true;
      case edge_side::crossed:
        inside = !inside;
        break;
      case edge_side::apart:
        break;
    }
  }
  return inside;
}

void zone_map::zones_at(std::int64_t _xa, std::int64_t _ya, std::int64_t _xb, std::int64_t _yb,
                        std::vector<std::uint32_t>& _out) const {
  _out.clear();
  // The mark in half millimetres: the sum of the two positions in millimetres.
  const wide x = wide{_xa} + _xb;
  const wide y = wide{_ya} + _yb;
  for (std::size_t k = 0; k < m_zones.size(); ++k) {
    const zone& one = m_zones[k];
    // Inside the box the mark fits in 64 bits, as the corners do.
    if (x < one.low.x || x > one.high.x || y < one.low.y || y > one.high.y) {
      continue;
    }
    if (holds(one, m_bands[k], static_cast<std::int64_t>(x), static_cast<std::int64_t>(y))) {
      _out.push_back(static_cast<std::uint32_t>(k));
    }
  }
}

namespace {
// Fewer marks say too little of where the events are.
constexpr std::size_t least_marks = 20;
constexpr double units_apart = 50;

// The shortest text, without an exponent: "0.0005", not "5e-04".
std::string metres_text(double _metres) {
  char text[400];
  const auto [end, error] =
      std::to_chars(text, text + sizeof text, _metres, std::chars_format::fixed);
  return error == std::errc() ? std::string(text, end) : std::string("0");
}

bool far_apart(double _a, double _b) {
  return std::max(_a, _b) > 0 && std::max(_a, _b) >= units_apart * std::min(_a, _b);
}

// "the zones span 40000 m and the events' marks 39.5 m"
std::string extents_text(const char* _what, double _metres, double _mark_metres) {
  return std::string(_what) + " span " + metres_text(_metres) + " m and the events' marks " +
         metres_text(_mark_metres) + " m";
}
}  // namespace

void mark_survey::add(std::int64_t _xa, std::int64_t _ya, std::int64_t _xb, std::int64_t _yb,
                      const std::vector<std::uint32_t>* _zones) {
  // In double: an extent needs no more, and the sum cannot overflow.
  const double x = static_cast<double>(_xa) + static_cast<double>(_xb);
  const double y = static_cast<double>(_ya) + static_cast<double>(_yb);
  if (m_count++ == 0) {
    m_low_x = m_high_x = x;
    m_low_y = m_high_y = y;
    if (_zones != nullptr) {
      m_zones = *_zones;
    }
    return;
  }
  m_low_x = std::min(m_low_x, x);
  m_low_y = std::min(m_low_y, y);
  m_high_x = std::max(m_high_x, x);
  m_high_y = std::max(m_high_y, y);
  m_same_zones = m_same_zones && (_zones == nullptr || *_zones == m_zones);
}

std::string zones_units_warning(const zone_map& _zones, const mark_survey& _marks) {
  if (_marks.m_count < least_marks) {
    return "";
  }
  zone_point low = _zones.zones().front().low;
  zone_point high = _zones.zones().front().high;
  for (const zone& one : _zones.zones()) {
    low = {std::min(low.x, one.low.x), std::min(low.y, one.low.y)};
    high = {std::max(high.x, one.high.x), std::max(high.y, one.high.y)};
  }
  const auto width = static_cast<double>(high.x - low.x);
  const auto height = static_cast<double>(high.y - low.y);
  const double side = std::max(width, height);
  const double mark_width = _marks.m_high_x - _marks.m_low_x;
  const double mark_height = _marks.m_high_y - _marks.m_low_y;
  const double mark_side = std::max(mark_width, mark_height);
  const std::string extents = extents_text("the zones", side / 2000, mark_side / 2000);
  const std::string question = ": are the zones in site metres?";
  if (far_apart(side, mark_side)) {
    return extents + question;
  }
  const bool holds_marks = low.x <= _marks.m_low_x && low.y <= _marks.m_low_y &&
                           high.x >= _marks.m_high_x && high.y >= _marks.m_high_y;
  if (_zones.zones().size() >= 2 && _marks.m_same_zones && _marks.m_zones.size() <= 1 &&
      holds_marks && (width > mark_width || height > mark_height)) {
    return (_marks.m_zones.empty()
                ? std::string("no event lies in a zone")
                : "every event lies in zone \"" + _zones.zones()[_marks.m_zones[0]].name + "\"") +
           ", though " + extents + question;
  }
  return "";
}

std::string bounds_units_warning(double _x_min, double _y_min, double _x_max, double _y_max,
                                 const mark_survey& _marks) {
  const double side = std::max(_x_max - _x_min, _y_max - _y_min);
  const double mark_side =
      std::max(_marks.m_high_x - _marks.m_low_x, _marks.m_high_y - _marks.m_low_y) / 2000;
  if (_marks.m_count < least_marks || !far_apart(side, mark_side)) {
    return "";
  }
  return extents_text("the plan's bounds", side, mark_side) + ": are the bounds in site metres?";
}

std::string half_mm_as_metres(std::int64_t _half_mm) {
  char text[32];
  const auto [end, error] =
      std::to_chars(text, text + sizeof text, static_cast<double>(_half_mm) / 2000);
  return error == std::errc() ? std::string(text, end) : std::string("0");
}
}  // namespace vela::tools
