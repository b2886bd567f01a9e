#pragma once
// Rows of the companions' listings, one per event or run: CSV for a spreadsheet (RFC 4180, a
// header row, CR LF) or JSON lines, from the same fields.

#include <boost/optional.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vela::tools {
enum class row_form { csv, jsonl };

// One field of a row: a text, a whole number, a real, a list of texts, or nothing (empty in CSV,
// null in JSON). A list is its texts joined by ';' in CSV, an array in JSON.
struct row_field {
  boost::optional<std::string> text;
  boost::optional<std::int64_t> number;
  boost::optional<std::vector<std::string>> texts = {};
  boost::optional<double> real = {};
  // A value that is a JSON object already (an input's facts); as its text in CSV.
  boost::optional<std::string> json = {};
};

using row = std::vector<std::pair<std::string, row_field>>;

// The CSV header of rows with these fields, ended by CR LF.
std::string csv_header(const row& _fields);
// One row, ended by its line end, appended to _out.
void append_row(std::string& _out, row_form _form, const row& _fields);
// _text as a JSON string; bytes that are not UTF-8 become U+FFFD.
void append_json_string(std::string& _out, std::string_view _text);
}  // namespace vela::tools
