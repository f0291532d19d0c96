#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "binding/py_conversion.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_ref.hpp"
#include "lib/line_builder.hpp"
#include "lib/line_format.hpp"

// The records of a logger written into the calling thread's batch, each line
// assembled by the one LineBuilder: the printf records of every logger, and
// the frame of a record with fields.

namespace ferrant {

// Keeps `in_use` set while a line is written and takes back a half-written
// one (its bytes committed, a failure after) when it is not done.
class LineGuard {
public:
    explicit LineGuard(Producer& p) : p_(p), start_(p.line_buf.size()) { p_.in_use = true; }
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

// The time prefix and the record head, at the start of a line in the batch.
[[gnu::always_inline]] inline void begin_line(LineBuilder& b, Producer& p,
                                              const LineTarget& target) {
    b.room(Producer::kMaxTimePrefix + target.head.size());
    const WallTime now = p.current_time();
    b.p = p.put_time_prefix(b.p, now.secs, now.nanos, target.writer->settings());
    b.put_padded(target.head.data(), target.head.size());
}

// The time prefix, the record head, the message escaped and room for one
// byte more (a closing quote), made at once.
[[gnu::always_inline]] inline void begin_record(LineBuilder& b, Producer& p,
                                                const LineTarget& target,
                                                std::string_view message) {
    b.room(Producer::kMaxTimePrefix + target.head.size() +
           message.size() * JSON_ESCAPE_MAX_GROWTH + 1);
    const WallTime now = p.current_time();
    b.p = p.put_time_prefix(b.p, now.secs, now.nanos, target.writer->settings());
    b.put_padded(target.head.data(), target.head.size());
    b.p = escape_for_layout(b.p, message, target.layout.json);
}

// After a line is in the batch: the batch goes once it holds `batch_size`
// lines. False with an exception set as hand_off says.
[[gnu::always_inline]] inline bool count_line(ThreadProducer& tp, std::uint64_t batch_size,
                                              HandOff how = HandOff::Wait) {
    if (++tp.core.pending >= batch_size) [[unlikely]]
        return hand_off(tp, how);
    return true;
}

// Appends one line with `message` (UTF-8, unescaped) and `fields` (what the
// layout writes after the message's closing quote, rendered beforehand; none
// when empty) to the thread's batch, handing the batch off once it holds
// `batch_size` lines. False with an exception set when a signal handler
// raised while the hand-off waited (the line is kept).
[[nodiscard]] bool append_line(ThreadProducer& tp, const LineTarget& target,
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
