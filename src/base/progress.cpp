#include "base/progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "base/text.hpp"

namespace vela {
namespace {
constexpr auto redraw_interval = std::chrono::milliseconds(250);
}  // namespace

progress::progress(std::string _file_name)
    : m_file_name(terminal_safe(_file_name)),
      m_enabled(::isatty(STDERR_FILENO) == 1),
      m_start(std::chrono::steady_clock::now()),
      m_last_draw(m_start) {}

void progress::redraw(std::uint64_t _lines, std::uint64_t _bytes, std::uint64_t _total_bytes) {
  const auto now = std::chrono::steady_clock::now();
  if (now - m_last_draw < redraw_interval) {
    return;
  }
  m_last_draw = now;
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  const double lines_per_second = seconds > 0 ? static_cast<double>(_lines) / seconds : 0;
  char text[512];
  if (_total_bytes > 0) {
    const double share = 100.0 * static_cast<double>(_bytes) / static_cast<double>(_total_bytes);
    std::snprintf(text, sizeof text, "%.0f%% of %s, %.2fM lines/s", share, m_file_name.c_str(),
                  lines_per_second / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.1fM lines read, %.2fM lines/s",
                  static_cast<double>(_lines) / 1e6, lines_per_second / 1e6);
  }
  // Carriage return, text, erase to the end of the line: the next redraw overwrites it.
  std::cerr << "\rvela: " << text << "\033[K" << std::flush;
  m_drawn = true;
}

void progress::finish() {
  if (m_drawn) {
    std::cerr << "\r\033[K" << std::flush;
    m_drawn = false;
  }
}
}  // namespace vela
