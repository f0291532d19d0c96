// The messages a Logger's call writes on a second try: those that are no
// str, and those with a lone surrogate.

#include <string>
#include <vector>

#include "binding/py_errors.hpp"
#include "binding/py_level_method.hpp"

namespace ferrant {

namespace {

// `message % args` (the stdlib's way, a single non-empty dict as the
// mapping) with lone surrogates spelt as backslash escapes.
PyRef printable_message(PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    PyRef text;
    if (nargs == 0) {
        text = PyRef::borrow(message);
    } else {
        PyRef operand;
        if (nargs == 1 && PyDict_Check(args[0]) && PyDict_GET_SIZE(args[0]) > 0) {
            operand = PyRef::borrow(args[0]);
        } else {
            operand = PyRef::steal(PyTuple_New(nargs));
            if (!operand) return {};
            for (Py_ssize_t i = 0; i < nargs; ++i)
                PyTuple_SET_ITEM(operand.get(), i, Py_NewRef(args[i]));
        }
        text = PyRef::steal(PyNumber_Remainder(message, operand.get()));
        if (!text) return {};
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "message formatting returned %.200s, not str",
                         Py_TYPE(text.get())->tp_name);
            return {};
        }
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    if (!bytes) return {};
    return PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                             PyBytes_GET_SIZE(bytes.get()), nullptr));
}

// str(message) for a message that is not a str, as the stdlib writes it;
// a str() that fails gives a placeholder naming the types. Null with an
// exception set for one that is not an Exception (KeyboardInterrupt).
PyRef message_text(PyObject* message) {
    PyRef text = PyRef::steal(PyObject_Str(message));
    if (text) return text;
    std::string placeholder;
    if (!unprintable_text(message, placeholder)) return {};
    return PyRef::steal(PyUnicode_FromStringAndSize(placeholder.data(),
                                                    static_cast<Py_ssize_t>(placeholder.size())));
}

// The call again with `message` in place of its message and `kept` of its
// positional arguments after it (all, or none once they are in `message`).
PyObject* call_again(const LevelMethod& method, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, Py_ssize_t kept, PyObject* message, PyObject* kwnames,
                     Retry retry) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> again;
    again.reserve(static_cast<std::size_t>(1 + kept + nkw));
    again.push_back(message);
    again.insert(again.end(), args + 1, args + 1 + kept);
    again.insert(again.end(), args + nargs, args + nargs + nkw);
    return call_fields_level(method, self, again.data(), 1 + kept, kwnames, retry);
}

}  // namespace

PyObject* log_object_message(const LevelMethod& method,
                                                          PyObject* self, PyObject* const* args,
                                                          Py_ssize_t nargs, PyObject* kwnames,
                                                          Retry retry) {
    PyRef text = message_text(args[0]);
    if (!text) return nullptr;
    return call_again(method, self, args, nargs, nargs - 1, text.get(), kwnames, retry);
}

PyObject* retry_printable(const LevelMethod& method, PyObject* self,
                                                       PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    PyRef printable = printable_message(args[0], args + 1, nargs - 1);
    if (!printable) return nullptr;
    return call_again(method, self, args, nargs, 0, printable.get(), kwnames, Retry::Done);
}

PyObject* missing_message(const LevelMethod& method) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'message' (pos 1)",
                 method.name);
    return nullptr;
}

}  // namespace ferrant
