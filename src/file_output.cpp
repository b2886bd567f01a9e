#include "file_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/filesystem.hpp>

#include "exception.hpp"

namespace vela {
namespace {
[[noreturn]] void throw_errno(const std::string& _what, int _errno) {
  throw vela::exception(_what + ": " + std::strerror(_errno)).set_location(__FILE__, __LINE__);
}

// Closes the descriptor on every path; close() reports late write errors, so it is checked.
class file_descriptor {
 public:
  explicit file_descriptor(int _fd) : m_fd(_fd) {}
  file_descriptor(const file_descriptor&) = delete;
  file_descriptor& operator=(const file_descriptor&) = delete;
  ~file_descriptor() {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
  }
  int get() const { return m_fd; }
  int release_and_close() {
    const int result = ::close(m_fd);
    m_fd = -1;
    return result;
  }

 private:
  int m_fd;
};

void sync_folder_of(const std::string& _file_name) {
  const boost::filesystem::path parent = boost::filesystem::path(_file_name).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  file_descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    throw_errno(folder, errno);
  }
  // Some file systems cannot sync a folder; the rename is then as durable as they make it.
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EROFS) {
    throw_errno(folder, errno);
  }
}
}  // namespace

void write_all(int _fd, std::string_view _data, const std::string& _what) {
  while (!_data.empty()) {
    const ssize_t n = ::write(_fd, _data.data(), _data.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno(_what, errno);
    }
    _data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void replace_file_durably(const std::string& _file_name, std::string_view _content) {
  const std::string temporary = _file_name + ".tmp";
  // Whatever is there (a stale file, a link to elsewhere) goes; O_EXCL then refuses to follow
  // anything that appeared since.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT && errno != EISDIR) {
    throw_errno(temporary, errno);
  }
  file_descriptor file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (file.get() < 0) {
    throw_errno(temporary, errno);
  }
  write_all(file.get(), _content, temporary);
  if (::fsync(file.get()) != 0) {
    throw_errno(temporary, errno);
  }
  if (file.release_and_close() != 0) {
    throw_errno(temporary, errno);
  }
  boost::filesystem::rename(temporary, _file_name);
  sync_folder_of(_file_name);
}
}  // namespace vela
