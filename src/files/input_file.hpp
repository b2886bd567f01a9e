#pragma once

#include <cstdint>
#include <string>

namespace vela {
// One input file as the run read it: its name, the file that name led to when it was opened, and
// how many bytes were read from it. The run deletes its inputs once the result is delivered, and
// only what it read: a regular file that its name still leads to, unchanged since its end was
// read.
struct input_file {
  std::string name;
  bool opened = false;
  bool regular = false;  // a fifo, device or socket is read but never deleted
  bool read_to_end = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t bytes_read = 0;
  std::int64_t modified_ns = 0;  // modification and status change times when the end was read
  std::int64_t changed_ns = 0;

  // Records which file the open descriptor _fd is.
  void opened_as(int _fd);
  // Records that the end of _fd was read, and the file's times at that moment.
  void reached_end(int _fd);
  // True when _path leads to the file that was opened (following links).
  bool is_at(const std::string& _path) const;
};

// How reading a whole file ended.
enum class whole_file { read, cannot_open, too_large };

// Opens _file.name, records which file it is and reads all of it into _content, up to _limit
// bytes: a file holding more (a device that never ends, say) is refused rather than read into
// memory without bound. On cannot_open, _error describes it as the standard stream library
// does. A read error ends the content where it happened, as it ends a stream; a folder holds
// nothing.
whole_file read_whole_file(input_file& _file, std::string& _content, std::string& _error,
                           std::uint64_t _limit);

// Deletes the input once the result is delivered. Left alone, silently, when it was not a regular
// file or is already gone; left alone with a reason when its name now leads to another file, or
// the file has grown or changed since its end was read. Returns that reason, or the deletion's own
// failure, as one line of text; empty when all is well.
std::string delete_input(const input_file& _file);
}  // namespace vela
