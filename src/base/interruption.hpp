#pragma once

#include <csignal>
#include <thread>
#include <utility>

namespace vela::interruption {
// SIGINT and SIGTERM before the output is in place end the program at once and cleanly: the
// temporary files it holds are removed, one line says so, and the process exits with 128 plus
// the signal's number. Once vela's result is in place a signal waits until the run has finished
// its deletions, so that it never ends between the two.
//
// _program empty: vela's own line, "Run interrupted by SIGINT; no input was deleted". Otherwise
// "PROGRAM: interrupted by SIGINT", for the companions.
void install(const char* _program = "");

// A temporary file being written, held open as _fd: removed on a signal if the name still leads
// to it. _path must stay valid until forget_temporary(). A few may be held at once; the slot to
// forget is returned (-1 when every slot is taken: the file is then left to its owner).
int hold_temporary(const char* _path, int _fd);
void forget_temporary(int _slot);

// The output is about to be put in place (renamed, or its last byte written): from here a signal
// waits. resume() undoes it when that failed, or once a program that writes several files is
// ready to be interrupted again; a signal that came meanwhile acts then.
void defer();
void resume();

// SIGINT and SIGTERM held back while it lives, then as they were: a temporary file made and not
// yet held would otherwise be left behind by a signal between the two.
class held_back {
 public:
  held_back();
  held_back(const held_back&) = delete;
  held_back& operator=(const held_back&) = delete;
  ~held_back();

 private:
  sigset_t m_before;
};

// A thread that leaves SIGINT and SIGTERM to the thread that starts it, whose mask decides when
// the program may still be interrupted (not between putting a result in place and deleting the
// inputs).
template <class Function>
std::thread start_thread(Function&& _function) {
  sigset_t interrupting;
  sigset_t before;
  ::sigemptyset(&interrupting);
  ::sigaddset(&interrupting, SIGINT);
  ::sigaddset(&interrupting, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &interrupting, &before);
  std::thread thread(std::forward<Function>(_function));
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}
}  // namespace vela::interruption
