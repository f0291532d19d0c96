#pragma once

#include "binding/py_context_fields.hpp"
#include "binding/py_ref.hpp"
#include "binding/py_rendered_fields.hpp"

// The ids of the OpenTelemetry span current in the running context, written
// as trace_id and span_id (W3C lowercase hex) on every Logger's line while
// they are asked for. The span is found as opentelemetry's own API finds it:
// its Context read from the runtime's ContextVar, the span under its key.
// The ids are rendered once per span object and kept with a strong reference
// to it, so that its address names it for as long as the entry lives.

namespace ferrant {

// The current span's ids added to the context's fields `out` (null for
// none), held by `hold`: the ids alone, or both sets in one, made once per
// pair. The ids are weak fields: any other source's field of their key wins.
// Runs Python code for a span not seen lately. False with an exception set.
[[nodiscard]] bool add_trace_fields(PyRef& hold, const RenderedFields*& out);

// _set_trace_context(source): None (off), (context_var, span_key, get_span)
// or get_span alone, a callable returning the current span, for a runtime
// context that keeps no ContextVar. Returns the previous source or None.
extern PyMethodDef SET_TRACE_CONTEXT_DEF;

}  // namespace ferrant
