#include "binding/py_record_line.hpp"

#include <cmath>
#include <cstring>

#include "binding/py_conversion.hpp"
#include "binding/py_template_cache.hpp"
#include "binding/py_text.hpp"
#include "lib/escape.hpp"
#include "lib/field_format.hpp"

namespace ferrant {

namespace {

// About three records ahead.
constexpr std::size_t kPrefetchAhead = 256;

// A line being written into the batch. `fixed` bytes of room (the rest of
// the runs, the line end) are kept free past the write position; each
// argument makes room for itself on top.
class LineWriter {
public:
    LineWriter(ByteBuffer& buf, std::size_t fixed) : buf_(buf), start_(buf.size()), fixed_(fixed) {
        buf_.reserve_extra(fixed_);
        out = buf_.end();
    }

    [[gnu::always_inline]] void make_room(std::size_t bytes) {
        if (buf_.capacity() - size() < bytes + fixed_) [[unlikely]] {
            const std::size_t written = size() - buf_.size();
            buf_.reserve_extra(written + bytes + fixed_);
            out = buf_.end() + written;
        }
    }

    // What `c` makes of `a` without the interpreter, if it can: a str
    // escaped for the layout, a number through the buffer's renderers.
    Rendered argument(char c, PyObject* a, bool json) {
        struct Sink {
            LineWriter& line;
            bool json;
            void text(std::string_view t) {
                line.make_room(t.size() * JSON_ESCAPE_MAX_GROWTH + kPiecePad);
                line.out = escape_for_layout(line.out, t, json);
            }
            void integer(char c, long long i) {
                line.through_buffer(kI64Max, [&] { push_i64_as(line.buf_, c, i); });
            }
            void fixed6(double f) {
                line.through_buffer(kF64Fixed6Max, [&] { push_f64_fixed6(line.buf_, f); });
            }
            void repr(double f) {
                line.through_buffer(kF64ReprMax, [&] { (void)push_f64_repr(line.buf_, f); });
            }
        } sink{*this, json};
        return convert(c, a, sink);
    }

    void finish() { buf_.commit(size() - buf_.size()); }
    std::size_t start() const { return start_; }

    char* out;

private:
    std::size_t size() const { return static_cast<std::size_t>(out - buf_.data()); }

    // Numbers go through the buffer's own renderers, after what is written
    // so far is committed.
    template <class F>
    void through_buffer(std::size_t most, F render) {
        make_room(most);
        finish();
        render();
        out = buf_.end();
    }

    ByteBuffer& buf_;
    std::size_t start_;
    std::size_t fixed_;
};

[[gnu::always_inline]] inline char* put_run(char* out, const char* run, std::size_t n, bool plain,
                                            bool json) {
    if (plain) [[likely]] {
        copy_padded(out, run, n);
        return out + n;
    }
    return escape_for_layout(out, {run, n}, json);
}

}  // namespace

bool append_line(ThreadProducer& tp, const LineTarget& target, std::string_view message,
                 std::uint64_t batch_size, HandOff how) {
    Producer& p = tp.core;
    // Opening a batch may hand off another writer's lines and wait: before
    // the line is begun, so that nothing of it is left to undo or unwind.
    if (!claim_batch(tp, target.writer, how)) [[unlikely]]
        return false;
    prefetch_for_write(p.line_buf.end(), kPrefetchAhead);
    {
        LineGuard guard(p);
        const WallTime now = p.current_time();
        p.append_time_prefix(now.secs, now.nanos, target.writer->settings());
        append_record_tail(p.line_buf, target.head, message, target.layout);
        guard.done();
    }
    if (++p.pending >= batch_size) return hand_off(tp, how);
    return true;
}

bool append_line_with_fields(ThreadProducer& tp, const LineTarget& target,
                             std::string_view message, std::string_view fields,
                             std::uint64_t batch_size, HandOff how) {
    Producer& p = tp.core;
    if (!claim_batch(tp, target.writer, how)) [[unlikely]]
        return false;
    {
        LineGuard guard(p);
        const WallTime now = p.current_time();
        p.append_time_prefix(now.secs, now.nanos, target.writer->settings());
        append_record_tail_with_fields(p.line_buf, target.head, message, fields, target.layout);
        guard.done();
    }
    if (++p.pending >= batch_size) return hand_off(tp, how);
    return true;
}

Rendered append_interpolated_line(ThreadProducer& tp, const LineTarget& target, PyObject* message,
                                PyObject* const* args, Py_ssize_t n, std::uint64_t batch_size) {
    if (!PyUnicode_CheckExact(message)) return Rendered::Declined;
    // May wait for room without the GIL: before the template is looked up,
    // since another thread may evict it meanwhile.
    if (!claim_batch(tp, target.writer)) [[unlikely]]
        return Rendered::Failed;
    // From here on no Python code runs and the GIL stays: the cache entry
    // and the arguments' UTF-8 stay valid.
    const char* tpl;
    const MessageTemplate* t = cached_template(message, tpl);
    if (!t) return Rendered::Failed;
    if (!t->complete || t->arguments != n) return Rendered::Declined;

    Producer& p = tp.core;
    const bool json = target.layout.json;
    const bool plain = t->plain;
    // A "%%" writes one byte; escaped runs may take word stores too.
    LineWriter line(p.line_buf, Producer::kMaxTimePrefix + target.head.size() +
                                    target.layout.line_end.size() + t->conversions + kPiecePad +
                                    (plain ? t->run_bytes : t->run_bytes * JSON_ESCAPE_MAX_GROWTH));
    // Out of memory while growing for an argument: the line is taken back.
    LineGuard guard(p, line.start());
    // The batch buffer last went through the writer on another core: its
    // next lines are asked for now, a few records ahead of their use.
    prefetch_for_write(line.out, kPrefetchAhead);
    const WallTime now = p.current_time();
    char* out = p.put_time_prefix(line.out, now.secs, now.nanos, target.writer->settings());
    copy_padded(out, target.head.data(), target.head.size());
    line.out = out + target.head.size();
    for (int i = 0, k = 0;; ++i) {
        line.out = put_run(line.out, tpl + t->run_offset[i], t->run_length[i], plain, json);
        if (i == t->conversions) break;
        const char c = t->conversion[i];
        if (c == '%') {
            *line.out++ = '%';
            continue;
        }
        const Rendered put = line.argument(c, args[k++], json);
        if (put != Rendered::Done) [[unlikely]]
            return put == Rendered::Failed ? Rendered::Failed : Rendered::Declined;
    }
    const std::string_view end = target.layout.line_end;
    std::memcpy(line.out, end.data(), LineLayout::kLineEndRead);
    line.out += end.size();
    line.finish();
    guard.done();
    if (++p.pending >= batch_size && !hand_off(tp)) [[unlikely]]
        return Rendered::Failed;
    return Rendered::Done;
}

}  // namespace ferrant
