#include "common/rows.hpp"

#include <charconv>

#include "base/text.hpp"
#include "common/csv.hpp"

namespace vela::tools {
void append_json_string(std::string& _out, std::string_view _text) {
  static const char hex[] = "0123456789abcdef";
  _out += '"';
  for (std::size_t at = 0; at < _text.size();) {
    const auto byte = static_cast<unsigned char>(_text[at]);
    const std::size_t length = utf8_length(_text, at);
    if (byte == '"' || byte == '\\') {
      _out += {'\\', static_cast<char>(byte)};
    } else if (byte < 0x20) {
      _out += {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
    } else if (length == 0) {
      _out += "\\ufffd";
    } else {
      _out.append(_text.substr(at, length));
      at += length;
      continue;
    }
    ++at;
  }
  _out += '"';
}

namespace {
// The shortest text that reads back as the same double.
std::string real_text(double _value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, _value);
  return error == std::errc() ? std::string(text, end) : std::string("null");
}
}  // namespace

std::string csv_header(const row& _fields) {
  std::string header;
  for (std::size_t k = 0; k < _fields.size(); ++k) {
    header += (k == 0 ? "" : ",") + _fields[k].first;
  }
  return header + "\r\n";
}

void append_row(std::string& _out, row_form _form, const row& _fields) {
  if (_form == row_form::csv) {
    for (std::size_t k = 0; k < _fields.size(); ++k) {
      _out += k == 0 ? "" : ",";
      const row_field& value = _fields[k].second;
      if (value.text) {
        append_csv_text(_out, *value.text);
      } else if (value.number) {
        _out += std::to_string(*value.number);
      } else if (value.real) {
        _out += real_text(*value.real);
      } else if (value.texts) {
        std::string joined;
        for (const std::string& text : *value.texts) {
          joined += (joined.empty() ? "" : ";") + text;
        }
        append_csv_text(_out, joined);
      } else if (value.json) {
        append_csv_text(_out, *value.json);
      }
    }
    _out += "\r\n";
    return;
  }
  _out += '{';
  for (std::size_t k = 0; k < _fields.size(); ++k) {
    _out += k == 0 ? "\"" : ",\"";
    _out += _fields[k].first + "\":";
    const row_field& value = _fields[k].second;
    if (value.text) {
      append_json_string(_out, *value.text);
    } else if (value.number) {
      _out += std::to_string(*value.number);
    } else if (value.real) {
      _out += real_text(*value.real);
    } else if (value.texts) {
      _out += '[';
      for (std::size_t t = 0; t < value.texts->size(); ++t) {
        _out += t == 0 ? "" : ",";
        append_json_string(_out, (*value.texts)[t]);
      }
      _out += ']';
    } else if (value.json) {
      _out += *value.json;
    } else {
      _out += "null";
    }
  }
  _out += "}\n";
}
}  // namespace vela::tools
