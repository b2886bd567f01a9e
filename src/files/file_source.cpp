#include "files/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vela {
namespace {
constexpr std::size_t large_buffer_bytes = std::size_t{1} << 20;
constexpr std::size_t small_buffer_bytes = std::size_t{1} << 12;  // small files need no more
}  // namespace

bool file_source::open(const std::string& _path, std::string& _error) {
  close();
  const int fd = ::open(_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    _error = _path + ": " + std::strerror(errno);
    return false;
  }
  return start(fd, _path, _error);
}

bool file_source::open_descriptor(int _fd, const std::string& _name, std::string& _error) {
  close();
  const int fd = ::fcntl(_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    _error = _name + ": " + std::strerror(errno);
    return false;
  }
  return start(fd, _name, _error);
}

// Takes over the open descriptor _fd of the file _name.
bool file_source::start(int _fd, const std::string& _name, std::string& _error) {
  m_size = 0;
  m_buffer_bytes = large_buffer_bytes;
  struct stat st {};
  if (::fstat(_fd, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {  // a folder holds no recording
      ::close(_fd);
      _error = _name + ": " + std::strerror(EISDIR);
      return false;
    }
    if (S_ISREG(st.st_mode)) {
      m_size = static_cast<std::uint64_t>(st.st_size);
      m_buffer_bytes = static_cast<std::size_t>(
          std::clamp<std::uint64_t>(m_size + 1, small_buffer_bytes, large_buffer_bytes));
    }
  }
  m_fd = _fd;
  m_record = input_file{_name};
  m_record.opened_as(_fd);
  m_bytes_read.store(0, std::memory_order_relaxed);
  m_content.open(_fd, m_record);
  return true;
}

byte_source::outcome file_source::read(char* _buffer, std::size_t _capacity) {
  try {
    const std::size_t count = m_content.read(_buffer, _capacity);
    m_bytes_read.store(m_record.bytes_read, std::memory_order_relaxed);
    return count == 0 ? end() : bytes(count);
  } catch (const std::exception& e) {
    return failure(e.what());
  }
}

void file_source::close() {
  m_content.finish();
  if (m_fd >= 0) {
    ::close(m_fd);  // read-only: a failing close loses nothing
    m_fd = -1;
  }
}
}  // namespace vela
