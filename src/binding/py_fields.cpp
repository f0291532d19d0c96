#include "binding/py_fields.hpp"

#include <climits>

#include "binding/py_text.hpp"
#include "lib/field_format.hpp"

namespace ferrant {

bool field_key(PyObject* key, std::string_view& out) {
    if (PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key)) {
        out = {static_cast<const char*>(PyUnicode_DATA(key)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))};
        if (valid_field_key(out)) {
            if (!reserved_field_key(out)) return true;
            PyErr_Format(PyExc_ValueError, "field key %R is written by the line itself", key);
            return false;
        }
    }
    PyErr_Format(PyExc_ValueError,
                 "invalid field key %R: 1 to 128 ASCII letters, digits, '_', '.' or '-', "
                 "starting with a letter or '_'",
                 key);
    return false;
}

namespace {

// The decimal digits of an int of any size, whatever its class's repr.
bool append_big_int(ByteBuffer& out, PyObject* value) {
    PyRef digits = PyRef::steal(PyLong_Type.tp_repr(value));
    std::string_view text;
    if (!digits || !utf8_view(digits.get(), text)) return false;
    append_field_literal(out, text);
    return true;
}

}  // namespace

bool append_field(ByteBuffer& out, const LineLayout& layout, std::string_view key,
                  PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        if (!utf8_view(value, text)) return false;
        append_field_key(out, layout, key);
        append_field_text(out, layout, text);
        return true;
    }
    if (value == Py_None) {
        append_field_key(out, layout, key);
        append_field_literal(out, "null");
        return true;
    }
    if (PyBool_Check(value)) {
        append_field_key(out, layout, key);
        append_field_literal(out, value == Py_True ? "true" : "false");
        return true;
    }
    if (PyLong_Check(value)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (i == -1 && PyErr_Occurred()) return false;
        const std::size_t start = out.size();
        append_field_key(out, layout, key);
        if (!overflow) {
            append_field_int(out, i);
        } else if (!append_big_int(out, value)) {
            out.resize_down(start);
            return false;
        }
        return true;
    }
    if (PyFloat_Check(value)) {
        append_field_key(out, layout, key);
        append_field_float(out, layout, PyFloat_AS_DOUBLE(value));
        return true;
    }
    PyRef str = PyRef::steal(PyObject_Str(value));
    std::string_view text;
    if (!str || !utf8_view(str.get(), text)) return false;
    append_field_key(out, layout, key);
    append_field_text(out, layout, text);
    return true;
}

}  // namespace ferrant
