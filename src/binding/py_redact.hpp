#pragma once

#include <cstdint>
#include <string_view>

#include "binding/py_ref.hpp"

// Keys whose values are never written (basic_config(redact=...)): the value
// of such a key, as a field of any source or as a key of a dict inside a
// value, is written as REDACTED_TEXT. Keys match as given (before their safe
// form), ASCII letters in either case. A names tuple, a set of rendered
// fields, a context: each remembers the generation it was checked at, so a
// call that meets none of the keys pays one compare.

namespace ferrant {

inline constexpr std::string_view REDACTED_TEXT = "[redacted]";

// Names the current set of keys; moves only when the set changes. Never 0,
// so that 0 can stand for "checked at no generation". GIL held.
inline std::uint64_t REDACT_GENERATION = 1;

// Whether any key is set. GIL held.
inline bool REDACTING = false;

// 1 when `key` (a str) is one of the keys, 0 when not, -1 with an exception
// set (out of memory).
int redacted_key(PyObject* key);

// The placeholder as a str (borrowed; made at init).
PyObject* redacted_value();

// Makes the placeholder; false with an exception set.
bool init_redact();

// _set_redact(keys): a tuple of str (empty for none); returns the previous
// tuple. A change renders the service's fields again and makes every
// logger, context and names tuple check its keys again.
extern PyMethodDef SET_REDACT_DEF;

}  // namespace ferrant
