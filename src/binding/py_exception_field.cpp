#include "binding/py_exception_field.hpp"

#include "binding/py_text.hpp"
#include "lib/line_builder.hpp"

namespace ferrant {

namespace {

// traceback.format_exception, imported on first use: a program that never
// logs an exception does not import traceback for it.
PyObject* FORMAT_EXCEPTION = nullptr;

PyObject* format_exception() {
    if (!FORMAT_EXCEPTION) {
        PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
        if (!module) return nullptr;
        FORMAT_EXCEPTION = PyObject_GetAttrString(module.get(), "format_exception");
    }
    return FORMAT_EXCEPTION;
}

// "".join(traceback.format_exception(exc)). Null with an exception set.
PyRef formatted_exception(PyObject* exc) {
    PyObject* format = format_exception();
    if (!format) return PyRef();
    PyRef parts = PyRef::steal(PyObject_CallOneArg(format, exc));
    if (!parts) return PyRef();
    PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    if (!empty) return PyRef();
    return PyRef::steal(PyUnicode_Join(empty.get(), parts.get()));
}

}  // namespace

bool exception_for(PyObject* exc_info, PyRef& out) {
    out = PyRef();
    if (exc_info == Py_False || exc_info == Py_None) return true;
    if (PyExceptionInstance_Check(exc_info)) {
        out = PyRef::borrow(exc_info);
        return true;
    }
    // A record that crossed a process boundary keeps only its traceback's text.
    if (PyUnicode_Check(exc_info)) {
        if (PyUnicode_GET_LENGTH(exc_info) != 0) out = PyRef::borrow(exc_info);
        return true;
    }
    // sys.exc_info()'s triple, as logging takes it.
    if (PyTuple_Check(exc_info)) {
        if (PyTuple_GET_SIZE(exc_info) >= 2 &&
            PyExceptionInstance_Check(PyTuple_GET_ITEM(exc_info, 1)))
            out = PyRef::borrow(PyTuple_GET_ITEM(exc_info, 1));
        return true;
    }
    // Anything else true stands for the exception being handled, as in logging.
    const int truth = exc_info == Py_True ? 1 : PyObject_IsTrue(exc_info);
    if (truth < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    if (truth) {
        out = PyRef::steal(PyErr_GetHandledException());
        if (out && out.get() == Py_None) out = PyRef();
    }
    return true;
}

PyRef exception_text(PyObject* exc) {
    return PyUnicode_Check(exc) ? PyRef::borrow(exc) : formatted_exception(exc);
}

bool put_exception_field(LineBuilder& b, const LineLayout& layout, PyObject* exc) {
    PyRef text_object = exception_text(exc);
    if (!text_object) return false;
    std::string_view text;
    PyRef escaped;
    if (!utf8_view(text_object.get(), text)) {
        // A lone surrogate in a message must not make the report fail.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        escaped = PyRef::steal(
            PyUnicode_AsEncodedString(text_object.get(), "utf-8", "backslashreplace"));
        if (!escaped) return false;
        text = {PyBytes_AS_STRING(escaped.get()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get()))};
    }
    put_field_key(b, layout, "exc");
    put_quoted_value(b, text, layout);
    return true;
}

}  // namespace ferrant
