#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace vela {
// One self-erasing progress line on standard error during a long replay, shown only when
// standard error is a terminal, so that scripted use sees exactly the documented output.
class progress {
 public:
  explicit progress(std::string _file_name);
  progress(const progress&) = delete;
  progress& operator=(const progress&) = delete;
  ~progress() { finish(); }

  // Called after every stretch of lines read; cheap, and redraws at most a few times a second.
  void update(std::uint64_t _lines, std::uint64_t _bytes, std::uint64_t _total_bytes) {
    if (m_enabled) {
      redraw(_lines, _bytes, _total_bytes);
    }
  }
  // Erases the line, if one was drawn.
  void finish();

 private:
  void redraw(std::uint64_t _lines, std::uint64_t _bytes, std::uint64_t _total_bytes);

  std::string m_file_name;
  bool m_enabled = false;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_last_draw;
};
}  // namespace vela
