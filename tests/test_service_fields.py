"""basic_config(fields=...): the service's fields on every Logger and Handler
line, of loggers made before as after, before bound fields, and given up to
a bound, context or call field of the same key."""

import json

import pytest

from lines import dated_lines, parse_logfmt

PROGRAM = """
import logging, threading
import ferrant

early = ferrant.get_logger("early")
bound = early.bind(k=1, service="own")
stdlib = logging.getLogger("std")
stdlib.addHandler(ferrant.Handler())
stdlib.setLevel(logging.INFO)
stdlib.propagate = False
ferrant.basic_config(path="logs/app.log", format=FORMAT,
                     fields={"service": "api", "version": 3, "region": "eu"})
late = ferrant.get_logger("late")
fixed = ferrant.Logger("fixed", path="logs/fixed.log")
early.info("early")
bound.info("bound")
late.info("call", version="mine")
stdlib.info("stdlib", extra={"region": "extra"})
fixed.info("fixed")
with ferrant.bound_contextvars(region="ctx"):
    late.info("context")
worker = threading.Thread(target=lambda: early.bind(t=1).info("thread"))
worker.start()
worker.join()
ferrant.basic_config(path="logs/app.log", format=FORMAT)
early.info("cleared")
"""

SERVICE = {"service": "api", "version": 3, "region": "eu"}


@pytest.mark.parametrize("layout", ["json", "logfmt"])
def test_every_logger_and_handler_line_carries_them(run, tmp_path, layout):
    run(PROGRAM.replace("FORMAT", repr(layout)))
    lines = dated_lines(tmp_path / "logs") + dated_lines(tmp_path / "logs", stem="fixed")
    if layout == "json":
        records = [json.loads(line) for line in lines]
    else:
        records = [dict(parse_logfmt(line)) for line in lines]
        # The text layout writes values as text: compare what it shows.
        for r in records:
            r.pop("time")
    got = {r["msg"]: [(k, v) for k, v in r.items() if k not in ("time", "level", "name", "msg")]
           for r in records}

    def want(service, *more):
        rendered = [(k, v if layout == "json" else str(v)) for k, v in service.items()]
        return rendered + [(k, v if layout == "json" else str(v)) for k, v in more]

    no_region = {k: v for k, v in SERVICE.items() if k != "region"}
    assert got == {
        "early": want(SERVICE),
        # The logger's own binding of a key wins, in the bound fields' place.
        "bound": want({"version": 3, "region": "eu"}, ("k", 1), ("service", "own")),
        "call": want({"service": "api", "region": "eu"}, ("version", "mine")),
        "stdlib": want(no_region, ("region", "extra")),
        "fixed": want(SERVICE),
        "context": want(no_region, ("region", "ctx")),
        "thread": want(SERVICE, ("t", 1)),
        "cleared": [],
    }


def test_accelerated_stdlib_records_carry_them(run, tmp_path):
    run("""
import logging
import ferrant
ferrant.accelerate_logging()
ferrant.basic_config(path="logs/app.log", format="json", fields={"service": "api"})
logging.basicConfig(handlers=[ferrant.Handler()], level=logging.INFO)
logging.getLogger("app.db").info("user %s", "bob")
""")
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert (record["msg"], record["service"]) == ("user bob", "api")


@pytest.mark.parametrize(
    "value,fields",
    [
        ('{"service": "api", "version": 3}', {"service": "api", "version": 3}),
        ("service=api,version=3", {"service": "api", "version": "3"}),
        ("empty=", {"empty": ""}),
    ],
)
def test_the_environment_sets_them(run, tmp_path, value, fields):
    run("""
import ferrant
ferrant.get_logger("a").info("x")
""", env={"FERRANT_FIELDS": value, "FERRANT_PATH": "logs/app.log", "FERRANT_FORMAT": "json"})
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert {k: v for k, v in record.items() if k not in ("time", "level", "name", "msg")} == fields


@pytest.mark.parametrize("value", ["service", "=api", " service=api", "a=1,a=2", "a=1,,b=2",
                                   "{not json", "[1, 2]"])
def test_a_wrong_environment_value_stops_the_import(run, value):
    proc = run("import ferrant", env={"FERRANT_FIELDS": value}, check=False)
    assert proc.returncode != 0
    assert b"ValueError" in proc.stderr and b"FERRANT_FIELDS" in proc.stderr


@pytest.mark.parametrize(
    "fields,exc",
    [([("a", 1)], TypeError), ({1: "a"}, TypeError), ("service=api", TypeError)],
)
def test_refused_fields_change_nothing(run, tmp_path, fields, exc):
    proc = run(f"""
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", fields={{"service": "api"}})
try:
    ferrant.basic_config(path="logs/other.log", fields={fields!r})
except {exc.__name__} as e:
    print("refused", e)
ferrant.get_logger("a").info("x")
""")
    assert proc.stdout.startswith(b"refused")
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert record["service"] == "api"


def test_a_failing_str_is_refused_before_anything_changes(run, tmp_path):
    proc = run("""
import ferrant
class Bad:
    def __str__(self):
        raise KeyboardInterrupt
ferrant.basic_config(path="logs/app.log", format="json", fields={"service": "api"})
try:
    ferrant.basic_config(path="logs/other.log", fields={"bad": Bad()})
except KeyboardInterrupt:
    print("refused")
ferrant.get_logger("a").info("x")
""")
    assert proc.stdout.startswith(b"refused")
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert record["service"] == "api"


def test_a_capture_sees_them_with_their_values(run):
    proc = run("""
import ferrant
from ferrant.testing import capture_logs
ferrant.basic_config(path="logs/app.log", fields={"service": "api", "version": 3})
log = ferrant.get_logger("a").bind(version=4)
with capture_logs() as got:
    log.info("x", k=1)
print(got)
""")
    assert proc.stdout.decode().strip() == (
        "[{'level': 'info', 'name': 'a', 'msg': 'x', 'service': 'api', 'version': 4, 'k': 1}]")
