#include "binding/py_logging_record.hpp"

#include "binding/py_errors.hpp"
#include "binding/py_stdlib_logging.hpp"

namespace ferrant {

namespace {

struct RecordNames {
    PyObject* find_caller;
    PyObject* make_record;
    PyObject* handle_error;
    PyObject* srcfile;
    PyObject* unknown_file;
    PyObject* unknown_function;
};

RecordNames R{};

// The triple `_log` keeps for exc_info: an exception becomes (type, value,
// traceback), another true value other than a tuple sys.exc_info(); a false
// value or a tuple stays as given.
PyRef exc_info_of(PyObject* exc_info) {
    if (!exc_info) return PyRef::borrow(Py_None);
    const int truth = PyObject_IsTrue(exc_info);
    if (truth < 0) return {};
    if (!truth || PyTuple_Check(exc_info)) return PyRef::borrow(exc_info);
    PyRef value;
    if (PyExceptionInstance_Check(exc_info)) {
        value = PyRef::borrow(exc_info);
    } else {
        value = PyRef::steal(PyErr_GetHandledException());
        if (!value || value.get() == Py_None)
            return PyRef::steal(PyTuple_Pack(3, Py_None, Py_None, Py_None));
    }
    PyRef traceback = PyRef::steal(PyException_GetTraceback(value.get()));
    return PyRef::steal(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(value.get())),
                                     value.get(), traceback ? traceback.get() : Py_None));
}

// (pathname, lineno, funcName, sinfo) as `_log` finds them.
PyRef caller_of(PyObject* logger, const LoggingCall& call, PyObject* module_dict) {
    PyObject* srcfile = PyDict_GetItemWithError(module_dict, R.srcfile);
    if (!srcfile && PyErr_Occurred()) return {};
    const int find = srcfile ? PyObject_IsTrue(srcfile) : 0;
    if (find < 0) return {};
    if (find) {
        PyRef one = PyRef::steal(PyLong_FromLong(1));
        if (!one) return {};
        PyObject* args[] = {logger, Py_False, call.stacklevel ? call.stacklevel : one.get()};
        PyRef found = PyRef::steal(PyObject_VectorcallMethod(
            R.find_caller, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (found || !PyErr_ExceptionMatches(PyExc_ValueError)) return found;
        PyErr_Clear();
    }
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return {};
    return PyRef::steal(PyTuple_Pack(4, R.unknown_file, zero.get(), R.unknown_function, Py_None));
}

}  // namespace

bool init_record_names() {
    if (R.find_caller) return true;
    return (R.find_caller = PyUnicode_InternFromString("findCaller")) &&
           (R.make_record = PyUnicode_InternFromString("makeRecord")) &&
           (R.handle_error = PyUnicode_InternFromString("handleError")) &&
           (R.srcfile = PyUnicode_InternFromString("_srcfile")) &&
           (R.unknown_file = PyUnicode_InternFromString("(unknown file)")) &&
           (R.unknown_function = PyUnicode_InternFromString("(unknown function)"));
}

PyRef stdlib_record(PyObject* logger, PyObject* level, PyObject* name, const LoggingCall& call) {
    const StdlibLogging* refs = stdlib_logging();
    if (!refs) {
        PyErr_SetString(PyExc_RuntimeError, "logging is not accelerated");
        return {};
    }
    PyRef caller = caller_of(logger, call, refs->module_dict.get());
    if (!caller) return {};
    if (!PyTuple_Check(caller.get()) || PyTuple_GET_SIZE(caller.get()) != 4) {
        PyErr_SetString(PyExc_TypeError, "findCaller() did not return 4 values");
        return {};
    }
    PyRef exc_info = exc_info_of(call.exc_info);
    if (!exc_info) return {};
    PyRef args = PyRef::steal(PyTuple_New(call.nargs - 1));
    if (!args) return {};
    for (Py_ssize_t i = 1; i < call.nargs; ++i)
        PyTuple_SET_ITEM(args.get(), i - 1, Py_NewRef(call.args[i]));
    PyObject* c = caller.get();
    // makeRecord(name, level, fn, lno, msg, args, exc_info, func, extra, sinfo)
    PyObject* stack[] = {logger,
                         name,
                         level,
                         PyTuple_GET_ITEM(c, 0),
                         PyTuple_GET_ITEM(c, 1),
                         call.args[0],
                         args.get(),
                         exc_info.get(),
                         PyTuple_GET_ITEM(c, 2),
                         call.extra ? call.extra : Py_None,
                         PyTuple_GET_ITEM(c, 3)};
    return PyRef::steal(PyObject_VectorcallMethod(
        R.make_record, stack, std::size(stack) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool report_to_handler(PyObject* handler, PyObject* record) {
    // handleError prints the stack from the traceback's first frame: the
    // caller's, as no frame of ours lies between.
    PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    PyRef exc = take_raised_exception();
    PyRef previous = PyRef::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exc.get());
    PyRef done = PyRef::steal(PyObject_CallMethodOneArg(handler, R.handle_error, record));
    PyErr_SetHandledException(previous.get());
    return static_cast<bool>(done);
}

}  // namespace ferrant
