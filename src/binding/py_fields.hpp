#pragma once

#include <string_view>

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

namespace ferrant {

// The key of a field as given to a call or to bind(): its text when it is
// a valid key the line does not write itself, else false with ValueError set.
bool field_key(PyObject* key, std::string_view& out);

// Appends the field `key`=`value` as `layout` writes it. str, int, float,
// bool and None are rendered here without creating objects (an int beyond
// 64 bits goes through int's own repr); a date, time or datetime is its
// isoformat(); in JSON a dict with str keys, a list or a tuple is nested
// JSON; anything else is its str(). These may run Python code. False with
// that code's exception set; what was appended is then meaningless.
bool append_field(ByteBuffer& out, const LineLayout& layout, std::string_view key,
                  PyObject* value);

}  // namespace ferrant
