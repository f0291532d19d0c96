#include "binding/py_sigterm.hpp"

#include <csignal>

#include "binding/py_ref.hpp"
#include "lib/registry.hpp"

namespace ferrant {

namespace {

// GIL held for both. Inherited by a forked child, as the handler is.
bool SETTLED = false;
bool PENDING = false;

// As the system sees it: a handler of another extension, or the worker's
// helper, counts as much as one set through the signal module.
bool default_action() {
    struct sigaction current {};
    if (sigaction(SIGTERM, nullptr, &current) != 0) return false;
    return !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
}

enum class Offer { Settled, OffMainThread, Failed };

Offer offer() {
    if (!default_action()) return Offer::Settled;
    PyRef module = PyRef::steal(PyImport_ImportModule("ferrant._sigterm"));
    if (!module) return Offer::Failed;
    PyRef answer = PyRef::steal(PyObject_CallMethod(module.get(), "_install", nullptr));
    if (!answer) return Offer::Failed;
    const int settled = PyObject_IsTrue(answer.get());
    if (settled < 0) return Offer::Failed;
    return settled ? Offer::Settled : Offer::OffMainThread;
}

// A pending call runs in the main thread between two bytecodes of whatever
// it runs: an error has nobody to go to, so it is reported and not retried.
int offer_in_main_thread(void*) {
    PENDING = false;
    if (SETTLED) return 0;
    const Offer got = offer();
    if (got == Offer::OffMainThread) return 0;
    SETTLED = true;
    if (got == Offer::Failed) PyErr_WriteUnraisable(nullptr);
    return 0;
}

Status before_writer_start() {
    if (SETTLED) return ok_status();
    switch (offer()) {
        case Offer::Settled:
            SETTLED = true;
            return ok_status();
        case Offer::Failed:
            return Error::python();
        case Offer::OffMainThread:
            // A full queue of pending calls: the next writer start asks again.
            if (!PENDING && Py_AddPendingCall(offer_in_main_thread, nullptr) == 0) PENDING = true;
            return ok_status();
    }
    return ok_status();
}

}  // namespace

bool sigterm_offer_settled() { return SETTLED; }

void install_sigterm_offer() { set_writer_start_hook(before_writer_start); }

bool release_sigterm_handler() {
    PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), "ferrant._sigterm");
    if (!module) return true;  // never imported: the handler cannot be there
    PyRef done = PyRef::steal(PyObject_CallMethod(module, "_release", nullptr));
    return static_cast<bool>(done);
}

}  // namespace ferrant
