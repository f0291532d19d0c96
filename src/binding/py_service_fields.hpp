#pragma once

#include <cstdint>

#include "binding/py_ref.hpp"
#include "binding/py_rendered_fields.hpp"

// The fields of the whole service (basic_config(fields=...)): rendered once
// and written on every Logger's line before its bound fields. A Logger keeps
// them merged with its own bound fields, so that a call pays for them what it
// pays for bound fields, and merges again when they change (at its next
// record, as for any change of the configuration).

namespace ferrant {

struct FieldLoggerObject;

// Names the current set; 0 while there is none.
std::uint64_t service_fields_id();

// The service's fields rendered again for the current redacted keys, under
// a new id. False with an exception set; they are then as they were.
bool rerender_service_fields();

// The logger's bound fields made again from its own and the service's: the
// service's first, but for the keys its own fields bind again. False with an
// exception set (out of memory); the logger is then as it was.
bool merge_service_fields(FieldLoggerObject& logger);

// _set_service_fields(fields): a dict (or None for none) whose items are
// rendered now; returns the previous dict or None.
extern PyMethodDef SET_SERVICE_FIELDS_DEF;

}  // namespace ferrant
