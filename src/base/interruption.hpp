#pragma once

namespace vela::interruption {
// SIGINT and SIGTERM before the result is in place end the run at once and cleanly: the run's
// own temporary file is removed, one line says that no input was deleted, and the process exits
// with 128 plus the signal's number. Once the result is in place a signal waits until the run
// has finished its deletions, so that it never ends between the two.
void install();

// The temporary file the result is being written to, held open as _fd: removed on a signal if
// the name still leads to it. _path must stay valid until forget_temporary().
void hold_temporary(const char* _path, int _fd);
void forget_temporary();

// The result is about to be put in place (renamed, or its last byte written): from here a signal
// waits. resume() undoes it when that failed, and a signal that came meanwhile acts then.
void defer();
void resume();
}  // namespace vela::interruption
