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
[[gnu::noinline]] bool log_without_producer(LoggerState* logger, Rank rank, PyObject* message,
                                            PyObject* const* args, Py_ssize_t nargs);

// The record whose message needs the interpreter's `%` (or a template not
// cached): interpolated in a buffer of the call's own, then copied.
[[gnu::noinline]] bool log_interpolated(ThreadProducer& tp, const LineTarget& target,
                                        PyObject* message, PyObject* const* args,
                                        Py_ssize_t nargs, std::uint64_t batch_size);

// The record written, after its level check. False with an exception set.
[[gnu::always_inline]] inline bool printf_write(LoggerState* logger, Rank rank,
                                                PyObject* message, PyObject* const* args,
                                                Py_ssize_t nargs) {
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    ThreadProducer* tp = thread_producer();
    if (!tp) [[unlikely]] {
        if (PyErr_Occurred()) return false;
        return log_without_producer(logger, rank, message, args, nargs);
    }
    const LineTarget target = target_of(logger, rank);
    if (nargs == 0) {
        std::string_view text;
        if (!utf8_view(message, text)) return false;
        return append_line(*tp, target, text, {}, batch_size);
    }
    switch (append_interpolated_line(*tp, target, message, args, nargs, batch_size)) {
        case Rendered::Done: return true;
        case Rendered::Failed: return false;
        case Rendered::Declined: break;
    }
    return log_interpolated(*tp, target, message, args, nargs, batch_size);
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
