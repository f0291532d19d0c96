"""The loggers under test, each set up to write the same line to a file.

A factory takes a directory and a format ("text" or "json") and returns
(logger, finish, output): finish() pushes everything into the file and
releases the logger; output() yields the file written (for a line count).
"""

from __future__ import annotations

import importlib
import importlib.metadata
import time
from pathlib import Path
from typing import Any, Callable

Finish = Callable[[], None]
Made = tuple[Any, Finish, Callable[[], Path | None]]
Factory = Callable[[Path, str], Made]

# ISO local time with microseconds, level, name, message: the ferrant text line.
TEXT_FORMAT = 'time=%(asctime)s level=%(levelname)s name=%(name)s msg="%(message)s"'


class Source(str):
    """A call argument written into the loop as source text, not as a constant."""

    def __repr__(self) -> str:
        return str(self)


def _noop() -> None:
    pass


def _none() -> Path | None:
    return None


def make_empty_loop(directory: Path, fmt: str) -> Made:
    return None, _noop, _none


def make_floor_factory(floor_module: Any) -> Factory:
    def make(directory: Path, fmt: str) -> Made:
        return floor_module.Empty(), _noop, _none

    return make


def make_ferrant(directory: Path, fmt: str) -> Made:
    import ferrant

    ferrant.basic_config(color="off", format="json" if fmt == "json" else "logfmt")
    stem = f"ferrant-{fmt}-{time.monotonic_ns()}"
    log = ferrant.PyLogger("app", path=str(directory / f"{stem}.log"), level=ferrant.PyLevel.Info)
    # Back to defaults so later writers in this process are not affected.
    ferrant.basic_config(color="off")

    def output() -> Path | None:
        found = sorted(directory.glob(f"{stem}_*.log"))
        return found[0] if found else None

    return log, log.shutdown, output


def _stdlib_like(mod: Any, directory: Path, fmt: str, micro: bool) -> Made:
    if fmt != "text":
        raise NotImplementedError("no built-in JSON formatter")
    path = directory / f"{mod.__name__}-{time.monotonic_ns()}.log"
    log = mod.getLogger("app")
    log.propagate = False
    log.setLevel(mod.INFO)
    handler = mod.FileHandler(str(path))
    if micro:

        class IsoFormatter(mod.Formatter):  # type: ignore[name-defined, misc]
            def formatTime(self, record: Any, datefmt: str | None = None) -> str:
                usec = int((record.created % 1) * 1_000_000)
                pattern = "%%Y-%%m-%%dT%%H:%%M:%%S.%06d%%z" % usec
                return time.strftime(pattern, self.converter(record.created))

        handler.setFormatter(IsoFormatter(TEXT_FORMAT))
    else:
        # picologging ignores an overridden formatTime and cannot render
        # sub-second digits through datefmt; whole seconds is its closest line.
        handler.setFormatter(mod.Formatter(TEXT_FORMAT, datefmt="%Y-%m-%dT%H:%M:%S%z"))
    return attached(log, handler, path)


def attached(log: Any, handler: Any, path: Path) -> Made:
    """`log` with `handler` added, and a finish that flushes, closes and
    removes it again (stdlib logging and its look-alikes)."""
    log.addHandler(handler)

    def finish() -> None:
        handler.flush()
        handler.close()
        log.removeHandler(handler)

    return log, finish, lambda: path


def make_stdlib(directory: Path, fmt: str) -> Made:
    import logging

    return _stdlib_like(logging, directory, fmt, micro=True)


def make_picologging(directory: Path, fmt: str) -> Made:
    import picologging

    return _stdlib_like(picologging, directory, fmt, micro=False)


def make_structlog(directory: Path, fmt: str) -> Made:
    import logging

    import structlog

    path = directory / f"structlog-{time.monotonic_ns()}.log"
    stream = open(path, "a", encoding="utf-8")
    render: Any
    if fmt == "json":
        render = structlog.processors.JSONRenderer()
    else:
        render = structlog.processors.LogfmtRenderer(key_order=["time", "level", "name", "msg"])
    log = structlog.wrap_logger(
        structlog.WriteLogger(stream),
        processors=[
            structlog.processors.add_log_level,
            structlog.processors.TimeStamper(fmt="iso", utc=False, key="time"),
            structlog.processors.EventRenamer("msg"),
            render,
        ],
        wrapper_class=structlog.make_filtering_bound_logger(logging.INFO),
        cache_logger_on_first_use=True,
    ).bind(name="app")

    def finish() -> None:
        stream.flush()
        stream.close()

    return log, finish, lambda: path


_LOGURU_READY = False


