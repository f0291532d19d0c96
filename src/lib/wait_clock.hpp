#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ferrant {

// The clock every timed wait and the writer's periodic check run on: the
// kernel's CLOCK_MONOTONIC, read by system call. Programs under test often
// run with libfaketime, which fakes clock_gettime (CLOCK_MONOTONIC
// included) but not the kernel's own timed waits: a deadline read from the
// faked clock can lie decades away, and a wait on it never ends.
struct WaitClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<WaitClock>;
    static constexpr bool is_steady = true;
    static time_point now();
};

using Deadline = WaitClock::time_point;

inline Deadline deadline_in(WaitClock::duration timeout) { return WaitClock::now() + timeout; }

// Waits on `cv` until notified or `deadline` passes; false once it has passed.
// Spurious wake-ups return true, as for std::condition_variable.
bool wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Deadline deadline);

// Waits until `done()` holds or `deadline` passes; returns done().
template <class Done>
bool wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Deadline deadline,
                Done done) {
    while (!done()) {
        if (!wait_until(cv, lock, deadline)) return done();
    }
    return true;
}

}  // namespace ferrant
