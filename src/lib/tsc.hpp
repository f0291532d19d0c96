#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ferrant {

// A CLOCK_MONOTONIC reading bracketed by two time-stamp counter readings:
// `tsc` is their midpoint and `width` their distance, the uncertainty of the
// pairing.
struct TscPair {
    std::uint64_t tsc;
    std::uint64_t ns;
    std::uint64_t width;
};

// Counter ticks to CLOCK_MONOTONIC nanoseconds, as measured between two
// pairs: ns = base_ns + (tsc - base_tsc) * mult / 2^32.
struct TscScale {
    std::uint64_t base_tsc;
    std::uint64_t base_ns;
    std::uint64_t mult;  // nanoseconds per tick, 32 fractional bits

    std::uint64_t to_ns(std::uint64_t tsc) const {
        // A counter below the base (reset by a suspend) wraps: the values stay
        // consistent apart from one jump, which the time cache re-anchors on.
        const std::uint64_t ticks = tsc - base_tsc;
        return base_ns +
               static_cast<std::uint64_t>((static_cast<unsigned __int128>(ticks) * mult) >> 32);
    }
};

// The pairs are far enough apart for their uncertainty to be at most one
// part in a million of the ticks between them.
bool tsc_pairs_precise(const TscPair& first, const TscPair& last);

// The scale from `first` to `last`, based at `last`. Empty when the counter
// did not advance or ran at no plausible rate (10 MHz to 100 GHz).
std::optional<TscScale> tsc_scale(const TscPair& first, const TscPair& last);

// The kernel keeps time by the counter itself (the content of
// /sys/devices/system/clocksource/clocksource0/current_clocksource).
bool clocksource_is_tsc(std::string_view current_clocksource);

// The first "flags" line of /proc/cpuinfo has constant_tsc (the rate does
// not follow the CPU frequency) and nonstop_tsc (it keeps counting in deep
// idle states).
bool cpu_flags_allow_tsc(std::string_view cpuinfo);

}  // namespace ferrant
