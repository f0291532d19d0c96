#include "lib/wait_clock.hpp"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ferrant {

WaitClock::time_point WaitClock::now() {
    std::timespec ts{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

bool wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Deadline deadline) {
    const auto since_epoch = deadline.time_since_epoch();
    if (since_epoch.count() <= 0) return WaitClock::now() < deadline;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    std::timespec at{};
    at.tv_sec = static_cast<std::time_t>(secs.count());
    at.tv_nsec = static_cast<long>((since_epoch - secs).count());
    // pthread_cond_clockwait takes the deadline as the kernel reads the
    // clock; libfaketime leaves it alone.
    const int err = pthread_cond_clockwait(cv.native_handle(), lock.mutex()->native_handle(),
                                           CLOCK_MONOTONIC, &at);
    return err != ETIMEDOUT;
}

}  // namespace ferrant
