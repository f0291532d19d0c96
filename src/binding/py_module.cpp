// The module object: single-phase initialisation, one module per process.

#include "binding/py_accelerate.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_capture.hpp"
#include "binding/py_config.hpp"
#include "binding/py_console.hpp"
#include "binding/py_context_fields.hpp"
#include "binding/py_redact.hpp"
#include "binding/py_service_fields.hpp"
#include "binding/py_trace_context.hpp"
#include "binding/py_exit.hpp"
#include "binding/py_flush.hpp"
#include "binding/py_fork.hpp"
#include "binding/py_level.hpp"
#include "binding/py_logger.hpp"
#include "binding/py_sigterm.hpp"
#include "binding/py_term_watch.hpp"
#include "binding/py_thresholds.hpp"
#include "binding/py_retention.hpp"
#include "lib/local_time.hpp"

namespace ferrant {

namespace {

// m_size 0 (not -1): on a repeated import CPython then calls the init
// function again instead of copying the module dict, so the same object comes
// back here and a sub-interpreter's import reaches the interpreter check.
PyModuleDef logger_module = {
    PyModuleDef_HEAD_INIT, "_logger", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* MODULE = nullptr;

// The module's state, threads and exit and fork hooks are process-wide and
// belong to the main interpreter, which outlives every other.
bool in_main_interpreter(PyThreadState* tstate) {
    return PyThreadState_GetInterpreter(tstate) == PyInterpreterState_Main();
}

// 3.13 first runs a single-phase init function in the main interpreter on
// behalf of a sub-interpreter's import, on a fresh thread state; an import of
// the main interpreter itself always runs under importlib's frames.
bool on_behalf_of_another_interpreter([[maybe_unused]] PyThreadState* tstate) {
#if PY_VERSION_HEX >= 0x030D0000
    PyFrameObject* frame = PyThreadState_GetFrame(tstate);
    if (!frame) return true;
    Py_DECREF(frame);
#endif
    return false;
}

// Adds `value` under `name` and appends the name to __all__.
bool add_member(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    PyRef created;
    if (!all) {
        created = PyRef::steal(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def, bool exported = true) {
    PyRef name = PyRef::steal(PyUnicode_FromString("ferrant._logger"));
    if (!name) return false;
    PyRef fn = PyRef::steal(PyCFunction_NewEx(def, module, name.get()));
    if (!fn) return false;
    if (!exported) return PyModule_AddObjectRef(module, def->ml_name, fn.get()) == 0;
    return add_member(module, def->ml_name, fn.get());
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&logger_module));
    if (!module) return nullptr;
    PyObject* level = level_type();
    if (!level || !add_member(module.get(), "PyLevel", level)) return nullptr;
    PyObject* logger = logger_type();
    if (!logger || !add_member(module.get(), "PyLogger", logger)) return nullptr;
    if (!init_basic_config() || !add_function(module.get(), &BASIC_CONFIG_DEF)) return nullptr;
    if (!init_logger() || !add_function(module.get(), &GET_LOGGER_DEF)) return nullptr;
    // The package exports these as ferrant.Logger and ferrant.get_logger.
    PyObject* fields_logger = fields_logger_type();
    if (!fields_logger || PyModule_AddObjectRef(module.get(), "_Logger", fields_logger) < 0 ||
        !add_function(module.get(), &GET_FIELDS_LOGGER_DEF, false) ||
        !add_function(module.get(), &SET_LEVEL_DEF, false) ||
        !add_function(module.get(), &SET_DEFAULT_LEVEL_DEF, false))
        return nullptr;
    if (!add_function(module.get(), &SET_RETENTION_DEF, false) ||
        !add_function(module.get(), &SET_SERVICE_FIELDS_DEF, false) || !init_redact() ||
        !add_function(module.get(), &SET_REDACT_DEF, false) ||
        !add_function(module.get(), &SET_TRACE_CONTEXT_DEF, false) ||
        !add_function(module.get(), &SET_CONSOLE_DEF, false) ||
        !add_function(module.get(), &FLUSH_DEF, false))
        return nullptr;
    if (!init_accelerate() || !add_function(module.get(), &ACCELERATE_DEF, false) ||
        !add_function(module.get(), &DECELERATE_DEF, false))
        return nullptr;
    // The package exports these without their underscore.
    if (!init_context_fields()) return nullptr;
    for (PyMethodDef* def : {&BIND_CONTEXTVARS_DEF, &UNBIND_CONTEXTVARS_DEF,
                             &CLEAR_CONTEXTVARS_DEF, &GET_CONTEXT_FIELDS_DEF,
                             &SET_CONTEXT_FIELDS_DEF})
        if (!add_function(module.get(), def, false)) return nullptr;
    if (!register_exit_flush() || !install_fork_handlers()) return nullptr;
    // The package's SIGTERM handler writes out through it.
    if (PyModule_AddObjectRef(module.get(), "_flush_at_exit", exit_flush_function()) < 0) return nullptr;
    if (!add_function(module.get(), &NOTE_SIGTERM_DEF, false)) return nullptr;
    if (!add_function(module.get(), &SET_CAPTURE_DEF, false) ||
        !add_function(module.get(), &MARK_BRIDGE_DEF, false))
        return nullptr;
    install_sigterm_offer();
    return module.release();
}

}  // namespace

}  // namespace ferrant

PyMODINIT_FUNC PyInit__logger() {
    using namespace ferrant;
    PyThreadState* tstate = PyThreadState_Get();
    if (!in_main_interpreter(tstate)) {
        PyErr_SetString(PyExc_ImportError,
                        "ferrant._logger cannot be imported in a sub-interpreter; "
                        "import it in the main interpreter");
        return nullptr;
    }
    // Failing here would hand an exception made in the main interpreter to the
    // importing one, which 3.13.0 frees with the wrong allocator when that one
    // is isolated. An empty module instead: CPython then refuses an isolated
    // interpreter itself and calls this again in a legacy one, which fails above.
    if (on_behalf_of_another_interpreter(tstate)) return PyModule_Create(&logger_module);
    if (MODULE) return Py_NewRef(MODULE);
    init_time_zone();
    MODULE = boundary<create_module>();
    return MODULE ? Py_NewRef(MODULE) : nullptr;
}
