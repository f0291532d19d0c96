#include "binding/py_value_render.hpp"

#include <datetime.h>

#include <string>

#include "binding/py_errors.hpp"
#include "binding/py_redact.hpp"
#include "binding/py_text.hpp"
#include "lib/field_format.hpp"
#include "lib/hex_to_decimal.hpp"
#include "lib/surrogate_scan.hpp"

namespace ferrant {

bool has_utf8_form(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
    // Made by a legacy API and not yet in its canonical form: unknown here.
    if (!PyUnicode_IS_READY(str)) return false;
#endif
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        return true;
    case PyUnicode_2BYTE_KIND:
        return !has_surrogate(PyUnicode_2BYTE_DATA(str), n);
    default:
        return !has_surrogate(PyUnicode_4BYTE_DATA(str), n);
    }
}

namespace {

// The containers being written, outermost first: a cycle is told by finding
// one again.
struct Nest {
    PyObject* open[kFieldNestMax];
    int depth = 0;

    bool holds(PyObject* o) const {
        for (int i = 0; i < depth; ++i)
            if (open[i] == o) return true;
        return false;
    }
};

Rendered put_nested(LineBuilder& b, const LineLayout& layout, PyObject* value, Nest& nest);

// The type of the exception set when it is an Exception, which a value's
// rendering then stands for; null for one that is not (KeyboardInterrupt,
// SystemExit), which propagates.
PyTypeObject* exception_to_replace() {
    PyObject* type = PyErr_Occurred();
    if (!type || !PyErr_GivenExceptionMatches(type, PyExc_Exception)) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type);
}

// The UTF-8 of a str; for one with lone surrogates, which has none, what
// `s.encode("utf-8", "backslashreplace")` gives, kept in `hold`. False with
// an exception set (out of memory).
bool printable_text(PyObject* str, std::string_view& out, PyRef& hold) {
    if (utf8_view(str, out)) [[likely]]
        return true;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    hold = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!hold) return false;
    out = {PyBytes_AS_STRING(hold.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(hold.get()))};
    return true;
}

Rendered put_unprintable(LineBuilder& b, const LineLayout& layout, PyObject* value) {
    std::string text;
    if (!unprintable_text(value, text)) return Rendered::Failed;
    put_text_value(b, text, layout);
    return Rendered::Done;
}

// The decimal digits and sign of an int of any size, whatever its class's
// repr. Past the interpreter's digit limit (sys.get_int_max_str_digits),
// which is process-wide and stays as it is, the digits come from base 16,
// which has no limit.
Rendered put_int_digits(LineBuilder& b, PyObject* value) {
    PyRef digits = PyRef::steal(PyLong_Type.tp_repr(value));
    std::string_view text;
    if (digits) {
        if (!utf8_view(digits.get(), text)) return Rendered::Failed;
        put_literal(b, text);
        return Rendered::Done;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Rendered::Failed;
    PyErr_Clear();
    PyRef hex = PyRef::steal(PyNumber_ToBase(value, 16));
    if (!hex || !utf8_view(hex.get(), text)) return Rendered::Failed;
    if (text.starts_with('-')) {
        put_literal(b, "-");
        text.remove_prefix(1);
    }
    text.remove_prefix(2);  // "0x"
    ByteBuffer decimal;
    push_decimal_from_hex(decimal, text);
    put_literal(b, decimal.view());
    return Rendered::Done;
}

// An int as a number in [-2**63, 2**64 - 1], which readers that take
// 64-bit integers (orjson, duckdb) read exactly; beyond it, in JSON, the
// string of its digits, which no reader rounds or refuses.
Rendered put_int(LineBuilder& b, const LineLayout& layout, PyObject* value) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (i == -1 && PyErr_Occurred()) return Rendered::Failed;
    if (!overflow) [[likely]] {
        put_int_value(b, i);
        return Rendered::Done;
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(value);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            put_u64_value(b, u);
            return Rendered::Done;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Rendered::Failed;
        PyErr_Clear();
    }
    if (!layout.json) return put_int_digits(b, value);
    put_literal(b, "\"");
    if (put_int_digits(b, value) != Rendered::Done) return Rendered::Failed;
    put_literal(b, "\"");
    return Rendered::Done;
}

// `made`, a new reference that `value`'s str() or isoformat() returned (or
// null, the exception set), written as a string value; a failure or a
// non-str as its placeholder.
Rendered put_made_text(LineBuilder& b, const LineLayout& layout, PyObject* value,
                       PyObject* made) {
    PyRef text_object = PyRef::steal(made);
    if (text_object && !PyUnicode_Check(text_object.get())) {
        PyErr_Format(PyExc_TypeError, "field value text must be str, not %.100s",
                     Py_TYPE(text_object.get())->tp_name);
        text_object = PyRef();
    }
    std::string_view text;
    PyRef hold;
    if (text_object && printable_text(text_object.get(), text, hold)) {
        put_text_value(b, text, layout);
        return Rendered::Done;
    }
    return put_unprintable(b, layout, value);
}

// A container met again inside itself: its repr, which marks the inner
// meeting; the placeholder of its kind if that repr fails.
Rendered put_cycle(LineBuilder& b, const LineLayout& layout, PyObject* value,
                   std::string_view placeholder) {
    PyRef repr = PyRef::steal(PyObject_Repr(value));
    std::string_view text;
    PyRef hold;
    if (repr && printable_text(repr.get(), text, hold)) {
        put_text_value(b, text, layout);
        return Rendered::Done;
    }
    if (!exception_to_replace()) return Rendered::Failed;
    PyErr_Clear();
    put_text_value(b, placeholder, layout);
    return Rendered::Done;
}

