#include "lib/clock.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace ferrant {

namespace clock_detail {

namespace {

// States below kTscState; kBusy means one thread is deciding, restarting or
// publishing, and every other reads CLOCK_MONOTONIC meanwhile.
constexpr std::uint32_t kUndecided = 0;
constexpr std::uint32_t kMonotonic = 1;
constexpr std::uint32_t kCalibrating = 2;
constexpr std::uint32_t kBusy = 3;

constexpr std::uint64_t kMinCalibrationNs = 50'000'000;
// Over a longer span a system suspend may lie between the two pairs, and the
// counter may have been stopped or reset across it: start again.
constexpr std::uint64_t kMaxCalibrationNs = 10'000'000'000;

// The first pair of the calibration. Atomics because a restart rewrites them
// while another thread may read them; that reader's compare-and-swap fails.
std::atomic<std::uint64_t> FIRST_TSC{0};
std::atomic<std::uint64_t> FIRST_NS{0};
std::atomic<std::uint64_t> FIRST_WIDTH{0};

std::uint32_t with_state(std::uint32_t word, std::uint32_t state) { return (word & ~0xffu) | state; }
std::uint32_t next_generation(std::uint32_t word, std::uint32_t state) {
    return ((word & ~0xffu) + 0x100u) | state;
}

TscPair read_pair() {
    const std::uint64_t before = read_tsc();
    const std::uint64_t ns = monotonic_ns();
    const std::uint64_t after = read_tsc();
    return {before + (after - before) / 2, ns, after - before};
}

// The narrowest of a few pairs: a preempted or interrupted one is wide.
TscPair narrow_pair() {
    TscPair best = read_pair();
    for (int i = 0; i < 7; ++i) {
        const TscPair p = read_pair();
        if (p.width < best.width) best = p;
    }
    return best;
}

std::string read_small_file(const char* path) {
    std::string text;
    if (std::FILE* f = std::fopen(path, "re")) {
        char buf[4096];
        std::size_t n;
        // The first processor's block, with its flags line, is well within this.
        while (text.size() < 16 * 1024 && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

bool tsc_allowed() {
#if defined(__x86_64__)
    const char* choice = std::getenv("FERRANT_CLOCK");
    if (choice && std::strcmp(choice, "monotonic") == 0) return false;
    return clocksource_is_tsc(
               read_small_file("/sys/devices/system/clocksource/clocksource0/current_clocksource")) &&
           cpu_flags_allow_tsc(read_small_file("/proc/cpuinfo"));
#else
    return false;
#endif
}

void start_calibration(std::uint32_t word) {
    const TscPair first = narrow_pair();
    FIRST_TSC.store(first.tsc, std::memory_order_relaxed);
    FIRST_NS.store(first.ns, std::memory_order_relaxed);
    FIRST_WIDTH.store(first.width, std::memory_order_relaxed);
    MONO_STATE.store(next_generation(word, kCalibrating), std::memory_order_release);
}

std::uint64_t decide(std::uint32_t word) {
    if (!MONO_STATE.compare_exchange_strong(word, with_state(word, kBusy),
                                            std::memory_order_acquire))
        return monotonic_ns();
    if (tsc_allowed()) {
        start_calibration(word);
    } else {
        MONO_STATE.store(with_state(word, kMonotonic), std::memory_order_release);
    }
    return monotonic_ns();
}

std::uint64_t calibrate(std::uint32_t word) {
    TscPair last = read_pair();
    const TscPair first{FIRST_TSC.load(std::memory_order_relaxed),
                        FIRST_NS.load(std::memory_order_relaxed),
                        FIRST_WIDTH.load(std::memory_order_relaxed)};
    if (last.ns - first.ns < kMinCalibrationNs && last.tsc > first.tsc) return last.ns;
    // The first reading after a pause is slow and wide (cold caches).
    last = narrow_pair();
    const std::uint64_t span = last.ns - first.ns;
    const bool advanced = last.tsc > first.tsc;
    // A pair too wide to be precise enough yet: the next call tries again.
    if (span <= kMaxCalibrationNs && advanced && !tsc_pairs_precise(first, last)) return last.ns;
    const std::optional<TscScale> scale = tsc_scale(first, last);
    if (!MONO_STATE.compare_exchange_strong(word, with_state(word, kBusy),
                                            std::memory_order_acquire))
        return last.ns;
    if (scale && span <= kMaxCalibrationNs) {
        MONO_SCALE = *scale;
        MONO_STATE.store(with_state(word, kTscState), std::memory_order_release);
    } else {
        // Too long, or the counter went backwards or ran at no plausible rate:
        // a suspend may lie between the pairs.
        start_calibration(word);
    }
    return last.ns;
}

}  // namespace

std::uint64_t mono_ns_slow() {
    const std::uint32_t word = MONO_STATE.load(std::memory_order_acquire);
    switch (word & 0xff) {
        case kUndecided: return decide(word);
        case kCalibrating: return calibrate(word);
        case kTscState: return MONO_SCALE.to_ns(read_tsc());
        default: return monotonic_ns();
    }
}

}  // namespace clock_detail

MonoSource mono_source() {
    switch (clock_detail::MONO_STATE.load(std::memory_order_acquire) & 0xff) {
        case clock_detail::kUndecided: return MonoSource::Undecided;
        case clock_detail::kMonotonic: return MonoSource::Monotonic;
        case clock_detail::kTscState: return MonoSource::Tsc;
        default: return MonoSource::Calibrating;
    }
}

void reset_mono_source() {
    const std::uint32_t word = clock_detail::MONO_STATE.load(std::memory_order_relaxed);
    clock_detail::MONO_STATE.store(((word & ~0xffu) + 0x100u) | clock_detail::kUndecided,
                                   std::memory_order_release);
}

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
