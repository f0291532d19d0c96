#pragma once

#include <csignal>
#include <pthread.h>

namespace ferrant {

// Held around the start of a background thread, which inherits the mask:
// a process-wide signal (SIGINT, SIGTERM, ...) then always goes to one of
// the interpreter's threads. Delivered to a background thread instead, it
// would not cut short a main thread sleeping in time.sleep(), so Ctrl-C
// would wait for the sleep to end. Signals of faults stay unblocked:
// blocking them is undefined.
class BlockSignalsForNewThreads {
public:
    BlockSignalsForNewThreads() {
        sigset_t all;
        sigfillset(&all);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~BlockSignalsForNewThreads() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

    BlockSignalsForNewThreads(const BlockSignalsForNewThreads&) = delete;
    BlockSignalsForNewThreads& operator=(const BlockSignalsForNewThreads&) = delete;

private:
    sigset_t saved_;
};

}  // namespace ferrant
