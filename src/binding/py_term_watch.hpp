#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// Keeps SIGTERM in ferrant's sight whoever set its handler last, so that a
// SIGTERM begins the process's end (lib/ending.hpp) before the program's own
// handler runs. The flusher looks at SIGTERM's action every tick:
// - a handler of the interpreter's (one set with signal.signal) gets a
//   handler of ours in front of it, which notes the signal and then calls
//   it, as the system would have; signal.getsignal() still returns the
//   program's handler, and a later signal.signal() replaces ours until the
//   next tick;
// - the default action, once the package has had its say at the first
//   writer (py_sigterm.hpp), gets the helper that writes every record out
//   and then ends the process by the default action (py_worker_term.hpp);
// - SIG_IGN, and any handler set from C, are left alone, and so is
//   everything when FERRANT_SIGTERM turns ferrant's handling off.
// Nothing changes any more once the process is ending.

// Without the GIL: whether a look with it would change anything.
bool term_watch_due();

// With the GIL, which every signal.signal() holds as well.
void term_watch_apply();

// ferrant._sigterm's handler, before anything else: the process is ending.
extern PyMethodDef NOTE_SIGTERM_DEF;

}  // namespace ferrant
