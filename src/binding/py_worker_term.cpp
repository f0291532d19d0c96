#include "binding/py_worker_term.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <semaphore.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "binding/py_boundary.hpp"
#include "binding/py_exit.hpp"
#include "binding/py_ref.hpp"
#include "lib/ending.hpp"
#include "lib/fork_state.hpp"
#include "lib/signal_mask.hpp"
#include "lib/stall_watch.hpp"

namespace ferrant {

namespace {

// The worker ends this long after the signal, or after the last progress a
// writer made since: a destination still draining is not cut short.
constexpr auto TERM_GRACE = std::chrono::milliseconds(2000);
// How long a destination may take no bytes before the flush gives up on it;
// the rest of the grace is for taking the GIL.
constexpr auto TERM_STALL = std::chrono::milliseconds(1500);

sem_t TERM_SIGNALLED;
std::atomic<bool> SERVED{false};
std::uint64_t SERVED_IN = ~std::uint64_t{0};  // GIL held

void restore_default() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

[[noreturn]] void die() {
    restore_default();
    kill(getpid(), SIGTERM);
    for (;;) pause();
}

// Async-signal-safe: a semaphore post, or the default action.
void on_term(int) {
    begin_ending();
    if (SERVED.load(std::memory_order_acquire)) {
        sem_post(&TERM_SIGNALLED);
        return;
    }
    restore_default();
    raise(SIGTERM);  // delivered on return, with the default action
}

void serve() {
    pthread_setname_np(pthread_self(), "ferrant-term");
    while (sem_wait(&TERM_SIGNALLED) != 0)
        if (errno != EINTR) return;
    // A worker whose GIL never comes free (a long call in C), or whose
    // destinations stopped taking bytes, still ends.
    std::thread([signalled = WaitClock::now()] {
        for (;;) {
            const Deadline end = std::max(signalled, latest_progress()) + TERM_GRACE;
            const Deadline now = WaitClock::now();
            if (now >= end) die();
            std::this_thread::sleep_for(end - now);
        }
    }).detach();
    const PyGILState_STATE state = PyGILState_Ensure();
    begin_exit(TERM_STALL);
    // Out of memory: the process ends all the same.
    (void)quietly([] { write_out_everything(writer_wait()); });
    PyGILState_Release(state);
    die();
}

// The serving thread of this process; one started in a parent does not
// exist in a forked child. GIL held.
bool ensure_served() {
    if (SERVED_IN == fork_generation()) return true;
    if (sem_init(&TERM_SIGNALLED, 0, 0) != 0) return false;
    try {
        // Its watchdog, started from it, inherits the mask.
        const BlockSignalsForNewThreads mask;
        std::thread(serve).detach();
    } catch (const std::system_error&) {
        return false;
    }
    SERVED.store(true, std::memory_order_release);
    SERVED_IN = fork_generation();
    return true;
}

// In a forked child, where the serving thread does not exist.
const OnForkChild TERM_FLUSH_AFTER_FORK([] {
    SERVED.store(false, std::memory_order_relaxed);
    struct sigaction current {};
    if (sigaction(SIGTERM, nullptr, &current) == 0 && current.sa_handler == on_term)
        restore_default();
});

}  // namespace

bool is_term_flush(const struct sigaction& action) {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == on_term;
}

void arm_term_flush() {
    if (!ensure_served()) return;  // SIGTERM keeps its default action
    struct sigaction action {};
    action.sa_handler = on_term;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
}

void install_term_flush() {
    struct sigaction current {};
    if (sigaction(SIGTERM, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) return;
    arm_term_flush();
}

}  // namespace ferrant
