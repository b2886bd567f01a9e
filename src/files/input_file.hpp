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
  bool wants_digest = false;  // read_whole_file fills sha256 too
  std::string sha256{};       // of the bytes read, in hex

  // Records which file the open descriptor _fd is.
  void opened_as(int _fd);
  // Records that the end of _fd was read, and the file's times at that moment.
  void reached_end(int _fd);
  // True when _path leads to the file that was opened (following links).
  bool is_at(const std::string& _path) const;
};

// How reading a whole file ended. A folder and a read error leave what was read (nothing, for a
// folder) in the content, as a stream would: vela's JSON inputs are parsed from it all the same,
// while a companion refuses them.
enum class whole_file { read, cannot_open, too_large, folder, read_error };

// Opens _file.name, records which file it is and reads all of it into _content, up to _limit
// bytes: a file holding more (a device that never ends, say) is refused rather than read into
// memory without bound. On cannot_open and read_error, _error is the system's reason.
whole_file read_whole_file(input_file& _file, std::string& _content, std::string& _error,
                           std::uint64_t _limit);

// The text the standard stream library gives for a failed open of _path, which vela's messages
// quote; _otherwise when the stream opens after all.
std::string stream_open_failure(const std::string& _path, const std::string& _otherwise);

// Deletes the input once the result is delivered. Left alone, silently, when it was not a regular
// file or is already gone; left alone with a reason when its name now leads to another file, or
// the file has grown or changed since its end was read. Returns that reason, or the deletion's own
// failure, as one line of text; empty when all is well.
std::string delete_input(const input_file& _file);
}  // namespace vela
