#include "position.hpp"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <limits>

namespace vela {
namespace {
// Finds the first _max commas of _line, in order; returns how many there are. Sixteen bytes at a
// time where the processor has SSE2: a line's fields are short, and one pass over the line costs
// less than a search per field.
std::size_t find_commas(std::string_view _line, std::size_t* _out, std::size_t _max) {
  std::size_t found = 0;
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i comma = _mm_set1_epi8(',');
  for (; i + 16 <= _line.size() && found < _max; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(_line.data() + i));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, comma)));
    for (; mask != 0 && found < _max; mask &= mask - 1) {
      _out[found++] = i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
  }
#endif
  for (; i < _line.size() && found < _max; ++i) {
    if (_line[i] == ',') {
      _out[found++] = i;
    }
  }
  return found;
}

// Splits a line the way getline(stream, field, ',') would: a read fails only when nothing at all
// is left, so "a," yields one field and then fails, while "a,," yields "a" and "". Only eleven
// fields are ever read, so only the first eleven commas matter.
class field_reader {
 public:
  explicit field_reader(std::string_view _line)
      : m_line(_line), m_commas_found(find_commas(_line, m_commas, fields)) {}

  [[gnu::always_inline]] bool next(std::string_view& _field) {
    if (m_pos >= m_line.size()) {
      return false;
    }
    if (m_next_comma < m_commas_found) {
      const std::size_t comma = m_commas[m_next_comma++];
      _field = m_line.substr(m_pos, comma - m_pos);
      m_pos = comma + 1;
    } else {
      _field = m_line.substr(m_pos);
      m_pos = m_line.size();
    }
    return true;
  }

 private:
  static constexpr std::size_t fields = 11;
  std::string_view m_line;
  std::size_t m_commas[fields];
  std::size_t m_commas_found;
  std::size_t m_next_comma = 0;
  std::size_t m_pos = 0;
};

// The field of nearly every line: nothing but digits, at most 18 of them, which never overflow.
[[gnu::always_inline]] inline bool plain_digits(std::string_view _field, std::uint64_t& _value) {
  if (_field.empty() || _field.size() > 18) {
    return false;
  }
  std::uint64_t value = 0;
  for (const char c : _field) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) {
      return false;
    }
    value = value * 10 + digit;
  }
  _value = value;
  return true;
}

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
  const std::size_t first_digit = i;
  while (i < _field.size() && _field[i] >= '0' && _field[i] <= '9') {
    ++i;
  }
  _magnitude = 0;
  _overflow = false;
  // Up to 19 digits never exceed 64 bits: no check per digit on the lines of every day.
  constexpr std::size_t safe_digits = 19;
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t k = first_digit; k < i; ++k) {
    const auto digit = static_cast<std::uint64_t>(_field[k] - '0');
    if (i - first_digit <= safe_digits) {
      _magnitude = _magnitude * 10 + digit;
    } else if (_magnitude > (max - digit) / 10) {
      _overflow = true;
      _magnitude = max;
    } else if (!_overflow) {
      _magnitude = _magnitude * 10 + digit;
    }
  }
  return i > first_digit;
}

using reason = line_fault::reason;

// strtoul in full, for any field that is not plain digits: a minus sign negates modulo 2^64;
// beyond the 64-bit range is an error.
[[gnu::noinline]] reason read_unsigned(std::string_view _field, std::uint64_t& _value) {
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

[[gnu::always_inline]] inline reason parse_unsigned(std::string_view _field,
                                                    std::uint64_t& _value) {
  return plain_digits(_field, _value) ? reason::none : read_unsigned(_field, _value);
}

// strtol in full, then a range check to 32 bits.
[[gnu::noinline]] reason read_signed32(std::string_view _field, std::int32_t& _value) {
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

// The usual field of a coordinate: an optional minus and plain digits within 32 bits.
[[gnu::always_inline]] inline reason parse_signed32(std::string_view _field,
                                                    std::int32_t& _value) {
  std::uint64_t plain = 0;
  const bool minus = !_field.empty() && _field[0] == '-';
  const std::uint64_t largest = minus ? 2147483648U : 2147483647U;
  if (plain_digits(minus ? _field.substr(1) : _field, plain) && plain <= largest) {
    _value = static_cast<std::int32_t>(minus ? -static_cast<std::int64_t>(plain)
                                             : static_cast<std::int64_t>(plain));
    return reason::none;
  }
  return read_signed32(_field, _value);
}

// The next field, converted as one of the unsigned columns.
[[gnu::always_inline]] inline reason next_unsigned(field_reader& _reader, std::uint64_t& _value) {
  std::string_view field;
  return _reader.next(field) ? parse_unsigned(field, _value) : reason::missing_field;
}

[[gnu::always_inline]] inline reason next_signed32(field_reader& _reader, std::int32_t& _value) {
  std::string_view field;
  return _reader.next(field) ? parse_signed32(field, _value) : reason::missing_field;
}

[[gnu::always_inline]] inline reason next_text(field_reader& _reader, std::string_view& _value) {
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

namespace {
char* put_uint(char* _out, std::uint64_t _value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + _value % 10);
    _value /= 10;
  } while (_value != 0);
  while (count > 0) {
    *_out++ = digits[--count];
  }
  return _out;
}

char* put_int(char* _out, std::int64_t _value) {
  if (_value < 0) {
    *_out++ = '-';
    return put_uint(_out, 0 - static_cast<std::uint64_t>(_value));  // exact for any negative
  }
  return put_uint(_out, static_cast<std::uint64_t>(_value));
}

char* put_text(char* _out, std::string_view _text) {
  std::memcpy(_out, _text.data(), _text.size());
  return _out + _text.size();
}
}  // namespace

char* position_fields::write(char* _out) const {
  _out = put_uint(_out, id);
  *_out++ = ',';
  _out = put_int(_out, ts);
  *_out++ = ',';
  _out = put_int(_out, ms);
  *_out++ = ',';
  _out = put_text(_out, mac);
  *_out++ = ',';
  _out = put_int(_out, x);
  *_out++ = ',';
  _out = put_int(_out, y);
  *_out++ = ',';
  _out = put_int(_out, z);
  *_out++ = ',';
  _out = put_text(_out, obj_uid);
  *_out++ = ',';
  _out = put_text(_out, sublocation_uid);
  *_out++ = ',';
  _out = put_text(_out, project_uid);
  *_out++ = ',';
  _out = put_text(_out, type);
  *_out++ = '\n';
  return _out;
}
}  // namespace vela
