#pragma once

#include <utility>

#include "binding/py_ref.hpp"
#include "lib/channel.hpp"

namespace ferrant {

// Gives the interpreter lock up while a send waits for room in a full
// channel, so that other Python threads run meanwhile. Taking the lock back
// can end a daemon thread during finalisation (a forced unwind out of
// enter()): nothing the waiting thread still needs may be released then.
class GilRelease final : public WaitGate {
public:
    void leave() override { saved_ = PyEval_SaveThread(); }
    void enter() override { PyEval_RestoreThread(std::exchange(saved_, nullptr)); }

private:
    PyThreadState* saved_ = nullptr;
};

// Runs `wait`, which must not touch Python, with the interpreter lock given
// up. Taking it back may end the thread (see above).
template <class F>
void without_gil(F&& wait) {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        wait();
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
    PyEval_RestoreThread(saved);
}

}  // namespace ferrant
