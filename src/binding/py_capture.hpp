#pragma once

#include "binding/py_ref.hpp"
#include "binding/py_rendered_fields.hpp"
#include "lib/rank.hpp"

// A capture of the records (ferrant.testing): while one is on, every record
// that passes its logger's level goes, once written, to a sink as a dict as
// well. Off, a record pays one load after its level check.

namespace ferrant {

struct LoggerState;

// The sink, or null while no capture is on. GIL held; process-wide, as the
// module is single-phase.
inline PyObject* CAPTURE_SINK = nullptr;

// What a record is made of, as its call gave it.
struct CapturedRecord {
    PyObject* message;  // a str
    PyObject* const* args = nullptr;
    Py_ssize_t nargs = 0;
    const RenderedFields* bound = nullptr;
    const RenderedFields* context = nullptr;
    PyObject* kwnames = nullptr;  // the call's fields, null for none
    PyObject* const* values = nullptr;
    Py_ssize_t exc_info_at = -1;  // not a field
    PyObject* exc = nullptr;      // an exception or its text, or null
};

// Hands a record, written already, to the sink: {"level", "name", "msg",
// the fields in line order under the keys the line writes, "exc"}, and
// whether ferrant.Handler wrote it. A capture that fails (out of memory, a
// sink that raises) is reported as unraisable, never raised: false only with
// an exception set that is no Exception (KeyboardInterrupt).
[[gnu::cold, gnu::noinline]] bool capture_record(const LoggerState& logger, Rank rank,
                                                 const CapturedRecord& record);

extern PyMethodDef SET_CAPTURE_DEF;
extern PyMethodDef MARK_BRIDGE_DEF;

}  // namespace ferrant
