#include "common/zones.hpp"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <unordered_map>

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

// Whether the ring edges of _polygon hold (_x, _y): on an edge, or inside by the even-odd rule
// over all its rings, so that a hole is outside and its edge inside.
bool holds(const zone_polygon& _polygon, wide _x, wide _y) {
  bool inside = false;
  for (const std::vector<zone_point>& ring : _polygon) {
    for (std::size_t k = 1; k < ring.size(); ++k) {
      const zone_point& a = ring[k - 1];
      const zone_point& b = ring[k];
      // Twice the signed area of (a, b, mark): zero when the mark is on the line through a, b.
      const wide cross = wide{b.x - a.x} * (_y - a.y) - (_x - a.x) * wide{b.y - a.y};
      if (cross == 0 && _x >= std::min(a.x, b.x) && _x <= std::max(a.x, b.x) &&
          _y >= std::min(a.y, b.y) && _y <= std::max(a.y, b.y)) {
        return true;
      }
      // An edge that crosses the mark's row, to the right of the mark.
      if ((a.y > _y) != (b.y > _y) && (cross > 0) == (b.y > a.y)) {
        inside = !inside;
      }
    }
  }
  return inside;
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

zone_map zone_map::parse(std::string_view _json) {
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
  zone_map map;
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
    const auto [found, added] = index_of_name.try_emplace(name, map.m_zones.size());
    if (added) {
      map.m_zones.push_back({std::move(name), {}, {}, {}});
    }
    zone& into = map.m_zones[found->second];
    for (zone_polygon& polygon : polygons) {
      into.polygons.push_back(std::move(polygon));
    }
  }
  if (map.m_zones.empty()) {
    throw zone_error("holds no Polygon or MultiPolygon feature");
  }
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
  }
  return map;
}

void zone_map::zones_at(std::int64_t _xa, std::int64_t _ya, std::int64_t _xb, std::int64_t _yb,
                        std::vector<std::uint32_t>& _out) const {
  _out.clear();
  // The mark in half millimetres: the sum of the two positions in millimetres.
  const wide x = wide{_xa} + _xb;
  const wide y = wide{_ya} + _yb;
  for (std::size_t k = 0; k < m_zones.size(); ++k) {
    const zone& one = m_zones[k];
    if (x < one.low.x || x > one.high.x || y < one.low.y || y > one.high.y) {
      continue;
    }
    for (const zone_polygon& polygon : one.polygons) {
      if (holds(polygon, x, y)) {
        _out.push_back(static_cast<std::uint32_t>(k));
        break;
      }
    }
  }
}

std::string half_mm_as_metres(std::int64_t _half_mm) {
  char text[32];
  const auto [end, error] =
      std::to_chars(text, text + sizeof text, static_cast<double>(_half_mm) / 2000);
  return error == std::errc() ? std::string(text, end) : std::string("0");
}
}  // namespace vela::tools
