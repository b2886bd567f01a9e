#include "files/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <boost/filesystem.hpp>

#include "base/sha256.hpp"

namespace vela {
namespace {
constexpr std::size_t read_chunk_bytes = std::size_t{1} << 16;

// Closes the descriptor on every path; a read-only file loses nothing if the close fails.
struct read_only_descriptor {
  int fd;
  ~read_only_descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

std::int64_t nanoseconds(const struct timespec& _time) {
  return static_cast<std::int64_t>(_time.tv_sec) * 1000000000 + _time.tv_nsec;
}
}  // namespace

void input_file::opened_as(int _fd) {
  struct stat st {};
  opened = ::fstat(_fd, &st) == 0;
  regular = opened && S_ISREG(st.st_mode);
  device = static_cast<std::uint64_t>(st.st_dev);
  inode = static_cast<std::uint64_t>(st.st_ino);
  bytes_read = 0;
  read_to_end = false;
}

void input_file::reached_end(int _fd) {
  struct stat st {};
  read_to_end = ::fstat(_fd, &st) == 0;
  modified_ns = nanoseconds(st.st_mtim);
  changed_ns = nanoseconds(st.st_ctim);
}

bool input_file::is_at(const std::string& _path) const {
  struct stat st {};
  return opened && ::stat(_path.c_str(), &st) == 0 &&
         static_cast<std::uint64_t>(st.st_dev) == device &&
         static_cast<std::uint64_t>(st.st_ino) == inode;
}

std::string stream_open_failure(const std::string& _path, const std::string& _otherwise) {
  std::ifstream stream;
  stream.exceptions(std::ifstream::failbit | std::ifstream::badbit);
  try {
    stream.open(_path);
  } catch (const std::exception& e) {
    return e.what();
  }
  return _otherwise;
}

whole_file read_whole_file(input_file& _file, std::string& _content, std::string& _error,
                           std::uint64_t _limit) {
  const read_only_descriptor file{::open(_file.name.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    _error = std::strerror(errno);
    return whole_file::cannot_open;
  }
  _file.opened_as(file.fd);
  _content.clear();
  struct stat st {};
  if (::fstat(file.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    return whole_file::folder;
  }
  if (S_ISREG(st.st_mode)) {  // held once, not grown by doubling
    _content.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), _limit) + 1));
  }
  int read_error = 0;
  for (;;) {
    const std::size_t size = _content.size();
    if (size > _limit) {
      _content.clear();
      _content.shrink_to_fit();
      return whole_file::too_large;
    }
    _content.resize(size + read_chunk_bytes);
    const ssize_t n = ::read(file.fd, _content.data() + size, read_chunk_bytes);
    if (n < 0 && errno == EINTR) {
      _content.resize(size);
      continue;
    }
    _content.resize(size + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n <= 0) {
      read_error = n < 0 ? errno : 0;
      break;  // the end, or an error that ends the content here as it would end a stream
    }
  }
  if (_content.size() > _limit) {
    _content.clear();
    _content.shrink_to_fit();
    return whole_file::too_large;
  }
  _file.bytes_read = _content.size();
  _file.reached_end(file.fd);
  if (_file.wants_digest) {
    sha256 digest;
    digest.update(_content);
    _file.sha256 = hex(digest.final());
  }
  if (read_error != 0) {
    _error = std::strerror(read_error);
    return whole_file::read_error;
  }
  return whole_file::read;
}

std::string delete_input(const input_file& _file) {
  if (!_file.opened || !_file.regular || !_file.read_to_end) {
    return "";  // a fifo, device or socket: read, never deleted
  }
  const std::string prefix = "Error deleting file:" + _file.name + " (";
  struct stat st {};
  if (::stat(_file.name.c_str(), &st) != 0) {
    return errno == ENOENT ? "" : prefix + std::strerror(errno) + ")";
  }
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_dev) != _file.device ||
      static_cast<std::uint64_t>(st.st_ino) != _file.inode) {
    return prefix + "no longer the file that was read; left in place)";
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > _file.bytes_read) {
    return prefix + "grew by " + std::to_string(size - _file.bytes_read) +
           " bytes after it was read; left in place)";
  }
  // Rewritten, truncated, or replaced by a new file that took the freed inode.
  if (size != _file.bytes_read || nanoseconds(st.st_mtim) != _file.modified_ns ||
      nanoseconds(st.st_ctim) != _file.changed_ns) {
    return prefix + "changed after it was read; left in place)";
  }
  try {
    boost::filesystem::remove(_file.name);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}
}  // namespace vela
