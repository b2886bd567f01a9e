#include "results/result_input.hpp"

#include <istream>

namespace vela::results {
namespace {
constexpr std::size_t buffer_bytes = std::size_t{1} << 16;
}  // namespace

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
