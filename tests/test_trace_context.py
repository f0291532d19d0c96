"""basic_config(trace_context=True): the current OpenTelemetry span's ids on
every Logger and Handler line, compared with what the SDK reports."""

import json

import pytest

from lines import dated_lines, parse_logfmt

pytest.importorskip("opentelemetry.sdk.trace")

# Each line's message names the span expected on it; the child writes the
# SDK's own ids for those names to ids.json.
PROGRAM = """
import asyncio, json, logging, threading
import ferrant
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider

trace.set_tracer_provider(TracerProvider())
ferrant.basic_config(path="logs/app.log", format=FORMAT, trace_context=True)
log = ferrant.get_logger("app")
ids = {}

def note(name, span):
    c = span.get_span_context()
    ids[name] = [format(c.trace_id, "032x"), format(c.span_id, "016x")]

app, lib = trace.get_tracer("app"), trace.get_tracer("some.library")
log.info("none")
with app.start_as_current_span("outer") as outer:
    note("outer", outer)
    log.info("outer")
    with lib.start_as_current_span("inner") as inner:
        note("inner", inner)
        log.info("inner")
    log.info("outer")
log.info("none")

# Made current with the plain API alone, as a library without the SDK does.
remote = trace.NonRecordingSpan(trace.SpanContext(
    0x0AF7651916CD43DD8448EB211C80319C, 0x00F067AA0BA902B7, is_remote=True))
with trace.use_span(remote):
    note("remote", remote)
    log.info("remote")
with trace.use_span(trace.INVALID_SPAN):
    log.info("none")

# One span object after another: an address may be reused, the ids may not.
for i in range(40):
    with app.start_as_current_span("seq") as s:
        note(f"seq{i}", s)
        log.info(f"seq{i}")

def worker(n):
    with app.start_as_current_span(f"thread{n}") as s:
        note(f"thread{n}", s)
        for _ in range(50):
            log.info(f"thread{n}")
threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()

async def task(n):
    with app.start_as_current_span(f"task{n}") as s:
        note(f"task{n}", s)
        for _ in range(5):
            log.info(f"task{n}")
            await asyncio.sleep(0)
async def main():
    await asyncio.gather(*(task(n) for n in range(6)))
asyncio.run(main())

stdlib = logging.getLogger("std")
stdlib.addHandler(ferrant.Handler())
stdlib.setLevel(logging.INFO)
stdlib.propagate = False
with app.start_as_current_span("handler") as s:
    note("handler", s)
    stdlib.info("handler")
    log.bind(k=1).info("bound", call=2)
with ferrant.bound_contextvars(c=3):
    with app.start_as_current_span("context") as s:
        note("context", s)
        log.info("context")

open("ids.json", "w").write(json.dumps(ids))
"""


def records(tmp_path, layout):
    lines = dated_lines(tmp_path / "logs")
    if layout == "json":
        return [json.loads(line) for line in lines]
    return [dict(parse_logfmt(line)) for line in lines]


@pytest.mark.parametrize("layout", ["json", "logfmt"])
def test_each_line_carries_its_innermost_span(run, tmp_path, layout):
    run(PROGRAM.replace("FORMAT", repr(layout)))
    ids = json.loads((tmp_path / "ids.json").read_text())
    got = records(tmp_path, layout)
    assert len(got) == 5 + 2 + 40 + 4 * 50 + 6 * 5 + 3
    for r in got:
        name = r["msg"]
        if name == "none":
            assert "trace_id" not in r and "span_id" not in r, r
        elif name == "bound":
            assert [r["trace_id"], r["span_id"]] == ids["handler"]
        else:
            assert [r["trace_id"], r["span_id"]] == ids[name], r
    assert ids["outer"][0] == ids["inner"][0] and ids["outer"][1] != ids["inner"][1]
    assert ids["remote"] == ["0af7651916cd43dd8448eb211c80319c", "00f067aa0ba902b7"]
    # After the bound and context fields, before the call's.
    keys = {r["msg"]: [k for k in r if k not in ("time", "level", "name", "msg")] for r in got}
    assert keys["bound"] == ["k", "trace_id", "span_id", "call"]
    assert keys["context"] == ["c", "trace_id", "span_id"]
    assert keys["handler"] == ["trace_id", "span_id"]


OVERRIDES = """
import json
import ferrant
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider

trace.set_tracer_provider(TracerProvider())
ferrant.basic_config(path="logs/app.log", format="json", trace_context=True,
                     fields={"span_id": "service"})
log = ferrant.get_logger("app")
with trace.get_tracer("t").start_as_current_span("s") as s:
    c = s.get_span_context()
    open("ids.json", "w").write(json.dumps([format(c.trace_id, "032x"),
                                            format(c.span_id, "016x")]))
    log.info("service")
    log.bind(trace_id="bound").info("bound")
    with ferrant.bound_contextvars(trace_id="ctx"):
        log.info("context")
    log.info("call", trace_id="call", span_id="mine")
"""


def test_a_field_of_another_source_wins(run, tmp_path):
    run(OVERRIDES)
    trace_id, _ = json.loads((tmp_path / "ids.json").read_text())
    got = {r["msg"]: {k: r[k] for k in ("trace_id", "span_id") if k in r}
           for r in records(tmp_path, "json")}
    assert got == {
        "service": {"trace_id": trace_id, "span_id": "service"},
        "bound": {"trace_id": "bound", "span_id": "service"},
        "context": {"trace_id": "ctx", "span_id": "service"},
        "call": {"trace_id": "call", "span_id": "mine"},
    }


