#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "lib/wait_clock.hpp"

namespace ferrant {

// How far a writer's destination has got, as one look sees it.
struct DrainSample {
    // Bytes that have left the writer, written or dropped, as each write(2)
    // returns. Counted per lane: a new lane (after a fork) starts again.
    std::uint64_t left = 0;
    // Bytes the kernel holds for the reader of a pipe, socket or terminal;
    // absent for anything else.
    std::optional<std::uint64_t> queued;
};

// The kernel's queue in front of the reader of `fd`: what a pipe holds
// (FIONREAD), what a socket or terminal has not sent (TIOCOUTQ). Absent for
// a regular file, or when the system does not say.
std::optional<std::uint64_t> queued_for_reader(int fd);

// Whether a writer's destination still takes bytes, judged from the looks
// that waits for the writer take. It progresses when bytes leave the writer,
// or when the kernel's queue gets shorter: a reader slowly emptying a full
// pipe while the writer is blocked in one write(2) still moves. The first
// look counts as progress. One watch per writer, kept across waits, so that
// a stall found by one step of the exit is not waited out again by the next.
// Thread-safe.
class StallWatch {
public:
    // Takes `sample`, seen at `now`; returns when the destination last
    // progressed.
    Deadline look(const DrainSample& sample, Deadline now);

    // Forgets every look; in a forked child, where the lock may be held.
    void reset_after_fork();

private:
    std::mutex mutex_;
    bool looked_ = false;
    DrainSample last_;
    Deadline progressed_at_{};
};

// The latest progress any watch has seen (0 before any): what a watchdog
// that must not cut a draining exit short goes by.
Deadline latest_progress();

}  // namespace ferrant
