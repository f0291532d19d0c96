#pragma once

#include <atomic>
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

}  // namespace ferrant
