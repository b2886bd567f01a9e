#include "result/event_document.hpp"

// The layout is the library's styled stream writer on vela's tree: keys sorted, " : " after a
// key, each member and element on a line of its own, and an array of objects opened on the line
// after its key (that line keeps the blank of " : " at its end). The fixed text between values
// depends on the form's indentation only, so it is built once per document.

#include <charconv>
#include <cstring>

#include "exception.hpp"

namespace vela {
namespace {
constexpr std::uint32_t replacement_character = 0xFFFD;
constexpr std::uint64_t every_byte = 0x0101010101010101;
constexpr std::uint64_t every_high_bit = 0x8080808080808080;

constexpr bool needs_escape(unsigned char _byte) {
  return _byte < 0x20 || _byte >= 0x80 || _byte == '"' || _byte == '\\';
}

// True when one of the eight bytes of _word may need an escape (the bit tricks are exact about
// whether there is one, not where; false positives would only cost a byte-wise look).
bool any_needs_escape(std::uint64_t _word) {
  const std::uint64_t quote = _word ^ (every_byte * '"');
  const std::uint64_t backslash = _word ^ (every_byte * '\\');
  const std::uint64_t below_blank = (_word - every_byte * 0x20) & ~_word;
  const std::uint64_t is_quote = (quote - every_byte) & ~quote;
  const std::uint64_t is_backslash = (backslash - every_byte) & ~backslash;
  return ((below_blank | is_quote | is_backslash | _word) & every_high_bit) != 0;
}

const char* find_escape(const char* _begin, const char* _end) {
  const char* p = _begin;
  while (_end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (any_needs_escape(word)) {
      break;
    }
    p += 8;
  }
  while (p != _end && !needs_escape(static_cast<unsigned char>(*p))) {
    ++p;
  }
  return p;
}

void append_code_unit(std::string& _out, std::uint32_t _unit) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  const char text[6] = {'\\',
                        'u',
                        hex_digits[(_unit >> 12) & 0xF],
                        hex_digits[(_unit >> 8) & 0xF],
                        hex_digits[(_unit >> 4) & 0xF],
                        hex_digits[_unit & 0xF]};
  _out.append(text, sizeof text);
}

struct decoded {
  std::uint32_t code_point;
  std::size_t length;  // bytes taken
};

// Decodes as the library does: the lead byte alone says the length (a stray continuation byte
// leads two bytes), continuation bytes are not checked, a sequence cut short by the end of the
// text is U+FFFD for its lead byte only, and overlong forms and surrogates are U+FFFD.
decoded decode(const unsigned char* _text, std::size_t _available) {
  const std::uint32_t lead = _text[0];
  if (lead < 0xE0) {
    if (_available < 2) {
      return {replacement_character, 1};
    }
    const std::uint32_t code_point = ((lead & 0x1F) << 6) | (_text[1] & 0x3Fu);
    return {code_point < 0x80 ? replacement_character : code_point, 2};
  }
  if (lead < 0xF0) {
    if (_available < 3) {
      return {replacement_character, 1};
    }
    const std::uint32_t code_point =
        ((lead & 0x0F) << 12) | ((_text[1] & 0x3Fu) << 6) | (_text[2] & 0x3Fu);
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    return {surrogate || code_point < 0x800 ? replacement_character : code_point, 3};
  }
  if (lead < 0xF8) {
    if (_available < 4) {
      return {replacement_character, 1};
    }
    const std::uint32_t code_point = ((lead & 0x07) << 18) | ((_text[1] & 0x3Fu) << 12) |
                                     ((_text[2] & 0x3Fu) << 6) | (_text[3] & 0x3Fu);
    return {code_point < 0x10000 ? replacement_character : code_point, 4};
  }
  return {replacement_character, 1};
}

// The letter of the library's two-character escape of _byte, or 0 when it has none.
char short_escape(unsigned char _byte) {
  switch (_byte) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\b':
      return 'b';
    case '\f':
      return 'f';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    default:
      return 0;
  }
}

// Appends the escape of the byte at _at (and of the bytes it leads); returns what follows.
const char* append_escape(std::string& _out, const char* _at, const char* _end) {
  const auto byte = static_cast<unsigned char>(*_at);
  if (const char letter = short_escape(byte); letter != 0) {
    _out += '\\';
    _out += letter;
    return _at + 1;
  }
  if (byte < 0x80) {
    append_code_unit(_out, byte);
    return _at + 1;
  }
  const decoded next =
      decode(reinterpret_cast<const unsigned char*>(_at), static_cast<std::size_t>(_end - _at));
  if (next.code_point < 0x10000) {
    append_code_unit(_out, next.code_point);
  } else {
    // Beyond U+10FFFF (leads 0xF4..0xF7) the library keeps only 10 bits per half, as here.
    const std::uint32_t offset = next.code_point - 0x10000;
    append_code_unit(_out, 0xD800 + ((offset >> 10) & 0x3FF));
    append_code_unit(_out, 0xDC00 + (offset & 0x3FF));
  }
  return _at + next.length;
}

template <class Integer>
void append_integer(std::string& _out, Integer _value) {
  char text[24];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, _value);
  _out.append(text, end.ptr);
}
}  // namespace

void append_json_string(std::string& _out, std::string_view _text) {
  _out += '"';
  const char* p = _text.data();
  const char* const end = p + _text.size();
  while (p != end) {
    const char* escape = find_escape(p, end);
    _out.append(p, escape);
    if (escape == end) {
      break;
    }
    p = append_escape(_out, escape, end);
  }
  _out += '"';
}

