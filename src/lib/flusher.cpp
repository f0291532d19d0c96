#include "lib/flusher.hpp"

#include <new>
#include <pthread.h>
#include <system_error>

#include "lib/os_error.hpp"
#include "lib/signal_mask.hpp"
#include "lib/wait_clock.hpp"

namespace ferrant {

Status Flusher::start(Due due, Sweep sweep, std::chrono::nanoseconds tick) {
    std::lock_guard lock(mutex_);
    if (thread_) return ok_status();
    stopping_ = false;
    try {
        const BlockSignalsForNewThreads mask;
        thread_.emplace([this, due, sweep, tick] { run(due, sweep, tick); });
    } catch (const std::system_error& e) {
        return Error::runtime("failed to spawn thread: " + describe(OsError{e.code().value()}));
    }
    return ok_status();
}

void Flusher::stop() {
    std::optional<std::thread> thread;
    {
        std::lock_guard lock(mutex_);
        if (!thread_) return;
        stopping_ = true;
        thread.swap(thread_);
    }
    wake_.notify_all();
    thread->join();
}

bool Flusher::running() const {
    std::lock_guard lock(mutex_);
    return thread_.has_value();
}

void Flusher::forget_after_fork() {
    // Placement new over the members without destroying them: a joinable
    // std::thread of a thread that is not here must never be destroyed.
    new (&mutex_) std::mutex();
    new (&wake_) std::condition_variable();
    new (&thread_) std::optional<std::thread>();
    stopping_ = false;
}

void Flusher::run(Due due, Sweep sweep, std::chrono::nanoseconds tick) {
    // Named so that it can be told from the writer threads (ps, /proc).
    pthread_setname_np(pthread_self(), THREAD_NAME);
    std::unique_lock lock(mutex_);
    for (;;) {
        wait_until(wake_, lock, deadline_in(tick), [this] { return stopping_; });
        if (stopping_) return;
        const std::uint64_t epoch = epoch_.fetch_add(1, std::memory_order_relaxed) + 1;
        // Neither runs under the lock: a sweep waits for the interpreter's
        // lock, whose holder may be calling stop().
        lock.unlock();
        if (due(epoch)) sweep(epoch);
        lock.lock();
    }
}

}  // namespace ferrant
