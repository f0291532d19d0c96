// A ferrant.Logger's level methods and its record: the bound fields, the context's, the
// call's and the exception, after the message. A record whose values need no
// Python code is written straight into the batch; any other is rendered
// first, into a buffer of the call's own, and then copied.

#include <string>
#include <string_view>
#include <memory>
#include <vector>

#include "binding/py_fields_call.hpp"

#include "binding/py_boundary.hpp"
#include "binding/py_capture.hpp"
#include "binding/py_context_fields.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_exception_field.hpp"
#include "binding/py_field_keys.hpp"
#include "binding/py_interpolate.hpp"
#include "binding/py_level_method.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_overrides.hpp"
#include "binding/py_printf_record.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_record_line.hpp"
#include "binding/py_redact.hpp"
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
    std::unique_ptr<std::vector<bool>> drop_each;
};

// The decisions of `call` for `bound`; GIL held, no Python code run.
// Inlined: the call's common case is the first line.
[[gnu::always_inline]] inline void decide_drops(CallFields& call, const RenderedFields& bound, bool call_fields) {
    const bool bound_meets = !bound.empty() && (call_fields || call.context);
    const bool context_meets = call.context && call_fields;
    if (!bound_meets && !context_meets) return;
    const CallNames* names = call_fields ? call.names : nullptr;
    const std::size_t nc = call.context ? call.context->fields.size() : 0;
    if (bound.fields.size() <= kOverrideBits && nc <= kOverrideBits) [[likely]] {
        call.drop = overrides(names, bound, call.context);
        return;
    }
    auto each = std::make_unique<std::vector<bool>>();
    for (const RenderedField& f : bound.fields)
        each->push_back((call.context && call.context->overrides_bound(f.key)) ||
                        call_gives(names, f.key));
    for (std::size_t i = 0; i < nc; ++i)
        each->push_back(context_dropped(names, bound, call.context->fields[i]));
    call.drop_each = std::move(each);
}

void put_set(LineBuilder& b, const RenderedFields& set, unsigned slot, std::uint64_t drop,
             const std::vector<bool>* drop_each, std::size_t first) {
    if (!drop_each && !drop) [[likely]] {
        put_rendered(b, set.rendered[slot]);
        return;
    }
    for (std::size_t i = 0; i < set.fields.size(); ++i) {
        const bool dropped = drop_each ? (*drop_each)[first + i] : (drop >> i) & 1;
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
    if (!bound.empty()) put_set(b, bound, slot, call.drop.bound, call.drop_each.get(), 0);
    if (call.context)
        put_set(b, *call.context, slot, call.drop.context, call.drop_each.get(),
                bound.fields.size());
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
                       std::string_view text, PyObject* self, const LineTarget& target,
                       const CallFields& call, std::uint64_t batch_size, HandOff how) {
    const LineLayout& layout = target.layout;
    buf.resize_down(message_end);
    {
        LineBuilder b(buf, 256);
        put_bound_and_context(b, fields_logger(self)->bound, call, layout.slot);
        if (put_call_fields(b, layout, call) != Rendered::Done) return false;
        b.finish();
    }
    // Growing the buffer may have moved the message.
    if (message_end) text = buf.view().substr(0, message_end);
    return append_line(tp, target, text, buf.view().substr(message_end), batch_size, how);
}

// The record straight into the batch, when every value needs no Python
// code; Declined, the line taken back, when one does.
// `console`: the console's copy of the record (py_console.hpp) rather than
// the record's own line.
Rendered write_fields_in_place(ThreadProducer& tp, PyObject* self, Rank rank,
                               std::string_view text, CallFields& call,
                               std::uint64_t batch_size, bool console = false) {
    LoggerState* logger = state_of(self);
    const LineTarget target =
        console ? console_target(*logger->console, rank) : target_of(logger, rank);
    // May wait without the GIL, and a signal handler may then log on this
    // thread (and evict the names entry: looked up again after).
    if (!claim_batch(tp, target.writer)) return Rendered::Failed;
    if (call.kwnames && !(call.names = check_call_keys(call.kwnames))) return Rendered::Failed;
    const LineLayout& layout = target.layout;
    const RenderedFields& bound = fields_logger(self)->bound;
    Producer& p = tp.core;
    LineGuard guard(p);
    LineBuilder b(p.line_buf, Producer::kMaxTimePrefix + target.head.size() +
                                  text.size() * JSON_ESCAPE_MAX_GROWTH + 128);
    begin_record(b, p, target, text);
    b.put_char('"');
    put_bound_and_context(b, bound, call, layout.slot);
    if (call.kwnames) {
        const KeyPieces keys = call_key_pieces(*call.names, layout);
        const Py_ssize_t n = call.names->count;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i == call.exc_info_at) [[unlikely]]
                continue;
            const Rendered r = put_plain_field(b, layout, keys.text + keys.begin[i],
                                               keys.begin[i + 1] - keys.begin[i], call.values[i]);
            if (r != Rendered::Done) [[unlikely]]
                return r;
        }
    }
    end_line_after_fields(b, layout);
    b.finish();
    guard.done();
    return count_line(tp, batch_size) ? Rendered::Done : Rendered::Failed;
}

