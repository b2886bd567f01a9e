#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/compressed_input.hpp"
#include "files/input_file.hpp"

namespace vela {
// Reads a file line by line through large buffers, as getline with '\n' would split it: a last
// line without a newline is still a line, and nothing follows a final newline. A file stored
// compressed (gzip, zstd) is read as its content. A folder cannot be opened. Read errors, and
// compressed streams that are corrupt or cut short, are thrown, not taken for the end.
// A line stays valid until the second call after the one that returned it, so that a caller can
// read one line ahead: reading switches between two buffers and never moves the bytes of the
// line returned last.
class line_reader {
 public:
  line_reader() = default;
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;
  ~line_reader();

  // Opens _path for reading; false with a description in _error when it cannot be opened.
  bool open(const std::string& _path, std::string& _error);
  // Reads a copy of the open descriptor _fd (standard input), named _name in messages.
  bool open_descriptor(int _fd, const std::string& _name, std::string& _error);
  bool is_open() const { return m_fd >= 0; }
  // The next line without its newline, valid until the second call after; false at the end.
  // A line longer than max_line_bytes is read past without being held: _line is then its first
  // cut_line_bytes and cut() is true, so that memory stays flat whatever a file holds (a
  // device without a newline). Throws vela::exception on a read error.
  bool next(std::string_view& _line);
  // Whether the line returned last was longer than max_line_bytes: a malformed line.
  bool cut() const { return m_cut; }

  static constexpr std::size_t max_line_bytes = std::size_t{1} << 20;
  static constexpr std::size_t cut_line_bytes = 256;
  void close();
  // A compressed file is decompressed on a thread of its own from now on.
  void decompress_ahead() { m_content.decompress_ahead(); }

  // For progress reports: bytes of the file read so far, and its size (0 if unknown).
  std::uint64_t file_bytes_read() const { return m_source.bytes_read; }
  std::uint64_t size() const { return m_size; }
  // The file that was opened and how much of it was read.
  const input_file& source() const { return m_source; }

 private:
  bool start(int _fd, const std::string& _name, std::string& _error);
  bool fill(bool _first_in_call);
  bool skip_rest_of_line(std::string_view& _line, bool _swapped);
  std::string& cut_head(std::size_t _from);

  int m_fd = -1;
  input_file m_source;
  compressed_input m_content;
  std::vector<char> m_buffers[2];
  int m_current = 0;        // the buffer being read
  std::size_t m_begin = 0;  // first byte not yet handed out
  std::size_t m_end = 0;    // end of the bytes read
  bool m_at_end = false;    // nothing more to read from the file
  std::uint64_t m_size = 0;
  bool m_cut = false;
  std::string m_heads[2];  // the beginnings of the last two lines cut
  int m_head = 0;
};
}  // namespace vela
