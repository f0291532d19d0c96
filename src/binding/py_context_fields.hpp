#pragma once

#include "binding/py_ref.hpp"
#include "binding/py_rendered_fields.hpp"

// Fields bound to the running context (contextvars): each asyncio task and
// each thread sees its own. The value of one ContextVar is an immutable
// state, rendered for every layout when bound; a bind sets a new state and
// never touches one that another context may hold.

namespace ferrant {

using ContextFields = RenderedFields;

// What a record looks up in its running context: the context fields once
// the variable has ever held any (until then no record has any), and the
// trace's ids while they are asked for. None set, a call looks nothing up
// and pays one load (GIL held). Process-wide: the module is single-phase,
// one per process.
enum : unsigned char { kContextFields = 1, kTraceContext = 2 };
inline unsigned char CONTEXT_SOURCES = 0;

// The running context's fields, the current span's ids among them while
// they are asked for, or null when it has none (`hold` then stays empty).
// May run Python code (a new span's ids). False with an exception set.
[[nodiscard]] bool current_context_fields(PyRef& hold, const ContextFields*& out);

// The trace's ids come among them, after the context's own and weak (see
// RenderedField), so that a call pays nothing more for them.
[[gnu::always_inline]] inline bool context_fields(PyRef& hold, const ContextFields*& out) {
    if (!CONTEXT_SOURCES) [[likely]] {
        out = nullptr;
        return true;
    }
    return current_context_fields(hold, out);
}

// An immutable object holding `fields`, so that a record keeps them alive
// while Python code run for its values changes what is current. Null with
// an exception set.
PyRef fields_state(RenderedFields&& fields);

// The fields of what fields_state made.
const RenderedFields* state_fields(PyObject* state);

extern PyMethodDef BIND_CONTEXTVARS_DEF;
extern PyMethodDef UNBIND_CONTEXTVARS_DEF;
extern PyMethodDef CLEAR_CONTEXTVARS_DEF;
extern PyMethodDef GET_CONTEXT_FIELDS_DEF;
extern PyMethodDef SET_CONTEXT_FIELDS_DEF;

// Makes the ContextVar and the state's class; false with an exception set.
bool init_context_fields();

}  // namespace ferrant
