#pragma once
// A result as the companions read it, from a file descriptor (a named file, or standard input):
// decompressed where it is stored with gzip or zstd, told by its first bytes as vela tells its
// position files, through vela's own reader of them; its file bytes counted and, when asked,
// its content hashed as it goes by.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "base/sha256.hpp"
#include "files/compressed_input.hpp"
#include "files/input_file.hpp"
#include "results/result_reader.hpp"

namespace vela::results {
class input : public std::streambuf {
 public:
  // Reads _fd from where it stands; the descriptor stays the caller's, open until this is gone.
  explicit input(int _fd, bool _hashed = false);
  input(const input&) = delete;
  input& operator=(const input&) = delete;
  ~input() override;

  // The bytes of the file read so far, compressed or not.
  std::uint64_t file_bytes() const { return m_file.bytes_read; }
  // Why the content ended early (a read error, a compressed stream that is corrupt or cut
  // short), as one line without the file's name; empty when it did not.
  const std::string& failure() const { return m_failure; }
  // The SHA-256 of the content read, decompressed; only when hashed.
  sha256::digest digest() { return m_hash->final(); }

 protected:
  int_type underflow() override;

 private:
  int m_fd;
  input_file m_file;
  compressed_input m_content;
  bool m_opened = false;
  bool m_ended = false;
  std::vector<char> m_buffer;
  std::string m_failure;
  std::unique_ptr<sha256> m_hash;
};

// A result named on a command line, open for reading: "-" is standard input, which stays open.
// Throws read_error with the reason alone (the system's, or "is a folder") for the caller to
// name the file.
class opened_result {
 public:
  explicit opened_result(const std::string& _name);
  opened_result(const opened_result&) = delete;
  opened_result& operator=(const opened_result&) = delete;
  ~opened_result();

  int fd() const { return m_fd; }
  // What the descriptor is: a regular file, a pipe, a device.
  const struct stat& status() const { return m_status; }

 private:
  void close();

  int m_fd = -1;
  bool m_owned = false;
  struct stat m_status {};
};

// Reads the result in _input as read() does. Where the input itself failed, the read_error
// says so, also when what came before the failure read as a whole result.
form read(input& _input, const handlers& _handlers);
}  // namespace vela::results
