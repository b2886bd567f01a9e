#include "base/text.hpp"

namespace vela {
std::string terminal_safe(std::string_view _text, std::size_t _max_bytes) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  std::size_t at = 0;
  while (at < _text.size() && at < _max_bytes) {
    const auto byte = static_cast<unsigned char>(_text[at]);
    const std::size_t length = utf8_length(_text, at);
    if (length == 0 || byte < 0x20 || byte == 0x7F) {
      out += {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
      ++at;
    } else if (byte == '\\') {
      out += "\\\\";
      ++at;
    } else {
      out.append(_text.substr(at, length));
      at += length;
    }
  }
  if (at < _text.size()) {
    out += "...";
  }
  return out;
}

std::size_t utf8_length(std::string_view _text, std::size_t _at) {
  const auto byte = [&](std::size_t _i) { return static_cast<unsigned char>(_text[_i]); };
  const unsigned char lead = byte(_at);
  const std::size_t length = lead < 0x80   ? 1
                             : lead < 0xC2 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
  if (length == 0 || _at + length > _text.size()) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(_at + i) & 0xC0) != 0x80) {
      return 0;
    }
  }
  // Overlong forms, surrogates and values beyond U+10FFFF.
  const unsigned char second = length > 1 ? byte(_at + 1) : 0x80;
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}
}  // namespace vela
