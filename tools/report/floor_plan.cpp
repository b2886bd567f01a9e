#include "report/floor_plan.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "files/input_file.hpp"

namespace vela::report {
namespace {
// A plan is carried in the page as base64, a third larger: beyond this the page is no longer
// light to open or to mail.
constexpr std::size_t plan_limit_bytes = std::size_t{16} << 20;
// Where an SVG's root element must have begun (after a declaration, comments, a doctype).
constexpr std::size_t svg_sniff_bytes = 4096;

bool starts_with(std::string_view _text, std::string_view _start) {
  return _text.substr(0, _start.size()) == _start;
}
}  // namespace

bool parse_plan_bounds(std::string_view _text, plan_bounds& _bounds) {
  double values[4];
  const char* at = _text.data();
  const char* end = _text.data() + _text.size();
  for (int k = 0; k < 4; ++k) {
    if (k > 0) {
      if (at == end || *at != ',') {
        return false;
      }
      ++at;
    }
    const auto [next, error] = std::from_chars(at, end, values[k]);
    if (error != std::errc() || !std::isfinite(values[k])) {
      return false;
    }
    at = next;
  }
  if (at != end || !(values[0] < values[2]) || !(values[1] < values[3])) {
    return false;
  }
  _bounds = {values[0], values[1], values[2], values[3]};
  return true;
}

std::string image_format(std::string_view _bytes) {
  if (starts_with(_bytes, "\x89PNG\r\n\x1a\n")) {
    return "PNG";
  }
  if (starts_with(_bytes, "\xFF\xD8\xFF")) {
    return "JPEG";
  }
  // Text whose root element is <svg>: after a byte order mark, space, an XML declaration,
  // comments or a doctype, which all begin with '<'.
  std::string_view head = _bytes.substr(0, svg_sniff_bytes);
  if (starts_with(head, "\xEF\xBB\xBF")) {
    head.remove_prefix(3);
  }
  const std::size_t first = head.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && head[first] == '<' &&
      head.find("<svg") != std::string_view::npos) {
    return "SVG";
  }
  return "";
}

std::string base64(std::string_view _bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((_bytes.size() + 2) / 3 * 4);
  std::size_t at = 0;
  for (; at + 3 <= _bytes.size(); at += 3) {
    const auto bits = static_cast<std::uint32_t>(static_cast<unsigned char>(_bytes[at]) << 16 |
                                                 static_cast<unsigned char>(_bytes[at + 1]) << 8 |
                                                 static_cast<unsigned char>(_bytes[at + 2]));
    out += {digits[bits >> 18], digits[(bits >> 12) & 63], digits[(bits >> 6) & 63],
            digits[bits & 63]};
  }
  if (at < _bytes.size()) {
    const bool two = at + 1 < _bytes.size();
    const auto bits =
        static_cast<std::uint32_t>(static_cast<unsigned char>(_bytes[at]) << 16 |
                                   (two ? static_cast<unsigned char>(_bytes[at + 1]) << 8 : 0));
    out +=
        {digits[bits >> 18], digits[(bits >> 12) & 63], two ? digits[(bits >> 6) & 63] : '=', '='};
  }
  return out;
}

floor_plan read_floor_plan(const std::string& _path, const plan_bounds& _bounds) {
  input_file file{_path};
  std::string bytes;
  std::string error;
  switch (read_whole_file(file, bytes, error, plan_limit_bytes)) {
    case whole_file::read:
      break;
    case whole_file::cannot_open:
      throw plan_error(error);
    case whole_file::folder:
      throw plan_error("is a folder");
    case whole_file::too_large:
      throw plan_error("larger than 16 MiB: too large to carry in the page");
    case whole_file::read_error:
      throw plan_error("cannot be read");
  }
  if (bytes.empty()) {
    throw plan_error("empty: not an image");
  }
  const std::string format = image_format(bytes);
  if (format.empty()) {
    throw plan_error("not a PNG, JPEG or SVG image");
  }
  const char* media_type = format == "PNG"    ? "image/png"
                           : format == "JPEG" ? "image/jpeg"
                                              : "image/svg+xml";
  return {media_type, format, base64(bytes), _bounds};
}
}  // namespace vela::report
