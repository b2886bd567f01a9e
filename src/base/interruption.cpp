#include "base/interruption.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace vela::interruption {
namespace {
constexpr int slots = 4;
constexpr std::size_t line_bytes = 160;

// Read by the handler, which may only use async-signal-safe calls.
std::atomic<const char*> g_temporary[slots] = {};
std::atomic<int> g_temporary_fd[slots] = {-1, -1, -1, -1};
std::atomic<bool> g_terminal{false};
char g_sigint_line[line_bytes] = "Run interrupted by SIGINT; no input was deleted\n";
char g_sigterm_line[line_bytes] = "Run interrupted by SIGTERM; no input was deleted\n";
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

void remove_own(const char* _temporary, int _fd) {
  if (_temporary == nullptr || _fd < 0) {
    return;
  }
  struct stat held {};
  struct stat named {};
  // Only the program's own file: the name may lead elsewhere by now.
  if (::fstat(_fd, &held) == 0 && ::lstat(_temporary, &named) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
    ::unlink(_temporary);
  }
}

void on_signal(int _signal) {
  for (int slot = 0; slot < slots; ++slot) {
    remove_own(g_temporary[slot].load(), g_temporary_fd[slot].load());
  }
  if (g_terminal.load()) {
    write_text("\r\033[K");  // over a progress line
  }
  write_text(_signal == SIGINT ? g_sigint_line : g_sigterm_line);
  ::_exit(128 + _signal);
}

void set_line(char (&_line)[line_bytes], const char* _program, const char* _signal) {
  std::snprintf(_line, line_bytes, "%s: interrupted by %s\n", _program, _signal);
}

sigset_t interrupting_signals() {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGINT);
  ::sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

void install(const char* _program) {
  g_installed = true;
  g_terminal = ::isatty(STDERR_FILENO) == 1;
  if (*_program != '\0') {
    set_line(g_sigint_line, _program, "SIGINT");
    set_line(g_sigterm_line, _program, "SIGTERM");
  }
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

int hold_temporary(const char* _path, int _fd) {
  for (int slot = 0; slot < slots; ++slot) {
    if (g_temporary[slot].load() == nullptr) {
      g_temporary_fd[slot] = -1;
      g_temporary[slot] = _path;
      g_temporary_fd[slot] = _fd;
      return slot;
    }
  }
  return -1;
}

void forget_temporary(int _slot) {
  if (_slot < 0 || _slot >= slots) {
    return;
  }
  g_temporary_fd[_slot] = -1;
  g_temporary[_slot] = nullptr;
}

held_back::held_back() {
  const sigset_t set = interrupting_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, &m_before);
}

held_back::~held_back() { ::pthread_sigmask(SIG_SETMASK, &m_before, nullptr); }

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
