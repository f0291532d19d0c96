"""The records with key/value fields: ferrant.Logger, its bound and context
fields, and the peers that write the same fields as JSON.

The cases themselves are built in bench.run (build_cases); this module holds
their loggers, their self-checks and their targets.
"""

from __future__ import annotations

import importlib
import json
import logging
import re
import time
from pathlib import Path
from typing import Any

from bench import contenders as C
from bench.contenders import Source

LOGGER = "ferrant.Logger"
PYLOGGER = "ferrant.PyLogger"
BOUND = "ferrant.Logger, 10 bound"
CONTEXT = "ferrant.Logger, 2 context"
STDLIB_JSON = "stdlib logging + python-json-logger"
MESSAGE = "request done"
FIELDS: dict[str, Any] = {"path": "/api/items", "status": 200, "ms": 12.5}
# Mixed str/int/float values, each written bare in the text layout.
BOUND_FIELDS: dict[str, Any] = {"f0": "v0", "f1": 1, "f2": 0.25, "f3": "alpha", "f4": 42,
                                "f5": 1.5, "f6": "beta-7", "f7": -3, "f8": 2.75, "f9": "gamma"}
CONTEXT_FIELDS: dict[str, Any] = {"request": "r-17", "user": "bob"}
# Every kind a field value takes without a str() call: the allocation run's call.
ALLOC_FIELDS: dict[str, Any] = {**FIELDS, "ok": True, "user": None}
ALLOC_LABELS = ("ferrant.Logger fields", "ferrant.Logger fields json")
GROUP = ("fields_text", "fields_json", "fields_settings", "fields_percent", "fields_dropped")
# basic_config's per-record settings, each against the plain Logger.
SERVICE = "ferrant.Logger, 3 service fields"
TRACED = "ferrant.Logger, trace_context, in a span"
REDACTING = "ferrant.Logger, redact on, no key of the call"
SERVICE_FIELDS: dict[str, Any] = {"service": "api", "version": "1.4.2", "region": "eu-west-1"}


def kw(fields: dict[str, Any]) -> tuple[Source, ...]:
    """Keyword arguments for a loop built by bench.run.make_loop."""
    return tuple(Source(f"{k}={v!r}") for k, v in fields.items())


def context_available() -> str:
    """Why the context-field case cannot run here ("" when it can)."""
    import ferrant

    if hasattr(ferrant, "bind_contextvars") and hasattr(ferrant, "clear_contextvars"):
        return ""
    return "not available: this ferrant has no bind_contextvars"


def _make_logger(directory: Path, fmt: str, bound: dict[str, Any] | None = None,
                 context: dict[str, Any] | None = None) -> C.Made:
    import ferrant

    ferrant.basic_config(color="off", format="json" if fmt == "json" else "logfmt")
    stem = f"logger-{fmt}-{time.monotonic_ns()}"
    log: Any = ferrant.Logger("app", path=str(directory / f"{stem}.log"), level=ferrant.PyLevel.Info)
    ferrant.basic_config(color="off")
    if bound:
        log = log.bind(**bound)
    if context:
        ferrant.bind_contextvars(**context)  # type: ignore[attr-defined]

    def finish() -> None:
        if context:
            ferrant.clear_contextvars()  # type: ignore[attr-defined]
        log.shutdown()

    def output() -> Path | None:
        found = sorted(directory.glob(f"{stem}_*.log"))
        return found[0] if found else None

    return log, finish, output


def make_logger(directory: Path, fmt: str) -> C.Made:
    return _make_logger(directory, fmt)


def make_bound(directory: Path, fmt: str) -> C.Made:
    return _make_logger(directory, fmt, bound=BOUND_FIELDS)


def make_context(directory: Path, fmt: str) -> C.Made:
    return _make_logger(directory, fmt, context=CONTEXT_FIELDS)


def trace_available() -> str:
    """Why the trace case cannot run here ("" when it can)."""
    try:
        importlib.import_module("opentelemetry.sdk.trace")
    except Exception as exc:  # any import failure only drops the case
        return f"not available: {type(exc).__name__}: {exc}"
    return ""


def _with_settings(directory: Path, fmt: str, span: bool = False, **settings: Any) -> C.Made:
    """The plain Logger, with basic_config's `settings` (and an OpenTelemetry
    span current, when `span`) for the length of the case."""
    import ferrant

    log, finish, output = _make_logger(directory, fmt)
    entered = None
    if span:
        from opentelemetry import trace
        from opentelemetry.sdk.trace import TracerProvider

        if not isinstance(trace.get_tracer_provider(), TracerProvider):
            trace.set_tracer_provider(TracerProvider())
        entered = trace.get_tracer("bench").start_as_current_span("request")
        entered.__enter__()
    ferrant.basic_config(color="off", **settings)

    def done() -> None:
        if entered is not None:
            entered.__exit__(None, None, None)
        ferrant.basic_config(color="off")
        finish()

    return log, done, output


