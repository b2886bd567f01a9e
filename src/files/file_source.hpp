#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "files/byte_source.hpp"
#include "files/compressed_input.hpp"
#include "files/input_file.hpp"

namespace vela {
// A recording stored in a file, read through its descriptor: its content, decompressed where it
// is stored compressed (gzip, zstd, told by its first bytes). A folder cannot be opened. It
// records which file it read and how much of it, for the deletion of the input.
class file_source : public byte_source {
 public:
  file_source() = default;
  file_source(const file_source&) = delete;
  file_source& operator=(const file_source&) = delete;
  ~file_source() override { close(); }

  // Opens _path; false with a description in _error ("NAME: reason") when it cannot be opened.
  bool open(const std::string& _path, std::string& _error);
  // Reads a copy of the open descriptor _fd (standard input), named _name.
  bool open_descriptor(int _fd, const std::string& _name, std::string& _error);
  bool is_open() const { return m_fd >= 0; }
  // A read error, or a compressed stream that is corrupt, cut short or empty, is an error
  // outcome naming where it broke.
  outcome read(char* _buffer, std::size_t _capacity) override;
  // A compressed file is decompressed on a thread of its own from now on.
  void decompress_ahead() { m_content.decompress_ahead(); }
  void close();

  // Bytes of the file read so far, for a progress line: may be asked from any thread.
  std::uint64_t bytes_read() const { return m_bytes_read.load(std::memory_order_relaxed); }
  // The file's size, 0 when it has none (a pipe).
  std::uint64_t size() const { return m_size; }
  // What a reader of it needs per read: no more than the file, so that a small file does not
  // pay for a large buffer.
  std::size_t buffer_bytes() const { return m_buffer_bytes; }
  // The file that was opened and how much of it was read.
  const input_file& record() const { return m_record; }

 private:
  bool start(int _fd, const std::string& _name, std::string& _error);

  int m_fd = -1;
  input_file m_record;
  compressed_input m_content;
  std::uint64_t m_size = 0;
  std::size_t m_buffer_bytes = 0;
  std::atomic<std::uint64_t> m_bytes_read{0};
};
}  // namespace vela
