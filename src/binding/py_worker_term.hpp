#pragma once

#include <csignal>

namespace ferrant {

// In a multiprocessing worker, SIGTERM (how Pool.terminate() and
// Process.terminate() end workers) first writes out every record, then ends
// the process as its default action would: from the signal, a thread of our
// own takes the GIL, hands every open batch over and waits for the writers;
// after TERM_GRACE the process ends regardless. Only where SIGTERM still has
// its default action. GIL held.
void install_term_flush();

// The same without looking first: the caller has seen the default action
// (GIL held, so that no signal.signal() comes in between).
void arm_term_flush();

// Whether `action` is the one installed above.
bool is_term_flush(const struct sigaction& action);

}  // namespace ferrant
