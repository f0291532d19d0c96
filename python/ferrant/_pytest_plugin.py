"""The pytest plugin (registered through the distribution's `pytest11` entry
point): records of ferrant's own loggers reach `caplog` as
`logging.LogRecord`s, in the tests that use `caplog`. Other tests, and
everything outside a test, pay nothing: ferrant is not even imported here.

A stdlib record that ferrant.Handler writes already reaches caplog through
the root logger, and is not handed over a second time."""

from __future__ import annotations

import contextlib
import logging
from types import FrameType
from typing import Any, Iterator

import pytest

caplog_handler_key: Any
try:
    from _pytest.logging import caplog_handler_key
except ImportError:  # a pytest whose logging plugin is laid out otherwise
    caplog_handler_key = None

_LEVELNO = {"trace": 5, "debug": 10, "info": 20, "warn": 30, "error": 40}
_LEVELNAME = {5: "TRACE"}
_RECORD_KEYS = frozenset(logging.LogRecord("", 0, "", 0, "", (), None).__dict__) | {
    "message",
    "asctime",
    "taskName",
}
_OWN_KEYS = frozenset({"level", "name", "msg", "exc"})


def _enabled(name: str, levelno: int) -> bool:
    """Whether the stdlib logger `name` would handle a record of `levelno`,
    found as getEffectiveLevel finds it but without making the logger."""
    manager = logging.root.manager
    if manager.disable >= levelno:
        return False
    loggers = manager.loggerDict
    own = True
    while name and name != "root":
        found = loggers.get(name)
        if isinstance(found, logging.Logger):
            if own and found.disabled:
                return False
            if found.level:
                return levelno >= found.level
        own = False
        dot = name.rfind(".")
        if dot < 0:
            break
        name = name[:dot]
    return levelno >= logging.root.level


def _log_record(record: dict[str, Any], levelno: int, caller: FrameType | None) -> logging.LogRecord:
    if caller is not None:
        code = caller.f_code
        where = (code.co_filename, caller.f_lineno or 0, code.co_name)
    else:
        where = ("(unknown file)", 0, "(unknown function)")
    made = logging.LogRecord(
        record["name"] or "root", levelno, where[0], where[1], record["msg"], (), None, where[2]
    )
    if levelno in _LEVELNAME:
        made.levelname = _LEVELNAME[levelno]
    attrs = made.__dict__
    for key, value in record.items():
        # A field named as one of the record's own attributes would replace it.
        if key not in _OWN_KEYS and key not in _RECORD_KEYS:
            attrs[key] = value
    exc = record.get("exc")
    if exc:
        # As Formatter.formatException leaves it.
        made.exc_text = exc[:-1] if exc.endswith("\n") else exc
    return made


class _Forward:
    """Hands the item's native records to its caplog handler of the phase
    under way, filtered as the root logger's handlers filter stdlib ones."""

    def __init__(self, item: pytest.Item) -> None:
        self.item = item

    def __call__(self, record: dict[str, Any], bridge: bool, caller: FrameType | None) -> None:
        if bridge or caplog_handler_key is None:
            return
        handler = self.item.stash.get(caplog_handler_key, None)
        if handler is None:
            return
        levelno = _LEVELNO[record["level"]]
        if levelno < handler.level or not _enabled(record["name"] or "root", levelno):
            return
        handler.handle(_log_record(record, levelno, caller))


@contextlib.contextmanager
def _forwarding(item: pytest.Item) -> Iterator[None]:
    if "caplog" not in getattr(item, "fixturenames", ()):
        yield
        return
    from ferrant import testing

    forward = _Forward(item)
    testing.add_listener(forward)
    try:
        yield
    finally:
        testing.remove_listener(forward)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_setup(item: pytest.Item) -> Iterator[None]:
    with _forwarding(item):
        yield


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Iterator[None]:
    with _forwarding(item):
        yield


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_teardown(item: pytest.Item) -> Iterator[None]:
    with _forwarding(item):
        yield
