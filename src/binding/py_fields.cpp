#include "binding/py_fields.hpp"

#include <datetime.h>

#include <string>
#include <vector>

#include "binding/py_text.hpp"
#include "lib/digits.hpp"
#include "lib/escape.hpp"
#include "lib/hex_to_decimal.hpp"
#include "lib/number_render.hpp"
#include "lib/surrogate_scan.hpp"
#include "lib/field_format.hpp"

namespace ferrant {

namespace {

constexpr std::string_view EXC_INFO = "exc_info";

}  // namespace

bool is_exc_info(PyObject* key) {
    if (!PyUnicode_IS_COMPACT_ASCII(key) ||
        PyUnicode_GET_LENGTH(key) != static_cast<Py_ssize_t>(EXC_INFO.size()))
        return false;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(key)), EXC_INFO.size()) ==
           EXC_INFO;
}

bool plain_field_key(PyObject* key) {
    if (!PyUnicode_IS_COMPACT_ASCII(key)) return false;
    const std::string_view text = key_text(key);
    return valid_field_key(text) && !reserved_field_key(text) && text != EXC_INFO;
}

bool field_key(PyObject* key, std::string_view& out, std::string& storage) {
    if (plain_field_key(key)) [[likely]] {
        out = key_text(key);
        return true;
    }
    // Lone surrogates as the bytes they stand for: every str has one form.
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    storage = safe_field_key({PyBytes_AS_STRING(bytes.get()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))});
    out = storage;
    return true;
}

namespace {

struct CheckedNames {
    PyObject* names = nullptr;  // a strong reference
    CallKeys keys;
    // The keys as written, per place in the tuple (exc_info's empty).
    std::vector<std::string> written;
    // Per layout slot; empty until asked for.
    ByteBuffer pieces[LineLayout::kSlots];
    std::vector<std::uint32_t> begin[LineLayout::kSlots];
};

constexpr std::size_t kCheckedNames = 16;
CheckedNames CHECKED[kCheckedNames];
std::size_t NEXT_CHECKED = 0;

}  // namespace

bool check_call_keys(PyObject* kwnames, CallKeys& out) {
    for (const CheckedNames& c : CHECKED)
        if (c.names == kwnames) {
            out = c.keys;
            return true;
        }
    CallKeys keys;
    std::vector<std::string> written;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (is_exc_info(key)) {
            keys.exc_info_at = i;
            written.emplace_back();
            continue;
        }
        std::string_view text;
        std::string storage;
        if (!field_key(key, text, storage)) return false;
        written.emplace_back(text);
        keys.mask |= key_bit(key);
    }
    // Held, so that the address cannot come back as another tuple.
    const std::size_t at = NEXT_CHECKED++ % kCheckedNames;
    CheckedNames& slot = CHECKED[at];
    PyObject* evicted = slot.names;
    slot.names = Py_NewRef(kwnames);
    keys.remembered = static_cast<int>(at);
    slot.keys = keys;
    slot.written = std::move(written);
    for (unsigned i = 0; i < LineLayout::kSlots; ++i) {
        slot.pieces[i].clear();
        slot.begin[i].clear();
    }
    Py_XDECREF(evicted);
    out = keys;
    return true;
}

bool call_key_pieces(PyObject* kwnames, const CallKeys& keys, const LineLayout& layout,
                     KeyPieces& out) {
    if (keys.remembered < 0) return false;
    CheckedNames& c = CHECKED[keys.remembered];
    if (c.names != kwnames) return false;
    ByteBuffer& text = c.pieces[layout.slot];
    std::vector<std::uint32_t>& begin = c.begin[layout.slot];
    // Short of one entry a key when a previous rendering ran out of memory.
    if (begin.size() != static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) + 1) {
        text.clear();
        begin.clear();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            begin.push_back(static_cast<std::uint32_t>(text.size()));
            if (i != keys.exc_info_at) append_field_key(text, layout, c.written[i]);
        }
        begin.push_back(static_cast<std::uint32_t>(text.size()));
        const char pad[kPiecePad] = {};
        text.append(pad, kPiecePad);
    }
    out = {text.data(), begin.data()};
    return true;
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

bool append_value(ByteBuffer& out, const LineLayout& layout, PyObject* value, Nest& nest);

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

// The type of the exception set when it is an Exception, which a value's
// rendering then stands for; null for one that is not (KeyboardInterrupt,
// SystemExit), which propagates.
PyTypeObject* exception_to_replace() {
    PyObject* type = PyErr_Occurred();
    if (!type || !PyErr_GivenExceptionMatches(type, PyExc_Exception)) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type);
}

