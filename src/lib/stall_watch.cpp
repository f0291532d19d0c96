#include "lib/stall_watch.hpp"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

namespace ferrant {

namespace {

std::atomic<std::int64_t> LATEST_PROGRESS_NS{0};

void note_progress(Deadline at) {
    const std::int64_t ns = at.time_since_epoch().count();
    std::int64_t seen = LATEST_PROGRESS_NS.load(std::memory_order_relaxed);
    while (seen < ns &&
           !LATEST_PROGRESS_NS.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
    }
}

}  // namespace

std::optional<std::uint64_t> queued_for_reader(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    unsigned long request;
    if (S_ISFIFO(st.st_mode))
        request = FIONREAD;
    else if (S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode))
        request = TIOCOUTQ;
    else
        return std::nullopt;
    int queued = 0;
    if (::ioctl(fd, request, &queued) != 0 || queued < 0) return std::nullopt;
    return static_cast<std::uint64_t>(queued);
}

Deadline StallWatch::look(const DrainSample& sample, Deadline now) {
    std::lock_guard lock(mutex_);
    // Only a shorter queue is the reader's doing; a longer one is the
    // writer's, and shows in `left` as its write returns.
    const bool moved = !looked_ || sample.left != last_.left ||
                       (sample.queued && last_.queued && *sample.queued < *last_.queued);
    looked_ = true;
    last_ = sample;
    if (moved) {
        progressed_at_ = now;
        note_progress(now);
    }
    return progressed_at_;
}

void StallWatch::reset_after_fork() {
    new (&mutex_) std::mutex();
    looked_ = false;
    last_ = {};
    progressed_at_ = {};
}

Deadline latest_progress() {
    return Deadline(WaitClock::duration(LATEST_PROGRESS_NS.load(std::memory_order_relaxed)));
}

}  // namespace ferrant
