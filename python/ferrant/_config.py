"""`basic_config` as the package exports it, with its defaults taken from the
environment (`FERRANT_*`), and a record of the default path it set, which the
native module keeps to itself and which `Handler()` needs to write where
`get_logger` writes."""

from __future__ import annotations

import contextvars
import json
import os
import re
import threading
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from ferrant import _logger

if TYPE_CHECKING:
    from ferrant._logger import PyLevel, _Color, _Format

_lock = threading.Lock()
_default_path: str | None = None

FORMATS = ("logfmt", "json")
LEVELS = ("trace", "debug", "info", "warn", "warning", "error", "critical")
COLORS = ("auto", "always", "off")
_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off")


def _choice(value: str, allowed: tuple[str, ...], what: str) -> str:
    folded = value.strip().lower()
    if folded not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(allowed)}; got {value!r}")
    return folded


_COUNT = re.compile(r"[0-9]+")


# Environment values are read strictly: a value that only looks right
# (" info", "+3", "1_0", a full-width digit) is more likely a mistake than a
# wish, and a mistake must stop the import rather than mean something else.
def _env_word(value: str, allowed: tuple[str, ...], what: str) -> str:
    folded = value.lower() if value.isascii() else value
    if folded not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(allowed)}; got {value!r}")
    return folded


def _env_bool(value: str, what: str) -> bool:
    return _env_word(value, _TRUE + _FALSE, what) in _TRUE


def _count(value: str) -> int | None:
    if not _COUNT.fullmatch(value):
        return None
    try:
        return int(value)
    except ValueError:  # more digits than int() reads
        return None


def _env_level(value: str, what: str) -> str | int:
    number = _count(value)
    if number is not None:
        return number
    return _env_word(value, LEVELS, what + " (or a logging level number)")


def _env_days(value: str, what: str) -> int:
    days = _count(value)
    if days is None or not 1 <= days < 2**31:
        raise ValueError(f"{what} must be a whole number of days, 1 or more; got {value!r}")
    return days


def _service_fields(fields: object) -> dict[str, Any] | None:
    if fields is None:
        return None
    if not isinstance(fields, Mapping):
        raise TypeError(f"fields must be a mapping or None, not {type(fields).__name__}")
    out = dict(fields)
    for key in out:
        if not isinstance(key, str):
            raise TypeError(f"field keys must be str, not {type(key).__name__}")
    return out


def _env_fields(value: str, what: str) -> dict[str, Any]:
    """``{"service": "api", "version": 3}`` (a JSON object) or
    ``service=api,version=3`` (str values; no "," or "=" within them)."""
    if value.startswith("{"):
        try:
            parsed = json.loads(value)
        except ValueError as exc:
            raise ValueError(f"{what} is not a JSON object: {exc}") from None
        if not isinstance(parsed, dict):
            raise ValueError(f"{what} must be a JSON object or key=value pairs; got {value!r}")
        return parsed
    out: dict[str, Any] = {}
    for item in value.split(","):
        key, sep, text = item.partition("=")
        if not sep or not key or key != key.strip() or key in out:
            raise ValueError(f"{what} must be key=value pairs separated by commas, each key once; "
                             f"got {value!r}")
        out[key] = text
    return out


def _redact_keys(keys: object) -> tuple[str, ...]:
    if keys is None:
        return ()
    # A str is refused: iterated, it would redact its letters.
    if not isinstance(keys, (list, tuple, set, frozenset)):
        raise TypeError(f"redact must be a list of str or None, not {type(keys).__name__}")
    for key in keys:
        if not isinstance(key, str):
            raise TypeError(f"redacted keys must be str, not {type(key).__name__}")
    return tuple(keys)


def _env_redact(value: str, what: str) -> list[str]:
    """``password,token``: keys separated by commas, none empty or padded."""
    keys = value.split(",")
    if any(not key or key != key.strip() for key in keys):
        raise ValueError(f"{what} must be keys separated by commas; got {value!r}")
    return keys


