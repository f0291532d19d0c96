#pragma once

#include <cstdint>

namespace ferrant {

// The process's flusher (lib/flusher.hpp): started by the first batch, so
// importing the module starts no thread; stopped by the exit hook before the
// interpreter finalises, and never started again after that.

// The epoch a batch opened now records.
std::uint64_t flusher_epoch();

// Starts the flusher unless it runs in this process. GIL held.
void ensure_flusher();

// Stops it for good, giving the GIL up while it ends. GIL held.
void stop_flusher();

}  // namespace ferrant
