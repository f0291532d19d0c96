#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "lib/action.hpp"
#include "lib/batch_lane.hpp"
#include "lib/channel.hpp"
#include "lib/destination.hpp"
#include "lib/local_time.hpp"
#include "lib/writer_settings.hpp"

namespace ferrant {

// Requests (flushes, the stop) a writer's channel holds; batches travel on
// its lane.
inline constexpr std::size_t WRITER_REQUESTS = 1024;

// Where the writer thread reads time; tests substitute their own.
class WriterClock {
public:
    virtual ~WriterClock() = default;
    virtual std::uint64_t mono_ns() const = 0;
    virtual LocalDate local_date() const = 0;
};

// CLOCK_MONOTONIC and the local calendar date of the system zone.
std::shared_ptr<const WriterClock> system_writer_clock();

// What a writer thread starts from, moved into it.
struct WriterSetup {
    Receiver<Action> receiver;
    // Its day is that of the currently open file.
    Destination destination;
    std::shared_ptr<const WriterClock> clock = system_writer_clock();
    // Longest wait for an action before the periodic check runs anyway.
    std::chrono::nanoseconds idle_wait = std::chrono::seconds(1);
    // Where batches arrive, and where the thread waits for them: whoever
    // queues a request rings it. Closed as the thread ends; made here when
    // absent.
    std::shared_ptr<BatchLane> lane{};
    // For a file: its earlier dated files, at the start and at each new day.
    RetentionPolicy retention{};
};

// The writer thread's body: runs until Stop or disconnection (seen when the
// thread next wakes). The receiver is released when it returns, so later
// sends fail at once.
// I/O errors do not end it: the first failure of an episode prints one
// "error ..." line on standard error, bytes that cannot be written are
// dropped, the destination is reopened at each periodic check, and one more
// line gives the count of lost bytes once writing succeeds again.
void run_writer(WriterSetup setup);

}  // namespace ferrant
