#include "common/web_text.hpp"

namespace vela::tools {
namespace {
constexpr char32_t not_utf8 = 0xFFFFFFFF;

// The code point starting at _at, moving _at past it; not_utf8 (moving one byte) for a byte
// that does not start a well-formed sequence (overlong forms and surrogates included).
char32_t next_code_point(std::string_view _text, std::size_t& _at) {
  const auto lead = static_cast<unsigned char>(_text[_at++]);
  if (lead < 0x80) {
    return lead;
  }
  std::size_t length = 0;
  char32_t code = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 1, code = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 2, code = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 3, code = lead & 0x07, smallest = 0x10000;
  } else {
    return not_utf8;
  }
  if (_text.size() - _at < length) {
    return not_utf8;
  }
  for (std::size_t k = 0; k < length; ++k) {
    const auto next = static_cast<unsigned char>(_text[_at + k]);
    if ((next & 0xC0) != 0x80) {
      return not_utf8;
    }
    code = (code << 6) | (next & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return not_utf8;
  }
  _at += length;
  return code;
}

void append_hex4(std::string& _out, unsigned _value) {
  constexpr const char* hex = "0123456789abcdef";
  _out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) {
    _out += hex[(_value >> shift) & 0xF];
  }
}

}  // namespace

std::string script_json_string(std::string_view _text) {
  std::string out = "\"";
  out.reserve(_text.size() + 2);
  std::size_t at = 0;
  while (at < _text.size()) {
    const std::size_t begin = at;
    const char32_t code = next_code_point(_text, at);
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code < 0x20 || code == '<' || code == '>' || code == '&' || code == 0x7F ||
               code == 0x2028 || code == 0x2029) {
      append_hex4(out, static_cast<unsigned>(code));
    } else if (code == not_utf8) {
      append_hex4(out, 0xFFFD);
    } else {
      out.append(_text, begin, at - begin);
    }
  }
  return out + "\"";
}

std::string html_text(std::string_view _text) {
  std::string out;
  out.reserve(_text.size());
  std::size_t at = 0;
  while (at < _text.size()) {
    const std::size_t begin = at;
    const char32_t code = next_code_point(_text, at);
    switch (code) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (code == not_utf8 || code < 0x20 || code == 0x7F) {
          out += "\xEF\xBF\xBD";  // U+FFFD
        } else {
          out.append(_text, begin, at - begin);
        }
    }
  }
  return out;
}
}  // namespace vela::tools
