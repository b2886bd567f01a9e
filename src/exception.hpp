#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace vela {
// The program's own failure: a message for the user plus the source location of the throw site.
// The location is for debugging only; what() never shows it.
class exception : public std::exception {
 public:
  explicit exception(std::string _str_error) : m_str_error(std::move(_str_error)) {}
  explicit exception(const char* _str_error) : m_str_error(_str_error) {}
  exception(const exception&) = default;
  exception(exception&&) noexcept = default;
  exception& operator=(const exception&) = default;
  exception& operator=(exception&&) noexcept = default;
  ~exception() override = default;

  const char* what() const noexcept override { return m_str_error.c_str(); }

  // Records the throw site and returns *this, so that one expression builds, locates and throws:
  //   throw vela::exception("...").set_location(__FILE__, __LINE__);
  exception& set_location(const char* _file, std::int32_t _line) {
    m_file = _file;
    m_line = _line;
    return *this;
  }
  std::string get_file() const { return m_file; }
  std::int32_t get_line() const { return m_line; }

 private:
  std::string m_str_error;
  std::string m_file;
  std::int32_t m_line = 0;
};
}  // namespace vela
