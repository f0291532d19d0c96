#include "binding/py_context_fields.hpp"

#include <new>
#include <type_traits>
#include <utility>

#include "binding/py_boundary.hpp"
#include "binding/py_field_keys.hpp"
#include "binding/py_trace_context.hpp"

namespace ferrant {

namespace {

struct ContextFieldsObject {
    PyObject_HEAD
    ContextFields fields;
};

// Moved into a state just allocated, which must never be left half made.
// (Its destructor may run Python code, so the trait that asks for a nothrow
// destructor as well does not apply.)
static_assert(noexcept(::new (static_cast<void*>(nullptr))
                           ContextFields(std::declval<ContextFields>())));

PyObject* STATE_TYPE = nullptr;
// Made here, not in Python: PyContextVar_Get then hits the variable's
// per-thread cache without a call through the contextvars module.
PyObject* VAR = nullptr;

const ContextFields* fields_of(PyObject* state) { return state_fields(state); }

void state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ContextFieldsObject*>(self)->fields.~ContextFields();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot STATE_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_doc, const_cast<char*>("Fields bound to a context; immutable.")},
    {0, nullptr},
};

PyType_Spec STATE_SPEC = {
    "ferrant._logger._ContextFields", sizeof(ContextFieldsObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    STATE_SLOTS};

// The variable's value: a state, or null for none (never set, or None).
bool current_state(PyRef& out) {
    PyObject* value = nullptr;
    if (PyContextVar_Get(VAR, nullptr, &value) < 0) return false;
    out = PyRef::steal(value);
    if (out && out.get() == Py_None) out = PyRef();
    return true;
}

// Sets `fields` as the variable's value, or None when there are none.
bool set_state(ContextFields&& fields) {
    PyRef state;
    if (fields.fields.empty()) {
        state = PyRef::borrow(Py_None);
    } else {
        fields.seal();
        state = fields_state(std::move(fields));
        if (!state) return false;
        CONTEXT_SOURCES |= kContextFields;
    }
    PyRef token = PyRef::steal(PyContextVar_Set(VAR, state.get()));
    return static_cast<bool>(token);
}

// Whether `f`'s key is among the `n` `keys`.
bool among(const RenderedField& f, PyObject* const* keys, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view key;
        std::string storage;
        if (field_key(keys[i], key, storage) && key == f.key) return true;
        PyErr_Clear();  // out of memory: taken as another key
    }
    return false;
}

// unbind_contextvars takes any str, as a key it might have been given.
bool check_keys(PyObject* const* keys, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_Check(keys[i])) {
            PyErr_Format(PyExc_TypeError, "field keys must be str, not %.100s",
                         Py_TYPE(keys[i])->tp_name);
            return false;
        }
    return true;
}

PyObject* bind_contextvars(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0) {
        PyErr_SetString(PyExc_TypeError, "bind_contextvars() takes no positional arguments");
        return nullptr;
    }
    const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keys = n ? PySequence_Fast_ITEMS(kwnames) : nullptr;
    if (!check_keys(keys, n)) return nullptr;
    if (n == 0) Py_RETURN_NONE;
    PyRef old_state;
    if (!current_state(old_state)) return nullptr;
    ContextFields next;
    if (old_state) {
        const ContextFields& old = *fields_of(old_state.get());
        for (const RenderedField& f : old.fields)
            if (!among(f, keys, n) && !next.copy(old, f)) return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!next.render(keys[i], args[i])) return nullptr;
    if (!set_state(std::move(next))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* unbind_contextvars(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_keys(args, nargs)) return nullptr;
    PyRef old_state;
    if (!current_state(old_state)) return nullptr;
    if (!old_state) Py_RETURN_NONE;
    const ContextFields& old = *fields_of(old_state.get());
    ContextFields next;
    for (const RenderedField& f : old.fields)
        if (!among(f, args, nargs) && !next.copy(old, f)) return nullptr;
    if (!set_state(std::move(next))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* clear_contextvars(PyObject*, PyObject*) {
    if (!set_state(ContextFields())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_context_fields(PyObject*, PyObject*) {
    PyRef state;
    if (!current_state(state)) return nullptr;
    return state ? state.release() : Py_NewRef(Py_None);
}

PyObject* set_context_fields(PyObject*, PyObject* state) {
    if (state != Py_None && Py_TYPE(state) != reinterpret_cast<PyTypeObject*>(STATE_TYPE)) {
        PyErr_Format(PyExc_TypeError, "expected what _context_fields() returned, not %.100s",
                     Py_TYPE(state)->tp_name);
        return nullptr;
    }
    PyRef token = PyRef::steal(PyContextVar_Set(VAR, state));
    if (!token) return nullptr;
    if (state != Py_None) CONTEXT_SOURCES |= kContextFields;
    Py_RETURN_NONE;
}

}  // namespace

PyRef fields_state(RenderedFields&& fields) {
    auto* type = reinterpret_cast<PyTypeObject*>(STATE_TYPE);
    PyRef state = PyRef::steal(type->tp_alloc(type, 0));
    if (!state) return {};
    new (&reinterpret_cast<ContextFieldsObject*>(state.get())->fields)
        ContextFields(std::move(fields));
    return state;
}

const RenderedFields* state_fields(PyObject* state) {
    return &reinterpret_cast<ContextFieldsObject*>(state)->fields;
}

namespace {

// The context's fields were rendered for other redacted keys: rendered again
// and set in their place, so that the context's next records find them so.
[[gnu::noinline]] bool render_context_again(PyRef& hold, const ContextFields*& out) {
    ContextFields next;
    if (!out->render_again(next)) return false;
    if (!set_state(std::move(next)) || !current_state(hold)) return false;
    out = hold ? fields_of(hold.get()) : nullptr;
    return true;
}

}  // namespace

bool current_context_fields(PyRef& hold, const ContextFields*& out) {
    out = nullptr;
    if (CONTEXT_SOURCES & kContextFields) {
        if (!current_state(hold)) return false;
        if (hold) {
            out = fields_of(hold.get());
            if (out->stale() && !render_context_again(hold, out)) [[unlikely]]
                return false;
        }
    }
    if (CONTEXT_SOURCES & kTraceContext) [[unlikely]]
        return add_trace_fields(hold, out);
    return true;
}

bool init_context_fields() {
    if (!STATE_TYPE && !(STATE_TYPE = PyType_FromSpec(&STATE_SPEC))) return false;
    if (!VAR && !(VAR = PyContextVar_New("ferrant.contextvars", nullptr))) return false;
    return true;
}

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef BIND_CONTEXTVARS_DEF = {
    "_bind_contextvars", FAST(boundary<bind_contextvars>), METH_FASTCALL | METH_KEYWORDS,
    "_bind_contextvars(**fields)\n--\n\n"};
PyMethodDef UNBIND_CONTEXTVARS_DEF = {"_unbind_contextvars", FAST(boundary<unbind_contextvars>),
                                      METH_FASTCALL, "_unbind_contextvars(*keys)\n--\n\n"};
PyMethodDef CLEAR_CONTEXTVARS_DEF = {"_clear_contextvars", boundary<clear_contextvars>,
                                     METH_NOARGS, "_clear_contextvars()\n--\n\n"};
PyMethodDef GET_CONTEXT_FIELDS_DEF = {"_context_fields", boundary<get_context_fields>,
                                      METH_NOARGS, "_context_fields()\n--\n\n"};
PyMethodDef SET_CONTEXT_FIELDS_DEF = {"_set_context_fields", boundary<set_context_fields>, METH_O,
                                      "_set_context_fields(state, /)\n--\n\n"};

}  // namespace ferrant
