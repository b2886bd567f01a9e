#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vela {
// _text made safe to show in one line of a terminal, so that a name from a file cannot steer
// it: control characters, DEL and bytes that are not UTF-8 as \xHH, a backslash doubled. Cut
// after _max_bytes of _text, with "..." to say so.
std::string terminal_safe(std::string_view _text, std::size_t _max_bytes = std::string_view::npos);

// The length of the UTF-8 sequence that starts at _at of _text: 1 to 4, or 0 when none does
// (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
std::size_t utf8_length(std::string_view _text, std::size_t _at);
}  // namespace vela
