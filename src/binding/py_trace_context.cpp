#include "binding/py_trace_context.hpp"

#include <cstdint>
#include <utility>

#include "binding/py_boundary.hpp"

namespace ferrant {

namespace {

PyObject* SOURCE = nullptr;    // as given, for the one who sets it next
PyObject* VAR = nullptr;       // the runtime's ContextVar, or null
PyObject* SPAN_KEY = nullptr;  // the current span's key in its Context
PyObject* GET_SPAN = nullptr;  // the API's get_current_span

// A span seen lately: a service interleaves a few (threads, tasks).
struct Entry {
    PyRef span;
    PyRef state;  // its fields, or empty for a span without valid ids
    // The Context it was last found in: immutable, so that the same one
    // holds the same span and the lookup in it can be skipped.
    PyRef context;
};
constexpr std::size_t kEntries = 4;
// Never destroyed: its references outlive the interpreter. GIL held.
Entry* const SEEN = new Entry[kEntries];
std::size_t NEXT_EVICTED = 0;

PyObject* TRACE_ID_KEY = nullptr;
PyObject* SPAN_ID_KEY = nullptr;
PyObject* TRACE_ID_FORMAT = nullptr;
PyObject* SPAN_ID_FORMAT = nullptr;

bool init_names() {
    if (TRACE_ID_KEY) return true;
    TRACE_ID_KEY = PyUnicode_InternFromString("trace_id");
    SPAN_ID_KEY = PyUnicode_InternFromString("span_id");
    TRACE_ID_FORMAT = PyUnicode_InternFromString("032x");
    SPAN_ID_FORMAT = PyUnicode_InternFromString("016x");
    return TRACE_ID_KEY && SPAN_ID_KEY && TRACE_ID_FORMAT && SPAN_ID_FORMAT;
}

// The span current in the running context (null for none), borrowed from
// `owner`: the Context holding it, or the span itself when the API was asked.
// `hit`: the entry already found for that Context, if any.
bool current_span(PyRef& owner, PyObject*& span, Entry*& hit) {
    span = nullptr;
    hit = nullptr;
    if (VAR) [[likely]] {
        PyObject* context = nullptr;
        if (PyContextVar_Get(VAR, nullptr, &context) < 0) return false;
        owner = PyRef::steal(context);
        if (!context) return true;
        for (Entry* e = SEEN; e != SEEN + kEntries; ++e)
            if (e->context.get() == context) [[likely]] {
                hit = e;
                span = e->span.get();
                return true;
            }
        // opentelemetry's Context is a dict: what its get_value reads.
        if (PyDict_Check(context)) [[likely]] {
            span = PyDict_GetItemWithError(context, SPAN_KEY);
            return span || !PyErr_Occurred();
        }
    }
    owner = PyRef::steal(PyObject_CallNoArgs(GET_SPAN));
    if (!owner) {
        // A tracing API that fails costs the line its ids, not the line.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    span = owner.get();
    return true;
}

// `id` as `digits` lowercase hex digits, or empty when it is no positive
// int of at most that many digits (the invalid span's ids are 0).
bool hex_id(PyObject* id, PyObject* format, Py_ssize_t digits, PyRef& out) {
    if (!PyLong_Check(id)) return true;
    PyRef text = PyRef::steal(PyObject_Format(id, format));
    if (!text) return false;
    const int nonzero = PyObject_IsTrue(id);
    if (nonzero < 0) return false;
    if (nonzero && PyUnicode_GET_LENGTH(text.get()) == digits &&
        PyUnicode_READ_CHAR(text.get(), 0) != '-')
        out = std::move(text);
    return true;
}

// The state of `span`'s fields, rendered for every layout; empty when its
// ids are not valid ones. Runs Python code (get_span_context()).
bool render_span(PyObject* span, PyRef& state) {
    PyRef context = PyRef::steal(PyObject_CallMethod(span, "get_span_context", nullptr));
    if (!context) {
        // Not a span: no ids, as for the API's invalid span.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    PyRef trace_id = PyRef::steal(PyObject_GetAttrString(context.get(), "trace_id"));
    PyRef span_id = PyRef::steal(PyObject_GetAttrString(context.get(), "span_id"));
    PyRef trace_hex, span_hex;
    if (!trace_id || !span_id) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    if (!hex_id(trace_id.get(), TRACE_ID_FORMAT, 32, trace_hex) ||
        !hex_id(span_id.get(), SPAN_ID_FORMAT, 16, span_hex))
        return false;
    if (!trace_hex || !span_hex) return true;
    RenderedFields fields;
    if (!fields.render(TRACE_ID_KEY, trace_hex.get()) ||
        !fields.render(SPAN_ID_KEY, span_hex.get()))
        return false;
    for (RenderedField& f : fields.fields) f.weak = true;
    fields.seal();
    state = fields_state(std::move(fields));
    return static_cast<bool>(state);
}

// A context's fields and a span's ids in one set, as a record writes them.
struct Pair {
    PyRef context, trace, both;
};
constexpr std::size_t kPairs = 4;
Pair* const PAIRS = new Pair[kPairs];  // never destroyed, as SEEN
std::size_t NEXT_PAIR = 0;

void forget_spans() {
    // Moved out first: a span's release may run code that logs.
    Entry gone[kEntries];
    for (std::size_t i = 0; i < kEntries; ++i) std::swap(gone[i], SEEN[i]);
    Pair gone_pairs[kPairs];
    for (std::size_t i = 0; i < kPairs; ++i) std::swap(gone_pairs[i], PAIRS[i]);
}

// `context` (a state) and `trace` (one) made one state: the context's fields,
// then the ids whose keys it does not give. Null with an exception set.
PyRef pair_state(PyObject* context, PyObject* trace) {
    const RenderedFields& c = *state_fields(context);
    const RenderedFields& t = *state_fields(trace);
    RenderedFields both;
    for (const RenderedField& f : c.fields)
        if (!both.copy(c, f)) return {};
    for (const RenderedField& f : t.fields)
        if (!c.has(f.key) && !both.copy(t, f)) return {};
    both.seal();
    return fields_state(std::move(both));
}

bool current_trace_fields(PyRef& hold, const RenderedFields*& out);

PyObject* set_trace_context(PyObject*, PyObject* source) {
    PyObject *var = nullptr, *key = nullptr, *get_span = source;
    if (PyTuple_Check(source)) {
        if (!PyArg_ParseTuple(source, "O!UO:_set_trace_context", &PyContextVar_Type, &var, &key,
                              &get_span))
            return nullptr;
    }
    if (source != Py_None && !PyCallable_Check(get_span)) {
        PyErr_SetString(PyExc_TypeError,
                        "expected None, (context_var, span_key, get_span) or get_span");
        return nullptr;
    }
    if (!init_names()) return nullptr;
    PyObject* previous = SOURCE;
    SOURCE = Py_NewRef(source);
    Py_XSETREF(VAR, Py_XNewRef(var));
    Py_XSETREF(SPAN_KEY, Py_XNewRef(key));
    Py_XSETREF(GET_SPAN, source == Py_None ? nullptr : Py_NewRef(get_span));
    if (source == Py_None)
        CONTEXT_SOURCES &= static_cast<unsigned char>(~kTraceContext);
    else
        CONTEXT_SOURCES |= kTraceContext;
    forget_spans();
    if (!previous || previous == Py_None) {
        Py_XDECREF(previous);
        Py_RETURN_NONE;
    }
    return previous;
}

bool current_trace_fields(PyRef& hold, const RenderedFields*& out) {
    out = nullptr;
    PyRef owner;
    PyObject* span;
    Entry* hit;
    if (!current_span(owner, span, hit)) return false;
    if (!span) return true;
    PyRef gone_context;  // released last: a Context's release may run code that logs
    if (!hit) {
        for (Entry* e = SEEN; e != SEEN + kEntries; ++e)
            if (e->span.get() == span) {
                hit = e;
                if (VAR && owner.get() != span)
                    gone_context = std::exchange(e->context, PyRef::borrow(owner.get()));
                break;
            }
    }
    // Rendered for other redacted keys: forgotten, and rendered again below.
    Entry stale;
    if (hit && hit->state && state_fields(hit->state.get())->stale()) [[unlikely]] {
        std::swap(stale, *hit);
        hit = nullptr;
    }
    if (hit) [[likely]] {
        if (hit->state) {
            hold = PyRef::borrow(hit->state.get());
            out = state_fields(hold.get());
        }
        // Released here, with the GIL surely held (PyRef's release would
        // first ask).
        Py_DECREF(owner.release());
        return true;
    }
    PyRef state;
    if (!render_span(span, state)) return false;
    PyRef context = VAR && owner.get() != span ? PyRef::borrow(owner.get()) : PyRef();
    // The entry replaced is released after it is no longer reachable.
    Entry gone{PyRef::borrow(span), std::move(state), std::move(context)};
    std::swap(gone, SEEN[NEXT_EVICTED]);
    const Entry& fresh = SEEN[NEXT_EVICTED];
    NEXT_EVICTED = (NEXT_EVICTED + 1) % kEntries;
    if (fresh.state) {
        hold = PyRef::borrow(fresh.state.get());
        out = state_fields(hold.get());
    }
    return true;
}

}  // namespace

bool add_trace_fields(PyRef& hold, const RenderedFields*& out) {
    PyRef trace;
    const RenderedFields* ids = nullptr;
    if (!current_trace_fields(trace, ids)) return false;
    if (!ids) return true;
    if (!out) {
        hold = std::move(trace);
        out = ids;
        return true;
    }
    for (Pair* p = PAIRS; p != PAIRS + kPairs; ++p)
        if (p->context.get() == hold.get() && p->trace.get() == trace.get()) [[likely]] {
            hold = PyRef::borrow(p->both.get());
            out = state_fields(hold.get());
            return true;
        }
    PyRef both = pair_state(hold.get(), trace.get());
    if (!both) return false;
    // The pair replaced is released after it is no longer reachable.
    Pair gone{PyRef::borrow(hold.get()), std::move(trace), PyRef::borrow(both.get())};
    std::swap(gone, PAIRS[NEXT_PAIR]);
    NEXT_PAIR = (NEXT_PAIR + 1) % kPairs;
    hold = std::move(both);
    out = state_fields(hold.get());
    return true;
}

PyMethodDef SET_TRACE_CONTEXT_DEF = {"_set_trace_context", boundary<set_trace_context>, METH_O,
                                     "_set_trace_context(source, /)\n--\n\n"};

}  // namespace ferrant
