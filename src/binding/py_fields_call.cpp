// A ferrant.Logger's record with fields: the bound fields, the context's, the
// call's and the exception, after the message. A record whose values need no
// Python code is written straight into the batch; any other is rendered
// first, into a buffer of the call's own, and then copied.

#include <string>
#include <string_view>
#include <vector>

#include "binding/py_context_fields.hpp"
#include "binding/py_exception_field.hpp"
#include "binding/py_field_keys.hpp"
#include "binding/py_interpolate.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_overrides.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_record_line.hpp"
#include "binding/py_text.hpp"
#include "binding/py_value_render.hpp"
#include "lib/settings.hpp"

namespace ferrant {

namespace {

// What a Logger's call adds to its bound fields.
struct CallFields {
    PyObject* kwnames = nullptr;  // null for none
    // The names tuple's entry: valid until Python code runs (see CallNames).
    CallNames* names = nullptr;
    PyObject* const* values = nullptr;
    Py_ssize_t exc_info_at = -1;  // exc_info's place in kwnames: not a field
    PyObject* exc = nullptr;      // the exception (or its text) written last, or null
    const ContextFields* context = nullptr;
    // Which bound and context fields are left out, decided at the start.
    Overrides drop;
    // For sets past kOverrideBits: field by field, bound ones first.
    std::vector<bool> drop_each;
};

// The decisions of `call` for `bound`; GIL held, no Python code run.
void decide_drops(CallFields& call, const RenderedFields& bound, bool call_fields) {
    const bool bound_meets = !bound.empty() && (call_fields || call.context);
    const bool context_meets = call.context && call_fields;
    if (!bound_meets && !context_meets) return;
    const CallNames* names = call_fields ? call.names : nullptr;
    const std::size_t nc = call.context ? call.context->fields.size() : 0;
    if (bound.fields.size() <= kOverrideBits && nc <= kOverrideBits) [[likely]] {
        call.drop = overrides(names, bound, call.context);
        return;
    }
    for (const RenderedField& f : bound.fields)
        call.drop_each.push_back((call.context && call.context->has(f.key)) ||
                                 call_gives(names, f.key));
    for (std::size_t i = 0; i < nc; ++i)
        call.drop_each.push_back(call_gives(names, call.context->fields[i].key));
}

void put_set(LineBuilder& b, const RenderedFields& set, unsigned slot, std::uint64_t drop,
             const std::vector<bool>& drop_each, std::size_t first) {
    if (drop_each.empty() && !drop) [[likely]] {
        put_rendered(b, set.rendered[slot]);
        return;
    }
    for (std::size_t i = 0; i < set.fields.size(); ++i) {
        const bool dropped = drop_each.empty() ? (drop >> i) & 1 : drop_each[first + i];
        if (dropped) continue;
        const RenderedField& f = set.fields[i];
        put_rendered(b, {set.rendered[slot].data() + f.begin[slot], f.end[slot] - f.begin[slot]});
    }
}

// The bound fields and the context's, as the call leaves them.
[[gnu::always_inline]] inline void put_bound_and_context(LineBuilder& b,
                                                         const RenderedFields& bound,
                                                         const CallFields& call,
                                                         unsigned slot) {
    if (!bound.empty()) put_set(b, bound, slot, call.drop.bound, call.drop_each, 0);
    if (call.context)
        put_set(b, *call.context, slot, call.drop.context, call.drop_each, bound.fields.size());
}

// The call's fields and exception, any value: may run Python code, which
// may log on this thread (it then writes elsewhere than `b`'s buffer).
Rendered put_call_fields(LineBuilder& b, const LineLayout& layout, const CallFields& call) {
    if (call.kwnames) {
        std::string storage;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call.kwnames); ++i) {
            if (i == call.exc_info_at) continue;
            std::string_view key;
            if (!field_key(PyTuple_GET_ITEM(call.kwnames, i), key, storage)) return Rendered::Failed;
            const Rendered r = put_any_field(b, layout, key, call.values[i]);
            if (r != Rendered::Done) return r;
        }
    }
    if (call.exc && !put_exception_field(b, layout, call.exc)) return Rendered::Failed;
    return Rendered::Done;
}

// The fields rendered after the message in `buf`, and the line appended
// from there. Values' str() (and the traceback's formatting) may run Python
// code that logs on this thread: `buf` is then no buffer that code can reach.
// `text` is the message: in `buf` before `message_end`, or the str's own.
bool write_with_fields(ThreadProducer& tp, ByteBuffer& buf, std::size_t message_end,
                       std::string_view text, PyObject* self, Rank rank,
                       const CallFields& call, std::uint64_t batch_size, HandOff how) {
    LoggerState* logger = state_of(self);
    const LineLayout& layout = *logger->layout;
    buf.resize_down(message_end);
    {
        LineBuilder b(buf, 256);
        put_bound_and_context(b, fields_logger(self)->bound, call, layout.slot);
        if (put_call_fields(b, layout, call) != Rendered::Done) return false;
        b.finish();
    }
    // Growing the buffer may have moved the message.
    if (message_end) text = buf.view().substr(0, message_end);
    return append_line(tp, target_of(logger, rank), text, buf.view().substr(message_end),
                       batch_size, how);
}