event_document::event_document(document_form _form) : m_form(_form) {
  const bool file = _form == document_form::file;
  const std::string unit = file ? "    " : "\t";
  const auto line = [&unit](int _depth) {
    std::string text = "\n";
    for (int i = 0; i < _depth; ++i) {
      text += unit;
    }
    return text;
  };
  const std::string events_key = "{" + line(1) + "\"events\" : ";
  const std::string objects_key = "," + line(1) + "\"trackableObjects\" : ";
  const int e = file ? 2 : 1;  // depth of an event object
  std::string* f = m_fragments;
  f[first_event] = (file ? events_key + line(1) : "") + "[" + line(e) + "{";
  f[next_event] = "," + line(e) + "{";
  f[distance] = line(e + 1) + "\"distance\" : ";
  f[duration] = "," + line(e + 1) + "\"duration\" : ";
  f[ms] = "," + line(e + 1) + "\"ms\" : ";
  f[first_driver_uid] = "," + line(e + 1) + "\"trackables\" : " + line(e + 1) + "[" + line(e + 2) +
                        "{" + line(e + 3) + "\"driver_uid\" : ";
  f[uid] = "," + line(e + 3) + "\"uid\" : ";
  f[x] = "," + line(e + 3) + "\"x\" : ";
  f[y] = "," + line(e + 3) + "\"y\" : ";
  f[second_driver_uid] = line(e + 2) + "}," + line(e + 2) + "{" + line(e + 3) + "\"driver_uid\" : ";
  f[ts] = line(e + 2) + "}" + line(e + 1) + "]," + line(e + 1) + "\"ts\" : ";
  f[type] = "," + line(e + 1) + "\"type\" : \"near-miss\"" + line(e) + "}";
  f[objects_key_after_events] = line(1) + "]" + objects_key;
  f[objects_key_without_events] = events_key + "[]" + objects_key;
  f[first_object] = line(1) + "[" + line(2) + "{";
  f[next_object] = "," + line(2) + "{";
  f[person] = line(3) + "\"category\" : \"PERSON\"";
  f[vehicle] = line(3) + "\"category\" : \"VEHICLE\"";
  f[name] = "," + line(3) + "\"name\" : ";
  f[object_uid] = "," + line(3) + "\"uid\" : ";
  f[object_end] = line(2) + "}";
  f[end_after_events] = line(0) + "]\n";
  f[end_without_events] = "[]\n";
  f[end_after_objects] = line(1) + "]" + line(0) + "}\n";
  f[end_without_objects] = "[]" + line(0) + "}\n";
}

void event_document::add_event(std::string& _out, const document_event& _event) {
  if (m_stage != stage::empty && m_stage != stage::events) {
    refuse("add_event");
  }
  _out += m_fragments[m_stage == stage::empty ? first_event : next_event];
  m_stage = stage::events;
  _out += m_fragments[distance];
  append_integer(_out, _event.distance);
  _out += m_fragments[duration];
  append_integer(_out, _event.duration);
  _out += m_fragments[ms];
  append_integer(_out, _event.ms);
  _out += m_fragments[first_driver_uid];
  add_party(_out, _event.parties[0]);
  _out += m_fragments[second_driver_uid];
  add_party(_out, _event.parties[1]);
  _out += m_fragments[ts];
  append_integer(_out, _event.ts);
  _out += m_fragments[type];
}

void event_document::add_object(std::string& _out, const document_object& _object) {
  if (m_form != document_form::file || m_stage == stage::finished) {
    refuse("add_object");
  }
  if (m_stage == stage::objects) {
    _out += m_fragments[next_object];
  } else {
    add_objects_key(_out);
    _out += m_fragments[first_object];
    m_stage = stage::objects;
  }
  _out += m_fragments[_object.vehicle ? vehicle : person];
  _out += m_fragments[name];
  append_json_string(_out, _object.name);
  _out += m_fragments[object_uid];
  append_json_string(_out, _object.uid);
  _out += m_fragments[object_end];
}

void event_document::finish(std::string& _out) {
  if (m_stage == stage::finished) {
    refuse("finish");
  }
  if (m_form == document_form::standard_output) {
    _out += m_fragments[m_stage == stage::events ? end_after_events : end_without_events];
  } else if (m_stage == stage::objects) {
    _out += m_fragments[end_after_objects];
  } else {
    add_objects_key(_out);
    _out += m_fragments[end_without_objects];
  }
  m_stage = stage::finished;
}

// The driver's key is already written.
void event_document::add_party(std::string& _out, const document_party& _party) {
  if (_party.has_driver) {
    append_json_string(_out, _party.driver_uid);
  } else {
    _out.append("null", 4);
  }
  _out += m_fragments[uid];
  append_json_string(_out, _party.uid);
  _out += m_fragments[x];
  append_integer(_out, _party.x);
  _out += m_fragments[y];
  append_integer(_out, _party.y);
}

// Closes the events array ("[]" when it stayed empty) and writes the objects' key.
void event_document::add_objects_key(std::string& _out) {
  _out +=
      m_fragments[m_stage == stage::events ? objects_key_after_events : objects_key_without_events];
}

void event_document::refuse(const char* _call) const {
  throw vela::exception(std::string("event_document: ") + _call + " out of order")
      .set_location(__FILE__, __LINE__);
}
}  // namespace vela
