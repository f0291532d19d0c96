#pragma once

#include "binding/py_ref.hpp"
#include "lib/line_format.hpp"
#include "lib/message_template.hpp"

namespace ferrant {

// The parsed form of a template that is exactly a str, and a copy of its
// UTF-8 bytes followed by kPiecePad more (the padding contract of
// line_format.hpp), from a bounded cache keyed by
// the str object. Each entry holds a strong reference to its key, so a
// cached address cannot be reused by another object while the entry lives;
// an evicted key is released. Null with an exception set when the template
// has no UTF-8 form (lone surrogates) or memory runs out.
// Both results are valid until the next call: Python code run in between
// (an argument's __str__) may log and evict the entry, so callers that run
// such code copy the parsed form and read the str's own bytes.
// Needs the GIL, which serialises every use of the cache.
const MessageTemplate* cached_template(PyObject* exact_str, const char*& utf8);

}  // namespace ferrant
