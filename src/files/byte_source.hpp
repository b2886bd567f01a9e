#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace vela {
// Where the bytes of a recording come from: a file, a compressed file, a buffer in memory. The
// one operation reads into a buffer and tells what it got.
class byte_source {
 public:
  struct outcome {
    enum class kind { bytes, end, error };
    kind what = kind::end;
    std::size_t count = 0;  // bytes read, for kind::bytes: at least one
    std::string error;      // one line, for kind::error
  };

  virtual ~byte_source() = default;
  // Up to _capacity bytes (at least one) into _buffer.
  virtual outcome read(char* _buffer, std::size_t _capacity) = 0;

  static outcome bytes(std::size_t _count) { return {outcome::kind::bytes, _count, {}}; }
  static outcome end() { return {}; }
  static outcome failure(std::string _error) { return {outcome::kind::error, 0, std::move(_error)}; }
};

// Bytes held in memory, handed out at most _piece at a time, then, at _fail_at if given, an
// error instead of the rest: for tests, and for whatever is in memory already.
class memory_source : public byte_source {
 public:
  explicit memory_source(std::string_view _bytes, std::size_t _piece = std::string_view::npos,
                         std::size_t _fail_at = std::string_view::npos)
      : m_bytes(_bytes), m_piece(_piece), m_fail_at(_fail_at) {}

  outcome read(char* _buffer, std::size_t _capacity) override {
    if (m_at >= std::min(m_fail_at, m_bytes.size())) {
      return m_fail_at <= m_bytes.size() ? failure("read error at byte " + std::to_string(m_at))
                                         : end();
    }
    const std::size_t count =
        std::min({_capacity, m_piece, std::min(m_fail_at, m_bytes.size()) - m_at});
    std::memcpy(_buffer, m_bytes.data() + m_at, count);
    m_at += count;
    return bytes(count);
  }

 private:
  std::string_view m_bytes;
  std::size_t m_piece;
  std::size_t m_fail_at;
  std::size_t m_at = 0;
};
}  // namespace vela
