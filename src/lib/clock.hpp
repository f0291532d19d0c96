#pragma once

#include <cstdint>
#include <ctime>

namespace ferrant {

// A wall-clock reading as the distance from 1970-01-01T00:00:00Z.
struct WallTime {
    std::uint64_t secs;
    std::uint32_t nanos;  // 0..999,999,999
    friend bool operator==(const WallTime&, const WallTime&) = default;
};

// Linux's monotonic clock already counts nanoseconds, so no tick ratio is
// needed. Only differences of its values mean anything.
inline std::uint64_t mono_ns() {
    std::timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// A real-time reading; an instant before 1970 gives its absolute distance
// from the epoch (t seconds before is treated like t seconds after).
WallTime wall_from_timespec(std::int64_t sec, long nsec);
WallTime wall_now();

}  // namespace ferrant