bool is_date_or_time(PyObject* value) {
    // The capsule import runs once; a failure leaves it to the next value.
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) {
            PyErr_Clear();
            return false;
        }
    }
    return PyDate_Check(value) || PyTime_Check(value);  // datetime is a date
}

// A JSON string of `text` as a member name or array item: always quoted.
void put_json_string(LineBuilder& b, std::string_view text) {
    b.room(text.size() * JSON_ESCAPE_MAX_GROWTH + 2);
    b.put_char('"');
    b.p = escape_for_layout(b.p, text, true);
    b.put_char('"');
}

Rendered put_array(LineBuilder& b, PyObject* tuple, Nest& nest) {
    const LineLayout& json = LineLayout::json_layout();
    put_literal(b, "[");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        if (i) put_literal(b, ",");
        const Rendered r = put_nested(b, json, PyTuple_GET_ITEM(tuple, i), nest);
        if (r != Rendered::Done) return r;
    }
    put_literal(b, "]");
    return Rendered::Done;
}

Rendered put_object(LineBuilder& b, PyObject* items, Nest& nest) {
    const LineLayout& json = LineLayout::json_layout();
    put_literal(b, "{");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        std::string_view key;
        PyRef hold;
        if (!printable_text(PyTuple_GET_ITEM(item, 0), key, hold)) return Rendered::Failed;
        if (i) put_literal(b, ",");
        put_json_string(b, key);
        put_literal(b, ":");
        if (REDACTING) [[unlikely]] {
            const int redacted = redacted_key(PyTuple_GET_ITEM(item, 0));
            if (redacted < 0) return Rendered::Failed;
            if (redacted) {
                put_json_string(b, REDACTED_TEXT);
                continue;
            }
        }
        const Rendered r = put_nested(b, json, PyTuple_GET_ITEM(item, 1), nest);
        if (r != Rendered::Done) return r;
    }
    put_literal(b, "}");
    return Rendered::Done;
}

// A dict (str keys only), list or tuple as nested JSON. Declined (nothing
// set) for a dict with another key, whose str() is written instead.
// Snapshots hold their items: a value's str() may change the container.
Rendered put_container(LineBuilder& b, PyObject* value, Nest& nest) {
    PyRef snapshot;
    if (PyDict_Check(value)) {
        snapshot = PyRef::steal(PyDict_Items(value));
        if (!snapshot) return Rendered::Failed;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
            if (!PyUnicode_Check(PyTuple_GET_ITEM(PyList_GET_ITEM(snapshot.get(), i), 0)))
                return Rendered::Declined;
    } else if (PyList_Check(value)) {
        snapshot = PyRef::steal(PySequence_Tuple(value));
        if (!snapshot) return Rendered::Failed;
    } else {
        snapshot = PyRef::borrow(value);
    }
    nest.open[nest.depth++] = value;
    const Rendered r = PyDict_Check(value) ? put_object(b, snapshot.get(), nest)
                                           : put_array(b, snapshot.get(), nest);
    --nest.depth;
    return r;
}

Rendered put_nested(LineBuilder& b, const LineLayout& layout, PyObject* value, Nest& nest) {
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        PyRef hold;
        if (!printable_text(value, text, hold)) return Rendered::Failed;
        put_text_value(b, text, layout);
        return Rendered::Done;
    }
    if (value == Py_None) {
        put_literal(b, "null");
        return Rendered::Done;
    }
    if (PyBool_Check(value)) {
        put_literal(b, value == Py_True ? "true" : "false");
        return Rendered::Done;
    }
    if (PyLong_Check(value)) return put_int(b, layout, value);
    if (PyFloat_Check(value)) {
        put_float_value(b, PyFloat_AS_DOUBLE(value), layout);
        return Rendered::Done;
    }
    if (PyDict_Check(value) || PyList_Check(value) || PyTuple_Check(value)) {
        const std::string_view placeholder = PyDict_Check(value) ? "{...}" : "[...]";
        if (nest.holds(value)) return put_cycle(b, layout, value, placeholder);
        if (nest.depth == kFieldNestMax) {
            put_text_value(b, placeholder, layout);
            return Rendered::Done;
        }
        Rendered r;
        if (layout.json) {
            const std::size_t mark = b.written();
            r = put_container(b, value, nest);
            if (r != Rendered::Declined) return r;
            b.take_back(mark);
        } else {
            // The text layouts write the compact JSON text as a string value.
            ByteBuffer json;
            LineBuilder inner(json, 64);
            r = put_container(inner, value, nest);
            if (r == Rendered::Done) {
                inner.finish();
                put_text_value(b, json.view(), layout);
                return r;
            }
            if (r == Rendered::Failed) return r;
        }
    } else if (is_date_or_time(value)) {
        return put_made_text(b, layout, value, PyObject_CallMethod(value, "isoformat", nullptr));
    }
    return put_made_text(b, layout, value, PyObject_Str(value));
}

}  // namespace

Rendered put_any_value(LineBuilder& b, const LineLayout& layout, PyObject* value) {
    Nest nest;
    return put_nested(b, layout, value, nest);
}

Rendered put_any_field(LineBuilder& b, const LineLayout& layout, std::string_view key,
                       PyObject* value) {
    put_field_key(b, layout, key);
    return put_value<Render::Any>(b, layout, value);
}

}  // namespace ferrant
