#pragma once

#include <chrono>

#include "lib/shared_writer.hpp"

namespace ferrant {

// How long shutdown and exit wait for a writer to confirm a flush.
inline constexpr std::chrono::seconds FLUSH_WAIT{5};

// Asks the writer to write out everything sent to it so far and waits for
// it, at most FLUSH_WAIT. A writer that has ended is not waited for.
inline void flush_and_wait(SharedWriter& writer) {
    auto [ack, wait] = make_ack();
    if (writer.send(FlushAck{std::move(ack)})) (void)wait.wait_for(FLUSH_WAIT);
}

}  // namespace ferrant
