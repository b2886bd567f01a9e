#include "recording/recording_counts.hpp"

namespace vela {
bool recording_counts::ends_in_carriage_returns_alone(std::string_view _first_line) {
  // A carriage return at the very end is a CR LF line end, which the rules keep in the last
  // field.
  const std::size_t carriage_return = _first_line.find('\r');
  return carriage_return != std::string_view::npos && carriage_return + 1 < _first_line.size();
}

recording_counts& recording_counts::operator+=(const recording_counts& _more) {
  lines_read += _more.lines_read;
  non_empty_lines += _more.non_empty_lines;
  position_lines += _more.position_lines;
  site_lines += _more.site_lines;
  carriage_returns_alone = carriage_returns_alone || _more.carriage_returns_alone;
  return *this;
}

std::string recording_counts::refusal(const std::string& _file_name) const {
  std::string why;
  if (carriage_returns_alone) {
    // One line to the line rules: its first record would be taken and every other one lost.
    why = "its lines end in carriage returns alone";
  } else if (position_lines == 0 && non_empty_lines > 0) {
    // Another kind of file, or another format.
    why = std::to_string(lines_read) + (lines_read == 1 ? " line read, not a position line"
                                                        : " lines read, none of them a position line");
  } else if (position_lines > 0 && site_lines == 0) {
    // The recording of another site, or the trackables of another.
    why = std::to_string(position_lines) +
          (position_lines == 1 ? " position line read, naming no object of the site"
                               : " position lines read, none of them naming an object of the site");
  }
  return why.empty() ? why : "Error reading file:" + _file_name + " (" + why + ")";
}
}  // namespace vela
