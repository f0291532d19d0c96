// A Logger follows the configuration: its writer and layout are resolved
// again after basic_config (for one that follows it) or after its writer was
// stopped (for any), at its next record. The call pays one load and compare
// (CONFIG_GENERATION) until then. Its bound fields are rendered again then
// when the redacted keys changed.

#include <memory>
#include <utility>

#include "binding/py_errors.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_service_fields.hpp"
#include "lib/registry.hpp"
#include "lib/settings.hpp"

namespace ferrant {

// The state is replaced whole, only while no other call on this logger is
// under way; otherwise a later call does it.
bool refresh(PyObject* self) {
    FieldLoggerObject* lg = fields_logger(self);
    LoggerState* logger = state_of(self);
    const std::uint64_t generation = CONFIG_GENERATION.load(std::memory_order_relaxed);
    if (lg->busy > 1) return true;
    if (lg->own.stale()) {
        // Values' str() may run Python code, and another call may begin.
        RenderedFields next;
        if (!lg->own.render_again(next)) return false;
        if (lg->busy > 1) return true;
        std::swap(lg->own, next);
        lg->service_id = UINT64_MAX;  // merged again below, or at the next record
    }
    if (lg->service_id != service_fields_id() && !merge_service_fields(*lg)) return false;
    const LoggerSource& source = *lg->source;
    if (!source.follows && !logger->writer->stopped_or_failed()) {
        lg->generation = generation;
        return true;
    }
    // May run Python code (the SIGTERM offer), and another call may begin.
    Result<std::shared_ptr<SharedWriter>> found = shared_writer(
        source.follows ? default_path_cell().get() : source.path,
        source.follows ? Reuse::Current : Reuse::Live);
    if (!found) return raise(found.error());
    // The console's copy, for one that follows: may run Python code too.
    std::unique_ptr<ConsoleCopy> console;
    bool console_changed = false;
    if (source.follows &&
        !next_console(logger->console.get(), source.name, console, console_changed))
        return false;
    if (lg->busy > 1) {
        release_console(std::move(console));
        return true;
    }
    // The copy replaced, released once the logger is whole again.
    if (console_changed) std::swap(logger->console, console);
    std::shared_ptr<SharedWriter> writer = found.take();
    if (writer != logger->writer) {
        LoggerState next{logger->level, &LineLayout::for_settings(writer->settings()),
                         std::move(writer)};
        build_heads(next, source.name);
        using std::swap;
        swap(logger->layout, next.layout);
        swap(logger->writer, next.writer);
        for (unsigned r = 0; r < RANK_SLOTS; ++r) {
            swap(logger->heads[r], next.heads[r]);
            swap(logger->head_size[r], next.head_size[r]);
        }
        lg->generation = generation;
        // The last holder's release stops the old writer, waiting for it
        // without the GIL: after the logger is whole again.
        drop_writer(std::move(next.writer));
        release_console(std::move(console));
        return true;
    }
    lg->generation = generation;
    release_console(std::move(console));
    return true;
}

}  // namespace ferrant
