#include "binding/py_record_line.hpp"

#include <cmath>

#include "binding/number_render.hpp"
#include "binding/py_template_cache.hpp"
#include "binding/py_text.hpp"
#include "lib/json_escape.hpp"

namespace ferrant {

namespace {

// Keeps `in_use` set for the formatting steps and takes back a half-written
// line if one of them fails.
class LineGuard {
public:
    explicit LineGuard(Producer& p) : p_(p), start_(p.line_buf.size()) { p_.in_use = true; }
    ~LineGuard() {
        if (!done_) p_.line_buf.resize_down(start_);
        p_.in_use = false;
    }
    void done() { done_ = true; }

private:
    Producer& p_;
    std::size_t start_;
    bool done_ = false;
};

// One argument, as it goes into the line. Trivial, so an array of them
// costs nothing to set up.
struct Piece {
    char how;  // 's' UTF-8 text, 'd' 'o' 'x' an int, 'r' repr of a float, 'f' %f
    const char* text;
    std::size_t size;
    long long i;
    double f;
};

// Slack for the whole-word stores of escape_for_layout.
constexpr std::size_t kWordSlack = 8;

// What `c` makes of `a` without the interpreter, and the most it may write.
// 0 when only the general path reproduces it.
std::size_t classify(char c, PyObject* a, Piece& piece, bool& failed) {
    if (PyUnicode_CheckExact(a)) {
        if (c != 's') return 0;
        std::string_view text;
        if (!utf8_view(a, text)) {
            failed = true;
            return 0;
        }
        piece = {'s', text.data(), text.size(), 0, 0.0};
        return text.size() * JSON_ESCAPE_MAX_GROWTH + kWordSlack;
    }
    if (PyLong_CheckExact(a)) {
        if (c == 'f') return 0;
        int overflow = 0;
        piece.i = PyLong_AsLongLongAndOverflow(a, &overflow);
        if (overflow) return 0;
        piece.how = c == 'o' || c == 'x' ? c : 'd';
        return kI64Max;
    }
    if (PyFloat_CheckExact(a)) {
        piece.f = PyFloat_AS_DOUBLE(a);
        if (c == 'f') {
            if (!std::isfinite(piece.f)) return 0;
            piece.how = 'f';
            return kF64Fixed6Max;
        }
        if ((c != 's' && c != 'r') || !f64_repr_positional(piece.f)) return 0;
        piece.how = 'r';
        return kF64ReprMax;
    }
    return 0;
}

[[gnu::always_inline]] inline char* put_run(char* out, const char* run, std::size_t n, bool plain,
                                            bool json) {
    if (plain) [[likely]] {
        copy_bytes(out, run, n);
        return out + n;
    }
    return escape_for_layout(out, {run, n}, json);
}

// Numbers go through the buffer's own renderers: what is written so far is
// committed first. Room for them was reserved with the line.
char* put_number(ByteBuffer& buf, char* out, const Piece& piece) {
    buf.commit(static_cast<std::size_t>(out - buf.end()));
    switch (piece.how) {
        case 'o': push_i64_oct(buf, piece.i); break;
        case 'x': push_i64_hex(buf, piece.i); break;
        case 'f': push_f64_fixed6(buf, piece.f); break;
        case 'r': (void)push_f64_repr(buf, piece.f); break;
        default: push_i64(buf, piece.i); break;
    }
    return buf.end();
}

}  // namespace

void append_line(ThreadProducer& tp, const LineTarget& target, std::string_view message,
                 std::uint64_t batch_size, HandOff how) {
    Producer& p = tp.core;
    // Opening a batch may hand off another writer's lines and wait: before
    // the line is begun, so that nothing of it is left to undo or unwind.
    claim_batch(tp, target.writer, how);
    {
        LineGuard guard(p);
        const WallTime now = p.current_time();
        p.append_time_prefix(now.secs, now.nanos, target.writer->settings());
        append_record_tail(p.line_buf, target.head, message, target.layout);
        guard.done();
    }
    if (++p.pending >= batch_size) hand_off(tp, how);
}

Direct append_interpolated_line(ThreadProducer& tp, const LineTarget& target, PyObject* message,
                                PyObject* const* args, Py_ssize_t n, std::uint64_t batch_size) {
    if (!PyUnicode_CheckExact(message)) return Direct::Declined;
    // May wait for room without the GIL: before the template is looked up,
    // since another thread may evict it meanwhile.
    claim_batch(tp, target.writer);
    // From here on no Python code runs and the GIL stays: the cache entry
    // and the arguments' UTF-8 stay valid.
    const char* tpl;
    const MessageTemplate* t = cached_template(message, tpl);
    if (!t) return Direct::Failed;
    if (!t->complete || t->arguments != n) return Direct::Declined;

    Piece pieces[MessageTemplate::kMaxConversions];
    // A "%%" writes one byte; escaped runs may take word stores too.
    std::size_t room = Producer::kMaxTimePrefix + target.head.size() +
                       target.layout.line_end.size() + t->conversions + kWordSlack +
                       (t->plain ? t->run_bytes : t->run_bytes * JSON_ESCAPE_MAX_GROWTH);
    bool failed = false;
    for (int i = 0, k = 0; i < t->conversions; ++i) {
        const char c = t->conversion[i];
        if (c == '%') continue;
        const std::size_t most = classify(c, args[k], pieces[k], failed);
        if (!most) return failed ? Direct::Failed : Direct::Declined;
        room += most;
        ++k;
    }

    Producer& p = tp.core;
    ByteBuffer& buf = p.line_buf;
    buf.reserve_extra(room);
    p.in_use = true;
    const bool json = target.layout.json;
    const bool plain = t->plain;
    const WallTime now = p.current_time();
    char* out = p.put_time_prefix(buf.end(), now.secs, now.nanos, target.writer->settings());
    copy_bytes(out, target.head.data(), target.head.size());
    out += target.head.size();
    for (int i = 0, k = 0;; ++i) {
        out = put_run(out, tpl + t->run_offset[i], t->run_length[i], plain, json);
        if (i == t->conversions) break;
        if (t->conversion[i] == '%') {
            *out++ = '%';
            continue;
        }
        const Piece& piece = pieces[k++];
        out = piece.how == 's' ? escape_for_layout(out, {piece.text, piece.size}, json)
                               : put_number(buf, out, piece);
    }
    const std::string_view end = target.layout.line_end;
    copy_bytes(out, end.data(), end.size());
    out += end.size();
    buf.commit(static_cast<std::size_t>(out - buf.end()));
    p.in_use = false;
    if (++p.pending >= batch_size) hand_off(tp);
    return Direct::Done;
}

}  // namespace ferrant
