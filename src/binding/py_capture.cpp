#include "binding/py_capture.hpp"

#include <string_view>

#include "binding/py_boundary.hpp"
#include "binding/py_exception_field.hpp"
#include "binding/py_field_keys.hpp"
#include "binding/py_logger.hpp"
#include "binding/py_logger_state.hpp"
#include "lib/line_format.hpp"

namespace ferrant {

namespace {

PyRef text_of(std::string_view s) {
    return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// `message % args` as the record's line has it: a single non-empty dict is
// the mapping, as in the stdlib.
PyRef message_of(const CapturedRecord& r) {
    if (r.nargs == 0) return PyRef::borrow(r.message);
    PyRef operand;
    if (r.nargs == 1 && PyDict_Check(r.args[0]) && PyDict_GET_SIZE(r.args[0]) > 0) {
        operand = PyRef::borrow(r.args[0]);
    } else {
        operand = PyRef::steal(PyTuple_New(r.nargs));
        if (!operand) return {};
        for (Py_ssize_t i = 0; i < r.nargs; ++i)
            PyTuple_SET_ITEM(operand.get(), i, Py_NewRef(r.args[i]));
    }
    return PyRef::steal(PyUnicode_Format(r.message, operand.get()));
}

// A field given again later (bound, then the context's, then the call's)
// takes the later place, as on the line; a weak one gives way instead.
bool put_field(PyObject* dict, std::string_view key, PyObject* value, bool weak = false) {
    PyRef k = text_of(key);
    if (!k) return false;
    const int had = PyDict_Contains(dict, k.get());
    if (had < 0) return false;
    if (had && weak) return true;
    if (had && PyDict_DelItem(dict, k.get()) < 0) return false;
    return PyDict_SetItem(dict, k.get(), value) == 0;
}

bool put_set(PyObject* dict, const RenderedFields* set) {
    if (!set) return true;
    for (std::size_t i = 0; i < set->fields.size(); ++i)
        if (!put_field(dict, set->fields[i].key, set->written_value(i), set->fields[i].weak))
            return false;
    return true;
}

PyRef record_dict(const LoggerState& logger, Rank rank, const CapturedRecord& r) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    PyRef level = text_of(LineLayout::at(0).level[rank_index(rank)]);
    PyRef name = logger.name ? text_of(*logger.name) : PyRef::borrow(Py_None);
    PyRef msg = message_of(r);
    if (!level || !name || !msg || PyDict_SetItemString(d, "level", level.get()) < 0 ||
        PyDict_SetItemString(d, "name", name.get()) < 0 ||
        PyDict_SetItemString(d, "msg", msg.get()) < 0)
        return {};
    if (!put_set(d, r.bound) || !put_set(d, r.context)) return {};
    if (r.kwnames) {
        CallNames* names = check_call_keys(r.kwnames);
        if (!names) return {};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(r.kwnames); ++i)
            if (i != r.exc_info_at &&
                !put_field(d, names->written[static_cast<std::size_t>(i)], r.values[i]))
                return {};
    }
    if (r.exc) {
        PyRef text = exception_text(r.exc);
        if (!text || PyDict_SetItemString(d, "exc", text.get()) < 0) return {};
    }
    return dict;
}

PyObject* set_capture(PyObject*, PyObject* sink) {
    if (sink != Py_None && !PyCallable_Check(sink)) {
        PyErr_Format(PyExc_TypeError, "the sink must be callable or None, not %.100s",
                     Py_TYPE(sink)->tp_name);
        return nullptr;
    }
    PyObject* old = CAPTURE_SINK;
    CAPTURE_SINK = sink == Py_None ? nullptr : Py_NewRef(sink);
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

PyObject* mark_bridge(PyObject*, PyObject* logger) {
    if (!PyObject_TypeCheck(logger, reinterpret_cast<PyTypeObject*>(fields_logger_type()))) {
        PyErr_Format(PyExc_TypeError, "expected a ferrant.Logger, not %.100s",
                     Py_TYPE(logger)->tp_name);
        return nullptr;
    }
    state_of(logger)->bridge = true;
    Py_RETURN_NONE;
}

}  // namespace

bool capture_record(const LoggerState& logger, Rank rank, const CapturedRecord& record) {
    // Held: the message's `%` may run code that ends the capture.
    PyRef sink = PyRef::borrow(CAPTURE_SINK);
    if (!sink) return true;
    PyRef dict = record_dict(logger, rank, record);
    if (dict) {
        PyObject* args[] = {dict.get(), logger.bridge ? Py_True : Py_False};
        PyRef done = PyRef::steal(PyObject_Vectorcall(sink.get(), args, 2, nullptr));
        if (done) return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_WriteUnraisable(sink.get());
    return true;
}

PyMethodDef SET_CAPTURE_DEF = {"_set_capture", boundary<set_capture>, METH_O,
                               "_set_capture(sink, /)\n--\n\n"};
PyMethodDef MARK_BRIDGE_DEF = {"_mark_bridge", boundary<mark_bridge>, METH_O,
                               "_mark_bridge(logger, /)\n--\n\n"};

}  // namespace ferrant
