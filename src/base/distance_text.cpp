#include "base/distance_text.hpp"

#include <limits>

namespace vela {
std::optional<std::uint32_t> parse_distance_mm(std::string_view _text) {
  std::size_t at = 0;
  // White space as strtoul skips it.
  while (at < _text.size() && (_text[at] == ' ' || (_text[at] >= '\t' && _text[at] <= '\r'))) {
    ++at;
  }
  if (at < _text.size() && _text[at] == '+') {
    ++at;
  }
  const std::size_t digits_from = at;
  std::uint64_t value = 0;
  for (; at < _text.size() && _text[at] >= '0' && _text[at] <= '9'; ++at) {
    value = value * 10 + static_cast<std::uint64_t>(_text[at] - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) {
      return std::nullopt;
    }
  }
  if (at == digits_from) {
    return std::nullopt;
  }
  const std::string_view rest = _text.substr(at);
  if (!rest.empty() && rest != "mm") {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}
}  // namespace vela
