#pragma once

#include <cmath>
#include <string_view>

#include "binding/py_ref.hpp"
#include "binding/py_text.hpp"
#include "lib/number_render.hpp"

namespace ferrant {

// What a native rendering step made of its input: Done; Declined when the
// interpreter's own rendering is needed (what the step wrote is discarded);
// Failed with a Python exception set.
enum class Rendered { Done, Declined, Failed };

// The one place that decides which arguments a conversion renders natively,
// for the line written straight into a batch and for the message built in a
// buffer alike; each gives a sink that writes what it is handed:
//   text(std::string_view)   the UTF-8 of a str, unescaped
//   integer(char c, long long) an int for conversion `c` (decimal unless 'o' or 'x')
//   fixed6(double)           a finite float for 'f'
//   repr(double)             a float whose repr has no exponent (f64_repr_positional)
// The rules are the interpreter's: %d %i %o %x take any int (bool and other
// subclasses format as their value), %f any float; %s and %r render exact
// ints and floats as repr does, and %s an exact str as itself; everything
// else is the interpreter's (str(), repr(), __index__, a too-large int).
template <class Sink>
[[gnu::always_inline]] inline Rendered convert(char c, PyObject* a, Sink& sink) {
    long long i;
    int overflow = 0;
    switch (c) {
    case 'd':
    case 'i':
    case 'o':
    case 'x':
        if (!PyLong_Check(a)) return Rendered::Declined;
        i = PyLong_AsLongLongAndOverflow(a, &overflow);
        if (overflow) return Rendered::Declined;
        sink.integer(c, i);
        return Rendered::Done;
    case 'f': {
        if (!PyFloat_Check(a)) return Rendered::Declined;
        const double f = PyFloat_AS_DOUBLE(a);
        if (!std::isfinite(f)) return Rendered::Declined;
        sink.fixed6(f);
        return Rendered::Done;
    }
    default:  // 's', 'r'
        if (PyUnicode_CheckExact(a)) {
            if (c != 's') return Rendered::Declined;
            std::string_view text;
            if (!utf8_view(a, text)) return Rendered::Failed;
            sink.text(text);
            return Rendered::Done;
        }
        if (PyLong_CheckExact(a)) {
            i = PyLong_AsLongLongAndOverflow(a, &overflow);
            if (overflow) return Rendered::Declined;
            sink.integer('d', i);
            return Rendered::Done;
        }
        if (PyFloat_CheckExact(a)) {
            const double f = PyFloat_AS_DOUBLE(a);
            if (!f64_repr_positional(f)) return Rendered::Declined;
            sink.repr(f);
            return Rendered::Done;
        }
        return Rendered::Declined;
    }
}

}  // namespace ferrant
