#pragma once

namespace ferrant {

// SIGTERM with its default action ends the process without the exit's
// flush. Before its first writer starts in the main thread, while SIGTERM
// still has that action, the process gets the package's handler
// (ferrant._sigterm), which writes every record out and then ends the
// process by SIGTERM's default action after all. A writer first started off
// the main thread has the main thread install it when it next runs Python.
// Called once, at import. GIL held.
void install_sigterm_offer();

// Whether the package has had its look at SIGTERM (GIL held).
bool sigterm_offer_settled();

// In a multiprocessing worker: gives up the package's handler, inherited
// from a forking parent, for the worker's own helper (py_worker_term.hpp), which
// ends the worker even when its main thread is stuck in a long call. False
// with an exception set. GIL held.
bool release_sigterm_handler();

}  // namespace ferrant
