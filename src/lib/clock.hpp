#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "lib/tsc.hpp"

namespace ferrant {

// A wall-clock reading as the distance from 1970-01-01T00:00:00Z.
struct WallTime {
    std::uint64_t secs;
    std::uint32_t nanos;  // 0..999,999,999
    friend bool operator==(const WallTime&, const WallTime&) = default;
};

// What mono_ns reads. Decided at its first call: the time-stamp counter where
// the kernel keeps time by it and its rate is constant through frequency and
// idle states, unless FERRANT_CLOCK=monotonic; CLOCK_MONOTONIC otherwise.
// The counter is used once its rate has been measured against
// CLOCK_MONOTONIC over at least 50 ms; until then CLOCK_MONOTONIC serves.
enum class MonoSource : std::uint8_t { Undecided, Monotonic, Calibrating, Tsc };

namespace clock_detail {

// Generation (upper 24 bits) and state (lower 8): a stale compare-and-swap
// fails after the calibration has been restarted.
inline std::atomic<std::uint32_t> MONO_STATE{0};
inline constexpr std::uint32_t kTscState = 4;
// Written once, before MONO_STATE turns to the counter with release order.
inline TscScale MONO_SCALE{};

std::uint64_t mono_ns_slow();

inline std::uint64_t read_tsc() {
#if defined(__x86_64__)
    return __builtin_ia32_rdtsc();
#else
    return 0;
#endif
}

}  // namespace clock_detail

// A monotonic clock in nanoseconds; only differences of its values mean
// anything. With the counter it extrapolates CLOCK_MONOTONIC from the moment
// of calibration, so it runs at the rate CLOCK_MONOTONIC had then.
inline std::uint64_t mono_ns() {
    if ((clock_detail::MONO_STATE.load(std::memory_order_acquire) & 0xff) == clock_detail::kTscState)
        [[likely]]
        return clock_detail::MONO_SCALE.to_ns(clock_detail::read_tsc());
    return clock_detail::mono_ns_slow();
}

inline std::uint64_t monotonic_ns() {
    std::timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

MonoSource mono_source();

// Forgets the decision: the next mono_ns decides and calibrates again, under
// the environment it then finds. For tests; no other thread may be reading
// the clock meanwhile.
void reset_mono_source();

// A real-time reading; an instant before 1970 gives its absolute distance
// from the epoch (t seconds before is treated like t seconds after).
WallTime wall_from_timespec(std::int64_t sec, long nsec);
WallTime wall_now();

}  // namespace ferrant
