#pragma once

// Where C++ meets the interpreter. No C++ exception may cross into CPython's
// frames, except one: CPython ends a daemon thread during finalisation with
// pthread_exit, whose forced unwind must reach the bottom of the thread (and
// aborts the process if it meets a noexcept frame, so nothing here is
// noexcept).

#include <type_traits>

#include "binding/py_ref.hpp"

namespace ferrant {

// Call only from a catch-all handler. Rethrows the exception being handled
// if it is a forced unwind; returns otherwise.
void rethrow_if_forced_unwind();

// Call only from a catch-all handler. Sets the Python exception for the C++
// one being handled (MemoryError for bad_alloc, RuntimeError with its text
// otherwise); a forced unwind is rethrown.
void raise_current_exception();

// Runs `body` for an entry point that reports failure to the interpreter: a
// C++ exception becomes the Python exception and the result a null pointer
// or false.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
    using R = decltype(body());
    static_assert(std::is_pointer_v<R> || std::is_same_v<R, bool>);
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return R{};
    }
}

// Runs `body` where nothing may be raised and nobody could receive it (a
// dealloc, a destructor callback, a thread or exit function of our own): any
// C++ exception but the forced unwind is dropped. False when one was. Touches
// no interpreter state, so it serves without the GIL too.
template <class F>
bool quietly(F&& body) {
    try {
        body();
        return true;
    } catch (...) {
        rethrow_if_forced_unwind();
        return false;
    }
}

template <auto Fn, class = decltype(Fn)>
struct Boundary;

template <auto Fn, class R, class... A>
struct Boundary<Fn, R (*)(A...)> {
    static R call(A... a) {
        return guarded([&] { return Fn(a...); });
    }
};

// `Fn` as the interpreter may call it, with the same signature: for method
// tables and type slots, as `boundary<logger_shutdown>`.
template <auto Fn>
inline constexpr auto boundary = &Boundary<Fn>::call;

}  // namespace ferrant