def make_service(directory: Path, fmt: str) -> C.Made:
    return _with_settings(directory, fmt, fields=SERVICE_FIELDS)


def make_traced(directory: Path, fmt: str) -> C.Made:
    return _with_settings(directory, fmt, span=True, trace_context=True)


def make_redacting(directory: Path, fmt: str) -> C.Made:
    return _with_settings(directory, fmt, redact=["password", "token"])


def make_stdlib_json(directory: Path, fmt: str) -> C.Made:
    """stdlib logging, the fields given as `extra`, python-json-logger's formatter."""
    from pythonjsonlogger.json import JsonFormatter

    path = directory / f"stdlib-json-{time.monotonic_ns()}.log"
    log = logging.getLogger("app-json")
    log.propagate = False
    log.setLevel(logging.INFO)
    handler = logging.FileHandler(str(path))
    handler.setFormatter(JsonFormatter("%(asctime)s %(levelname)s %(name)s %(message)s"))
    return C.attached(log, handler, path)


# Peers for the JSON case: name -> (factory, importable module, method, call).
# loguru captures a call's keyword arguments into the record's extra; logly's
# keyword arguments only fill the message template, so its fields are bound
# on every call, the one way they reach its JSON.
def _json_peers() -> dict[str, tuple[C.Factory, str, str, tuple[Any, ...]]]:
    with_kw = (MESSAGE, *kw(FIELDS))
    bind = "bind(" + ", ".join(kw(FIELDS)) + ").info"
    extra = Source("extra=" + repr(FIELDS))
    return {
        "structlog": (C.make_structlog, "structlog", "info", with_kw),
        "loguru": (C.make_loguru, "loguru", "info", with_kw),
        "logly": (C.make_logly, "logly", bind, (MESSAGE,)),
        STDLIB_JSON: (make_stdlib_json, "pythonjsonlogger.json", "info", (MESSAGE, extra)),
    }


def available_json_peers() -> tuple[dict[str, tuple[C.Factory, str, tuple[Any, ...]]], dict[str, str]]:
    """The JSON peers that import, with their method and call; the others with the reason."""
    ok: dict[str, tuple[C.Factory, str, tuple[Any, ...]]] = {}
    missing: dict[str, str] = {}
    for name, (factory, module, method, call) in _json_peers().items():
        try:
            importlib.import_module(module)
        except Exception as exc:  # any import failure only drops the peer
            missing[name] = f"{type(exc).__name__}: {exc}"
            continue
        ok[name] = (factory, method, call)
    return ok, missing


def text_bytes(fields: dict[str, Any]) -> str:
    return "".join(f" {k}={v!r}" if not isinstance(v, str) else f" {k}={v}" for k, v in fields.items())


def json_bytes(fields: dict[str, Any]) -> str:
    return "".join(f",{json.dumps(k)}:{json.dumps(v)}" for k, v in fields.items())


def _holds(obj: Any, fields: dict[str, Any], typed: bool) -> bool:
    """Whether some object within a parsed JSON line carries all of fields;
    untyped, a value may be written as its str() (logly's extra is str only)."""
    if isinstance(obj, dict):
        if all(k in obj and (obj[k] == v and type(obj[k]) is type(v) or not typed and obj[k] == str(v))
               for k, v in fields.items()):
            return True
        return any(_holds(v, fields, typed) for v in obj.values())
    return False


def _strip_time(line: str) -> str:
    """The line without its time field, which differs from record to record."""
    if line.startswith("{"):
        head, _, rest = line.partition('","level"')
        return rest if head.startswith('{"time":"') else line
    head, _, rest = line.partition(" level=")
    return rest if head.startswith("time=") else line


