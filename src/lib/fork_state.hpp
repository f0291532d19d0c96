#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ferrant {

// Advanced in every forked child before anything else runs there. Objects
// that own threads or hold data of other threads compare it with the value
// they were made under: a mismatch means they came over from the parent.
inline std::atomic<std::uint64_t> FORK_GENERATION{0};

inline std::uint64_t fork_generation() { return FORK_GENERATION.load(std::memory_order_relaxed); }

// Held around every use of the C library's time-zone state, and across
// fork(), so that no thread is inside that state's lock when the process is
// copied.
std::mutex& time_zone_gate();

// Repairs one piece of process state in a forked child, where only the
// forking thread exists: re-initialises a lock that another thread may have
// held at the fork, forgets a thread that is not there. It runs before
// anything else in the child, so it must not wait for anything.
using ForkChildStep = void (*)();

inline constexpr std::size_t MAX_FORK_CHILD_STEPS = 16;

// Adds `step`, to run after the steps added before it. Call at static
// initialisation or while the module is imported, not while another thread
// may fork. Beyond MAX_FORK_CHILD_STEPS the process aborts: a step that
// silently did not run would leave its lock held in the child.
void register_fork_child(ForkChildStep step);

// Registers its step when constructed: a namespace-scope constant beside the
// state the step repairs.
struct OnForkChild {
    explicit OnForkChild(ForkChildStep step) { register_fork_child(step); }
};

// The first thing a forked child does: advances FORK_GENERATION, then runs
// every step in the order they were added. Takes no lock and allocates
// nothing itself.
void after_fork_in_child();

}  // namespace ferrant
