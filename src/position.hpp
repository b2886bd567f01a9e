#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/optional.hpp>

#include "timestamp.hpp"

namespace vela {
// The columns of a position line, in their order (the first is column 1), as messages name them.
constexpr std::array<std::string_view, 11> position_columns = {
    "id",   "seconds",    "milliseconds",    "mac",         "x_mm", "y_mm",
    "z_mm", "object_uid", "sublocation_uid", "project_uid", "type"};

// One position line to write, its fields in the columns' order.
struct position_fields {
  std::uint64_t id = 0;
  std::int64_t ts = 0;
  std::int64_t ms = 0;
  std::string_view mac;
  std::int64_t x = 0;  // mm
  std::int64_t y = 0;
  std::int64_t z = 0;
  std::string_view obj_uid;
  std::string_view sublocation_uid;
  std::string_view project_uid;
  std::string_view type;

  // The most a line takes besides its texts: the numbers, the commas and the newline.
  static constexpr std::size_t number_bytes = 7 * 20 + 11;
  // Writes the line and its newline at _out, which has room for number_bytes and the texts;
  // returns the end. Numbers are formatted by hand, so that a line is the same everywhere.
  char* write(char* _out) const;
};

// Why the line rules reject a line: the first column at fault (1 to 11) and what is wrong there.
struct line_fault {
  enum class reason : std::uint8_t {
    none,           // the line is accepted
    missing_field,  // the line ends before this column
    no_digit,       // a numeric column without a digit where its number begins
    out_of_range,   // a number beyond 64 bits (columns 1-3) or 32 bits (columns 5-7)
  };
  reason why = reason::none;
  std::uint8_t column = 0;  // 0 when the line is accepted

  bool rejects() const { return why != reason::none; }
};

// One line of the position file, as views into the line: the replay parses every line this way,
// without allocating. Coordinates in millimetres.
struct position_view {
  std::uint32_t id = 0;
  vela::timestamp timestamp;  // qualified: the field has the type's name
  std::string_view mac_address;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t z = 0;
  std::string_view obj_uid;
  std::string_view sublocation_uid;
  std::string_view project_uid;
  std::string_view type;

  // Parses one line given without its newline: eleven comma-separated fields, numbers converted
  // as strtoul (columns 1-3) and strtol to 32 bits (columns 5-7) do in base 10; anything after the
  // eleventh field is ignored. Empty when the line is malformed.
  static boost::optional<position_view> from_csv_line(std::string_view _line);
  // The same rules, telling why a line is rejected. _pos is complete only when the line is
  // accepted; from_csv_line is this and nothing more.
  static line_fault parse(std::string_view _line, position_view& _pos);
};

// One line of the position file as an owning record.
struct position {
  std::uint32_t id = 0;
  vela::timestamp timestamp;
  std::string mac_address;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t z = 0;
  std::string obj_uid;
  std::string sublocation_uid;
  std::string project_uid;
  std::string type;

  // Same rules as position_view::from_csv_line. Empty when the line is malformed; the replay
  // skips such lines without a message.
  static boost::optional<position> from_csv_line(const std::string& _line);
};
}  // namespace vela
