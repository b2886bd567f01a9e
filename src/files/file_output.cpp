#include "files/file_output.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <boost/filesystem.hpp>

#include "base/interruption.hpp"
#include "exception.hpp"

namespace vela {
namespace {
constexpr int max_open_attempts = 100;  // each retry means another run raced for the name
constexpr std::uint64_t writeback_bytes = std::uint64_t{8} << 20;

// Throws _error with its throw site, without slicing it to the base class.
template <class Error>
[[noreturn]] void throw_at(Error _error, int _line) {
  _error.set_location(__FILE__, _line);
  throw _error;
}

[[noreturn]] void throw_errno(const std::string& _what, int _errno) {
  throw_at(output_error(_what, std::strerror(_errno)), __LINE__);
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
      throw_at(output_error(_temporary, "in use by another run"), __LINE__);
    }
  }
  if (::unlink(_temporary.c_str()) != 0 && errno != ENOENT) {
    throw_errno(_temporary, errno);
  }
}

constexpr int max_link_hops = 40;  // as the kernel follows them
constexpr std::size_t page_head_bytes = std::size_t{64} << 10;

bool g_closed_at_start[3] = {false, false, false};

// The number that _text is after _prefix, or -1.
int number_after(std::string_view _text, std::string_view _prefix) {
  if (_text.substr(0, _prefix.size()) != _prefix || _text.size() == _prefix.size()) {
    return -1;
  }
  const std::string_view digits = _text.substr(_prefix.size());
  int value = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc() && end == digits.data() + digits.size() && digits[0] != '+' ? value
                                                                                           : -1;
}

// The descriptor of this process that _path names as /proc/PID/fd/N or /proc/PID/task/TID/fd/N.
int proc_descriptor(std::string_view _path) {
  const std::string own = "/proc/" + std::to_string(::getpid()) + "/";
  if (_path.substr(0, own.size()) != own) {
    return -1;
  }
  std::string_view rest = _path.substr(own.size());
  if (rest.substr(0, 5) == "task/") {
    const std::size_t slash = rest.find('/', 5);
    if (slash == std::string_view::npos) {
      return -1;
    }
    rest = rest.substr(slash + 1);
  }
  return number_after(rest, "fd/");
}

// The descriptor that _path stands for in this process, or -1: /dev/stdout and its kin, by
// their names or through the folders' links (a link to /proc/self/fd).
int own_descriptor(const std::string& _path) {
  const std::string normal =
      boost::filesystem::absolute(_path).lexically_normal().generic_string();
  const std::pair<const char*, int> standard[] = {
      {"/dev/stdin", 0}, {"/dev/stdout", 1}, {"/dev/stderr", 2}};
  for (const auto& [name, fd] : standard) {
    if (normal == name) {
      return fd;
    }
  }
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
    if (const int fd = number_after(normal, prefix); fd >= 0) {
      return fd;
    }
  }
  if (const int fd = proc_descriptor(normal); fd >= 0) {
    return fd;
  }
  const boost::filesystem::path path(normal);
  if (char* folder = ::realpath(path.parent_path().c_str(), nullptr)) {
    const std::string resolved = std::string(folder) + "/" + path.filename().string();
    std::free(folder);
    return proc_descriptor(resolved);
  }
  return -1;
}

// Whether the regular file _path may be replaced by a page: empty, or a page already.
bool holds_a_page_or_nothing(const std::string& _path) {
  const probe_descriptor file{::open(_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) {
    return false;
  }
  std::string head(page_head_bytes, '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const ssize_t n = ::read(file.fd, head.data() + got, head.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  head.resize(got);
  const std::size_t start = head.find_first_not_of(" \t\n\v\f\r");
  if (start == std::string::npos) {
    return got < page_head_bytes;  // nothing but white space
  }
  for (const std::string_view opening : {"<!doctype html", "<html"}) {
    const std::string_view found = std::string_view(head).substr(start, opening.size());
    if (found.size() == opening.size() &&
        std::equal(found.begin(), found.end(), opening.begin(), [](char _a, char _b) {
          return std::tolower(static_cast<unsigned char>(_a)) == _b;
        })) {
      return true;
    }
  }
  return false;
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


output_target resolve_output(const std::string& _file_name) {
  std::string path = _file_name;
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    if (const int fd = own_descriptor(path); fd >= 0) {
      return {fd, {}};
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return {-1, path};  // the target, there or to be made
    }
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
      return {-1, path};  // changed meanwhile: left to the open to report
    }
    link.resize(static_cast<std::size_t>(n));
    const boost::filesystem::path folder = boost::filesystem::path(path).parent_path();
    path = link.front() == '/' || folder.empty() ? link : (folder / link).string();
  }
  throw_errno(_file_name, ELOOP);
}

std::string temporary_name_of(const std::string& _file_name) {
  const output_target target = resolve_output(_file_name);
  return (target.descriptor >= 0 ? _file_name : target.path) + ".tmp";
}

bool is_written_directly(const std::string& _file_name) {
  const output_target target = resolve_output(_file_name);
  struct stat st {};
  return target.descriptor >= 0 || (::stat(target.path.c_str(), &st) == 0 &&
                                    (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)));
}

void occupy_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      g_closed_at_start[fd] = true;
      ::open("/dev/null", O_RDONLY);  // takes the lowest free descriptor: this one
    }
  }
}

bool same_regular_file(const std::string& _a, const std::string& _b) {
  struct stat a {};
  struct stat b {};
  return ::stat(_a.c_str(), &a) == 0 && S_ISREG(a.st_mode) && ::stat(_b.c_str(), &b) == 0 &&
         same_file(a, b);
}

