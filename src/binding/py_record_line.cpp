#include "binding/py_record_line.hpp"

#include <cstring>

#include "binding/py_template_cache.hpp"
#include "lib/number_render.hpp"

namespace ferrant {

// How far ahead of a line its batch is asked for: about three records.
constexpr std::size_t kLinePrefetch = 256;

namespace {

// A template's run: the room for every run was made with the line's, and is
// kept free by each argument's (ArgumentSink).
[[gnu::always_inline]] inline void put_run(LineBuilder& b, const char* run, std::size_t n,
                                           bool plain, bool json) {
    if (plain) [[likely]] {
        b.put_padded(run, n);
        return;
    }
    b.p = escape_for_layout(b.p, {run, n}, json);
}

// What a conversion makes of an argument, straight into the line, with room
// for it and for the rest of the line's fixed part (`fixed`).
struct ArgumentSink {
    LineBuilder& b;
    std::size_t fixed;
    bool json;
    void text(std::string_view t) {
        b.room(t.size() * JSON_ESCAPE_MAX_GROWTH + fixed);
        b.p = escape_for_layout(b.p, t, json);
    }
    void integer(char c, long long i) {
        b.room(kI64Max + fixed);
        b.p = put_i64_as(b.p, c, i);
    }
    void fixed6(double f) {
        b.room(kF64Fixed6Max + fixed);
        b.p = put_f64_fixed6(b.p, f);
    }
    void repr(double f) {
        b.room(kF64ReprMax + fixed);
        b.p = put_f64_repr(b.p, f);
    }
};

}  // namespace

bool append_line(ThreadProducer& tp, const LineTarget& target, std::string_view message,
                 std::string_view fields, std::uint64_t batch_size, HandOff how) {
    Producer& p = tp.core;
    // Opening a batch may hand off another writer's lines and wait: before
    // the line is begun, so that nothing of it is left to undo or unwind.
    if (!claim_batch(tp, target.writer, how)) [[unlikely]]
        return false;
    prefetch_for_write(p.line_buf.end(), kLinePrefetch);
    {
        LineGuard guard(p);
        LineBuilder b(p.line_buf, Producer::kMaxTimePrefix + target.head.size() +
                                      message.size() * JSON_ESCAPE_MAX_GROWTH + fields.size() +
                                      LineLayout::kLineEndRead);
        begin_record(b, p, target, message);
        if (fields.empty()) {
            end_line(b, target.layout);
        } else {
            b.put_char('"');
            put_rendered(b, fields);
            end_line_after_fields(b, target.layout);
        }
        b.finish();
        guard.done();
    }
    return count_line(tp, batch_size, how);
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
    // Out of memory while growing for an argument: the line is taken back.
    LineGuard guard(p);
    // The prefix, head, runs and line end, made room for once.
    const std::size_t fixed =
        Producer::kMaxTimePrefix + target.head.size() + LineLayout::kLineEndRead +
        t->conversions + (plain ? t->run_bytes : t->run_bytes * JSON_ESCAPE_MAX_GROWTH);
    LineBuilder b(p.line_buf, fixed);
    // The batch buffer last went through the writer on another core: its
    // next lines are asked for now, a few records ahead of their use.
    prefetch_for_write(b.p, kLinePrefetch);
    const WallTime now = p.current_time();
    b.p = p.put_time_prefix(b.p, now.secs, now.nanos, target.writer->settings());
    b.put_padded(target.head.data(), target.head.size());
    ArgumentSink sink{b, fixed, json};
    for (int i = 0, k = 0;; ++i) {
        put_run(b, tpl + t->run_offset[i], t->run_length[i], plain, json);
        if (i == t->conversions) break;
        const char c = t->conversion[i];
        if (c == '%') {
            b.put_char('%');
            continue;
        }
        const Rendered put = convert(c, args[k++], sink);
        if (put != Rendered::Done) [[unlikely]]
            return put;
    }
    const std::string_view end = target.layout.line_end;
    std::memcpy(b.p, end.data(), LineLayout::kLineEndRead);
    b.p += end.size();
    b.finish();
    guard.done();
    if (!count_line(tp, batch_size)) [[unlikely]]
        return Rendered::Failed;
    return Rendered::Done;
}

}  // namespace ferrant
