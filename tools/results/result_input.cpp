#include "results/result_input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>

namespace vela::results {
namespace {
constexpr std::size_t buffer_bytes = std::size_t{1} << 16;
}  // namespace

opened_result::opened_result(const std::string& _name) : m_owned(_name != "-") {
  m_fd = m_owned ? ::open(_name.c_str(), O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
  if (m_fd < 0) {
    throw read_error(std::strerror(errno));
  }
  if (::fstat(m_fd, &m_status) != 0) {
    const int error = errno;
    close();
    throw read_error(std::strerror(error));
  }
  if (S_ISDIR(m_status.st_mode)) {
    close();
    throw read_error("is a folder");
  }
}

opened_result::~opened_result() { close(); }

void opened_result::close() {
  if (m_owned && m_fd >= 0) {
    ::close(m_fd);  // read-only: a failing close loses nothing
    m_fd = -1;
  }
}

input::input(int _fd, bool _hashed)
    : m_fd(_fd), m_buffer(buffer_bytes), m_hash(_hashed ? std::make_unique<sha256>() : nullptr) {
  setg(m_buffer.data(), m_buffer.data(), m_buffer.data());
}

// Stops decompressing ahead before the caller closes the descriptor.
input::~input() { m_content.finish(); }

input::int_type input::underflow() {
  if (m_ended) {
    return traits_type::eof();
  }
  try {
    if (!m_opened) {
      m_opened = true;
      m_content.open(m_fd, m_file);
      m_content.decompress_ahead();  // a second core decompresses while the result is parsed
    }
    const std::size_t n = m_content.read(m_buffer.data(), m_buffer.size());
    if (n == 0) {
      m_ended = true;
      return traits_type::eof();
    }
    if (m_hash) {
      m_hash->update(m_buffer.data(), n);
    }
    setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + n);
    return traits_type::to_int_type(m_buffer[0]);
  } catch (const input_error& e) {
    // The reader takes this for the end of the content; read() below tells why it came early.
    m_failure = e.unreadable() ? "cannot be read: " + e.reason() : e.reason();
    m_ended = true;
    return traits_type::eof();
  }
}

form read(input& _input, const handlers& _handlers) {
  std::istream in(&_input);
  form found = form::document;
  try {
    found = read(in, _handlers);
  } catch (const read_error&) {
    if (_input.failure().empty()) {
      throw;
    }
  }
  if (!_input.failure().empty()) {
    throw read_error(_input.failure());
  }
  return found;
}
}  // namespace vela::results
