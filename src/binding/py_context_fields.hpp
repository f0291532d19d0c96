#pragma once

#include "binding/py_ref.hpp"
#include "binding/py_rendered_fields.hpp"

// Fields bound to the running context (contextvars): each asyncio task and
// each thread sees its own. The value of one ContextVar is an immutable
// state, rendered for every layout when bound; a bind sets a new state and
// never touches one that another context may hold.

namespace ferrant {

using ContextFields = RenderedFields;

// Set once the variable has ever held fields: until then no record has any,
// and a call does not look the variable up (GIL held). A process-wide flag:
// the module is single-phase, one per process.
inline bool CONTEXT_FIELDS_EVER_SET = false;

// The running context's fields, or null when it has none (`hold` then stays
// empty). False with an exception set.
[[nodiscard]] bool current_context_fields(PyRef& hold, const ContextFields*& out);

[[gnu::always_inline]] inline bool context_fields(PyRef& hold, const ContextFields*& out) {
    if (!CONTEXT_FIELDS_EVER_SET) [[likely]] {
        out = nullptr;
        return true;
    }
    return current_context_fields(hold, out);
}

extern PyMethodDef BIND_CONTEXTVARS_DEF;
extern PyMethodDef UNBIND_CONTEXTVARS_DEF;
extern PyMethodDef CLEAR_CONTEXTVARS_DEF;
extern PyMethodDef GET_CONTEXT_FIELDS_DEF;
extern PyMethodDef SET_CONTEXT_FIELDS_DEF;

// Makes the ContextVar and the state's class; false with an exception set.
bool init_context_fields();

}  // namespace ferrant