// The exception set, for rendering `value`: written as the string
// `<unprintable TYPE: EXCTYPE>` and cleared when it is an Exception. False,
// leaving it set, for one that is not.
bool append_unprintable(ByteBuffer& out, const LineLayout& layout, PyObject* value) {
    PyTypeObject* type = exception_to_replace();
    if (!type) return false;
    std::string text = "<unprintable ";
    text += Py_TYPE(value)->tp_name;
    text += ": ";
    text += type->tp_name;
    text += '>';
    PyErr_Clear();
    append_field_text(out, layout, text);
    return true;
}

// The decimal digits and sign of an int of any size, whatever its class's
// repr. Past the interpreter's digit limit (sys.get_int_max_str_digits),
// which is process-wide and stays as it is, the digits come from base 16,
// which has no limit.
bool append_int_digits(ByteBuffer& out, PyObject* value) {
    PyRef digits = PyRef::steal(PyLong_Type.tp_repr(value));
    std::string_view text;
    if (digits) {
        if (!utf8_view(digits.get(), text)) return false;
        append_field_literal(out, text);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    PyRef hex = PyRef::steal(PyNumber_ToBase(value, 16));
    if (!hex || !utf8_view(hex.get(), text)) return false;
    if (text.starts_with('-')) {
        out.push_back('-');
        text.remove_prefix(1);
    }
    text.remove_prefix(2);  // "0x"
    push_decimal_from_hex(out, text);
    return true;
}

// An int as a number in [-2**63, 2**64 - 1], which readers that take
// 64-bit integers (orjson, duckdb) read exactly; beyond it, in JSON, the
// string of its digits, which no reader rounds or refuses.
bool append_int(ByteBuffer& out, const LineLayout& layout, PyObject* value) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (i == -1 && PyErr_Occurred()) return false;
    if (!overflow) [[likely]] {
        append_field_int(out, i);
        return true;
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(value);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            push_u64(out, u);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    if (!layout.json) return append_int_digits(out, value);
    out.push_back('"');
    if (!append_int_digits(out, value)) return false;
    out.push_back('"');
    return true;
}

// `made`, a new reference that `value`'s str() or isoformat() returned (or
// null, the exception set), written as a string value; a failure or a
// non-str as append_unprintable writes it.
bool append_made_text(ByteBuffer& out, const LineLayout& layout, PyObject* value,
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
        append_field_text(out, layout, text);
        return true;
    }
    return append_unprintable(out, layout, value);
}

// A container met again inside itself: its repr, which marks the inner
// meeting; the placeholder of its kind if that repr fails.
bool append_cycle(ByteBuffer& out, const LineLayout& layout, PyObject* value,
                  std::string_view placeholder) {
    PyRef repr = PyRef::steal(PyObject_Repr(value));
    std::string_view text;
    PyRef hold;
    if (repr && printable_text(repr.get(), text, hold)) {
        append_field_text(out, layout, text);
        return true;
    }
    if (!exception_to_replace()) return false;
    PyErr_Clear();
    append_field_text(out, layout, placeholder);
    return true;
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

bool append_array(ByteBuffer& out, const LineLayout& layout, PyObject* tuple, Nest& nest) {
    out.push_back('[');
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        if (i) out.push_back(',');
        if (!append_value(out, layout, PyTuple_GET_ITEM(tuple, i), nest)) return false;
    }
    out.push_back(']');
    return true;
}

bool append_object(ByteBuffer& out, const LineLayout& layout, PyObject* items, Nest& nest) {
    out.push_back('{');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        std::string_view key;
        PyRef hold;
        if (!printable_text(PyTuple_GET_ITEM(item, 0), key, hold)) return false;
        if (i) out.push_back(',');
        append_nested_key(out, key);
        if (!append_value(out, layout, PyTuple_GET_ITEM(item, 1), nest)) return false;
    }
    out.push_back('}');
    return true;
}

// A dict (str keys only), list or tuple as nested JSON. Declined (false, no
// exception) for a dict with another key; what was written is then taken back.
// Snapshots hold their items: a value's str() may change the container.
bool append_container(ByteBuffer& out, const LineLayout& layout, PyObject* value, Nest& nest,
                      bool& declined) {
    PyRef snapshot;
    if (PyDict_Check(value)) {
        snapshot = PyRef::steal(PyDict_Items(value));
        if (!snapshot) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
            if (!PyUnicode_Check(PyTuple_GET_ITEM(PyList_GET_ITEM(snapshot.get(), i), 0))) {
                declined = true;
                return false;
            }
    } else if (PyList_Check(value)) {
        snapshot = PyRef::steal(PySequence_Tuple(value));
        if (!snapshot) return false;
    } else {
        snapshot = PyRef::borrow(value);
    }
    nest.open[nest.depth++] = value;
    const bool ok = PyDict_Check(value) ? append_object(out, layout, snapshot.get(), nest)
                                        : append_array(out, layout, snapshot.get(), nest);
    --nest.depth;
    return ok;
}

