#pragma once

#include <cstdint>
#include <string_view>

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

namespace ferrant {

// The key a field given as `key` (a str) is written under: its own text when
// it is a valid key that the line does not write itself and not `exc_info`
// (the level methods' own keyword), else its safe_field_key, kept in
// `storage`. False only with an exception set (out of memory).
bool field_key(PyObject* key, std::string_view& out, std::string& storage);

// Whether field_key writes `key` as it is, its text then key_text(key).
bool plain_field_key(PyObject* key);

// The text of a key that plain_field_key accepts: compact ASCII.
inline std::string_view key_text(PyObject* key) {
    return {static_cast<const char*>(PyUnicode_DATA(key)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))};
}

// Whether `key` (a str) is `exc_info`.
bool is_exc_info(PyObject* key);

// One bit of a 64-bit mask per key, from the str's cached hash: two sets
// of keys whose masks do not meet share no key, so the common case needs
// no string compare.
inline std::uint64_t key_bit(PyObject* key) {
    // The cached hash read in place (a call costs more than the rest of the
    // check); str's own hash fills it, whatever a subclass's __hash__ says.
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1) hash = PyUnicode_Type.tp_hash(key);
    return std::uint64_t{1} << (static_cast<std::uint64_t>(hash) & 63);
}

// The keywords of a call (exc_info aside): where exc_info stands (-1:
// nowhere) and the fields' key mask. A call site passes the same names tuple
// every time, a constant of its code, so the answer is remembered for the
// last few tuples. False with an exception set (out of memory).
struct CallKeys {
    Py_ssize_t exc_info_at = -1;
    std::uint64_t mask = 0;
    int remembered = -1;  // where the answer is kept, for call_key_pieces
};
bool check_call_keys(PyObject* kwnames, CallKeys& out);

// What append_field_key writes for each key of a names tuple that
// check_call_keys has seen (under its field_key), rendered once per layout: piece i runs from
// text + begin[i] to text + begin[i + 1] (exc_info's is empty), and
// kPiecePad readable bytes follow every piece. False (nothing set) when
// the tuple is no longer remembered. Valid until check_call_keys runs again.
struct KeyPieces {
    const char* text;
    const std::uint32_t* begin;
};
bool call_key_pieces(PyObject* kwnames, const CallKeys& keys, const LineLayout& layout,
                     KeyPieces& out);

// Whether a str that is not compact ASCII has a UTF-8 form: no lone
// surrogate, read from its code points, so nothing is created or raised.
bool has_utf8_form(PyObject* str);

// Whether an int is in [-2**63, 2**63 - 1]; nothing is created or raised.
bool fits_in_int64(PyObject* value);

// Whether append_plain_field writes `value` without running Python code or
// creating objects: an exact str that has a UTF-8 form, an exact int in
// [-2**63, 2**63 - 1], an exact float, a bool or None. Another str or int needs
// append_field (backslash escapes, all the digits).
inline bool plain_field_value(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return PyUnicode_IS_COMPACT_ASCII(value) || has_utf8_form(value);
    if (PyLong_CheckExact(value)) {
#if PY_VERSION_HEX >= 0x030C0000
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) return true;
#endif
        return fits_in_int64(value);
    }
    return PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None;
}

// Appends the field `key`=`value` as `layout` writes it. str, int, float,
// bool and None are rendered here without creating objects (an int beyond
// 64 bits or a str with lone surrogates aside); a date, time or datetime is
// its isoformat(); in JSON a dict with str keys, a list or a tuple is nested
// JSON; anything else is its str(). These may run Python code. A str()
// (isoformat(), repr of a cycle) that raises an Exception is written as a
// placeholder and the exception cleared. False with an exception set for a
// BaseException that is not an Exception, or no memory; what was appended is
// then meaningless.
bool append_field(ByteBuffer& out, const LineLayout& layout, std::string_view key,
                  PyObject* value);

// append_field for a plain_field_value, its key piece from call_key_pieces.
// False with an exception set when out of memory.
bool append_plain_field(ByteBuffer& out, const LineLayout& layout, const char* key_piece,
                        std::size_t key_size, PyObject* value);

}  // namespace ferrant
