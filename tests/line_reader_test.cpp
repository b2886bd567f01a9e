#include "files/line_reader.hpp"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "exception.hpp"
#include "files/byte_source.hpp"
#include "files/file_source.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using std::string_literals::operator""s;
constexpr std::size_t mib = std::size_t{1} << 20;  // the reader's buffer size

std::vector<std::string> read_all(line_reader& _reader) {
  std::vector<std::string> lines;
  std::string_view line;
  while (_reader.next(line)) {
    lines.push_back(_reader.cut() ? "cut:" + std::string(line) : std::string(line));
  }
  return lines;
}

TEST(LineReaderTest, SplitsLikeGetline) {
  const std::string big(3 * mib + 123, 'a');
  const std::string buffer_less_one(mib - 1, 'b');
  const std::string buffer_full(mib, 'c');
  const struct {
    std::string content;
    std::vector<std::string> lines;
    const char* why;
  } rows[] = {
      {"", {}, "empty file"},
      {"a", {"a"}, "last line without newline"},
      {"a\n", {"a"}, "a final newline adds no line"},
      {"\n\n", {"", ""}, "empty lines"},
      {"a\n\nb", {"a", "", "b"}, "empty line inside"},
      {"a\r\nb\r\n", {"a\r", "b\r"}, "carriage returns kept"},
      {"a\0b\nc"s, {"a\0b"s, "c"}, "NUL bytes kept"},
      {big + "\nshort\n" + big, {"cut:" + big.substr(0, 256), "short", "cut:" + big.substr(0, 256)},
       "lines over 1 MiB: their beginnings, read past"},
      {buffer_full + "d\nx", {"cut:" + buffer_full.substr(0, 256), "x"}, "one byte over 1 MiB"},
      {buffer_less_one + "\nx", {buffer_less_one, "x"}, "newline is the buffer's last byte"},
      {buffer_full + "\nx\n", {buffer_full, "x"}, "newline right after a full buffer"},
  };
  const test::temp_folder folder;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    // From a file, as a run reads it, and from memory in small pieces, which split lines and
    // their ends every way.
    folder.write("p.csv", row.content);
    file_source file;
    std::string error;
    ASSERT_TRUE(file.open(folder.file("p.csv"), error)) << error;
    line_reader from_file(file, file.buffer_bytes());
    EXPECT_TRUE(read_all(from_file) == row.lines) << "from the file";
    EXPECT_EQ(file.size(), row.content.size());
    EXPECT_EQ(file.bytes_read(), row.content.size());
    memory_source memory(row.content, 7);
    line_reader from_memory(memory, 16);
    EXPECT_TRUE(read_all(from_memory) == row.lines) << "from memory";
  }
}

TEST(LineReaderTest, ASourceThatFailsEndsTheLinesWithItsError) {
  const std::string content = "a\nb\nc\n";
  memory_source failing(content, 2, 3);  // "a\nb", then the error
  line_reader reader(failing, 16);
  std::string_view line;
  ASSERT_TRUE(reader.next(line));
  EXPECT_EQ(line, "a");
  EXPECT_THROW(reader.next(line), vela::exception) << "b was never ended, so never a line";
}

TEST(LineReaderTest, FolderAndMissingFileCannotBeOpenedAndAreNamed) {
  const test::temp_folder folder;
  file_source file;
  std::string error;
  EXPECT_FALSE(file.open(folder.path(), error));
  EXPECT_EQ(error, folder.path() + ": Is a directory");
  EXPECT_FALSE(file.open(folder.file("absent.csv"), error));
  EXPECT_EQ(error, folder.file("absent.csv") + ": No such file or directory");
  folder.write("p.csv", "a\nb");  // the same source opens another file
  ASSERT_TRUE(file.open(folder.file("p.csv"), error));
  line_reader reader(file, file.buffer_bytes());
  EXPECT_EQ(read_all(reader), (std::vector<std::string>{"a", "b"}));
  // What was read, for the decision to delete it later.
  EXPECT_TRUE(file.record().regular);
  EXPECT_EQ(file.record().bytes_read, 3U);
  EXPECT_TRUE(file.record().is_at(folder.file("p.csv")));
}
}  // namespace
}  // namespace vela

namespace vela {
namespace {
TEST(LineReaderTest, KeepsTheLastLineValidWhileReadingTheNext) {
  // Lines of growing length across several buffer refills, one as long as a line may be, and
  // two longer, which come back cut.
  std::string content;
  std::vector<std::string> expected;
  for (int i = 0; i < 60000; ++i) {
    expected.push_back(std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'x'));
  }
  expected.insert(expected.begin() + 30000, std::string(line_reader::max_line_bytes, 'y'));
  for (const int at : {20000, 20001}) {
    expected.insert(expected.begin() + at, std::string(line_reader::cut_line_bytes, 'z'));
  }
  for (const std::string& line : expected) {
    content += line.size() == line_reader::cut_line_bytes ? line + std::string(3 << 20, 'z') + "\n"
                                                         : line + "\n";
  }
  memory_source source(content);
  line_reader reader(source);
  std::string_view previous;
  std::string_view line;
  std::size_t count = 0;
  while (reader.next(line)) {
    ASSERT_LT(count, expected.size());
    ASSERT_EQ(line, expected[count]);
    if (count > 0) {
      ASSERT_EQ(previous, expected[count - 1]) << "line " << count - 1 << " moved";
    }
    previous = line;
    ++count;
  }
  EXPECT_EQ(count, expected.size());
}
}  // namespace
}  // namespace vela