// A record made while this thread's producer is being torn down goes out on
// its own, through a producer of its own, without giving the GIL up.
[[gnu::noinline]] bool write_without_producer(PyObject* self, const LineTarget& target,
                                              PyObject* message, PyObject* const* args,
                                              Py_ssize_t nargs, const CallFields& call) {
    ThreadProducer own;
    ByteBuffer& buf = own.core.scratch;
    std::string_view text;
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else {
        if (!interpolate(message, args, nargs, buf)) return false;
        text = buf.view();
    }
    return write_with_fields(own, buf, nargs ? buf.size() : 0, text, self, target, call, 1,
                             HandOff::Park);
}

// The message (interpolated into the call's own buffer when it has
// arguments: Python code may run then, before any batch is claimed), then
// the record: in place when it can be, else rendered in that buffer first.
// A buffer of the call's own: code run for the message or a value finds the
// producer's scratch slot empty and uses one of its own. False with an
// exception set.
// Inlined in both its callers, the common call and the captured one.
[[gnu::always_inline]] inline bool write_record(ThreadProducer& tp, PyObject* self, Rank rank,
                                                PyObject* message, PyObject* const* args,
                                                Py_ssize_t nargs, CallFields& call,
                                                std::uint64_t batch_size) {
    std::string_view text;
    if (nargs == 0 && !call.exc) [[likely]] {
        if (!utf8_view(message, text)) return false;
        switch (write_fields_in_place(tp, self, rank, text, call, batch_size)) {
            case Rendered::Done: return true;
            case Rendered::Failed: return false;
            case Rendered::Declined: break;
        }
    }
    ByteBuffer buf = std::move(tp.core.scratch);
    buf.clear();
    struct GiveBack {
        ThreadProducer& tp;
        ByteBuffer& buf;
        ~GiveBack() {
            buf.clear();
            tp.core.scratch = std::move(buf);
        }
    } give_back{tp, buf};
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else {
        if (!interpolate(message, args, nargs, buf)) return false;
        text = buf.view();
        if (!call.exc) {
            switch (write_fields_in_place(tp, self, rank, text, call, batch_size)) {
                case Rendered::Done: return true;
                case Rendered::Failed: return false;
                case Rendered::Declined: break;
            }
        }
    }
    return write_with_fields(tp, buf, nargs ? buf.size() : 0, text, self,
                             target_of(state_of(self), rank), call, batch_size, HandOff::Wait);
}

// The console's copy of a record written already (py_console.hpp), rendered
// again from the call as the record was.
[[gnu::noinline, gnu::cold]] bool write_console(PyObject* self, Rank rank, PyObject* message,
                                                PyObject* const* args, Py_ssize_t nargs,
                                                CallFields& call) {
    const LineTarget target = console_target(*state_of(self)->console, rank);
    ThreadProducer* tp = console_thread_producer();
    if (!tp) {
        if (PyErr_Occurred()) return false;
        return write_without_producer(self, target, message, args, nargs, call);
    }
    ByteBuffer buf = std::move(tp->core.scratch);
    buf.clear();
    struct GiveBack {
        ThreadProducer& tp;
        ByteBuffer& buf;
        ~GiveBack() {
            buf.clear();
            tp.core.scratch = std::move(buf);
        }
    } give_back{*tp, buf};
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    std::string_view text;
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else {
        if (!interpolate(message, args, nargs, buf)) return false;
        text = buf.view();
    }
    if (!call.exc) {
        switch (write_fields_in_place(*tp, self, rank, text, call, batch_size, true)) {
            case Rendered::Done: return true;
            case Rendered::Failed: return false;
            case Rendered::Declined: break;
        }
    }
    return write_with_fields(*tp, buf, nargs ? buf.size() : 0, text, self, target, call,
                             batch_size, HandOff::Wait);
}

