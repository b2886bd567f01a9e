#pragma once
// Pages opened in headless Chromium for the tests of the companions that write them: the DOM as
// Chromium prints it, read into elements with their attributes and text.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vela::test {
using arguments = std::vector<std::string>;

// ---- The DOM as headless Chromium prints it -----------------------------------------------------
struct dom_element {
  std::string tag;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;  // up to the next tag; the whole content of a script or style
};

inline std::string unescape(const std::string& _text) {
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"},  {"&gt;", ">"},          {"&quot;", "\""},
      {"&#39;", "'"}, {"&nbsp;", "\xC2\xA0"}, {"&amp;", "&"}};
  std::string out;
  for (std::size_t at = 0; at < _text.size();) {
    bool replaced = false;
    for (const auto& [entity, character] : entities) {
      if (_text.compare(at, std::strlen(entity), entity) == 0) {
        out += character;
        at += std::strlen(entity);
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      out += _text[at++];
    }
  }
  return out;
}

// Reads the attributes of a start tag from _at (after its name) to its '>'.
inline std::size_t read_attributes(const std::string& _html, std::size_t _at, dom_element& _element) {
  while (_at < _html.size() && _html[_at] != '>') {
    if (std::isspace(static_cast<unsigned char>(_html[_at])) || _html[_at] == '/') {
      ++_at;
      continue;
    }
    const std::size_t name_end = _html.find_first_of(" \t\n=>/", _at);
    std::string name = _html.substr(_at, name_end - _at);
    _at = name_end;
    std::string value;
    if (_at < _html.size() && _html[_at] == '=' && _html[_at + 1] == '"') {
      const std::size_t close = _html.find('"', _at + 2);
      value = unescape(_html.substr(_at + 2, close - _at - 2));
      _at = close + 1;
    }
    _element.attributes.emplace_back(std::move(name), std::move(value));
  }
  return _at + 1;
}

// Start tags with their attributes and the text after them. Chromium writes every attribute
// value in double quotes with '"' and '&' escaped, and text with '<', '>' and '&' escaped.
inline std::vector<dom_element> parse_dom(const std::string& _html) {
  std::vector<dom_element> elements;
  std::size_t at = 0;
  while ((at = _html.find('<', at)) != std::string::npos) {
    if (_html.compare(at, 2, "</") == 0 || _html.compare(at, 2, "<!") == 0) {
      at = _html.find('>', at) + 1;
      continue;
    }
    dom_element element;
    const std::size_t name_end = _html.find_first_of(" \t\n>/", at + 1);
    element.tag = _html.substr(at + 1, name_end - at - 1);
    at = read_attributes(_html, name_end, element);
    if (element.tag == "script" || element.tag == "style") {  // raw text, never escaped
      const std::size_t end = _html.find("</" + element.tag, at);
      element.text = _html.substr(at, end - at);
      at = end;
    } else {
      element.text = unescape(_html.substr(at, _html.find('<', at) - at));
    }
    elements.push_back(std::move(element));
  }
  return elements;
}

inline const std::string* attribute(const dom_element& _element, const std::string& _name) {
  for (const auto& [name, value] : _element.attributes) {
    if (name == _name) {
      return &value;
    }
  }
  return nullptr;
}

inline bool has(const dom_element& _element, const std::string& _name, const std::string& _value) {
  const std::string* value = attribute(_element, _name);
  return value != nullptr && *value == _value;
}

inline const dom_element& by_id(const std::vector<dom_element>& _dom, const std::string& _id) {
  static const dom_element missing;
  for (const dom_element& element : _dom) {
    if (has(element, "id", _id)) {
      return element;
    }
  }
  ADD_FAILURE() << "no element with id " << _id;
  return missing;
}

inline std::vector<const dom_element*> of_class(const std::vector<dom_element>& _dom,
                                         const std::string& _class) {
  std::vector<const dom_element*> found;
  for (const dom_element& element : _dom) {
    if (has(element, "class", _class)) {
      found.push_back(&element);
    }
  }
  return found;
}

// ---- Headless Chromium --------------------------------------------------------------------------
inline std::string file_url(const std::string& _path, const std::string& _fragment = "") {
  std::string url = "file://";
  for (const unsigned char c : _path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      url += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      url += escaped;
    }
  }
  return _fragment.empty() ? url : url + "#" + _fragment;
}

// Runs Chromium in _dir with a profile of its own and the flags that keep it off the network.
inline run_result chromium(const temp_folder& _dir, const arguments& _args) {
  static int profiles = 0;
  arguments args = {
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--user-data-dir=" + _dir.file("chromium-profile-" + std::to_string(++profiles))};
  args.insert(args.end(), _args.begin(), _args.end());
  // Headless Chromium now and then hangs at start on a loaded machine: a hang (status 124 of
  // timeout) is tried again, a failure is not.
  run_result run;
  for (int attempt = 0; attempt < 3; ++attempt) {
    run = run_in(_dir, VELA_CHROMIUM, args, "timeout 60");
    if (run.status != 124) {
      break;
    }
  }
  return run;
}

// Empty when Chromium starts here and runs a page's script; else what went wrong.
inline const std::string& browser_problem() {
  static const std::string problem = [] {
    temp_folder dir;
    dir.write("probe.html", "<p id=\"p\"></p><script>p.textContent = 'ran' + 'here'</script>");
    const run_result run = chromium(dir, {"--dump-dom", file_url(dir.file("probe.html"))});
    if (run.out.find("ranhere") != std::string::npos) {
      return std::string();
    }
    const std::string err = run.err.substr(0, 400);
    return std::string(VELA_CHROMIUM) + " --headless did not run a page (status " +
           std::to_string(run.status) + "): " + err;
  }();
  return problem;
}

}  // namespace vela::test
