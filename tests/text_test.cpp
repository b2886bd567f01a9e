// Names from files are shown without letting them steer the terminal or break its UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "base/text.hpp"

namespace vela {
namespace {
TEST(TextTest, TerminalSafeTextEscapesWhatCouldSteerATerminalOrBreakUtf8) {
  const struct {
    std::string text;
    std::size_t max_bytes;
    std::string shown;
  } rows[] = {
      {"positions.csv", 200, "positions.csv"},
      {"a\033[2Jb.csv", 200, "a\\x1b[2Jb.csv"},  // an escape sequence that would clear the screen
      {"line\nbreak\r\t", 200, "line\\x0abreak\\x0d\\x09"},
      {std::string("nul\0del\x7f", 8), 200, "nul\\x00del\\x7f"},
      {"back\\slash", 200, "back\\\\slash"},
      {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", 200, "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"},
      {"bad \xff\xc3", 200, "bad \\xff\\xc3"},
      {"overlong \xc0\xaf surrogate \xed\xa0\x80", 200,
       "overlong \\xc0\\xaf surrogate \\xed\\xa0\\x80"},
      {std::string(300, 'x'), 200, std::string(200, 'x') + "..."},
      {std::string(300, 'x'), std::string::npos, std::string(300, 'x')},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    EXPECT_EQ(terminal_safe(row.text, row.max_bytes), row.shown);
  }
}
}  // namespace
}  // namespace vela
