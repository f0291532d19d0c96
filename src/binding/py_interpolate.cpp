#include "binding/py_interpolate.hpp"

#include <cmath>
#include <cstring>
#include <string_view>

#include "binding/py_conversion.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_template_cache.hpp"
#include "binding/py_text.hpp"

namespace ferrant {

namespace {

Rendered append_utf8(ByteBuffer& out, PyObject* str) {
    std::string_view text;
    if (!utf8_view(str, text)) return Rendered::Failed;
    out.append(text);
    return Rendered::Done;
}

// str(a) or repr(a), appended.
Rendered append_converted(ByteBuffer& out, PyObject* a, bool use_repr) {
    PyRef text = PyRef::steal(use_repr ? PyObject_Repr(a) : PyObject_Str(a));
    if (!text) return Rendered::Failed;
    return append_utf8(out, text.get());
}

// Appends to the message being built, unescaped: the line's layout escapes
// the whole message afterwards.
struct BufferSink {
    ByteBuffer& out;
    void text(std::string_view t) { out.append(t); }
    void integer(char c, long long i) { push_i64_as(out, c, i); }
    void fixed6(double f) { push_f64_fixed6(out, f); }
    void repr(double f) { (void)push_f64_repr(out, f); }
};

Rendered render(ByteBuffer& out, char c, PyObject* a) {
    BufferSink sink{out};
    if (const Rendered done = convert(c, a, sink); done != Rendered::Declined) return done;
    // str() and repr() of anything else are the interpreter's, one argument
    // at a time; the numeric conversions then need its whole `%`.
    if (c == 's' || c == 'r') return append_converted(out, a, c == 'r');
    return Rendered::Declined;
}

Rendered scan(std::string_view tpl, PyObject* const* args, Py_ssize_t n, ByteBuffer& out) {
    Py_ssize_t next = 0;
    const char* p = tpl.data();
    const char* const end = p + tpl.size();
    while (p < end) {
        const char* pct = static_cast<const char*>(std::memchr(p, '%', end - p));
        if (!pct) {
            out.append(p, end - p);
            break;
        }
        out.append(p, pct - p);
        if (pct + 1 == end) return Rendered::Declined;
        const char c = pct[1];
        p = pct + 2;
        switch (c) {
        case '%':
            out.push_back('%');
            continue;
        case 'd': case 'i': case 'o': case 'x': case 'f': case 'r': case 's': {
            if (next == n) return Rendered::Declined;
            Rendered step = render(out, c, args[next++]);
            if (step != Rendered::Done) return step;
            continue;
        }
        default:
            return Rendered::Declined;
        }
    }
    return next < n ? Rendered::Declined : Rendered::Done;
}

// The same steps as scan, on a template parsed before.
Rendered run_template(const MessageTemplate& t, const char* tpl, PyObject* const* args,
                      Py_ssize_t n,
                  ByteBuffer& out) {
    Py_ssize_t next = 0;
    for (int i = 0; i < t.conversions; ++i) {
        out.append(tpl + t.run_offset[i], t.run_length[i]);
        const char c = t.conversion[i];
        if (c == '%') {
            out.push_back('%');
            continue;
        }
        if (c == MessageTemplate::kFallback || next == n) return Rendered::Declined;
        const Rendered step = render(out, c, args[next++]);
        if (step != Rendered::Done) return step;
    }
    out.append(tpl + t.run_offset[t.conversions], t.run_length[t.conversions]);
    return next < n ? Rendered::Declined : Rendered::Done;
}

Rendered format_template(PyObject* message, PyObject* const* args, Py_ssize_t n, ByteBuffer& out) {
    std::string_view tpl;
    if (PyUnicode_CheckExact(message)) [[likely]] {
        const char* copy;
        const MessageTemplate* cached = cached_template(message, copy);
        if (!cached) return Rendered::Failed;
        if (cached->fits) {
            // Argument code may log and evict the entry, freeing its copy.
            const MessageTemplate t = *cached;
            if (!utf8_view(message, tpl)) return Rendered::Failed;
            return run_template(t, tpl.data(), args, n, out);
        }
    }
    // Only exact strs are cached: releasing one never runs Python code.
    if (!utf8_view(message, tpl)) return Rendered::Failed;
    return scan(tpl, args, n, out);
}

// The interpreter may fail without setting an exception; the caller always
// gets one.
bool failed() {
    (void)python_error();
    return false;
}

}  // namespace

bool fallback_format(ByteBuffer& out, PyObject* message, PyObject* operand) {
    out.clear();
    PyRef result = PyRef::steal(PyNumber_Remainder(message, operand));
    if (!result) return failed();
    if (!PyUnicode_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "message formatting returned %.200s, not str",
                     Py_TYPE(result.get())->tp_name);
        return false;
    }
    return append_utf8(out, result.get()) == Rendered::Done || failed();
}

bool interpolate(PyObject* message, PyObject* const* args, Py_ssize_t n, ByteBuffer& out) {
    if (n == 1 && PyDict_Check(args[0])) [[unlikely]] {
        PyObject* mapping = args[0];
        int truth = PyObject_IsTrue(mapping);
        if (truth < 0) return failed();
        if (truth) return fallback_format(out, message, mapping);
    }
    switch (format_template(message, args, n, out)) {
    case Rendered::Done: return true;
    case Rendered::Failed: return failed();
    case Rendered::Declined: break;
    }
    PyRef tuple = PyRef::steal(PyTuple_New(n));
    if (!tuple) return failed();
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    return fallback_format(out, message, tuple.get());
}

}  // namespace ferrant
