#pragma once

#include <utility>

#include "binding/py_ref.hpp"
#include "lib/batch_lane.hpp"

namespace ferrant {

// Gives the interpreter lock up while a send waits for room in a full lane,
// so that other Python threads run meanwhile. Taking the lock back can end
// a daemon thread during finalisation (a forced unwind out of enter() or
// poll()): nothing the waiting thread still needs may be released then.
//
// An interruptible gate runs the signal handlers during the wait, as a
// blocking queue.put does: a handler that raises (Ctrl-C's
// KeyboardInterrupt, SystemExit from a SIGTERM handler) ends the wait with
// its exception set.
class GilRelease final : public WaitGate {
public:
    explicit GilRelease(bool interruptible = true) : interruptible_(interruptible) {}

    void leave() override { saved_ = PyEval_SaveThread(); }
    void enter() override { PyEval_RestoreThread(std::exchange(saved_, nullptr)); }
    bool poll() override {
        if (!interruptible_) return true;
        enter();
        const bool go_on = PyErr_CheckSignals() == 0;
        leave();
        return go_on;
    }

private:
    PyThreadState* saved_ = nullptr;
    bool interruptible_;
};

// Runs `wait`, which must not touch Python, with the interpreter lock given
// up. Taking it back may end the thread (see above).
template <class F>
decltype(auto) without_gil(F&& wait) {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<decltype(wait())>) {
            wait();
            PyEval_RestoreThread(saved);
        } else {
            auto result = wait();
            PyEval_RestoreThread(saved);
            return result;
        }
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
}

}  // namespace ferrant
