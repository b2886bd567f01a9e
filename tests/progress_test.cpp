// The progress line shows file names without letting them steer the terminal.
#include <gtest/gtest.h>

#include <string>

#include "progress.hpp"

namespace vela {
namespace {
TEST(ProgressTest, FileNamesShowControlCharactersEscaped) {
  const struct {
    std::string name;
    std::string shown;
  } rows[] = {
      {"positions.csv", "positions.csv"},
      {"a\033[2Jb.csv", "a\\x1b[2Jb.csv"},  // an escape sequence that would clear the screen
      {"line\nbreak\r\t", "line\\x0abreak\\x0d\\x09"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"Lagerhalle \xc3\x9c" "berwachung", "Lagerhalle \xc3\x9c" "berwachung"},  // UTF-8 stays
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shown);
    EXPECT_EQ(printable(row.name), row.shown);
  }
}
}  // namespace
}  // namespace vela