def check(case_key: str, lines: dict[str, str | None]) -> dict[str, str]:
    """What each contender's last line of a round shows: "ok" or the fault.

    The bound logger's line must be its unbound twin's plus exactly the
    bound fields' bytes, and every line the fields of the call."""
    fmt_json = case_key == "fields_json"
    out: dict[str, str] = {}
    for label, line in lines.items():
        if line is None:
            continue
        if case_key == "fields_percent":
            other = lines.get(PYLOGGER)
            ok = label != LOGGER or (other is not None and _strip_time(line) == _strip_time(other))
            out[label] = "ok" if ok else f"differs from the {PYLOGGER} line: {line!r} / {other!r}"
            continue
        if fmt_json:
            try:
                parsed = json.loads(line)
            except ValueError:
                out[label] = f"not a JSON line: {line[:200]!r}"
                continue
            ok = _holds(parsed, FIELDS, typed=label.startswith("ferrant"))
        else:
            ok = text_bytes(FIELDS) in line
        if not ok:
            out[label] = f"the call's fields are missing: {line[:300]!r}"
            continue
        if label == TRACED and not re.search(r" trace_id=[0-9a-f]{32} span_id=[0-9a-f]{16}", line):
            out[label] = f"no span ids: {line[:300]!r}"
            continue
        extra = {BOUND: BOUND_FIELDS, CONTEXT: CONTEXT_FIELDS, SERVICE: SERVICE_FIELDS}.get(label)
        plain = lines.get(LOGGER)
        if extra is not None and plain is not None:
            render = json_bytes if fmt_json else text_bytes
            want = sum(len(render({k: v})) for k, v in extra.items())
            got = len(line.encode()) - len(plain.encode())
            if got != want or any(render({k: v}) not in line for k, v in extra.items()):
                out[label] = f"{got} bytes more than {LOGGER}'s line, expected {want} of its fields: {line!r}"
                continue
        out[label] = "ok"
    return out


def last_line(path: Path | None) -> str | None:
    if path is None or not path.exists():
        return None
    with open(path, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        f.seek(max(0, size - 65536))
        tail = f.read().rstrip(b"\n")
    return tail.rsplit(b"\n", 1)[-1].decode("utf-8", "replace") if tail else None


def targets(summary: dict[str, dict[str, Any]], allocs: dict[str, Any],
            unavailable: dict[str, dict[str, str]]) -> list[dict[str, Any]]:
    def get(case: str, lab: str, key: str) -> float | None:
        return summary.get(case, {}).get(lab, {}).get(key)

    # (target, measured, op, limit, unit, case, contender)
    checks: list[tuple[str, float | None, str, float, str, str, str]] = []
    for fmt in ("text", "json"):
        key = f"fields_{fmt}"
        checks += [
            (f"fields call ≤ 3x empty method ({fmt})", get(key, LOGGER, "call_x_floor"), "<=", 3, "x", key, LOGGER),
            (f"10 bound fields ≤ +5 ns ({fmt})", get(key, BOUND, "ns_over"), "<=", 5, "ns", key, BOUND),
            (f"2 context fields ≤ +15 ns ({fmt})", get(key, CONTEXT, "ns_over"), "<=", 15, "ns", key, CONTEXT),
        ]
    checks += [
        ("3 service fields ≤ +5 ns", get("fields_settings", SERVICE, "ns_over"), "<=", 5, "ns",
         "fields_settings", SERVICE),
        ("trace context in a span ≤ +30 ns", get("fields_settings", TRACED, "ns_over"), "<=", 30, "ns",
         "fields_settings", TRACED),
        ("redact on, no key of the call ≤ +1 ns", get("fields_settings", REDACTING, "ns_over"), "<=", 1,
         "ns", "fields_settings", REDACTING),
    ]
    checks.append(("Logger ≤ PyLogger + 3 ns, no fields", get("fields_percent", LOGGER, "ns_over"),
                   "<=", 3, "ns", "fields_percent", LOGGER))
    checks.append(("dropped call with fields ≤ 1.1x empty method",
                   get("fields_dropped", LOGGER, "call_x_floor"), "<=", 1.1, "x", "fields_dropped", LOGGER))
    for peer in ("structlog", "loguru", "logly", STDLIB_JSON):
        checks.append((f"≥ 100x {peer} (JSON with fields)", get("fields_json", peer, "ferrant_speedup_call"),
                       ">=", 100, "x", "fields_json", peer))
    got = (allocs or {}).get("contenders", {})
    for label in ALLOC_LABELS:
        value = got.get(label, {}).get("per_record_all")
        checks.append((f"allocations per record, {label}: 0", value, "<=", 0, "count", "", label))
    res = []
    for text, value, op, limit, unit, case, label in checks:
        ok = None if value is None else (value <= limit if op == "<=" else value >= limit)
        row = {"target": text, "measured": value, "op": op, "limit": limit, "met": ok, "unit": unit}
        why = unavailable.get(case, {}).get(label)
        if value is None and why:
            row["why"] = why
        res.append(row)
    return res


def measured(t: dict[str, Any]) -> str:
    """A target's figure in its own unit."""
    v = t["measured"]
    if v is None or v != v:
        return "-"
    if t.get("unit") == "ns":
        return f"{v:+.1f} ns"
    if t.get("unit") == "count":
        return f"{v:.4g}"
    return f"{v:.2f}x" if v < 100 else f"{v:.0f}x"
