#pragma once
// Cells of the companions' CSV, for a spreadsheet.

#include <string>
#include <string_view>

namespace vela::tools {
// Appends a text cell as RFC 4180 wants it: quoted, quotes doubled, when it holds a comma, quote
// or line break. A text that a spreadsheet would run as a formula (one that begins with =, +, -,
// @, a tab or a carriage return) gets a leading apostrophe, so that a name such as
// =HYPERLINK(...) stays a text; numbers are written apart and stay numbers.
void append_csv_text(std::string& _out, std::string_view _text);
}  // namespace vela::tools
