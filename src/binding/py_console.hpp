#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding/py_record_line.hpp"
#include "lib/line_format.hpp"
#include "lib/rank.hpp"
#include "lib/shared_writer.hpp"

// The console's copy of a record: with basic_config(console=True) and a
// path, every record of a logger that follows basic_config is written to the
// file and then once more, rendered again from the same call, to standard
// output in the text layout: the line a text logger of that name to standard
// output would write. The copies go through a second producer per thread
// (console_thread_producer), so that neither batch changes writers at every
// record. A value whose str() runs Python code is rendered once per line.

namespace ferrant {

// What a logger needs for its copies, held only while the console is on.
struct ConsoleCopy {
    // Standard output's writer in the text layout: the registry's, shared
    // with any logger of the same settings to standard output.
    std::shared_ptr<SharedWriter> writer;
    const LineLayout* layout = nullptr;
    // As LoggerState's heads, for `layout`; kPiecePad NULs follow each.
    std::string heads[RANK_SLOTS] = {};
    std::size_t head_size[RANK_SLOTS] = {};
};

inline LineTarget console_target(const ConsoleCopy& console, Rank rank) {
    const unsigned r = rank_index(rank);
    return {console.writer, *console.layout, {console.heads[r].data(), console.head_size[r]}};
}

// Whether the configuration asks for copies: console on, and a path to
// copy from (with none the records are on standard output already).
bool console_wanted();

// The copy a logger named `name` that follows basic_config needs now, given
// `current` (null: none): `changed` false when `current` is still right,
// else `next` is the new one (null: none). May run Python code (the SIGTERM
// offer). False with an exception set.
bool next_console(const ConsoleCopy* current, const std::optional<std::string_view>& name,
                  std::unique_ptr<ConsoleCopy>& next, bool& changed);

// Lets a copy go. When it and this thread's console batch are its writer's
// last holders, the batch is handed over first (parked: a release has no
// caller to raise to); the last holder's release stops the writer.
void release_console(std::unique_ptr<ConsoleCopy>&& console);

// ferrant._logger._set_console(console, /), for the package's basic_config.
extern PyMethodDef SET_CONSOLE_DEF;

}  // namespace ferrant