// The record written, then captured: out of line, so that the common call
// keeps nothing of the record for after its write.
[[gnu::noinline, gnu::cold]] bool write_and_capture(PyObject* self, Rank rank, PyObject* message,
                                                    PyObject* const* args, Py_ssize_t nargs,
                                                    CallFields& call) {
    ThreadProducer* tp = thread_producer();
    bool ok;
    if (tp) {
        ok = write_record(*tp, self, rank, message, args, nargs, call,
                          BATCH_SIZE.load(std::memory_order_relaxed));
    } else {
        ok = !PyErr_Occurred() && write_without_producer(self, target_of(state_of(self), rank),
                                                         message, args, nargs, call);
    }
    if (ok && state_of(self)->console) ok = write_console(self, rank, message, args, nargs, call);
    if (!ok) return false;
    CapturedRecord record{message};
    record.args = args;
    record.nargs = nargs;
    record.bound = &fields_logger(self)->bound;
    record.context = call.context;
    record.kwnames = call.kwnames;
    record.values = call.values;
    record.exc_info_at = call.exc_info_at;
    record.exc = call.exc;
    return capture_record(*state_of(self), rank, record);
}

// The call's values with those of redacted keys replaced by the
// placeholder, for the line and a capture alike: in `local` when they fit,
// else in `more`. Null with an exception set.
[[gnu::noinline, gnu::cold]] PyObject* const* redacted_values(CallNames& names,
                                                              PyObject* const* values,
                                                              PyObject** local,
                                                              std::size_t local_size,
                                                              std::vector<PyObject*>& more) {
    if (names.checked_at != REDACT_GENERATION && !check_redacted(names)) return nullptr;
    if (names.clean_at == REDACT_GENERATION) return values;
    const auto n = static_cast<std::size_t>(names.count);
    PyObject** out = local;
    if (n > local_size) {
        more.resize(n);
        out = more.data();
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = names.redacted[i] ? redacted_value() : values[i];
    return out;
}

[[gnu::always_inline]] inline bool log_fields(PyObject* self, Rank rank, PyObject* message,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, bool handled) {
    LoggerState* logger = state_of(self);
    CallFields call;
    call.values = args + nargs;
    // First: a new span's ids run Python code, which may evict the call's
    // names entry.
    PyRef context_hold;
    if (!context_fields(context_hold, call.context)) return false;
    // Touched only when a key is redacted.
    PyObject* redacted_local[16];
    std::vector<PyObject*> redacted_more;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        call.names = check_call_keys(kwnames);
        if (!call.names) return false;
        if (call.names->clean_at != REDACT_GENERATION) [[unlikely]] {
            call.values = redacted_values(*call.names, call.values, redacted_local,
                                          std::size(redacted_local), redacted_more);
            if (!call.values) return false;
        }
        call.kwnames = kwnames;
        call.exc_info_at = call.names->exc_info_at;
    }
    PyRef exc;
    if (handled || call.exc_info_at >= 0) [[unlikely]] {
        if (!exception_for(call.exc_info_at >= 0 ? call.values[call.exc_info_at] : Py_True, exc))
            return false;
        call.exc = exc.get();
    }
    const RenderedFields& bound = fields_logger(self)->bound;
    const bool call_fields = call.names && call.names->fields;
    if (!call_fields && !call.exc && !call.context && bound.empty())
        return log_args(logger, rank, message, args, nargs);
    decide_drops(call, bound, call_fields);
    if (CAPTURE_SINK) [[unlikely]] {
        const bool ok = write_and_capture(self, rank, message, args, nargs, call);
        Py_XDECREF(context_hold.release());
        return ok;
    }
    ThreadProducer* tp = thread_producer();
    if (!tp) [[unlikely]] {
        if (PyErr_Occurred()) return false;
        if (!write_without_producer(self, target_of(logger, rank), message, args, nargs, call))
            return false;
        return !logger->console || write_console(self, rank, message, args, nargs, call);
    }
    bool ok = write_record(*tp, self, rank, message, args, nargs, call,
                           BATCH_SIZE.load(std::memory_order_relaxed));
    if (logger->console && ok) [[unlikely]]
        ok = write_console(self, rank, message, args, nargs, call);
    // Released here, with the GIL surely held: PyRef's own release would
    // first ask whether this thread holds it.
    Py_XDECREF(context_hold.release());
    return ok;
}

