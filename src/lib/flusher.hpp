#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "lib/result.hpp"

namespace ferrant {

// A background thread that bounds how long lines wait in a producer's batch.
// Every tick it advances the epoch; a batch remembers the epoch it was opened
// in, and once `due` finds one opened AGE_TICKS epochs ago or earlier, `sweep`
// hands such batches off. `due` runs without any lock of the caller's; `sweep`
// may take one (the interpreter's), so stop() must not be called holding it.
class Flusher {
public:
    using Due = bool (*)(std::uint64_t epoch);
    using Sweep = void (*)(std::uint64_t epoch);

    // A batch is due 1 to 2 ticks after its first line: 50 to 100 ms, so
    // that an abrupt end loses little more than that. A tick that finds
    // nothing due takes no lock of the interpreter's.
    static constexpr std::chrono::milliseconds TICK{50};
    static constexpr std::uint64_t AGE_TICKS = 2;
    static constexpr const char* THREAD_NAME = "ferrant-flusher";

    Flusher() = default;
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;
    ~Flusher() { stop(); }

    // Starts the thread unless it runs. Fails only when no thread can be made.
    Status start(Due due, Sweep sweep, std::chrono::nanoseconds tick = TICK);

    // Ends the thread and waits for it; a sweep in progress completes first.
    void stop();

    bool running() const;

    // The current epoch; starts at 1, so 0 can mean "no batch open".
    std::uint64_t epoch() const { return epoch_.load(std::memory_order_relaxed); }

    static bool is_due(std::uint64_t opened, std::uint64_t epoch) {
        return opened != 0 && epoch - opened >= AGE_TICKS;
    }

    // In a forked child: the thread does not exist there and the lock may be
    // held; both are abandoned.
    void forget_after_fork();

private:
    void run(Due due, Sweep sweep, std::chrono::nanoseconds tick);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<std::thread> thread_;
    std::atomic<std::uint64_t> epoch_{1};
};

}  // namespace ferrant
