#include "position.hpp"

#include <limits>

namespace vela {
namespace {
// Splits a line the way getline(stream, field, ',') would: a read fails only when nothing at all
// is left, so "a," yields one field and then fails, while "a,," yields "a" and "".
class field_reader {
 public:
  explicit field_reader(std::string_view _line) : m_line(_line) {}

  bool next(std::string_view& _field) {
    if (m_pos >= m_line.size()) {
      return false;
    }
    const std::size_t comma = m_line.find(',', m_pos);
    if (comma == std::string_view::npos) {
      _field = m_line.substr(m_pos);
      m_pos = m_line.size();
    } else {
      _field = m_line.substr(m_pos, comma - m_pos);
      m_pos = comma + 1;
    }
    return true;
  }

 private:
  std::string_view m_line;
  std::size_t m_pos = 0;
};

bool is_c_space(char _c) {
  return _c == ' ' || _c == '\t' || _c == '\n' || _c == '\v' || _c == '\f' || _c == '\r';
}

// The prefix that strtoul and strtol read in base 10: white space, an optional sign, digits.
// Returns false when no digit follows; _magnitude saturates at the 64-bit maximum and
// _overflow tells that it did. Conversion stops at the first non-digit (a NUL byte included,
// as it ends the C string those functions see).
bool scan_decimal(std::string_view _field, bool& _negative, std::uint64_t& _magnitude,
                  bool& _overflow) {
  std::size_t i = 0;
  while (i < _field.size() && is_c_space(_field[i])) {
    ++i;
  }
  _negative = false;
  if (i < _field.size() && (_field[i] == '+' || _field[i] == '-')) {
    _negative = _field[i] == '-';
    ++i;
  }
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  _magnitude = 0;
  _overflow = false;
  const std::size_t first_digit = i;
  for (; i < _field.size() && _field[i] >= '0' && _field[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(_field[i] - '0');
    if (_magnitude > (max - digit) / 10) {
      _overflow = true;
      _magnitude = max;
    } else if (!_overflow) {
      _magnitude = _magnitude * 10 + digit;
    }
  }
  return i > first_digit;
}

// strtoul: a minus sign negates modulo 2^64; beyond the 64-bit range is an error.
bool parse_unsigned(std::string_view _field, std::uint64_t& _value) {
  bool negative = false;
  bool overflow = false;
  std::uint64_t magnitude = 0;
  if (!scan_decimal(_field, negative, magnitude, overflow) || overflow) {
    return false;
  }
  _value = negative ? 0 - magnitude : magnitude;
  return true;
}

// strtol, then a range check to 32 bits.
bool parse_signed32(std::string_view _field, std::int32_t& _value) {
  bool negative = false;
  bool overflow = false;
  std::uint64_t magnitude = 0;
  if (!scan_decimal(_field, negative, magnitude, overflow) || overflow) {
    return false;
  }
  constexpr std::uint64_t max_positive = std::numeric_limits<std::int32_t>::max();
  if (magnitude > max_positive + (negative ? 1 : 0)) {
    return false;
  }
  const auto signed_magnitude = static_cast<std::int64_t>(magnitude);
  _value = static_cast<std::int32_t>(negative ? -signed_magnitude : signed_magnitude);
  return true;
}
}  // namespace

boost::optional<position_view> position_view::from_csv_line(std::string_view _line) {
  field_reader reader(_line);
  position_view pos;
  std::string_view field;
  std::uint64_t number = 0;
  // Each numeric field is converted as soon as it is read, as the line format demands.
  if (!reader.next(field) || !parse_unsigned(field, number)) {
    return boost::none;
  }
  pos.id = static_cast<std::uint32_t>(number);  // the low 32 bits
  if (!reader.next(field) || !parse_unsigned(field, number)) {
    return boost::none;
  }
  pos.timestamp.ts = static_cast<std::int64_t>(number);  // the 64-bit pattern, so -5 stays -5
  if (!reader.next(field) || !parse_unsigned(field, number)) {
    return boost::none;
  }
  pos.timestamp.ms = static_cast<std::int64_t>(number);
  if (!reader.next(pos.mac_address)) {
    return boost::none;
  }
  if (!reader.next(field) || !parse_signed32(field, pos.x) || !reader.next(field) ||
      !parse_signed32(field, pos.y) || !reader.next(field) || !parse_signed32(field, pos.z)) {
    return boost::none;
  }
  if (!reader.next(pos.obj_uid) || !reader.next(pos.sublocation_uid) ||
      !reader.next(pos.project_uid) || !reader.next(pos.type)) {
    return boost::none;
  }
  return pos;
}

boost::optional<position> position::from_csv_line(const std::string& _line) {
  const boost::optional<position_view> view = position_view::from_csv_line(_line);
  if (!view) {
    return boost::none;
  }
  try {
    position pos;
    pos.id = view->id;
    pos.timestamp = view->timestamp;
    pos.mac_address = view->mac_address;
    pos.x = view->x;
    pos.y = view->y;
    pos.z = view->z;
    pos.obj_uid = view->obj_uid;
    pos.sublocation_uid = view->sublocation_uid;
    pos.project_uid = view->project_uid;
    pos.type = view->type;
    return pos;
  } catch (const std::exception&) {  // an allocation failure rejects the line like any other fault
    return boost::none;
  }
}
}  // namespace vela
