#include "binding/py_accelerate.hpp"

#include <memory>

#include "binding/py_boundary.hpp"
#include "binding/py_dict_watch.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_level_methods.hpp"
#include "binding/py_logging_call.hpp"
#include "binding/py_logging_record.hpp"
#include "binding/py_route.hpp"
#include "binding/py_route_table.hpp"
#include "binding/py_stdlib_logging.hpp"
#include "binding/py_store_watch.hpp"

namespace ferrant {

namespace {

// Whether `type`'s own dict (not a base's) has `name`. -1 with an exception set.
int defines(PyObject* type, const char* name) {
    PyRef own = PyRef::steal(PyObject_GetAttrString(type, "__dict__"));
    if (!own) return -1;
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    if (!key) return -1;
    return PySequence_Contains(own.get(), key.get());
}

// A function of logging's own module: the level methods the native ones
// stand for and call.
bool is_logging_function(PyObject* object) {
    if (!PyFunction_Check(object)) return false;
    PyObject* module = PyFunction_GetModule(object);
    return module && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "logging") == 0;
}

PyObject* refuse(const char* what) {
    PyErr_Format(PyExc_RuntimeError, "accelerate_logging: %s; logging is left as it is", what);
    return nullptr;
}

// The hooks on `type`: our __setattr__ and __delattr__, or none where one of
// ours is found (a type of its own then keeps its own).
bool put_store_watch(PyObject* type) {
    PyRef set = PyRef::steal(watched_setattr_for(reinterpret_cast<PyTypeObject*>(type)));
    PyRef del = PyRef::steal(watched_delattr_for(reinterpret_cast<PyTypeObject*>(type)));
    return set && del && PyObject_SetAttrString(type, "__setattr__", set.get()) == 0 &&
           PyObject_SetAttrString(type, "__delattr__", del.get()) == 0;
}

// Removes our hooks from `type`, leaving any other.
bool remove_store_watch(PyObject* type) {
    for (const char* name : {"__setattr__", "__delattr__"}) {
        const int own = defines(type, name);
        if (own < 0) return false;
        if (!own) continue;
        PyRef current = PyRef::steal(PyObject_GetAttrString(type, name));
        if (!current) return false;
        if (is_store_watch(current.get()) && PyObject_DelAttrString(type, name) < 0) return false;
    }
    return true;
}

// Puts the stdlib's level methods back where ours are.
bool restore_methods(PyObject* logger_type) {
    bool ok = true;
    for (std::size_t i = 0; i < LEVEL_METHOD_COUNT; ++i) {
        PyRef current = PyRef::steal(PyObject_GetAttrString(logger_type, LEVEL_METHOD_NAMES[i]));
        if (!current) return false;
        PyObject* original = original_method(i);
        if (is_native_level_method(current.get()) && original &&
            PyObject_SetAttrString(logger_type, LEVEL_METHOD_NAMES[i], original) < 0)
            ok = false;
    }
    return ok;
}

bool undo(PyObject* logger_type, PyObject* handler_type) {
    const bool methods = restore_methods(logger_type);
    const bool hooks = remove_store_watch(logger_type) && remove_store_watch(handler_type);
    clear_routes();
    forget_type_verdicts();
    advance_store_epoch();
    return methods && hooks;
}

// What the accelerator takes from logging and from the package.
std::unique_ptr<StdlibLogging> take_refs(PyObject* const* args) {
    PyObject* logging = args[0];
    if (!PyModule_Check(logging)) {
        PyErr_SetString(PyExc_TypeError, "_accelerate() expects the logging module first");
        return nullptr;
    }
    auto refs = std::make_unique<StdlibLogging>();
    refs->module_dict = PyRef::borrow(PyModule_GetDict(logging));
    if (!stamp_dict(refs->module_dict.get(), DictRole::Way, refs->globals)) return nullptr;
    refs->logger_type = PyRef::steal(PyObject_GetAttrString(logging, "Logger"));
    refs->record_type = PyRef::steal(PyObject_GetAttrString(logging, "LogRecord"));
    refs->lock = PyRef::steal(PyObject_GetAttrString(logging, "_lock"));
    if (!refs->logger_type || !refs->record_type || !refs->lock) return nullptr;
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return nullptr;
    refs->mapping_type = PyRef::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
    if (!refs->mapping_type) return nullptr;
    if (!PyType_Check(refs->logger_type.get()) || !PyType_Check(refs->record_type.get()) ||
        !PyType_Check(args[1]) || !PyAnySet_Check(args[3]) || !PyAnySet_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "_accelerate() got an unexpected argument");
        return nullptr;
    }
    refs->handler_type = PyRef::borrow(args[1]);
    refs->plain_formatter = PyRef::borrow(args[2]);
    refs->refused_keys = PyRef::borrow(args[3]);
    refs->skipped_keys = PyRef::borrow(args[4]);
    return refs;
}

