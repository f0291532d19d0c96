#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "binding/py_conversion.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_ref.hpp"
#include "lib/field_format.hpp"
#include "lib/line_format.hpp"

namespace ferrant {

// Keeps `in_use` set for the formatting steps and takes back a half-written
// line if one of them fails.
class LineGuard {
public:
    explicit LineGuard(Producer& p) : LineGuard(p, p.line_buf.size()) {}
    LineGuard(Producer& p, std::size_t start) : p_(p), start_(start) { p_.in_use = true; }
    ~LineGuard() {
        if (!done_) p_.line_buf.resize_down(start_);
        p_.in_use = false;
    }
    LineGuard(const LineGuard&) = delete;
    LineGuard& operator=(const LineGuard&) = delete;
    void done() { done_ = true; }

private:
    Producer& p_;
    std::size_t start_;
    bool done_ = false;
};

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

// A record with fields written straight into the batch, which the caller
// has claimed: time prefix, head, `message`, then what `fields` appends to
// the batch (it returns false with an exception set, and the line is taken
// back), then the line end. `fields` must run no Python code: the batch is
// open under it.
template <class Fields>
[[nodiscard]] bool append_line_with_fields_in_place(ThreadProducer& tp, const LineTarget& target,
                                                    std::string_view message, Fields&& fields,
                                                    std::uint64_t batch_size) {
    Producer& p = tp.core;
    {
        LineGuard guard(p);
        const WallTime now = p.current_time();
        p.append_time_prefix(now.secs, now.nanos, target.writer->settings());
        append_record_head_and_message(p.line_buf, target.head, message, target.layout);
        if (!fields(p.line_buf)) return false;
        append_record_end_after_fields(p.line_buf, target.layout);
        guard.done();
    }
    if (++p.pending >= batch_size) return hand_off(tp);
    return true;
}

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
