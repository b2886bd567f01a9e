// The position line parser on arbitrary bytes, held against a plain reading of the line format:
// getline for the fields and the standard conversions, whose errors reject the line. Both
// parsers, the view and the owning record, must agree with it on every field.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/optional.hpp>

#include "fuzz_support.hpp"
#include "position.hpp"

namespace {
std::int32_t to_int32(const std::string& _field) {
  const auto value = std::stol(_field);
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw std::out_of_range("beyond 32 bits");
  }
  return static_cast<std::int32_t>(value);
}

// The line read the straightforward way. The conversions see the field as a C string, so they
// stop at a NUL byte, while the text fields keep theirs.
boost::optional<vela::position> parse_plainly(const std::string& _line) {
  try {
    std::istringstream in(_line);
    std::string fields[11];
    for (std::string& field : fields) {
      if (!std::getline(in, field, ',')) {
        return boost::none;
      }
    }
    vela::position pos;
    pos.id = static_cast<std::uint32_t>(std::stoul(fields[0]));           // the low 32 bits
    pos.timestamp.ts = static_cast<std::int64_t>(std::stoul(fields[1]));  // the 64-bit pattern
    pos.timestamp.ms = static_cast<std::int64_t>(std::stoul(fields[2]));
    pos.mac_address = fields[3];
    pos.x = to_int32(fields[4]);
    pos.y = to_int32(fields[5]);
    pos.z = to_int32(fields[6]);
    pos.obj_uid = fields[7];
    pos.sublocation_uid = fields[8];
    pos.project_uid = fields[9];
    pos.type = fields[10];
    return pos;
  } catch (const std::exception&) {
    return boost::none;
  }
}

// Compares field by field; the name of the first field that differs, or nullptr.
template <class P1, class P2>
const char* first_difference(const P1& _a, const P2& _b) {
  if (_a.id != _b.id) {
    return "id";
  }
  if (!(_a.timestamp == _b.timestamp)) {
    return "timestamp";
  }
  if (_a.x != _b.x || _a.y != _b.y || _a.z != _b.z) {
    return "coordinates";
  }
  if (std::string_view(_a.mac_address) != std::string_view(_b.mac_address) ||
      std::string_view(_a.obj_uid) != std::string_view(_b.obj_uid) ||
      std::string_view(_a.sublocation_uid) != std::string_view(_b.sublocation_uid) ||
      std::string_view(_a.project_uid) != std::string_view(_b.project_uid) ||
      std::string_view(_a.type) != std::string_view(_b.type)) {
    return "text fields";
  }
  return nullptr;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
  const std::string line(reinterpret_cast<const char*>(_data), _size);
  const boost::optional<vela::position> expected = parse_plainly(line);
  const boost::optional<vela::position_view> view = vela::position_view::from_csv_line(line);
  const boost::optional<vela::position> owned = vela::position::from_csv_line(line);
  if (expected.has_value() != view.has_value()) {
    vela::fuzz::finding(expected ? "the view rejects a valid line" : "the view accepts a bad line");
  }
  if (view.has_value() != owned.has_value()) {
    vela::fuzz::finding("the view and the record disagree on accepting the line");
  }
  if (!expected) {
    return 0;
  }
  if (const char* field = first_difference(*expected, *view)) {
    vela::fuzz::finding(std::string("the view differs in ") + field);
  }
  if (const char* field = first_difference(*view, *owned)) {
    vela::fuzz::finding(std::string("the record differs from the view in ") + field);
  }
  return 0;
}
