#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vela {
// Writes all of _data to the descriptor, retrying short writes. Throws vela::exception with a
// description that starts with _what on failure (a full disk, a closed pipe, a size limit).
void write_all(int _fd, std::string_view _data, const std::string& _what);

// The name of the temporary file through which a result replaces _file_name.
std::string temporary_name_of(const std::string& _file_name);
// True when _file_name is an existing character device or fifo, which output_file writes
// directly.
bool is_written_directly(const std::string& _file_name);
// True when both names lead (through links, or as other spellings) to one existing regular
// file. Devices and fifos are never the same file here: a terminal may be read and written.
bool same_regular_file(const std::string& _a, const std::string& _b);

// A result on its way to a named file, so that a reader never sees a partial document under the
// name, even after a crash: the bytes go to the temporary file (the name plus ".tmp"), which is
// synced, renamed over the name and the folder synced. The run holds an exclusive lock on its
// temporary file while it writes, so that two runs never take each other's. A stale temporary
// file that no run holds is replaced, never written through (it may be a link).
// An existing character device or fifo under the name is written directly instead (there is
// nothing to replace); any other kind of file that is not a regular file is refused.
// Every failure throws vela::exception. Until commit() has succeeded, the earlier file under the
// name is untouched, and the temporary file is removed when the object goes.
class output_file {
 public:
  output_file() = default;
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  ~output_file() { abandon(); }

  void open(const std::string& _file_name);
  bool is_open() const { return m_fd >= 0; }
  bool is_direct() const { return m_temporary.empty(); }
  void write(std::string_view _data);
  // Makes the written bytes the file's content, durably.
  void commit();
  // Removes the temporary file, if one is held; the name keeps its earlier content.
  void abandon();

 private:
  void open_temporary();
  void close_descriptor();

  std::string m_file_name;
  std::string m_temporary;  // empty when the name is written directly
  int m_fd = -1;
  std::uint64_t m_written = 0;         // bytes written so far
  std::uint64_t m_writeback_from = 0;  // the first byte whose writing to disk was not started
};
}  // namespace vela
