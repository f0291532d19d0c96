#include "lib/record_day.hpp"

#include <atomic>

namespace ferrant {

namespace {

constexpr std::int64_t kDaySecs = 86400;

std::atomic<std::int64_t> LATEST{kNoDay};

std::int64_t floor_day(std::int64_t local_secs) {
    const std::int64_t q = local_secs / kDaySecs;
    return local_secs % kDaySecs < 0 ? q - 1 : q;
}

}  // namespace

std::int64_t record_day(std::int64_t local_secs) {
    const std::int64_t own = floor_day(local_secs);
    std::int64_t latest = LATEST.load(std::memory_order_relaxed);
    while (own > latest) {
        if (LATEST.compare_exchange_weak(latest, own, std::memory_order_relaxed)) return own;
    }
    if (own == latest) return own;
    // Before the latest day: a small step back keeps to that day, a large
    // one is a real correction (the clock had been days ahead).
    if (latest * kDaySecs - local_secs <= kStepBackLimitSecs) return latest;
    LATEST.store(own, std::memory_order_relaxed);
    return own;
}

void reset_record_days() { LATEST.store(kNoDay, std::memory_order_relaxed); }

}  // namespace ferrant
