#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "lib/shared_writer.hpp"

namespace ferrant {

// Asks every writer to write out what it was sent, all requests out before
// the first answer is awaited, so that they work in parallel until one
// deadline. The outcomes come in the writers' order.
inline std::vector<FlushOutcome> flush_all(const std::vector<std::shared_ptr<SharedWriter>>& writers,
                                           Deadline deadline) {
    std::vector<FlushOutcome> outcomes(writers.size(), FlushOutcome::WriterGone);
    std::vector<std::optional<AckReceiver>> waits;
    waits.reserve(writers.size());
    for (std::size_t i = 0; i < writers.size(); ++i)
        waits.push_back(writers[i]->request_flush(deadline, &outcomes[i]));
    for (std::size_t i = 0; i < writers.size(); ++i)
        if (waits[i]) outcomes[i] = waits[i]->wait_until(deadline);
    return outcomes;
}

}  // namespace ferrant
