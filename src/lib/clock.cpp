#include "lib/clock.hpp"

namespace ferrant {

WallTime wall_from_timespec(std::int64_t sec, long nsec) {
    if (sec >= 0)
        return {static_cast<std::uint64_t>(sec), static_cast<std::uint32_t>(nsec)};
    // Unsigned negation keeps INT64_MIN defined.
    const std::uint64_t before = 0 - static_cast<std::uint64_t>(sec);
    if (nsec == 0) return {before, 0};
    return {before - 1, static_cast<std::uint32_t>(1000000000 - nsec)};
}

WallTime wall_now() {
    std::timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return wall_from_timespec(ts.tv_sec, ts.tv_nsec);
}

}  // namespace ferrant
