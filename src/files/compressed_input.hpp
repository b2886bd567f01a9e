#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/handover.hpp"
#include "exception.hpp"
#include "files/input_file.hpp"

namespace vela {
// A read error, or a compressed stream that is corrupt, cut short or empty. what() names the
// file as vela's own messages do; reason() is what went wrong alone, for a reader that names
// the file its own way.
class input_error : public exception {
 public:
  input_error(const std::string& _file, const std::string& _reason, bool _unreadable)
      : exception("Error reading file:" + _file + " (" + _reason + ")"),
        m_reason(_reason),
        m_unreadable(_unreadable) {}
  const std::string& reason() const { return m_reason; }
  // A read of the file failed (the reason is the system's); otherwise its content is broken.
  bool unreadable() const { return m_unreadable; }

 private:
  std::string m_reason;
  bool m_unreadable;
};

// The content of an input file, read through its open descriptor: a file stored compressed,
// gzip or zstd, is decompressed as it is read (told by its first bytes, not by its name), every
// gzip member and zstd frame to the end; any other file is read as it is. The file's own bytes
// are counted in the input_file record, so that its deletion can tell whether it changed.
class compressed_input {
 public:
  enum class format { plain, gzip, zstd };

  compressed_input();
  compressed_input(const compressed_input&) = delete;
  compressed_input& operator=(const compressed_input&) = delete;
  ~compressed_input();

  // Starts reading _fd, which stays the caller's; _file records what is read of it.
  void open(int _fd, input_file& _file);
  // From now on a compressed file is decompressed ahead, on a thread of its own, in bounded
  // blocks; a plain file is read as before.
  void decompress_ahead();
  // Up to _size bytes of the content into _buffer; 0 at its end. Throws input_error on a read
  // error, and on a compressed stream that is corrupt, cut short or empty, naming the byte of the
  // file where it broke. open() throws it too, for a read error.
  std::size_t read(char* _buffer, std::size_t _size);
  // Stops decompressing ahead, so that the descriptor may be closed.
  void finish();
  format kind() const { return m_format; }

 private:
  struct gzip_state;
  struct zstd_state;
  struct block {
    std::vector<char> data;
    std::size_t size = 0;
    std::uint64_t file_bytes = 0;  // of the file read when it was filled
    bool last = false;             // the content ends after it
    std::exception_ptr failure;    // decompression stopped after it: what it threw
  };

  std::size_t decode(char* _buffer, std::size_t _size);  // the content, on whichever thread
  std::size_t take_ahead(char* _buffer, std::size_t _size);
  void fill_ahead();  // the decompressing thread
  bool fill_input();  // more of the file; false at its end
  std::size_t read_gzip(char* _buffer, std::size_t _size);
  std::size_t read_zstd(char* _buffer, std::size_t _size);
  [[noreturn]] void fail(const std::string& _why, bool _unreadable = false) const;
  std::uint64_t offset_of(const unsigned char* _at) const;  // in the file

  int m_fd = -1;
  input_file* m_file = nullptr;  // written by the reading side only
  std::uint64_t m_file_bytes = 0;  // read by the decoding side
  bool m_end_recorded = false;
  format m_format = format::plain;
  std::vector<unsigned char> m_in;  // file bytes read and not yet decompressed
  std::size_t m_in_begin = 0;
  std::size_t m_in_end = 0;
  std::uint64_t m_in_offset = 0;  // the file offset of m_in[0]
  bool m_file_ended = false;
  bool m_content_ended = false;
  std::uint64_t m_content_bytes = 0;
  std::unique_ptr<gzip_state> m_gzip;
  std::unique_ptr<zstd_state> m_zstd;

  // Decompressing ahead: blocks go round between the decompressing thread and the reader.
  std::unique_ptr<handover<block>> m_blocks;
  block* m_current = nullptr;  // being read, from m_current_at
  std::size_t m_current_at = 0;
  std::thread m_thread;
};
}  // namespace vela
