#include "files/line_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exception.hpp"

namespace vela {
line_reader::line_reader(byte_source& _source, std::size_t _buffer_bytes) : m_source(_source) {
  m_buffers[0].assign(_buffer_bytes, '\0');
  m_buffers[1].assign(_buffer_bytes, '\0');
}

// Reads more bytes after the pending ones (the start of a line). The first time in a call it
// carries them over to the other buffer, which leaves the line returned last untouched; later
// (a line longer than the buffer) it grows the buffer. False when nothing more can be read.
bool line_reader::fill(bool _first_in_call) {
  if (m_at_end) {
    return false;
  }
  const std::size_t pending = m_end - m_begin;
  if (_first_in_call) {
    std::vector<char>& from = m_buffers[m_current];
    std::vector<char>& to = m_buffers[1 - m_current];
    if (to.size() < from.size()) {
      to.resize(from.size());
    }
    std::memcpy(to.data(), from.data() + m_begin, pending);
    m_current = 1 - m_current;
    m_begin = 0;
    m_end = pending;
  }
  std::vector<char>& buffer = m_buffers[m_current];
  if (m_end == buffer.size()) {
    buffer.resize(buffer.size() * 2);
  }
  byte_source::outcome got = m_source.read(buffer.data() + m_end, buffer.size() - m_end);
  switch (got.what) {
    case byte_source::outcome::kind::bytes:
      m_end += got.count;
      return true;
    case byte_source::outcome::kind::end:
      m_at_end = true;
      return false;
    case byte_source::outcome::kind::error:
      break;
  }
  m_at_end = true;
  throw vela::exception(std::move(got.error)).set_location(__FILE__, __LINE__);
}

// The pending bytes are the start of a line longer than any line is held: keep its beginning,
// drop the rest up to its newline or the end. _swapped: this call already left the buffer that
// holds the line returned last, so the current one may be reused.
bool line_reader::skip_rest_of_line(std::string_view& _line, bool _swapped) {
  std::string& head = cut_head(m_begin);
  if (!_swapped) {
    m_current = 1 - m_current;
  }
  m_begin = m_end = 0;
  for (;;) {
    const char* data = m_buffers[m_current].data();
    const void* newline = std::memchr(data + m_begin, '\n', m_end - m_begin);
    if (newline != nullptr) {
      m_begin = static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
      break;
    }
    m_begin = m_end = 0;  // nothing pending: the buffer is reused, never grown
    if (!fill(false)) {
      break;
    }
  }
  m_cut = true;
  _line = head;
  return true;
}

std::string& line_reader::cut_head(std::size_t _from) {
  m_head = 1 - m_head;
  std::string& head = m_heads[m_head];
  head.assign(m_buffers[m_current].data() + _from, cut_line_bytes);
  return head;
}

bool line_reader::next(std::string_view& _line) {
  m_cut = false;
  std::size_t scanned = m_begin;
  for (bool first_fill = true;; first_fill = false) {
    const char* data = m_buffers[m_current].data();
    const char* newline = nullptr;
    if (scanned < m_end) {
      newline = static_cast<const char*>(std::memchr(data + scanned, '\n', m_end - scanned));
    }
    if (newline != nullptr) {
      const auto end = static_cast<std::size_t>(newline - data);
      m_cut = end - m_begin > max_line_bytes;
      _line = m_cut ? std::string_view(cut_head(m_begin))
                    : std::string_view(data + m_begin, end - m_begin);
      m_begin = end + 1;
      return true;
    }
    const std::size_t pending = m_end - m_begin;
    if (pending > max_line_bytes) {
      return skip_rest_of_line(_line, !first_fill);
    }
    if (!fill(first_fill)) {
      if (pending == 0) {
        return false;
      }
      // The last line, without a newline.
      _line = std::string_view(m_buffers[m_current].data() + m_begin, pending);
      m_begin = m_end;
      return true;
    }
    scanned = m_begin + pending;  // fill() moved the pending bytes to the front
  }
}
}  // namespace vela
