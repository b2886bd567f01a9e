#include "files/file_output.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/filesystem.hpp>

#include "base/interruption.hpp"
#include "exception.hpp"

namespace vela {
namespace {
constexpr int max_open_attempts = 100;  // each retry means another run raced for the name
constexpr std::uint64_t writeback_bytes = std::uint64_t{8} << 20;

[[noreturn]] void throw_errno(const std::string& _what, int _errno) {
  throw vela::exception(_what + ": " + std::strerror(_errno)).set_location(__FILE__, __LINE__);
}

// Closes a descriptor of a file only read here, whatever happens.
struct probe_descriptor {
  int fd;
  ~probe_descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

bool same_file(const struct stat& _a, const struct stat& _b) {
  return _a.st_dev == _b.st_dev && _a.st_ino == _b.st_ino;
}

void sync_folder_of(const std::string& _file_name) {
  const boost::filesystem::path parent = boost::filesystem::path(_file_name).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  const probe_descriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) {
    throw_errno(folder, errno);
  }
  // Some file systems cannot sync a folder; the rename is then as durable as they make it.
  if (::fsync(dir.fd) != 0 && errno != EINVAL && errno != EROFS) {
    throw_errno(folder, errno);
  }
}

// Something already has the temporary name. Runs only ever make regular files there, and hold
// them locked while they write: anything else, or a file no run holds, is stale and goes.
void remove_stale_temporary(const std::string& _temporary) {
  struct stat st {};
  if (::lstat(_temporary.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      return;  // gone meanwhile
    }
    throw_errno(_temporary, errno);
  }
  if (S_ISREG(st.st_mode)) {
    const probe_descriptor probe{
        ::open(_temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (probe.fd >= 0 && ::flock(probe.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      throw vela::exception(_temporary + ": in use by another run").set_location(__FILE__, __LINE__);
    }
  }
  if (::unlink(_temporary.c_str()) != 0 && errno != ENOENT) {
    throw_errno(_temporary, errno);
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

std::string temporary_name_of(const std::string& _file_name) { return _file_name + ".tmp"; }

bool is_written_directly(const std::string& _file_name) {
  struct stat st {};
  return ::stat(_file_name.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
}

bool same_regular_file(const std::string& _a, const std::string& _b) {
  struct stat a {};
  struct stat b {};
  return ::stat(_a.c_str(), &a) == 0 && S_ISREG(a.st_mode) && ::stat(_b.c_str(), &b) == 0 &&
         same_file(a, b);
}

void output_file::open(const std::string& _file_name) {
  abandon();
  m_file_name = _file_name;
  struct stat st {};
  if (::stat(_file_name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
      throw vela::exception(_file_name + ": " +
                            (S_ISDIR(st.st_mode) ? std::string(std::strerror(EISDIR))
                                                 : "not a regular file, a character device or a fifo"))
          .set_location(__FILE__, __LINE__);
    }
    // Nothing to replace: a device takes the bytes, and a fifo's reader waits for them.
    m_fd = ::open(_file_name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
      throw_errno(_file_name, errno);
    }
    return;
  }
  open_temporary();
}

// A new temporary file, created exclusively and locked; a stale one is removed first.
void output_file::open_temporary() {
  const std::string temporary = temporary_name_of(m_file_name);
  for (int attempt = 0; attempt < max_open_attempts; ++attempt) {
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno != EEXIST) {
        throw_errno(temporary, errno);
      }
      remove_stale_temporary(temporary);
      continue;
    }
    m_fd = fd;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close_descriptor();
      if (error == EWOULDBLOCK) {
        throw vela::exception(temporary + ": in use by another run").set_location(__FILE__, __LINE__);
      }
      throw_errno(temporary, error);
    }
    // Another run may have taken the unlocked new file for stale and replaced it.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(temporary.c_str(), &named) == 0 &&
        same_file(held, named)) {
      m_temporary = temporary;
      interruption::hold_temporary(m_temporary.c_str(), m_fd);
      return;
    }
    close_descriptor();
  }
  throw vela::exception(temporary + ": taken by other runs").set_location(__FILE__, __LINE__);
}

void output_file::write(std::string_view _data) {
  write_all(m_fd, _data, m_temporary.empty() ? m_file_name : m_temporary);
  m_written += _data.size();
  if (!m_temporary.empty() && m_written - m_writeback_from >= writeback_bytes) {
    // Start writing the pages to disk now, while the result is still being made, so that the
    // sync at the end waits for the last of them only. Advice: its failure changes nothing.
    ::sync_file_range(m_fd, static_cast<off_t>(m_writeback_from),
                      static_cast<off_t>(m_written - m_writeback_from), SYNC_FILE_RANGE_WRITE);
    m_writeback_from = m_written;
  }
}

void output_file::commit() {
  if (m_temporary.empty()) {
    interruption::defer();
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {  // late write errors of a device show here
      const int error = errno;
      interruption::resume();
      throw_errno(m_file_name, error);
    }
    return;
  }
  if (::fsync(m_fd) != 0) {
    throw_errno(m_temporary, errno);
  }
  interruption::defer();  // once renamed, the run goes on to its end
  try {
    boost::filesystem::rename(m_temporary, m_file_name);
  } catch (...) {
    interruption::resume();
    throw;
  }
  interruption::forget_temporary();
  m_temporary.clear();  // renamed: nothing is left to remove
  sync_folder_of(m_file_name);
  close_descriptor();  // after the rename, so that the lock covers it; fsync reported the errors
}

void output_file::abandon() {
  interruption::forget_temporary();
  if (m_fd >= 0 && !m_temporary.empty()) {
    struct stat held {};
    struct stat named {};
    // Only our own file: the name may lead elsewhere by now.
    if (::fstat(m_fd, &held) == 0 && ::lstat(m_temporary.c_str(), &named) == 0 &&
        same_file(held, named)) {
      ::unlink(m_temporary.c_str());
    }
  }
  m_temporary.clear();
  close_descriptor();
}

void output_file::close_descriptor() {
  m_written = 0;
  m_writeback_from = 0;
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}
}  // namespace vela
