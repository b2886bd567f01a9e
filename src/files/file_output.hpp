#pragma once

#include <cstdint>
#include <exception>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "exception.hpp"

namespace vela {
// Writes all of _data to the descriptor, retrying short writes. Throws vela::exception with a
// description that starts with _what on failure (a full disk, a closed pipe, a size limit).
void write_all(int _fd, std::string_view _data, const std::string& _what);

// Where an output's name leads.
struct output_target {
  // The process's own descriptor that the name stands for (/dev/stdout, /dev/fd/N,
  // /proc/self/fd/N), written straight to, so that "-o /dev/stdout >> log" appends; -1 otherwise.
  int descriptor = -1;
  // Otherwise the file written: the name itself, or the final target of its links, which are
  // never replaced themselves. It may not exist yet.
  std::string path;
};

// Follows _file_name to where an output goes. Throws vela::exception: a loop of links.
output_target resolve_output(const std::string& _file_name);

// The name of the temporary file through which an output replaces _file_name: beside the final
// target of its links.
std::string temporary_name_of(const std::string& _file_name);
// True when _file_name stands for the process's own descriptor or leads to an existing character
// device or fifo: output_file writes those directly.
bool is_written_directly(const std::string& _file_name);
// True when both names lead (through links, or as other spellings) to one existing regular
// file. Devices and fifos are never the same file here: a terminal may be read and written.
bool same_regular_file(const std::string& _a, const std::string& _b);

// A standard descriptor closed when the program started would be reused by the next file opened,
// and diagnostics or output would land in it. Occupies each with /dev/null opened for reading,
// so that writes to it fail and are reported, and remembers it: an output that names it by path
// (-o /dev/stdout) fails too instead of reaching the null device.
void occupy_closed_standard_descriptors();

// What an existing regular file under an output's name may be for the output to replace it.
enum class replacing {
  any_file,
  // Empty, or beginning (after white space) with "<!DOCTYPE html" or "<html": a page must not
  // replace a result or an input given to -o by mistake.
  only_a_page,
};

// An output that cannot be written: what() is "FILE: reason", FILE being the file the writer
// was at (the temporary, the final target), and reason() the reason alone, for a program that
// names the output as its user gave it.
class output_error : public vela::exception {
 public:
  output_error(const std::string& _file, const std::string& _reason)
      : vela::exception(_file + ": " + _reason), m_reason(_reason) {}
  const std::string& reason() const { return m_reason; }

 private:
  std::string m_reason;
};

// An existing file that the output may not replace (replacing::only_a_page).
class not_a_page : public output_error {
 public:
  using output_error::output_error;
};

// An output on its way to a named file, so that a reader never sees a partial file under the
// name, even after a crash: the bytes go to the temporary file (the final target plus ".tmp"),
// which is synced, renamed over the target and the folder synced. The writer holds an exclusive
// lock on its temporary file, so that two runs never take each other's; a stale temporary file
// that nobody holds is replaced, never written through (it may be a link). A signal removes it
// (interruption).
// The process's own descriptor, or an existing character device or fifo under the name, is
// written directly instead (there is nothing to replace); any other kind of file that is not a
// regular file is refused.
// Every failure throws output_error. Until commit() has succeeded, the earlier file under the
// name is untouched, and the temporary file is removed when the object goes.
class output_file {
 public:
  output_file() = default;
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  ~output_file() { abandon(); }

  // Throws not_a_page when _may_replace forbids replacing what is there.
  void open(const std::string& _file_name, replacing _may_replace = replacing::any_file);
  bool is_open() const { return m_fd >= 0; }
  bool is_direct() const { return m_temporary.empty(); }
  void write(std::string_view _data);
  // Makes the bytes written so far durable in the temporary file, not yet under the name.
  void sync();
  // Makes the written bytes the file's content, durably. From here a signal waits (interruption):
  // a program that goes on to other work resumes them.
  void commit();
  // The same under another name, in the same folder, decided once the content is known.
  void commit_as(const std::string& _file_name);
  // Removes the temporary file, if one is held; the name keeps its earlier content.
  void abandon();

 private:
  void open_temporary(const std::string& _target);
  void close_descriptor();

  std::string m_file_name;  // the final target
  std::string m_temporary;  // empty when the name is written directly
  int m_fd = -1;
  int m_slot = -1;  // interruption's hold of the temporary
  bool m_own_descriptor = false;
  bool m_synced = false;  // the temporary, up to its last byte
  std::uint64_t m_written = 0;         // bytes written so far
  std::uint64_t m_writeback_from = 0;  // the first byte whose writing to disk was not started
};

// A stream buffer over an output_file, for text written through a std::ostream. A write failure
// is kept, not thrown through the stream: call rethrow_failure() before commit().
class output_buffer : public std::streambuf {
 public:
  explicit output_buffer(output_file& _file, std::size_t _bytes = std::size_t{1} << 20);
  // Throws the first failure, if there was one; after a failure nothing more is written.
  void rethrow_failure() const;

 protected:
  int_type overflow(int_type _c) override;
  int sync() override;

 private:
  bool drain();

  output_file& m_file;
  std::vector<char> m_buffer;
  std::exception_ptr m_failure;
};
}  // namespace vela
