#include "binding/py_console.hpp"

#include <utility>

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_producer.hpp"
#include "lib/registry.hpp"
#include "lib/settings.hpp"

namespace ferrant {

bool console_wanted() {
    return default_console_cell().get() && default_path_cell().get().has_value();
}

bool next_console(const ConsoleCopy* current, const std::optional<std::string_view>& name,
                  std::unique_ptr<ConsoleCopy>& next, bool& changed) {
    changed = false;
    if (!console_wanted()) {
        changed = current != nullptr;
        return true;
    }
    // The text layout whatever the destination's format; colour and time as
    // a text logger to standard output has them.
    Result<std::shared_ptr<SharedWriter>> found =
        shared_writer(std::nullopt, Reuse::Current, Format::Text);
    if (!found) return raise(found.error());
    std::shared_ptr<SharedWriter> writer = found.take();
    if (current && current->writer == writer) return true;
    auto copy = std::make_unique<ConsoleCopy>();
    copy->layout = &LineLayout::for_settings(writer->settings());
    copy->writer = std::move(writer);
    build_heads(copy->heads, copy->head_size, *copy->layout, copy->writer->settings(), name);
    next = std::move(copy);
    changed = true;
    return true;
}

void release_console(std::unique_ptr<ConsoleCopy>&& console) {
    if (!console) return;
    std::shared_ptr<SharedWriter> writer = std::move(console->writer);
    console.reset();
    const bool handed = quietly([&writer] {
        ThreadProducer* producer = existing_console_producer();
        if (producer && producer->batch_writer == writer && writer.use_count() == 2)
            (void)hand_off(*producer, HandOff::Park);
    });
    if (!handed) PyErr_Clear();
    drop_writer(std::move(writer));
}

namespace {

// The package's basic_config(console=...): returns the setting it replaced,
// so that a caller can put it back. Seen by loggers once basic_config moves
// the configuration on.
PyObject* set_console(PyObject*, PyObject* value) {
    if (!PyBool_Check(value)) {
        (void)argument_type_error("basic_config", "console", "bool", value);
        return nullptr;
    }
    const bool previous = default_console_cell().get();
    default_console_cell().set(value == Py_True);
    return Py_NewRef(previous ? Py_True : Py_False);
}

}  // namespace

PyMethodDef SET_CONSOLE_DEF = {"_set_console", boundary<set_console>, METH_O,
                               "_set_console(console, /)\n--\n\n"};

}  // namespace ferrant
