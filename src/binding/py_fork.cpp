#include "binding/py_fork.hpp"

#include <pthread.h>

#include "binding/py_boundary.hpp"
#include "binding/py_exit.hpp"
#include "binding/py_sigterm.hpp"
#include "binding/py_worker_term.hpp"
#include "binding/py_producer.hpp"
#include "lib/fork_state.hpp"

namespace ferrant {

namespace {

// ---- around fork() itself: no interpreter calls, no allocation -------------

void prepare() { time_zone_gate().lock(); }

void parent() { time_zone_gate().unlock(); }

// Each module registers the repair of its own state (lib/fork_state.hpp).
void child() {
    time_zone_gate().unlock();
    after_fork_in_child();
}

// ---- os.register_at_fork(before=...) ---------------------------------------

PyObject* FLUSH_IN_WORKER = nullptr;  // kept alive for weak references

// Runs last among the worker's finalizers, after any that may still log.
constexpr long LAST_PRIORITY = -2147483647L;

// multiprocessing ends its workers with os._exit, which skips atexit: a
// finaliser of multiprocessing's own exit function hands the lines over.
bool register_finalizer(PyObject* util) {
    if (!release_sigterm_handler()) return false;
    install_term_flush();
    PyRef finalize = PyRef::steal(PyObject_GetAttrString(util, "Finalize"));
    if (!finalize) return false;
    PyRef args = PyRef::steal(Py_BuildValue("(OO)", Py_None, exit_flush_function()));
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:l}", "exitpriority", LAST_PRIORITY));
    if (!args || !kwargs) return false;
    PyRef done = PyRef::steal(PyObject_Call(finalize.get(), args.get(), kwargs.get()));
    return static_cast<bool>(done);
}

// Called in every new worker, once multiprocessing has cleared the
// finalizers it inherited.
PyObject* register_worker_flush(PyObject*, PyObject*) {
    PyRef util = PyRef::steal(PyImport_ImportModule("multiprocessing.util"));
    if (!util || !register_finalizer(util.get())) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef REGISTER_WORKER_FLUSH_DEF = {"_register_worker_flush",
                                         boundary<register_worker_flush>, METH_O, nullptr};

// True inside a multiprocessing worker that will run no after-fork callbacks
// for us any more: one already running its target, or a spawned one still
// importing its main module (spawned workers run none at all).
bool in_worker() {
    PyObject* process = PyDict_GetItemString(PyImport_GetModuleDict(), "multiprocessing.process");
    if (!process) return false;
    PyRef parent = PyRef::steal(PyObject_CallMethod(process, "parent_process", nullptr));
    PyRef current = PyRef::steal(PyObject_CallMethod(process, "current_process", nullptr));
    if (!parent || !current) {
        PyErr_Clear();
        return false;
    }
    if (parent.get() != Py_None) return true;
    PyRef inheriting = PyRef::steal(PyObject_GetAttrString(current.get(), "_inheriting"));
    if (!inheriting) {
        PyErr_Clear();
        return false;
    }
    const int truth = PyObject_IsTrue(inheriting.get());
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

bool hook_multiprocessing() {
    if (FLUSH_IN_WORKER) return true;
    PyObject* util = PyDict_GetItemString(PyImport_GetModuleDict(), "multiprocessing.util");
    if (!util) return true;
    PyRef callback = PyRef::steal(PyCFunction_New(&REGISTER_WORKER_FLUSH_DEF, nullptr));
    if (!callback) return false;
    PyRef done = PyRef::steal(PyObject_CallMethod(util, "register_after_fork", "OO",
                                                  callback.get(), callback.get()));
    if (!done) return false;
    FLUSH_IN_WORKER = callback.release();
    return !in_worker() || register_finalizer(util);
}

PyObject* before_fork(PyObject*, PyObject*) {
    // Parked if its writer has no room: the parent writes it later, and a
    // fork never waits on a stalled destination.
    if (ThreadProducer* tp = existing_thread_producer()) (void)hand_off(*tp, HandOff::Park);
    if (ThreadProducer* tp = existing_console_producer()) (void)hand_off(*tp, HandOff::Park);
    if (!hook_multiprocessing()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef BEFORE_FORK_DEF = {"_before_fork", boundary<before_fork>, METH_NOARGS, nullptr};

}  // namespace

bool install_fork_handlers() {
    if (int err = pthread_atfork(prepare, parent, child); err != 0) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    PyRef os = PyRef::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    PyRef hook = PyRef::steal(PyCFunction_New(&BEFORE_FORK_DEF, nullptr));
    if (!hook) return false;
    PyRef register_at_fork = PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    PyRef args = PyRef::steal(PyTuple_New(0));
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "before", hook.get()));
    if (!register_at_fork || !args || !kwargs) return false;
    PyRef done = PyRef::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
    // A worker of any start method may import the module before or after it
    // starts; one that forks later is hooked by before_fork.
    return done && hook_multiprocessing();
}

}  // namespace ferrant