PyObject* accelerate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "_accelerate() takes 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (stdlib_logging()) Py_RETURN_NONE;
    std::unique_ptr<StdlibLogging> refs = take_refs(args);
    if (!refs) return nullptr;
    PyObject* logger_type = refs->logger_type.get();
    PyObject* handler_type = refs->handler_type.get();
    // Everything is checked before anything changes.
    PyRef found[LEVEL_METHOD_COUNT];
    for (std::size_t i = 0; i < LEVEL_METHOD_COUNT; ++i) {
        found[i] = PyRef::steal(PyObject_GetAttrString(logger_type, LEVEL_METHOD_NAMES[i]));
        if (!found[i]) return nullptr;
        if (is_native_level_method(found[i].get())) {
            if (!original_method(i)) return refuse("a level method is ours but its own is unknown");
            found[i] = PyRef::borrow(original_method(i));
        } else if (!is_logging_function(found[i].get())) {
                return refuse("a level method of logging.Logger is not the standard library's own");
        }
    }
    for (PyObject* type : {logger_type, handler_type})
        for (const char* name : {"__setattr__", "__delattr__"}) {
            const int own = defines(type, name);
            if (own < 0) return nullptr;
            if (own) return refuse("a class on the way has a __setattr__ or __delattr__ of its own");
        }
    for (std::size_t i = 0; i < LEVEL_METHOD_COUNT; ++i) keep_original(i, found[i].get());
    bool ok = true;
    for (std::size_t i = 0; ok && i < LEVEL_METHOD_COUNT; ++i) {
        PyRef native = PyRef::steal(PyDescr_NewMethod(
            reinterpret_cast<PyTypeObject*>(logger_type), level_method_def(i)));
        ok = native && PyObject_SetAttrString(logger_type, LEVEL_METHOD_NAMES[i], native.get()) == 0;
    }
    ok = ok && put_store_watch(logger_type) && put_store_watch(handler_type) &&
         expect_current_classes(*refs);
    if (!ok) {
        PyRef error = take_raised_exception();
        if (!undo(logger_type, handler_type)) PyErr_Clear();
        raise_again(std::move(error));
        return nullptr;
    }
    clear_routes();
    advance_store_epoch();
    set_stdlib_logging(refs.release());
    Py_RETURN_NONE;
}

PyObject* decelerate(PyObject*, PyObject*) {
    StdlibLogging* refs = stdlib_logging();
    if (!refs) Py_RETURN_NONE;
    PyRef logger_type = PyRef::borrow(refs->logger_type.get());
    PyRef handler_type = PyRef::borrow(refs->handler_type.get());
    // From here the native methods, wherever they are still bound, call the
    // stdlib's own.
    set_stdlib_logging(nullptr);
    if (!undo(logger_type.get(), handler_type.get())) return nullptr;
    Py_RETURN_NONE;
}

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

}  // namespace

bool init_accelerate() {
    return init_route_names() && init_call_names() && init_record_names() &&
           init_level_methods();
}

PyMethodDef ACCELERATE_DEF = {
    "_accelerate", FAST(boundary<accelerate>), METH_FASTCALL,
    "_accelerate(logging, handler_type, plain_formatter, refused_keys, skipped_keys, /)\n--\n\n"};

PyMethodDef DECELERATE_DEF = {"_decelerate", boundary<decelerate>, METH_NOARGS,
                              "_decelerate($module, /)\n--\n\n"};

}  // namespace ferrant
