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

using reason = line_fault::reason;

// strtoul: a minus sign negates modulo 2^64; beyond the 64-bit range is an error.
reason parse_unsigned(std::string_view _field, std::uint64_t& _value) {
  bool negative = false;
  bool overflow = false;
  std::uint64_t magnitude = 0;
  if (!scan_decimal(_field, negative, magnitude, overflow)) {
    return reason::no_digit;
  }
  if (overflow) {
    return reason::out_of_range;
  }
  _value = negative ? 0 - magnitude : magnitude;
  return reason::none;
}

// strtol, then a range check to 32 bits.
reason parse_signed32(std::string_view _field, std::int32_t& _value) {
  bool negative = false;
  bool overflow = false;
  std::uint64_t magnitude = 0;
  if (!scan_decimal(_field, negative, magnitude, overflow)) {
    return reason::no_digit;
  }
  constexpr std::uint64_t max_positive = std::numeric_limits<std::int32_t>::max();
  if (overflow || magnitude > max_positive + (negative ? 1 : 0)) {
    return reason::out_of_range;
  }
  const auto signed_magnitude = static_cast<std::int64_t>(magnitude);
  _value = static_cast<std::int32_t>(negative ? -signed_magnitude : signed_magnitude);
  return reason::none;
}

// The next field, converted as one of the unsigned columns.
reason next_unsigned(field_reader& _reader, std::uint64_t& _value) {
  std::string_view field;
  return _reader.next(field) ? parse_unsigned(field, _value) : reason::missing_field;
}

reason next_signed32(field_reader& _reader, std::int32_t& _value) {
  std::string_view field;
  return _reader.next(field) ? parse_signed32(field, _value) : reason::missing_field;
}

reason next_text(field_reader& _reader, std::string_view& _value) {
  return _reader.next(_value) ? reason::none : reason::missing_field;
}

// The text columns 8 to 11, from column 8 on.
line_fault parse_texts(field_reader& _reader, position_view& _pos) {
  std::string_view* const texts[] = {&_pos.obj_uid, &_pos.sublocation_uid, &_pos.project_uid,
                                     &_pos.type};
  for (std::uint8_t k = 0; k < 4; ++k) {
    if (!_reader.next(*texts[k])) {
      return {reason::missing_field, static_cast<std::uint8_t>(8 + k)};
    }
  }
  return {};
}
}  // namespace

boost::optional<position_view> position_view::from_csv_line(std::string_view _line) {
  position_view pos;
  if (parse(_line, pos).rejects()) {
    return boost::none;
  }
  return pos;
}

line_fault position_view::parse(std::string_view _line, position_view& _pos) {
  field_reader reader(_line);
  std::uint64_t number = 0;
  // Each numeric field is converted as soon as it is read, as the line format demands.
  reason why = next_unsigned(reader, number);
  if (why != reason::none) {
    return {why, 1};
  }
  _pos.id = static_cast<std::uint32_t>(number);  // the low 32 bits
  if ((why = next_unsigned(reader, number)) != reason::none) {
    return {why, 2};
  }
  _pos.timestamp.ts = static_cast<std::int64_t>(number);  // the 64-bit pattern, so -5 stays -5
  if ((why = next_unsigned(reader, number)) != reason::none) {
    return {why, 3};
  }
  _pos.timestamp.ms = static_cast<std::int64_t>(number);
  if ((why = next_text(reader, _pos.mac_address)) != reason::none) {
    return {why, 4};
  }
  if ((why = next_signed32(reader, _pos.x)) != reason::none) {
    return {why, 5};
  }
  if ((why = next_signed32(reader, _pos.y)) != reason::none) {
    return {why, 6};
  }
  if ((why = next_signed32(reader, _pos.z)) != reason::none) {
    return {why, 7};
  }
  return parse_texts(reader, _pos);
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
