#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

// Keys of fields as they are given (a call's keywords, bind's, a context's,
// a Handler's extra) and as they are written (lib/field_format.hpp's rules).

namespace ferrant {

// The key a field given as `key` (a str) is written under: its own text when
// it is a valid key that the line does not write itself and not `exc_info`
// (the level methods' own keyword), else its safe_field_key, kept in
// `storage`. False only with an exception set (out of memory).
bool field_key(PyObject* key, std::string_view& out, std::string& storage);

// Whether field_key writes `key` as it is, its text then key_text(key).
bool plain_field_key(PyObject* key);

// The text of a compact ASCII str.
inline std::string_view key_text(PyObject* key) {
    return {static_cast<const char*>(PyUnicode_DATA(key)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))};
}

// Whether `key` (a str) is `exc_info`.
bool is_exc_info(PyObject* key);

// A names tuple of a call, as a call site passes it every time (a constant
// of its code): where exc_info stands, the keys as written, and, per layout,
// every key's separator and key rendered once. Remembered for the tuples
// seen last; an entry stays valid until check_call_keys next meets a tuple
// it does not hold, which only a call that runs Python code can cause.
struct CallNames {
    PyObject* names = nullptr;  // a strong reference, so the address is not reused
    std::uint64_t id = 0;       // never reused: override decisions are keyed by it
    Py_ssize_t exc_info_at = -1;  // -1: none
    Py_ssize_t count = 0;         // places in the tuple
    bool fields = false;          // a place besides exc_info
    std::vector<std::string> written;  // per place; exc_info's is empty
    // Per layout slot, built on first use (see call_key_pieces).
    ByteBuffer pieces[LineLayout::kSlots];
    std::vector<std::uint32_t> begin[LineLayout::kSlots];
    // The REDACT_GENERATION at which no place was found redacted; 0 while
    // some place is (or the tuple was not checked).
    std::uint64_t clean_at = 0;
    std::uint64_t checked_at = 0;   // the generation `redacted` is of
    std::vector<bool> redacted;     // per place
};

// What a call's keywords are; null with an exception set (out of memory).
// Valid as CallNames says.
CallNames* check_call_keys(PyObject* kwnames);

// `names`'s places checked against the current redacted keys. False with
// an exception set (out of memory).
bool check_redacted(CallNames& names);

// Piece i (the separator and key of place i as `layout` writes them; empty
// for exc_info) runs from text + begin[i] to text + begin[i + 1], with
// kPiecePad readable bytes after every piece.
struct KeyPieces {
    const char* text;
    const std::uint32_t* begin;
};
KeyPieces call_key_pieces(CallNames& names, const LineLayout& layout);

}  // namespace ferrant
