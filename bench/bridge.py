"""Handlers behind the standard library's `logging`, in the factory shape of
bench.contenders.

Whole call: `logging.getLogger("app").info(...)` with one handler (picologging
with its own logger, as it is used). Handler alone: `handle(record)` on a
record made once, which is what a handler costs on top of the Logger.
"""

from __future__ import annotations

import logging
import time
import types
from pathlib import Path
from typing import Any

from bench import contenders as C

MESSAGE = ("user %s logged in", ("bob",))


class _NoOp(logging.Handler):
    """The least a handler can do: the stdlib Logger's own work is the rest."""

    def handle(self, record: logging.LogRecord) -> bool:
        return True

    def emit(self, record: logging.LogRecord) -> None:
        pass


def _on_app_logger(handler: logging.Handler) -> tuple[logging.Logger, C.Finish]:
    log = logging.getLogger("app")
    log.propagate = False
    log.setLevel(logging.INFO)
    log.addHandler(handler)

    def finish() -> None:
        handler.flush()
        handler.close()
        log.removeHandler(handler)

    return log, finish


def _ferrant_handler(directory: Path) -> tuple[logging.Handler, Any]:
    import ferrant

    stem = f"ferrant-handler-{time.monotonic_ns()}"
    handler = ferrant.Handler(path=str(directory / f"{stem}.log"))

    def output() -> Path | None:
        found = sorted(directory.glob(f"{stem}_*.log"))
        return found[0] if found else None

    return handler, output


def make_noop(directory: Path, fmt: str) -> C.Made:
    log, finish = _on_app_logger(_NoOp())
    return log, finish, C._none


def make_ferrant(directory: Path, fmt: str) -> C.Made:
    handler, output = _ferrant_handler(directory)
    log, finish = _on_app_logger(handler)
    return log, finish, output


def make_ferrant_lean(directory: Path, fmt: str) -> C.Made:
    """With the switches of the logging HOWTO's "Optimization" section off:
    no caller lookup (`_srcfile`), no thread, process or multiprocessing
    names in the record."""
    saved = (logging._srcfile, logging.logThreads, logging.logProcesses, logging.logMultiprocessing)
    logging._srcfile = None
    logging.logThreads = logging.logProcesses = logging.logMultiprocessing = False
    log, finish, output = make_ferrant(directory, fmt)

    def restore() -> None:
        finish()
        (logging._srcfile, logging.logThreads, logging.logProcesses, logging.logMultiprocessing) = saved

    return log, restore, output


def _record(mod: Any) -> Any:
    return mod.LogRecord("app", mod.INFO, __file__, 1, MESSAGE[0], MESSAGE[1], None)


def _emitter(handle: Any, record: Any) -> types.SimpleNamespace:
    """`obj.handle(obj.record)` in the loop: the same lookups for everyone."""
    return types.SimpleNamespace(handle=handle, record=record)


def emit_floor_factory(floor_module: Any) -> C.Factory:
    def make(directory: Path, fmt: str) -> C.Made:
        return _emitter(floor_module.Empty().info, _record(logging)), C._noop, C._none

    return make


def make_ferrant_emit(directory: Path, fmt: str) -> C.Made:
    handler, output = _ferrant_handler(directory)
    return _emitter(handler.handle, _record(logging)), handler.close, output


def _file_emit(mod: Any, directory: Path, fmt: str) -> C.Made:
    # The whole-call contender's handler, formatter included, taken off its logger.
    log, finish, output = (C.make_stdlib if mod is logging else C.make_picologging)(directory, fmt)
    (handler,) = log.handlers
    return _emitter(handler.handle, _record(mod)), finish, output


def make_stdlib_emit(directory: Path, fmt: str) -> C.Made:
    return _file_emit(logging, directory, fmt)


def make_picologging_emit(directory: Path, fmt: str) -> C.Made:
    import picologging

    return _file_emit(picologging, directory, fmt)


# The stdlib's own call, logging.getLogger("app.db").info(...), with a
# ferrant.Handler on the root logger: through ferrant.accelerate_logging(),
# and without it.
ACCEL = "logging, accelerated"
PLAIN = "logging, not accelerated"
ACCEL_GROUP = ("accelerated", "accelerated_dropped", "accelerated_threads")
ACCEL_ALLOC = "logging accelerated"


def _on_root(directory: Path) -> tuple[logging.Logger, C.Finish, Any]:
    handler, output = _ferrant_handler(directory)
    root = logging.getLogger()
    app = logging.getLogger("app")  # other cases leave it not propagating
    saved = (root.level, root.handlers[:], app.propagate, app.level, app.handlers[:])
    root.handlers = [handler]
    root.setLevel(logging.INFO)
    app.propagate, app.handlers = True, []
    app.setLevel(logging.NOTSET)

    def finish() -> None:
        handler.flush()
        handler.close()
        root.handlers, app.handlers = saved[1], saved[4]
        app.propagate = saved[2]
        root.setLevel(saved[0])
        app.setLevel(saved[3])

    return logging.getLogger("app.db"), finish, output


def make_not_accelerated(directory: Path, fmt: str) -> C.Made:
    return _on_root(directory)


def make_accelerated(directory: Path, fmt: str) -> C.Made:
    import ferrant

    log, finish, output = _on_root(directory)
    ferrant.accelerate_logging()

    def done() -> None:
        finish()
        ferrant.accelerate_logging(False)

    return log, done, output


def accel_targets(summary: dict[str, dict[str, Any]], allocs: dict[str, Any]) -> list[dict[str, Any]]:
    def get(case: str, lab: str, key: str) -> float | None:
        return summary.get(case, {}).get(lab, {}).get(key)

    got = (allocs or {}).get("contenders", {}).get(ACCEL_ALLOC, {})
    checks = [
        ("accelerated logging ≤ 5x empty method", get("accelerated", ACCEL, "call_x_floor"), "<=", 5, "x"),
        ("accelerated ≥ 40x the call without it", get("accelerated", PLAIN, "ferrant_speedup_call"), ">=", 40, "x"),
        ("accelerated debug below the level ≤ 2.5x empty method",
         get("accelerated_dropped", ACCEL, "call_x_floor"), "<=", 2.5, "x"),
        ("accelerated, 4 threads ≤ 1.5x one", get("accelerated_threads", f"{ACCEL} x4", "x_single_thread_call"),
         "<=", 1.5, "x"),
        ("allocations per record, accelerated logging: 0", got.get("per_record_all"), "<=", 0, "count"),
    ]
    res = []
    for text, value, op, limit, unit in checks:
        ok = None if value is None else (value <= limit if op == "<=" else value >= limit)
        res.append({"target": text, "measured": value, "op": op, "limit": limit, "met": ok, "unit": unit})
    return res
