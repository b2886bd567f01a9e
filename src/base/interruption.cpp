#include "base/interruption.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace vela::interruption {
namespace {
// Read by the handler, which may only use async-signal-safe calls.
std::atomic<const char*> g_temporary{nullptr};
std::atomic<int> g_temporary_fd{-1};
std::atomic<bool> g_terminal{false};
bool g_installed = false;  // a library user that did not ask for it keeps its signals as they are
static_assert(std::atomic<const char*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void write_text(const char* _text) {
  std::size_t left = std::strlen(_text);
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, _text, left);
    if (n <= 0) {
      return;
    }
    _text += n;
    left -= static_cast<std::size_t>(n);
  }
}

void on_signal(int _signal) {
  const char* const temporary = g_temporary.load();
  const int fd = g_temporary_fd.load();
  if (temporary != nullptr && fd >= 0) {
    struct stat held {};
    struct stat named {};
    // Only the run's own file: the name may lead elsewhere by now.
    if (::fstat(fd, &held) == 0 && ::lstat(temporary, &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      ::unlink(temporary);
    }
  }
  if (g_terminal.load()) {
    write_text("\r\033[K");  // over a progress line
  }
  write_text(_signal == SIGINT ? "Run interrupted by SIGINT; no input was deleted\n"
                               : "Run interrupted by SIGTERM; no input was deleted\n");
  ::_exit(128 + _signal);
}

sigset_t interrupting_signals() {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGINT);
  ::sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

void install() {
  g_installed = true;
  g_terminal = ::isatty(STDERR_FILENO) == 1;
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_mask = interrupting_signals();  // one handler at a time
  for (const int signal : {SIGINT, SIGTERM}) {
    struct sigaction before {};
    // A signal the caller ignores (a background job's SIGINT) stays ignored.
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
      ::sigaction(signal, &action, nullptr);
    }
  }
  resume();  // a mask inherited from the parent would hold them back for good
}

void hold_temporary(const char* _path, int _fd) {
  g_temporary_fd = -1;
  g_temporary = _path;
  g_temporary_fd = _fd;
}

void forget_temporary() {
  g_temporary_fd = -1;
  g_temporary = nullptr;
}

void defer() {
  if (!g_installed) {
    return;
  }
  const sigset_t set = interrupting_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void resume() {
  if (!g_installed) {
    return;
  }
  const sigset_t set = interrupting_signals();
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
}  // namespace vela::interruption