def _trace_source(on: object) -> object:
    """What the native side reads the current span through: the runtime
    context's ContextVar and the span's key in it when the runtime keeps one
    (the default), else the API's get_current_span. opentelemetry is imported
    only here, once the ids are asked for."""
    if not isinstance(on, bool):
        raise TypeError(f"trace_context must be a bool, not {type(on).__name__}")
    if not on:
        return None
    try:
        from opentelemetry import context as otel_context
        from opentelemetry import trace
        from opentelemetry.trace import propagation
    except ImportError:
        raise ModuleNotFoundError(
            "trace_context=True needs the opentelemetry-api package "
            "(pip install opentelemetry-api)", name="opentelemetry") from None
    runtime = getattr(otel_context, "_RUNTIME_CONTEXT", None)
    var = getattr(runtime, "_current_context", None)
    key = getattr(propagation, "_SPAN_KEY", None)
    if isinstance(var, contextvars.ContextVar) and isinstance(key, str):
        return (var, key, trace.get_current_span)
    return trace.get_current_span


def read_environment(environ: Mapping[str, str]) -> dict[str, Any]:
    """The `basic_config` defaults the environment sets: unset or empty
    variables set nothing, a value the package does not know raises
    ValueError naming the variable."""
    readers: dict[str, tuple[str, Any]] = {
        "FERRANT_LEVEL": ("level", _env_level),
        "FERRANT_PATH": ("path", lambda v, what: v),
        "FERRANT_FORMAT": ("format", lambda v, what: _env_word(v, FORMATS, what)),
        "FERRANT_COLOR": ("color", lambda v, what: _env_word(v, COLORS, what)),
        "FERRANT_RETENTION_DAYS": ("retention_days", _env_days),
        "FERRANT_COMPRESS": ("compress", _env_bool),
        "FERRANT_TRACE_CONTEXT": ("trace_context", _env_bool),
        "FERRANT_FIELDS": ("fields", _env_fields),
        "FERRANT_REDACT": ("redact", _env_redact),
        "FERRANT_CONSOLE": ("console", _env_bool),
    }
    out: dict[str, Any] = {}
    for variable, (argument, read) in readers.items():
        value = environ.get(variable, "")
        if value:
            out[argument] = read(value, variable)
    return out


_ENVIRONMENT: dict[str, Any] = read_environment(os.environ)

# Whether ferrant may install its SIGTERM handler (ferrant._sigterm).
SIGTERM_HANDLER: bool = (_env_bool(os.environ["FERRANT_SIGTERM"], "FERRANT_SIGTERM")
                         if os.environ.get("FERRANT_SIGTERM") else True)

_UNSET: Any = object()