bool append_value(ByteBuffer& out, const LineLayout& layout, PyObject* value, Nest& nest) {
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        PyRef hold;
        if (!printable_text(value, text, hold)) return false;
        append_field_text(out, layout, text);
        return true;
    }
    if (value == Py_None) {
        append_field_literal(out, "null");
        return true;
    }
    if (PyBool_Check(value)) {
        append_field_literal(out, value == Py_True ? "true" : "false");
        return true;
    }
    if (PyLong_Check(value)) return append_int(out, layout, value);
    if (PyFloat_Check(value)) {
        append_field_float(out, layout, PyFloat_AS_DOUBLE(value));
        return true;
    }
    if (PyDict_Check(value) || PyList_Check(value) || PyTuple_Check(value)) {
        const std::string_view placeholder = PyDict_Check(value) ? "{...}" : "[...]";
        if (nest.holds(value)) return append_cycle(out, layout, value, placeholder);
        if (nest.depth == kFieldNestMax) {
            append_field_text(out, layout, placeholder);
            return true;
        }
        bool declined = false;
        if (layout.json) {
            const std::size_t start = out.size();
            if (append_container(out, layout, value, nest, declined)) return true;
            if (!declined) return false;
            out.resize_down(start);
        } else {
            // The text layouts write the compact JSON text as a string value.
            ByteBuffer json;
            if (append_container(json, LineLayout::json_layout(), value, nest, declined)) {
                append_field_text(out, layout, json.view());
                return true;
            }
            if (!declined) return false;
        }
    } else if (is_date_or_time(value)) {
        return append_made_text(out, layout, value,
                                PyObject_CallMethod(value, "isoformat", nullptr));
    }
    return append_made_text(out, layout, value, PyObject_Str(value));
}

}  // namespace

bool append_field(ByteBuffer& out, const LineLayout& layout, std::string_view key,
                  PyObject* value) {
    append_field_key(out, layout, key);
    Nest nest;
    return append_value(out, layout, value, nest);
}

namespace {

// The key piece at the end of `out`, which has room for it and kPiecePad more.
[[gnu::always_inline]] inline char* put_key(ByteBuffer& out, const char* piece, std::size_t size) {
    char* p = out.end();
    copy_padded(p, piece, size);
    return p + size;
}

}  // namespace

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

bool fits_in_int64(PyObject* value) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    return !overflow;
}

bool append_plain_field(ByteBuffer& out, const LineLayout& layout, const char* key_piece,
                        std::size_t key_size, PyObject* value) {
    // Each kind makes room for key and value at once, and writes both in place.
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        if (!utf8_view(value, text)) return false;
        out.reserve_extra(key_size + text.size() * JSON_ESCAPE_MAX_GROWTH + 2 + kPiecePad);
        char* p = put_key(out, key_piece, key_size);
        if (!layout.json && bare_field_value(text)) {
            copy_bytes(p, text.data(), text.size());
            p += text.size();
        } else {
            *p++ = '"';
            p = escape_for_layout(p, text, layout.json);
            *p++ = '"';
        }
        out.commit(static_cast<std::size_t>(p - out.end()));
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (i == -1 && PyErr_Occurred()) return false;
        out.reserve_extra(key_size + kI64Max + kPiecePad);
        char* p = put_key(out, key_piece, key_size);
        if (overflow) {
            // Not a plain_field_value: written as append_field writes it.
            out.commit(key_size);
            return append_int(out, layout, value);
        }
        *p = '-';  // a non-negative value overwrites it
        const std::uint64_t magnitude =
            i < 0 ? 0 - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i);
        p = digits::write_u64(p + (i < 0), magnitude);
        out.commit(static_cast<std::size_t>(p - out.end()));
        return true;
    }
    out.reserve_extra(key_size + kPiecePad);
    out.commit(static_cast<std::size_t>(put_key(out, key_piece, key_size) - out.end()));
    if (PyFloat_CheckExact(value))
        append_field_float(out, layout, PyFloat_AS_DOUBLE(value));
    else
        append_field_literal(out, value == Py_None ? "null" : value == Py_True ? "true" : "false");
    return true;
}

}  // namespace ferrant
