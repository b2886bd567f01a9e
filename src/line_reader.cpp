#include "line_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exception.hpp"

namespace vela {
namespace {
constexpr std::size_t chunk_bytes = std::size_t{1} << 20;
}  // namespace

line_reader::~line_reader() { close(); }

bool line_reader::open(const std::string& _path, std::string& _error) {
  close();
  const int fd = ::open(_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    _error = _path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    m_at_end = S_ISDIR(st.st_mode);  // a folder is read as holding no lines
    m_size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  }
  m_fd = fd;
  m_path = _path;
  m_buffer.resize(chunk_bytes);
  m_begin = m_end = 0;
  m_consumed = 0;
  return true;
}

void line_reader::close() {
  if (m_fd >= 0) {
    ::close(m_fd);  // read-only: a failing close loses nothing
    m_fd = -1;
  }
  m_at_end = true;
}

// Reads more bytes after the pending ones, moving them to the front or growing the buffer when
// one line fills it. False when nothing more can be read.
bool line_reader::fill() {
  if (m_at_end) {
    return false;
  }
  if (m_begin > 0) {
    std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
  }
  if (m_end == m_buffer.size()) {
    m_buffer.resize(m_buffer.size() * 2);
  }
  for (;;) {
    const ssize_t n = ::read(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end);
    if (n > 0) {
      m_end += static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) {
      m_at_end = true;
      return false;
    }
    if (errno != EINTR) {
      throw vela::exception("Error reading file:" + m_path + " (" + std::strerror(errno) + ")")
          .set_location(__FILE__, __LINE__);
    }
  }
}

bool line_reader::next(std::string_view& _line) {
  std::size_t scanned = m_begin;
  for (;;) {
    const char* newline = nullptr;
    if (scanned < m_end) {
      newline = static_cast<const char*>(
          std::memchr(m_buffer.data() + scanned, '\n', m_end - scanned));
    }
    if (newline != nullptr) {
      const auto end = static_cast<std::size_t>(newline - m_buffer.data());
      _line = std::string_view(m_buffer.data() + m_begin, end - m_begin);
      m_consumed += end + 1 - m_begin;
      m_begin = end + 1;
      return true;
    }
    const std::size_t pending = m_end - m_begin;
    if (!fill()) {
      if (pending == 0) {
        return false;
      }
      _line = std::string_view(m_buffer.data() + m_begin, pending);  // last line, no newline
      m_consumed += pending;
      m_begin = m_end;
      return true;
    }
    scanned = m_begin + pending;  // fill() moved the pending bytes to the front
  }
}
}  // namespace vela