OFF = """
import sys
import ferrant
ferrant.basic_config(path="logs/app.log", format="json")
assert "opentelemetry" not in sys.modules, "imported while off"
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
trace.set_tracer_provider(TracerProvider())
log = ferrant.get_logger("app")
tracer = trace.get_tracer("t")
with tracer.start_as_current_span("s"):
    log.info("off")
    ferrant.basic_config(path="logs/app.log", format="json", trace_context=True)
    log.info("on")
    ferrant.basic_config(path="logs/app.log", format="json")
    log.info("off")
"""


def test_off_writes_no_ids_even_inside_a_span(run, tmp_path):
    run(OFF)
    got = [(r["msg"], "trace_id" in r and "span_id" in r) for r in records(tmp_path, "json")]
    assert got == [("off", False), ("on", True), ("off", False)]


REDACTED = """
import ferrant
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
trace.set_tracer_provider(TracerProvider())
log = ferrant.get_logger("app")
with trace.get_tracer("t").start_as_current_span("s"):
    ferrant.basic_config(path="logs/app.log", format="json", trace_context=True)
    log.info("plain")
    ferrant.basic_config(path="logs/app.log", format="json", trace_context=True,
                         redact=["Span_ID"])
    log.info("redacted")
    ferrant.basic_config(path="logs/app.log", format="json", trace_context=True)
    log.info("plain again")
"""


def test_redacted_ids_follow_the_setting(run, tmp_path):
    run(REDACTED)
    got = {r["msg"]: r["span_id"] for r in records(tmp_path, "json")}
    assert got["redacted"] == "[redacted]"
    assert got["plain"] == got["plain again"] and len(got["plain"]) == 16


ENVIRONMENT = """
import json
import ferrant, logging
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
trace.set_tracer_provider(TracerProvider())
ferrant.accelerate_logging()
std = logging.getLogger("std")
std.addHandler(ferrant.Handler())
std.propagate = False
with trace.get_tracer("t").start_as_current_span("s") as s:
    std.warning("accelerated")
    open("ids.json", "w").write(json.dumps(format(s.get_span_context().span_id, "016x")))
"""


def test_the_environment_turns_it_on(run, tmp_path):
    run(ENVIRONMENT, env={"FERRANT_TRACE_CONTEXT": "yes", "FERRANT_FORMAT": "json",
                          "FERRANT_PATH": "logs/app.log"})
    [line] = records(tmp_path, "json")
    assert line["msg"] == "accelerated"
    assert line["span_id"] == json.loads((tmp_path / "ids.json").read_text())


@pytest.mark.parametrize("value", ["maybe", "2", " on"])
def test_a_wrong_environment_value_stops_the_import(run, value):
    proc = run("import ferrant", env={"FERRANT_TRACE_CONTEXT": value}, check=False)
    assert proc.returncode != 0
    assert b"FERRANT_TRACE_CONTEXT" in proc.stderr


MISSING = """
import sys
sys.modules["opentelemetry"] = None  # as if opentelemetry-api were not installed
import ferrant
try:
    ferrant.basic_config(format="json", trace_context=True)
except ModuleNotFoundError as e:
    print(e)
else:
    raise SystemExit("no error")
ferrant.basic_config(format="json")
ferrant.get_logger("app").info("still off")
"""


def test_without_opentelemetry_api_it_is_a_clear_error(run):
    out = run(MISSING).stdout.decode().splitlines()
    assert "needs the opentelemetry-api package" in out[0]
    assert json.loads(out[1])["msg"] == "still off"


def test_a_non_bool_is_refused(run):
    proc = run("import ferrant; ferrant.basic_config(trace_context='yes')", check=False)
    assert proc.returncode != 0 and b"TypeError: trace_context must be a bool" in proc.stderr


CAPTURED = """
import json
import ferrant
from ferrant.testing import capture_logs
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
trace.set_tracer_provider(TracerProvider())
ferrant.basic_config(trace_context=True)
log = ferrant.get_logger("app")
with capture_logs() as logs:
    with trace.get_tracer("t").start_as_current_span("s") as s:
        c = s.get_span_context()
        log.info("in", x=1)
        log.info("given", span_id="mine")
    log.info("out")
want = [format(c.trace_id, "032x"), format(c.span_id, "016x")]
open("ids.json", "w").write(json.dumps([want, logs]))
"""


def test_a_capture_shows_the_ids(run, tmp_path):
    run(CAPTURED)
    want, logs = json.loads((tmp_path / "ids.json").read_text())
    trace_id, span_id = want
    assert [{k: v for k, v in r.items() if k != "level"} for r in logs] == [
        {"name": "app", "msg": "in", "trace_id": trace_id, "span_id": span_id, "x": 1},
        {"name": "app", "msg": "given", "trace_id": trace_id, "span_id": "mine"},
        {"name": "app", "msg": "out"},
    ]


FALLBACK = """
import json
import ferrant
from ferrant import _logger
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
trace.set_tracer_provider(TracerProvider())
ferrant.basic_config(path="logs/app.log", format="json")
calls = []
def get_span():
    calls.append(1)
    if len(calls) == 3:
        raise RuntimeError("tracing broke")
    return trace.get_current_span()
_logger._set_trace_context(get_span)
log = ferrant.get_logger("app")
with trace.get_tracer("t").start_as_current_span("s") as s:
    log.info("asked")
    log.info("asked")
    log.info("failed")
open("ids.json", "w").write(json.dumps(format(s.get_span_context().span_id, "016x")))
"""


def test_a_runtime_without_a_contextvar_is_asked_through_the_api(run, tmp_path):
    run(FALLBACK)
    span_id = json.loads((tmp_path / "ids.json").read_text())
    assert [(r["msg"], r.get("span_id")) for r in records(tmp_path, "json")] == [
        ("asked", span_id), ("asked", span_id), ("failed", None)]
