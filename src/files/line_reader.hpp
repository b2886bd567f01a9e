#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "files/byte_source.hpp"

namespace vela {
// Splits the bytes of a source into lines as getline with '\n' would: a last line without a
// newline is still a line, and nothing follows a final newline. A line stays valid until the
// second call after the one that returned it, so that a caller can read one line ahead: reading
// switches between two buffers and never moves the bytes of the line returned last.
class line_reader {
 public:
  static constexpr std::size_t max_line_bytes = std::size_t{1} << 20;
  static constexpr std::size_t cut_line_bytes = 256;

  // Reads _source, _buffer_bytes at a time (a buffer grows for a longer line).
  explicit line_reader(byte_source& _source, std::size_t _buffer_bytes = max_line_bytes);
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;

  // The next line without its newline, valid until the second call after; false at the end.
  // A line longer than max_line_bytes is read past without being held: _line is then its first
  // cut_line_bytes and cut() is true, so that memory stays flat whatever a source holds (a
  // device without a newline). Throws vela::exception with the source's error.
  bool next(std::string_view& _line);
  // Whether the line returned last was longer than max_line_bytes: a malformed line.
  bool cut() const { return m_cut; }

 private:
  bool fill(bool _first_in_call);
  bool skip_rest_of_line(std::string_view& _line, bool _swapped);
  std::string& cut_head(std::size_t _from);

  byte_source& m_source;
  std::vector<char> m_buffers[2];
  int m_current = 0;        // the buffer being read
  std::size_t m_begin = 0;  // first byte not yet handed out
  std::size_t m_end = 0;    // end of the bytes read
  bool m_at_end = false;    // nothing more to read from the source
  bool m_cut = false;
  std::string m_heads[2];  // the beginnings of the last two lines cut
  int m_head = 0;
};
}  // namespace vela
