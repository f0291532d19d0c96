#pragma once

#include "binding/py_conversion.hpp"
#include "binding/py_ref.hpp"
#include "lib/line_builder.hpp"

// The one renderer of field values, for every layout and every path: a
// call's fields written straight into the batch, the general path's
// rendered ahead, bound and context fields rendered once. The rules are
// lib/field_format.hpp's and docs/api.md's; this code extracts the C values
// and consults Python only for values that need it.

namespace ferrant {

// What a rendering may do.
enum class Render {
    // Only what needs no Python code and creates no object: an exact str
    // that has a UTF-8 form, an exact int in int64, a float, a bool, None.
    // Anything else is Declined, with nothing written: the batch is open
    // under this rendering, and code that ran could log on this thread.
    Plain,
    // Every value: str(), isoformat(), containers, ints of any size. A
    // value never fails here but for an exception that is not an Exception
    // (KeyboardInterrupt) or out of memory: Failed, with it set.
    Any,
};

// Whether a str that is not compact ASCII has a UTF-8 form: no lone
// surrogate, read from its code points, so nothing is created or raised.
bool has_utf8_form(PyObject* str);

// The UTF-8 of a str with a UTF-8 form; nothing created for compact ASCII.
[[gnu::always_inline]] inline bool plain_utf8(PyObject* str, std::string_view& out) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
        out = {static_cast<const char*>(PyUnicode_DATA(str)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
        return true;
    }
    if (!has_utf8_form(str)) return false;
    // Its UTF-8 is kept by the str: a PyMem buffer, no object.
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) return false;
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

// The value `value` at the builder's position, for `layout`.
[[gnu::noinline]] Rendered put_any_value(LineBuilder& b, const LineLayout& layout,
                                         PyObject* value);

template <Render R>
[[gnu::always_inline]] inline Rendered put_value(LineBuilder& b, const LineLayout& layout,
                                                 PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        std::string_view text;
        if (plain_utf8(value, text)) [[likely]] {
            put_text_value(b, text, layout);
            return Rendered::Done;
        }
        if (PyErr_Occurred()) [[unlikely]]
            return Rendered::Failed;
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) [[likely]] {
            put_int_value(b, i);
            return Rendered::Done;
        }
    } else if (type == &PyFloat_Type) {
        put_float_value(b, PyFloat_AS_DOUBLE(value), layout);
        return Rendered::Done;
    } else if (value == Py_None || type == &PyBool_Type) {
        put_literal(b, value == Py_None ? "null" : value == Py_True ? "true" : "false");
        return Rendered::Done;
    }
    if constexpr (R == Render::Plain)
        return Rendered::Declined;
    else
        return put_any_value(b, layout, value);
}

// A field of a call, straight into the batch: its key piece (padded by
// kPiecePad) and its value, with room for both made once. Declined, nothing
// written, for a value that Render::Plain declines.
[[gnu::always_inline]] inline Rendered put_plain_field(LineBuilder& b, const LineLayout& layout,
                                                       const char* key, std::size_t key_size,
                                                       PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        std::string_view text;
        if (!plain_utf8(value, text)) [[unlikely]]
            return PyErr_Occurred() ? Rendered::Failed : Rendered::Declined;
        b.room(key_size + text.size() * JSON_ESCAPE_MAX_GROWTH + 2);
        b.put_padded(key, key_size);
        if (!layout.json && bare_field_value(text)) {
            b.put(text);
        } else {
            b.put_char('"');
            b.p = escape_for_layout(b.p, text, layout.json);
            b.put_char('"');
        }
        return Rendered::Done;
    }
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) [[unlikely]]
            return Rendered::Declined;
        b.room(key_size + 21);
        b.put_padded(key, key_size);
        *b.p = '-';  // a non-negative value overwrites it
        const auto u = static_cast<std::uint64_t>(i);
        b.p = digits::write_u64(b.p + (i < 0), i < 0 ? 0 - u : u);
        return Rendered::Done;
    }
    if (type == &PyFloat_Type) {
        const double v = PyFloat_AS_DOUBLE(value);
        b.room(key_size + kF64AnyMax);
        b.put_padded(key, key_size);
        if (layout.json && !std::isfinite(v)) [[unlikely]]
            put_float_json_word(b, v);
        else
            b.p = put_f64_shortest(b.p, v);
        return Rendered::Done;
    }
    if (value == Py_None || type == &PyBool_Type) {
        b.room(key_size + 5);
        b.put_padded(key, key_size);
        b.put(value == Py_None ? "null" : value == Py_True ? "true" : "false");
        return Rendered::Done;
    }
    return Rendered::Declined;
}

// A field: its separator and key as `layout` writes them, then its value.
Rendered put_any_field(LineBuilder& b, const LineLayout& layout, std::string_view key,
                       PyObject* value);

}  // namespace ferrant