constexpr LevelMethod TRACE_METHOD{Rank::Trace, "trace", false};
constexpr LevelMethod DEBUG_METHOD{Rank::Debug, "debug", false};
constexpr LevelMethod INFO_METHOD{Rank::Info, "info", false};
constexpr LevelMethod WARN_METHOD{Rank::Warn, "warn", false};
constexpr LevelMethod WARNING_METHOD{Rank::Warn, "warning", false};
constexpr LevelMethod ERROR_METHOD{Rank::Error, "error", false};
constexpr LevelMethod EXCEPTION_METHOD{Rank::Error, "exception", true};
// logging's CRITICAL, and its alias FATAL: ferrant's most severe level.
constexpr LevelMethod CRITICAL_METHOD{Rank::Error, "critical", false};
constexpr LevelMethod FATAL_METHOD{Rank::Error, "fatal", false};

// Counts a call on a Logger as under way.
class Busy {
public:
    explicit Busy(unsigned& count) : count_(count) { ++count_; }
    ~Busy() { --count_; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    unsigned& count_;
};

}  // namespace

// (message, /, *args, **fields)
PyObject* call_fields_level(const LevelMethod& method, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames, Retry retry) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 0) [[unlikely]]
        return missing_message(method);
    if (state_of(self)->level < method.rank) Py_RETURN_NONE;
    FieldLoggerObject* lg = fields_logger(self);
    const Busy busy(lg->busy);
    if (lg->generation != CONFIG_GENERATION.load(std::memory_order_relaxed)) [[unlikely]]
        if (!guarded([&] { return refresh(self); })) return nullptr;
    PyObject* message = args[0];
    if (!PyUnicode_Check(message)) [[unlikely]]
        return log_object_message(method, self, args, nargs, kwnames, retry);
    if (!guarded([&] {
            return log_fields(self, method.rank, message, args + 1, nargs - 1, kwnames,
                              method.handled);
        })) [[unlikely]] {
        if (retry == Retry::Done) return nullptr;
        return retry_printable(method, self, args, nargs, kwnames);
    }
    Py_RETURN_NONE;
}

PyObject* log_through(PyObject* logger, Rank rank, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr const LevelMethod* BY_RANK[RANK_SLOTS] = {
        nullptr, &ERROR_METHOD, &WARN_METHOD, &INFO_METHOD, &DEBUG_METHOD, &TRACE_METHOD};
    return call_fields_level(*BY_RANK[rank_index(rank)], logger, args, nargs, kwnames);
}

namespace {

constexpr const LevelMethod* METHODS[] = {
    &TRACE_METHOD, &DEBUG_METHOD, &INFO_METHOD, &WARN_METHOD, &WARNING_METHOD,
    &ERROR_METHOD, &EXCEPTION_METHOD, &CRITICAL_METHOD, &FATAL_METHOD,
};

}  // namespace

template <LevelMethodKind K>
PyObject* logger_level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    constexpr const LevelMethod& method = *METHODS[static_cast<int>(K)];
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    LoggerState* logger = state_of(self);
    if (logger->level < method.rank && nargs > 0) Py_RETURN_NONE;
    FieldLoggerObject* lg = fields_logger(self);
    // A record without fields of any source is a PyLogger's, written from
    // here without another frame.
    if (!kwnames && !method.handled && nargs > 0 && PyUnicode_Check(args[0]) &&
        lg->bound.empty() && !CONTEXT_SOURCES &&
        lg->generation == CONFIG_GENERATION.load(std::memory_order_relaxed)) [[likely]] {
        const Busy busy(lg->busy);
        if (guarded([&] { return printf_record(logger, method.rank, args[0], args + 1, nargs - 1); }))
            [[likely]]
            Py_RETURN_NONE;
        return retry_printable(method, self, args, nargs, kwnames);
    }
    return call_fields_level(method, self, args, nargsf, kwnames);
}

template PyObject* logger_level_method<LevelMethodKind::Trace>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Debug>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Info>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Warn>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Warning>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Error>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Exception>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Critical>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* logger_level_method<LevelMethodKind::Fatal>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace ferrant
