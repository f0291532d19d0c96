#include "lib/ending.hpp"

#include <atomic>
#include <cstdint>

#include "lib/fork_state.hpp"
#include "lib/settings.hpp"

namespace ferrant {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free,
              "set from a signal handler");

std::atomic<bool> ENDING{false};
std::atomic<std::uint64_t> KEPT_BATCH_SIZE{DEFAULT_BATCH_SIZE};

// A child forked while its parent was ending is not ending itself.
const OnForkChild ENDING_AFTER_FORK([] {
    if (ENDING.exchange(false, std::memory_order_relaxed))
        BATCH_SIZE.store(KEPT_BATCH_SIZE.load(std::memory_order_relaxed), std::memory_order_relaxed);
});

}  // namespace

void begin_ending() {
    if (ENDING.exchange(true, std::memory_order_acq_rel)) return;
    KEPT_BATCH_SIZE.store(BATCH_SIZE.exchange(1, std::memory_order_relaxed), std::memory_order_relaxed);
}

bool process_ending() { return ENDING.load(std::memory_order_relaxed); }

}  // namespace ferrant