void output_file::open(const std::string& _file_name, replacing _may_replace) {
  abandon();
  const output_target target = resolve_output(_file_name);
  if (target.descriptor >= 0) {
    m_file_name = _file_name;
    m_own_descriptor = true;
    if (target.descriptor <= STDERR_FILENO && g_closed_at_start[target.descriptor]) {
      throw_errno(_file_name, EBADF);  // closed when the program started
    }
    m_fd = ::fcntl(target.descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (m_fd < 0) {
      throw_errno(_file_name, errno);
    }
    return;
  }
  m_file_name = target.path;
  struct stat st {};
  const bool exists = ::stat(target.path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
      throw_at(output_error(target.path,
                            S_ISDIR(st.st_mode) ? std::string(std::strerror(EISDIR))
                                                : "not a regular file, a character device or a fifo"),
               __LINE__);
    }
    // Nothing to replace: a device takes the bytes, and a fifo's reader waits for them.
    m_file_name = _file_name;
    m_fd = ::open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
      throw_errno(_file_name, errno);
    }
    return;
  }
  if (exists && _may_replace == replacing::only_a_page && !holds_a_page_or_nothing(target.path)) {
    throw_at(not_a_page(target.path, "not a page, so it is not replaced (it begins with neither "
                                      "<!DOCTYPE html nor <html); --force replaces it"),
             __LINE__);
  }
  open_temporary(target.path);
}

// A new temporary file beside _target, created exclusively and locked; a stale one is removed
// first.
void output_file::open_temporary(const std::string& _target) {
  const std::string temporary = _target + ".tmp";
  const interruption::held_back made_and_held;  // until the file is held, a signal waits
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
        throw_at(output_error(temporary, "in use by another run"), __LINE__);
      }
      throw_errno(temporary, error);
    }
    // Another run may have taken the unlocked new file for stale and replaced it.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(temporary.c_str(), &named) == 0 &&
        same_file(held, named)) {
      m_temporary = temporary;
      m_slot = interruption::hold_temporary(m_temporary.c_str(), m_fd);
      return;
    }
    close_descriptor();
  }
  throw_at(output_error(temporary, "taken by other runs"), __LINE__);
}

void output_file::write(std::string_view _data) {
  write_all(m_fd, _data, m_temporary.empty() ? m_file_name : m_temporary);
  m_written += _data.size();
  m_synced = m_synced && _data.empty();
  if (!m_temporary.empty() && m_written - m_writeback_from >= writeback_bytes) {
    // Start writing the pages to disk now, while the result is still being made, so that the
    // sync at the end waits for the last of them only. Advice: its failure changes nothing.
    ::sync_file_range(m_fd, static_cast<off_t>(m_writeback_from),
                      static_cast<off_t>(m_written - m_writeback_from), SYNC_FILE_RANGE_WRITE);
    m_writeback_from = m_written;
  }
}

void output_file::sync() {
  if (!m_temporary.empty() && !m_synced) {
    if (::fsync(m_fd) != 0) {
      throw_errno(m_temporary, errno);
    }
    m_synced = true;
  }
}

void output_file::commit_as(const std::string& _file_name) {
  m_file_name = _file_name;
  commit();
}

void output_file::commit() {
  if (m_temporary.empty()) {
    interruption::defer();
    const int fd = m_fd;
    m_fd = -1;
    struct stat st {};
    // A regular file behind the process's own descriptor (>> log.json) is made durable too.
    const bool synced = !m_own_descriptor || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                        ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int sync_error = synced ? 0 : errno;
    if (::close(fd) != 0 || !synced) {  // late write errors of a device show here
      const int error = synced ? errno : sync_error;
      interruption::resume();
      throw_errno(m_file_name, error);
    }
    return;
  }
  sync();
  interruption::defer();  // once renamed, the run goes on to its end
  if (::rename(m_temporary.c_str(), m_file_name.c_str()) != 0) {
    const int error = errno;
    interruption::resume();
    throw_errno(m_file_name, error);
  }
  interruption::forget_temporary(m_slot);
  m_slot = -1;
  m_temporary.clear();  // renamed: nothing is left to remove
  sync_folder_of(m_file_name);
  close_descriptor();  // after the rename, so that the lock covers it; fsync reported the errors
}

void output_file::abandon() {
  interruption::forget_temporary(m_slot);
  m_slot = -1;
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
  m_own_descriptor = false;
  close_descriptor();
}

void output_file::close_descriptor() {
  m_written = 0;
  m_writeback_from = 0;
  m_synced = false;
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

output_buffer::output_buffer(output_file& _file, std::size_t _bytes)
    : m_file(_file), m_buffer(_bytes) {
  setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
}

output_buffer::int_type output_buffer::overflow(int_type _c) {
  if (!drain()) {
    return traits_type::eof();
  }
  if (!traits_type::eq_int_type(_c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(_c);
    pbump(1);
  }
  return traits_type::not_eof(_c);
}

int output_buffer::sync() { return drain() ? 0 : -1; }

void output_buffer::rethrow_failure() const {
  if (m_failure) {
    std::rethrow_exception(m_failure);
  }
}

bool output_buffer::drain() {
  if (!m_failure && pptr() > pbase()) {
    try {
      m_file.write(std::string_view(pbase(), static_cast<std::size_t>(pptr() - pbase())));
    } catch (...) {
      m_failure = std::current_exception();
    }
  }
  setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
  return !m_failure;
}
}  // namespace vela