// The record straight into the batch, when every value needs no Python
// code; Declined, the line taken back, when one does.
Rendered write_fields_in_place(ThreadProducer& tp, PyObject* self, Rank rank,
                               std::string_view text, CallFields& call,
                               std::uint64_t batch_size) {
    LoggerState* logger = state_of(self);
    const LineTarget target = target_of(logger, rank);
    // May wait without the GIL, and a signal handler may then log on this
    // thread (and evict the names entry: looked up again after).
    if (!claim_batch(tp, target.writer)) return Rendered::Failed;
    if (call.kwnames && !(call.names = check_call_keys(call.kwnames))) return Rendered::Failed;
    const LineLayout& layout = target.layout;
    const RenderedFields& bound = fields_logger(self)->bound;
    Producer& p = tp.core;
    LineGuard guard(p);
    LineBuilder b(p.line_buf, Producer::kMaxTimePrefix + target.head.size() +
                                  text.size() * JSON_ESCAPE_MAX_GROWTH + 64);
    begin_line(b, p, target);
    put_message(b, text, layout);
    close_message(b);
    put_bound_and_context(b, bound, call, layout.slot);
    if (call.kwnames) {
        const KeyPieces keys = call_key_pieces(*call.names, layout);
        for (Py_ssize_t i = 0; i < call.names->count(); ++i) {
            if (i == call.exc_info_at) continue;
            put_key_piece(b, keys.text + keys.begin[i], keys.begin[i + 1] - keys.begin[i]);
            const Rendered r = put_value<Render::Plain>(b, layout, call.values[i]);
            if (r != Rendered::Done) [[unlikely]]
                return r;
        }
    }
    end_line_after_fields(b, layout);
    b.finish();
    guard.done();
    return count_line(tp, batch_size) ? Rendered::Done : Rendered::Failed;
}

// The message (interpolated into `buf` when it has arguments: Python code
// may run then, before any batch is claimed), then the record: in place when
// it can be, else rendered in `buf` first. False with an exception set.
bool write_record(ThreadProducer& tp, ByteBuffer& buf, PyObject* self, Rank rank,
                  PyObject* message, PyObject* const* args, Py_ssize_t nargs, CallFields& call,
                  std::uint64_t batch_size, HandOff how) {
    std::string_view text;
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else {
        if (!interpolate(message, args, nargs, buf)) return false;
        text = buf.view();
    }
    if (!call.exc && how == HandOff::Wait) [[likely]] {
        switch (write_fields_in_place(tp, self, rank, text, call, batch_size)) {
            case Rendered::Done: return true;
            case Rendered::Failed: return false;
            case Rendered::Declined: break;
        }
    }
    return write_with_fields(tp, buf, nargs ? buf.size() : 0, text, self, rank, call, batch_size,
                             how);
}

}  // namespace

bool log_fields(PyObject* self, Rank rank, PyObject* message, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, bool handled) {
    LoggerState* logger = state_of(self);
    CallFields call;
    call.values = args + nargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        call.names = check_call_keys(kwnames);
        if (!call.names) return false;
        call.kwnames = kwnames;
        call.exc_info_at = call.names->exc_info_at;
    }
    PyRef exc;
    if (handled || call.exc_info_at >= 0) [[unlikely]] {
        if (!exception_for(call.exc_info_at >= 0 ? call.values[call.exc_info_at] : Py_True, exc))
            return false;
        call.exc = exc.get();
    }
    PyRef context_hold;
    if (!context_fields(context_hold, call.context)) return false;
    const RenderedFields& bound = fields_logger(self)->bound;
    const bool call_fields = call.names && call.names->has_fields();
    if (!call_fields && !call.exc && !call.context && bound.empty())
        return log_args(logger, rank, message, args, nargs);
    decide_drops(call, bound, call_fields);
    ThreadProducer* tp = thread_producer();
    if (!tp) [[unlikely]] {
        if (PyErr_Occurred()) return false;
        ThreadProducer own;
        return write_record(own, own.core.scratch, self, rank, message, args, nargs, call, 1,
                            HandOff::Park);
    }
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    // Code run for the message or a value finds an empty scratch slot and
    // uses a buffer of its own.
    ByteBuffer scratch = std::move(tp->core.scratch);
    scratch.clear();
    const bool ok = write_record(*tp, scratch, self, rank, message, args, nargs, call, batch_size,
                                 HandOff::Wait);
    scratch.clear();
    tp->core.scratch = std::move(scratch);
    // Released here, with the GIL surely held: PyRef's own release would
    // first ask whether this thread holds it.
    Py_XDECREF(context_hold.release());
    return ok;
}

}  // namespace ferrant