def make_loguru(directory: Path, fmt: str) -> Made:
    global _LOGURU_READY
    from loguru import logger

    if not _LOGURU_READY:
        logger.remove()  # the default stderr sink
        _LOGURU_READY = True
    path = directory / f"loguru-{time.monotonic_ns()}.log"
    line = 'time={time:YYYY-MM-DDTHH:mm:ss.SSSSSSZ} level={level} name={extra[name]} msg="{message}"'
    sink = logger.add(
        str(path), format=line, level="INFO", serialize=(fmt == "json"), enqueue=False, catch=False
    )
    log = logger.bind(name="app")

    def finish() -> None:
        logger.remove(sink)

    return log, finish, lambda: path


_LOGLY_READY = False


def make_logly(directory: Path, fmt: str) -> Made:
    """logly's file sink, written on the calling thread (enqueue=False, its default)."""
    global _LOGLY_READY
    from logly import logger

    if not _LOGLY_READY:
        logger.remove()  # the default stderr sink
        _LOGLY_READY = True
    path = directory / f"logly-{time.monotonic_ns()}.log"
    # logly renders {time} in UTC ("Z"), not with the local offset.
    line = 'time={time:YYYY-MM-DDTHH:mm:ss.SSSSSSZ} level={level} name={extra[name]} msg="{message}"'
    sink = logger.add(str(path), level="INFO", format=line, serialize=(fmt == "json"),
                      colorize=False, enqueue=False, catch=False)
    log = logger.bind(name="app")

    def finish() -> None:
        logger.complete()
        logger.remove(sink)

    return log, finish, lambda: path


_SPDLOG_ASYNC_READY = False


def _settle(path: Path, timeout: float = 10.0) -> None:
    """Waits until a file written by another thread stops growing."""
    end = time.monotonic() + timeout
    size = -1
    while time.monotonic() < end:
        now = path.stat().st_size if path.exists() else 0
        if now == size:
            return
        size = now
        time.sleep(0.05)


def _make_spdlog(directory: Path, fmt: str, async_mode: bool) -> Made:
    """The Python wrapper of spdlog: one str per call, formatted by the caller."""
    global _SPDLOG_ASYNC_READY
    import spdlog

    if fmt != "text":
        raise NotImplementedError("no built-in JSON layout")
    if async_mode and not _SPDLOG_ASYNC_READY:
        # spdlog's defaults: 8192 queued messages would block the caller in a
        # burst; a queue as deep as ferrant's channel, blocking when full.
        spdlog.set_async_mode(queue_size=65536, thread_count=1)
        _SPDLOG_ASYNC_READY = True
    kind = "async" if async_mode else "sync"
    stem = f"spdlog-{kind}-{time.monotonic_ns()}"
    path = directory / f"{stem}.log"
    log = spdlog.FileLogger(stem, str(path), multithreaded=True, truncate=True, async_mode=async_mode)
    log.set_pattern('time=%Y-%m-%dT%H:%M:%S.%f%z level=%l name=app msg="%v"')
    log.set_level(spdlog.LogLevel.INFO)

    def finish() -> None:
        log.flush()
        log.close()
        if async_mode:
            # The flush is itself queued: wait until the worker has written.
            _settle(path)

    return log, finish, lambda: path


def make_spdlog_sync(directory: Path, fmt: str) -> Made:
    return _make_spdlog(directory, fmt, async_mode=False)


def make_spdlog_async(directory: Path, fmt: str) -> Made:
    return _make_spdlog(directory, fmt, async_mode=True)


# name -> (factory, importable module, message style): "percent" passes the
# template and its arguments, "brace" the same with {} templates, "preformat"
# one str that the caller formats with % first (the spdlog wrapper takes no
# arguments).
PEERS: dict[str, tuple[Factory, str, str]] = {
    "stdlib logging": (make_stdlib, "logging", "percent"),
    "picologging": (make_picologging, "picologging", "percent"),
    "structlog": (make_structlog, "structlog", "percent"),
    "loguru": (make_loguru, "loguru", "brace"),
    "logly": (make_logly, "logly", "brace"),
    "spdlog sync": (make_spdlog_sync, "spdlog", "preformat"),
    "spdlog async": (make_spdlog_async, "spdlog", "preformat"),
}


def available_peers() -> tuple[dict[str, tuple[Factory, str]], dict[str, str]]:
    """Peers that import, with their style; and the missing ones with the reason."""
    ok: dict[str, tuple[Factory, str]] = {}
    missing: dict[str, str] = {}
    for name, (factory, module, style) in PEERS.items():
        try:
            importlib.import_module(module)
        except Exception as exc:  # any import failure only drops the peer
            missing[name] = f"{type(exc).__name__}: {exc}"
            continue
        ok[name] = (factory, style)
    return ok, missing


def versions() -> dict[str, str]:
    out: dict[str, str] = {}
    for dist in ("ferrant-log", "picologging", "structlog", "loguru", "logly", "spdlog"):
        try:
            out[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            out[dist] = "missing"
    return out
