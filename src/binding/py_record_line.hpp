#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "binding/py_conversion.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_ref.hpp"
#include "lib/line_format.hpp"

namespace ferrant {

// Where a logger's records go and how their lines look.
struct LineTarget {
    const std::shared_ptr<SharedWriter>& writer;
    const LineLayout& layout;
    std::string_view head;  // level text, name field and message key; kPiecePad follow
};

// Appends one line with `message` (UTF-8, unescaped) to the thread's batch,
// handing the batch off once it holds `batch_size` lines. False with an
// exception set when a signal handler raised while the hand-off waited (the
// line is kept).
[[nodiscard]] bool append_line(ThreadProducer& tp, const LineTarget& target,
                               std::string_view message, std::uint64_t batch_size,
                               HandOff how = HandOff::Wait);

// The same for a record with fields: `fields` is what the layout writes
// after the message's closing quote, rendered beforehand.
[[nodiscard]] bool append_line_with_fields(ThreadProducer& tp, const LineTarget& target,
                                           std::string_view message, std::string_view fields,
                                           std::uint64_t batch_size, HandOff how = HandOff::Wait);

// The common record, `message % args` with a cached template and exact str,
// int and float arguments, written straight into the batch: the template's
// runs need no escaping pass, only the arguments do, and nothing is copied
// twice. Declined, having written nothing, for whatever needs the general
// path (or Python code); Failed with an exception set when a str argument
// has no UTF-8 form, or when a signal handler raised while a hand-off
// waited.
Rendered append_interpolated_line(ThreadProducer& tp, const LineTarget& target, PyObject* message,
                                PyObject* const* args, Py_ssize_t n, std::uint64_t batch_size);

}  // namespace ferrant
