#include "lib/fork_state.hpp"

#include <cstdio>
#include <cstdlib>

namespace ferrant {

namespace {

// Constant-initialised, so registrations from other files' static
// initialisers find the table ready whatever their order.
constinit ForkChildStep STEPS[MAX_FORK_CHILD_STEPS] = {};
constinit std::atomic<std::size_t> STEP_COUNT{0};

}  // namespace

void register_fork_child(ForkChildStep step) {
    const std::size_t n = STEP_COUNT.load(std::memory_order_relaxed);
    if (n == MAX_FORK_CHILD_STEPS) {
        std::fputs("ferrant: too many after-fork steps\n", stderr);
        std::abort();
    }
    STEPS[n] = step;
    // A fork from a thread of C code meanwhile sees the step whole, or not yet.
    STEP_COUNT.store(n + 1, std::memory_order_release);
}

void after_fork_in_child() {
    FORK_GENERATION.fetch_add(1, std::memory_order_relaxed);
    const std::size_t n = STEP_COUNT.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i) STEPS[i]();
}

}  // namespace ferrant
