#pragma once

#include "binding/py_ref.hpp"
#include "lib/shared_writer.hpp"

namespace ferrant {

// Registers the exit paths: an atexit hook that stops the flusher, hands
// every thread's open batch to its writer and flushes every live writer; and
// a last flush after the interpreter has finalised, for the lines handed over
// while thread states were cleared (daemon threads, the main thread's lines
// logged after the hook). False with an exception set on failure.
bool register_exit_flush();

// Hands every thread's open batch, and every parked one, to its writer and
// waits within `bound` for every live writer to flush (batches that cannot
// be queued by then, for a destination that takes no bytes, are dropped).
// A writer that did not confirm in time says so on standard error. GIL
// held; given up while waiting.
void write_out_everything(const WaitBound& bound);

// The function registered with atexit (borrowed; lives for the process).
PyObject* exit_flush_function();

}  // namespace ferrant
