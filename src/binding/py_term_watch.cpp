#include "binding/py_term_watch.hpp"

#include <atomic>
#include <csignal>
#include <dlfcn.h>

#include "binding/py_boundary.hpp"
#include "binding/py_sigterm.hpp"
#include "binding/py_worker_term.hpp"
#include "lib/ending.hpp"

namespace ferrant {

namespace {

using Handler = void (*)(int);

// The interpreter's own handler, which every Python-level handler is called
// through; the same function in every process of the program.
std::atomic<Handler> PASS_ON{nullptr};

// Async-signal-safe, as the interpreter's handler is.
void on_term_seen(int signum) {
    begin_ending();
    if (Handler next = PASS_ON.load(std::memory_order_acquire)) next(signum);
}

enum class Policy { Unknown, On, Off };
std::atomic<Policy> POLICY{Policy::Unknown};

// The package reads FERRANT_SIGTERM at import, after the native module is
// made; the flusher's first tick comes after the first record. GIL held.
Policy read_policy() {
    PyRef name = PyRef::steal(PyUnicode_FromString("ferrant._config"));
    PyRef config = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    PyRef wanted = config ? PyRef::steal(PyObject_GetAttrString(config.get(), "SIGTERM_HANDLER"))
                          : PyRef();
    const int on = wanted ? PyObject_IsTrue(wanted.get()) : -1;
    if (on < 0) {
        // The native module without its package: ferrant stays out.
        PyErr_Clear();
        return Policy::Off;
    }
    return on ? Policy::On : Policy::Off;
}

const void* image_of(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

// A handler in the interpreter's own binary or libpython is one of its own:
// the one signal.signal() sets for every Python callable (or faulthandler's).
// Each takes the signal number and is async-signal-safe, so calling it from
// ours is what the system would have done. One look per handler met: the
// flusher, the only caller, asks every tick.
bool from_interpreter(Handler handler) {
    static const void* const interpreter = image_of(reinterpret_cast<const void*>(&PyErr_CheckSignals));
    static Handler last_seen = nullptr;
    static bool last_answer = false;
    if (handler != last_seen) {
        last_answer = interpreter && image_of(reinterpret_cast<const void*>(handler)) == interpreter;
        last_seen = handler;
    }
    return last_answer;
}

enum class Change { None, Observe, ArmDefault };

Change needed(const struct sigaction& current) {
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler == SIG_IGN) return Change::None;
    if (current.sa_handler == on_term_seen || is_term_flush(current)) return Change::None;
    if (current.sa_handler == SIG_DFL) return Change::ArmDefault;
    return from_interpreter(current.sa_handler) ? Change::Observe : Change::None;
}

PyObject* note_sigterm(PyObject*, PyObject*) {
    begin_ending();
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef NOTE_SIGTERM_DEF = {"_note_sigterm", boundary<note_sigterm>, METH_NOARGS,
                                "_note_sigterm()\n--\n\n"};

bool term_watch_due() {
    if (process_ending() || POLICY.load(std::memory_order_relaxed) == Policy::Off) return false;
    struct sigaction current {};
    if (sigaction(SIGTERM, nullptr, &current) != 0) return false;
    return needed(current) != Change::None;
}

void term_watch_apply() {
    if (process_ending()) return;
    if (POLICY.load(std::memory_order_relaxed) == Policy::Unknown)
        POLICY.store(read_policy(), std::memory_order_relaxed);
    if (POLICY.load(std::memory_order_relaxed) == Policy::Off) return;
    struct sigaction current {};
    if (sigaction(SIGTERM, nullptr, &current) != 0) return;
    switch (needed(current)) {
        case Change::None:
            return;
        case Change::ArmDefault:
            // Before the package's first look the default action is its to take.
            if (sigterm_offer_settled()) arm_term_flush();
            return;
        case Change::Observe: {
            PASS_ON.store(current.sa_handler, std::memory_order_release);
            // Its mask and flags (SA_RESTART from signal.siginterrupt) kept.
            struct sigaction action = current;
            action.sa_handler = on_term_seen;
            sigaction(SIGTERM, &action, nullptr);
            return;
        }
    }
}

}  // namespace ferrant
