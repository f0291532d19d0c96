#pragma once

#include "binding/py_ref.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace ferrant {

// UTF-8 bytes of a str (or subclass), borrowed from the object. False with
// UnicodeEncodeError set for lone surrogates.
[[gnu::always_inline]] inline bool utf8_view(PyObject* str, std::string_view& out) {
    // Compact ASCII strings are their own UTF-8: no call needed.
    if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
        out = {static_cast<const char*>(PyUnicode_DATA(str)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
        return true;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) return false;
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

// A `path` argument: omitted or None is standard output, a str is a path.
// A path holding a NUL raises ValueError, as open() does.
bool convert_optional_path(const char* function, PyObject* arg, std::optional<std::string>& out);

}  // namespace ferrant
