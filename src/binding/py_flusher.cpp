#include "binding/py_flusher.hpp"

#include "binding/py_boundary.hpp"
#include "binding/py_gil.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_term_watch.hpp"
#include "lib/ending.hpp"
#include "lib/flusher.hpp"
#include "lib/fork_state.hpp"

namespace ferrant {

namespace {

Flusher& flusher() {
    static auto* instance = new Flusher();  // never destroyed: see stop_flusher
    return *instance;
}

// Both with the GIL held.
std::uint64_t STARTED_IN = ~std::uint64_t{0};  // fork generation of the running thread
bool STOPPED_FOR_EXIT = false;

// Once the process is ending, every open batch is due.
constexpr std::uint64_t EVERY_BATCH = ~std::uint64_t{0};

bool due(std::uint64_t epoch) {
    return process_ending() || term_watch_due() || any_batch_due(epoch);
}

// On the flusher's own thread, which holds no lock when it asks for the GIL.
// The exit hook stops the thread before the interpreter finalises, so taking
// the GIL here never meets a finalising interpreter.
void sweep(std::uint64_t epoch) {
    const PyGILState_STATE state = PyGILState_Ensure();
    // Out of memory: the batches wait for their own hand-off.
    (void)quietly([epoch] {
        term_watch_apply();
        hand_off_due_batches(process_ending() ? EVERY_BATCH : epoch);
    });
    PyGILState_Release(state);
}

// In a forked child, where the thread does not exist: the next batch starts
// a new one.
const OnForkChild FLUSHER_AFTER_FORK([] { flusher().forget_after_fork(); });

}  // namespace

std::uint64_t flusher_epoch() { return flusher().epoch(); }

void ensure_flusher() {
    if (STARTED_IN == fork_generation() || STOPPED_FOR_EXIT) [[likely]]
        return;
    // Without a flusher, batches still go out when full or at exit.
    if (flusher().start(due, sweep)) STARTED_IN = fork_generation();
}

void stop_flusher() {
    STOPPED_FOR_EXIT = true;
    if (STARTED_IN != fork_generation()) return;
    // A sweep in progress needs the GIL to finish.
    without_gil([] { flusher().stop(); });
}

}  // namespace ferrant
