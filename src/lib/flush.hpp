#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "lib/shared_writer.hpp"

namespace ferrant {

// How long shutdown and exit wait for writers to confirm a flush.
inline constexpr std::chrono::seconds FLUSH_WAIT{5};

// Asks the writer to write out everything sent to it so far and waits for it
// until `deadline`, the send included (a full channel may make it wait). A
// writer that has ended is not waited for.
inline void flush_and_wait(SharedWriter& writer, std::chrono::steady_clock::time_point deadline) {
    auto [ack, wait] = make_ack();
    SendOptions<Action> options;
    options.deadline = deadline;
    if (writer.push(FlushAck{std::move(ack)}, options).status == SendStatus::Sent)
        (void)wait.wait_until(deadline);
}

inline void flush_and_wait(SharedWriter& writer) {
    flush_and_wait(writer, std::chrono::steady_clock::now() + FLUSH_WAIT);
}

// The same for many writers at once: every request goes out before the first
// answer is awaited, so they all flush in parallel until one deadline.
inline void flush_all_and_wait(const std::vector<std::shared_ptr<SharedWriter>>& writers,
                               std::chrono::steady_clock::time_point deadline) {
    std::vector<AckReceiver> waits;
    waits.reserve(writers.size());
    for (const auto& writer : writers) {
        auto [ack, wait] = make_ack();
        SendOptions<Action> options;
        options.deadline = deadline;
        if (writer->push(FlushAck{std::move(ack)}, options).status == SendStatus::Sent)
            waits.push_back(std::move(wait));
    }
    for (AckReceiver& wait : waits) (void)wait.wait_until(deadline);
}

}  // namespace ferrant