def basic_config(
    path: str | None = _UNSET,
    unix_ts: bool = False,
    batch_size: int | None = None,
    color: _Color = _UNSET,
    format: _Format = _UNSET,
    *,
    level: PyLevel | str | int = _UNSET,
    retention_days: int | None = _UNSET,
    compress: bool = _UNSET,
    fields: Mapping[str, Any] | None = _UNSET,
    redact: list[str] | None = _UNSET,
    trace_context: bool = _UNSET,
    console: bool = _UNSET,
) -> None:
    """Set the process-wide defaults, as ``ferrant._logger.basic_config``
    does, with two differences: an omitted ``path``, ``color`` or ``format``
    takes its ``FERRANT_*`` environment variable's value (read at import),
    and ``color`` and ``format`` are read in any case and refused with
    ValueError when unknown (``"JSON"`` means ``"json"``; ``"yaml"`` raises).
    ``level`` is the level of :class:`Logger` objects made from now on without
    one (a :class:`PyLevel`, a name in any case or a ``logging`` number;
    ``FERRANT_LEVEL``, else info, when omitted). ``retention_days`` (None, or
    N >= 1: delete the dated files more than N days before today) and
    ``compress`` (gzip each finished day's file) apply to file writers
    started from now on (``FERRANT_RETENTION_DAYS`` and ``FERRANT_COMPRESS``
    when omitted). ``fields`` (a mapping of str keys, or None) are the
    service's fields, written on every :class:`Logger` and :class:`Handler`
    line from the next record on, of loggers made before as after, before the
    logger's bound fields; a bound, context or call field of the same key
    wins (``FERRANT_FIELDS`` when omitted). ``redact`` (a list of str keys,
    or None) names the keys whose values are written as ``"[redacted]"``:
    fields of every source and keys of dicts inside values, matched as given
    with ASCII letters in either case, from the next record on
    (``FERRANT_REDACT`` when omitted). ``trace_context`` (a bool): while an
    OpenTelemetry span is current, every such line carries its ``trace_id``
    and ``span_id`` (W3C lowercase hex), after the bound and context fields
    and before the call's; a field of the same key from any other source
    wins; it needs opentelemetry-api (ModuleNotFoundError without it;
    ``FERRANT_TRACE_CONTEXT`` when omitted). ``console=True`` writes every
    record of the destination to standard output as well, in the text layout
    (coloured as ``color`` says), the line a text logger to standard output
    writes; without a path the records are there already, and it changes
    nothing (``FERRANT_CONSOLE`` when omitted)."""
    settings: dict[str, Any] = {"unix_ts": unix_ts, "batch_size": batch_size}
    settings["path"] = _ENVIRONMENT.get("path") if path is _UNSET else path
    choices: tuple[tuple[str, object, tuple[str, ...]], ...] = (
        ("color", color, COLORS), ("format", format, FORMATS))
    for name, given, allowed in choices:
        if given is _UNSET:
            given = _ENVIRONMENT.get(name, allowed[0])
        elif isinstance(given, str):
            given = _choice(given, allowed, name)
        settings[name] = given  # a wrong type gets the native call's TypeError
    global _default_path
    # Held across both steps so that concurrent calls cannot leave the record
    # naming another path than the native setting.
    if level is _UNSET:
        level = _ENVIRONMENT.get("level", "info")
    if retention_days is _UNSET:
        retention_days = _ENVIRONMENT.get("retention_days")
    if compress is _UNSET:
        compress = _ENVIRONMENT.get("compress", False)
    if fields is _UNSET:
        fields = _ENVIRONMENT.get("fields")
    if redact is _UNSET:
        redact = _ENVIRONMENT.get("redact")
    if console is _UNSET:
        console = _ENVIRONMENT.get("console", False)
    service = _service_fields(fields)
    redacted = _redact_keys(redact)
    if trace_context is _UNSET:
        trace_context = _ENVIRONMENT.get("trace_context", False)
    tracing = _trace_source(trace_context)
    with _lock:
        # Each step's undo, run in reverse if a later step fails: nothing
        # changes on an error.
        undo: list[Any] = []
        try:
            previous = _logger._set_default_level(level)
            undo.append(lambda: _logger._set_default_level(previous))
            kept = _logger._set_retention(retention_days, compress)
            undo.append(lambda: _logger._set_retention(*kept))
            kept_redact = _logger._set_redact(redacted)
            undo.append(lambda: _logger._set_redact(kept_redact))
            kept_fields = _logger._set_service_fields(service)
            undo.append(lambda: _logger._set_service_fields(kept_fields))
            kept_tracing = _logger._set_trace_context(tracing)
            undo.append(lambda: _logger._set_trace_context(kept_tracing))
            kept_console = _logger._set_console(console)
            undo.append(lambda: _logger._set_console(kept_console))
            _logger.basic_config(**settings)
        except BaseException:
            for step in reversed(undo):
                step()
            raise
        _default_path = settings["path"]


def configure_from_environment() -> None:
    """Applied at import, so that a program (or a spawned worker) that never
    calls `basic_config` is configured by its environment alone."""
    if _ENVIRONMENT:
        basic_config()


def default_path() -> str | None:
    """The path `get_logger` writes to, as last set through `basic_config`."""
    with _lock:
        return _default_path
