#include "common/csv.hpp"

namespace vela::tools {
void append_csv_text(std::string& _out, std::string_view _text) {
  const bool formula =
      !_text.empty() && std::string_view("=+-@\t\r").find(_text.front()) != std::string_view::npos;
  const std::string cell = (formula ? "'" : "") + std::string(_text);
  if (cell.find_first_of(",\"\r\n") == std::string::npos) {
    _out += cell;
    return;
  }
  _out += '"';
  for (const char c : cell) {
    _out += c == '"' ? "\"\"" : std::string(1, c);
  }
  _out += '"';
}
}  // namespace vela::tools
