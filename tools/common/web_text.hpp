#pragma once

#include <string>
#include <string_view>

// Text from results and site files placed in a page: inert whatever it holds.
namespace vela::tools {
// _text as a JSON string literal that cannot end an HTML script element or comment: without
// '<', '>' and '&', with U+2028 and U+2029 escaped and bytes that are not UTF-8 as U+FFFD.
std::string script_json_string(std::string_view _text);

// _text as HTML text or attribute value: markup characters escaped, bytes that are not UTF-8
// and control characters as U+FFFD.
std::string html_text(std::string_view _text);
}  // namespace vela::tools
