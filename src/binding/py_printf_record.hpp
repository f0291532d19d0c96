#pragma once

#include <cstdint>

#include "binding/py_capture.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_record_line.hpp"
#include "binding/py_text.hpp"
#include "lib/settings.hpp"

// The record of a printf call, `message % args`, inlined into the level
// methods of both logger types: the common case goes from the method to the
// batch without another call frame.

namespace ferrant {

// The record made while this thread's producer is being torn down: through a
// producer of its own, without giving the GIL up.
[[gnu::noinline]] bool log_without_producer(const LineTarget& target, PyObject* message,
                                            PyObject* const* args, Py_ssize_t nargs);

// The record whose message needs the interpreter's `%` (or a template not
// cached): interpolated in a buffer of the call's own, then copied.
[[gnu::noinline]] bool log_interpolated(ThreadProducer& tp, const LineTarget& target,
                                        PyObject* message, PyObject* const* args,
                                        Py_ssize_t nargs, std::uint64_t batch_size);

// The record's line for `target`, in `tp`'s batch. False with an exception set.
[[gnu::always_inline]] inline bool printf_line(ThreadProducer& tp, const LineTarget& target,
                                               PyObject* message, PyObject* const* args,
                                               Py_ssize_t nargs, std::uint64_t batch_size) {
    if (nargs == 0) {
        std::string_view text;
        if (!utf8_view(message, text)) return false;
        return append_line(tp, target, text, {}, batch_size);
    }
    switch (append_interpolated_line(tp, target, message, args, nargs, batch_size)) {
        case Rendered::Done: return true;
        case Rendered::Failed: return false;
        case Rendered::Declined: break;
    }
    return log_interpolated(tp, target, message, args, nargs, batch_size);
}

// The console's copy of a record written already (py_console.hpp).
[[gnu::noinline, gnu::cold]] bool printf_console(const ConsoleCopy& console, Rank rank,
                                                 PyObject* message, PyObject* const* args,
                                                 Py_ssize_t nargs);

// The record written, after its level check. False with an exception set.
[[gnu::always_inline]] inline bool printf_write(LoggerState* logger, Rank rank,
                                                PyObject* message, PyObject* const* args,
                                                Py_ssize_t nargs) {
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    ThreadProducer* tp = thread_producer();
    bool ok;
    if (tp) [[likely]] {
        ok = printf_line(*tp, target_of(logger, rank), message, args, nargs, batch_size);
    } else {
        if (PyErr_Occurred()) return false;
        ok = log_without_producer(target_of(logger, rank), message, args, nargs);
    }
    if (!ok) [[unlikely]]
        return false;
    if (logger->console) [[unlikely]]
        return printf_console(*logger->console, rank, message, args, nargs);
    return true;
}

// The record written and then captured.
[[gnu::noinline, gnu::cold]] bool printf_captured(LoggerState* logger, Rank rank,
                                                  PyObject* message, PyObject* const* args,
                                                  Py_ssize_t nargs);

// False with an exception set.
[[gnu::always_inline]] inline bool printf_record(LoggerState* logger, Rank rank,
                                                 PyObject* message, PyObject* const* args,
                                                 Py_ssize_t nargs) {
    if (logger->level < rank) return true;
    if (CAPTURE_SINK) [[unlikely]]
        return printf_captured(logger, rank, message, args, nargs);
    return printf_write(logger, rank, message, args, nargs);
}

}  // namespace ferrant
