"""Records captured in tests: `capture_logs()`, and the pytest plugin's hook
that hands native records to `caplog` (see `ferrant._pytest_plugin`)."""

from __future__ import annotations

import contextlib
import sys
from types import FrameType
from typing import Any, Callable, Iterator

from ferrant import _logger

__all__ = ["capture_logs"]

Listener = Callable[[dict[str, Any], bool, "FrameType | None"], None]

# The lists of the captures on, and the pytest plugin's listeners; the sink
# is set while either holds anything, so that records pay nothing otherwise.
_captures: list[list[dict[str, Any]]] = []
_listeners: list[Listener] = []


def _sink(record: dict[str, Any], bridge: bool) -> None:
    captures = _captures
    if captures:
        captures[0].append(record)
        for captured in captures[1:]:
            captured.append(dict(record))
    if _listeners:
        # The native method has no frame: the one below is its caller's.
        caller = sys._getframe(1)
        for listener in list(_listeners):
            listener(record, bridge, caller)


def _update() -> None:
    _logger._set_capture(_sink if _captures or _listeners else None)


def add_listener(listener: Listener) -> None:
    """Has `listener(record, bridge, caller)` called for every record from
    now on, `bridge` true for a stdlib record written by ferrant.Handler."""
    _listeners.append(listener)
    _update()


def remove_listener(listener: Listener) -> None:
    with contextlib.suppress(ValueError):
        _listeners.remove(listener)
    _update()


@contextlib.contextmanager
def capture_logs() -> Iterator[list[dict[str, Any]]]:
    """Yields a list that receives, while the block runs, every record that
    passes its logger's level, from every thread: `ferrant.Logger`,
    `PyLogger`, `ferrant.Handler` and accelerated `logging` calls alike. Each
    is a dict: `level` (the word the line writes: "trace", "debug", "info",
    "warn", "error"), `name` (None for a logger without one), `msg` (the
    message with its arguments), the fields with the values given, under the
    keys the line writes, in the line's order, and `exc` (the traceback's
    text) when the record has an exception.

    The records are still written as ever. Captures may nest: each one on
    receives every record."""
    captured: list[dict[str, Any]] = []
    _captures.append(captured)
    _update()
    try:
        yield captured
    finally:
        # Not necessarily the last one: another thread's capture may have
        # begun after this one.
        for i, c in enumerate(_captures):
            if c is captured:
                del _captures[i]
                break
        _update()
