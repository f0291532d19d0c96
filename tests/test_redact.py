"""basic_config(redact=[...]): the values of the given keys never reach a
line, whatever the field's source or depth, and are written again once the
setting is cleared."""

import json

import pytest

from lines import dated_bytes, dated_lines, parse_logfmt, safe_key

SECRETS = ["s-bound-early", "s-bound-late", "s-context", "s-service", "s-call", "s-extra",
           "s-accel", "s-deep", "s-list", "s-safe", "s-site"]

PROGRAM = """
import logging, threading
import ferrant

ferrant.basic_config(path="logs/app.log", format=FORMAT)
log = ferrant.get_logger("app")
early = log.bind(password="s-bound-early", user="bob")
ferrant.bind_contextvars(Token="s-context", request="r-1")

def site():
    log.info("site", api_key="s-site", n=1)

site()  # this call site's keys are known before the setting
ferrant.basic_config(path="logs/app.log", format=FORMAT, fields={"TOKEN": "s-service", "service": "api"},
                     redact=["password", "token", "api_key", "api key"])
late = log.bind(PassWord="s-bound-late")
site()
early.info("early")
late.info("late")
log.info("call", password="s-call", kept="visible")
log.info("nested", data=({"a": [{"b": {"password": "s-deep", "ok": 1}}]},),
         items=[{"token": "s-list"}, {"token": ["s-list"]}, "plain"])
log.info("safe", **{"api key": "s-safe"})
stdlib = logging.getLogger("std")
stdlib.addHandler(ferrant.Handler())
stdlib.setLevel(logging.INFO)
stdlib.propagate = False
stdlib.info("extra", extra={"password": "s-extra", "other": "visible"})
ferrant.accelerate_logging()
stdlib.info("accelerated", extra={"api_key": "s-accel"})
t = threading.Thread(target=lambda: early.info("thread"))
t.start()
t.join()
ferrant.basic_config(path="logs/after.log", format=FORMAT)
early.info("early")
site()
"""

REDACTED = "[redacted]"


def records(lines, layout):
    if layout == "json":
        return [json.loads(line) for line in lines]
    return [dict(parse_logfmt(line)) for line in lines]


@pytest.mark.parametrize("layout", ["json", "logfmt"])
def test_no_source_writes_a_redacted_value(run, tmp_path, layout):
    run(PROGRAM.replace("FORMAT", repr(layout)))
    raw = dated_bytes(tmp_path / "logs").splitlines()
    # The call before the setting (the thread's line may come first).
    before = [i for i, line in enumerate(raw) if b"s-site" in line]
    assert len(before) == 1 and b"s-context" in raw[before[0]]
    del raw[before[0]]
    for secret in SECRETS:
        assert not any(secret.encode() in line for line in raw), secret
    got = {}
    for r in records([line.decode() for line in raw], layout):
        got.setdefault(r["msg"], r)
    text = (lambda v: v) if layout == "json" else (lambda v: json.dumps(v, separators=(",", ":")))
    assert got["site"]["api_key"] == REDACTED and got["site"]["n"] in (1, "1")
    assert (got["early"]["password"], got["early"]["user"]) == (REDACTED, "bob")
    assert got["late"]["PassWord"] == REDACTED
    assert (got["call"]["password"], got["call"]["kept"]) == (REDACTED, "visible")
    for r in got.values():
        assert (r["TOKEN"], r["service"]) == (REDACTED, "api")
        if r["msg"] != "thread":  # a thread starts in a context of its own
            assert (r["Token"], r["request"]) == (REDACTED, "r-1")
    assert got["nested"]["data"] == text([{"a": [{"b": {"password": REDACTED, "ok": 1}}]}])
    assert got["nested"]["items"] == text([{"token": REDACTED}, {"token": REDACTED}, "plain"])
    assert got["safe"][safe_key("api key")] == REDACTED
    assert (got["extra"]["password"], got["extra"]["other"]) == (REDACTED, "visible")
    assert got["accelerated"]["api_key"] == REDACTED
    assert got["thread"]["password"] == REDACTED
    # Cleared: the values bound before, and the call site's, are written again.
    after = {r["msg"]: r for r in records(dated_lines(tmp_path / "logs", stem="after"), layout)}
    assert after["early"]["password"] == "s-bound-early"
    assert after["site"]["api_key"] == "s-site"
    assert "TOKEN" not in after["early"]


def test_a_capture_shows_the_placeholder(run):
    proc = run("""
import ferrant
from ferrant.testing import capture_logs
ferrant.basic_config(path="logs/app.log", fields={"token": "t"}, redact=["token", "password"])
log = ferrant.get_logger("a").bind(password="p")
ferrant.bind_contextvars(Password="c")
with capture_logs() as got:
    log.info("x", TOKEN="call", k=1)
print(got)
""")
    assert proc.stdout.decode().strip() == (
        "[{'level': 'info', 'name': 'a', 'msg': 'x', 'token': '[redacted]', "
        "'password': '[redacted]', 'Password': '[redacted]', 'TOKEN': '[redacted]', 'k': 1}]")


@pytest.mark.parametrize("value,keys", [("password", ["password"]),
                                        ("password,Token", ["password", "token"])])
def test_the_environment_sets_them(run, tmp_path, value, keys):
    run("""
import ferrant
ferrant.get_logger("a").info("x", password="p", token="t", other="o")
""", env={"FERRANT_REDACT": value, "FERRANT_PATH": "logs/app.log", "FERRANT_FORMAT": "json"})
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    want = {k: REDACTED if k in keys else k[0] for k in ("password", "token", "other")}
    assert {k: record[k] for k in want} == want


@pytest.mark.parametrize("value", ["a,,b", " password", "password,", ","])
def test_a_wrong_environment_value_stops_the_import(run, value):
    proc = run("import ferrant", env={"FERRANT_REDACT": value}, check=False)
    assert proc.returncode != 0
    assert b"ValueError" in proc.stderr and b"FERRANT_REDACT" in proc.stderr


@pytest.mark.parametrize("redact", ["'password'", "{'password': 1}", "[1]", "['a', None]",
                                    "b'password'"])
def test_refused_keys_change_nothing(run, tmp_path, redact):
    proc = run(f"""
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", redact=["password"])
try:
    ferrant.basic_config(path="logs/other.log", redact={redact})
except TypeError as e:
    print("refused", e)
ferrant.get_logger("a").info("x", password="p", a="v")
""")
    assert proc.stdout.startswith(b"refused")
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert (record["password"], record["a"]) == (REDACTED, "v")


@pytest.mark.parametrize(
    "key,redacted",
    [("password", True), ("PASSWORD", True), ("pAsSwOrD", True), ("passwords", False),
     ("passwor", False), ("pass word", False), ("pässwort", True), ("PäSSWORT", True),
     # Only ASCII letters fold.
     ("PÄSSWORT", False), ("x", False)],
)
def test_what_is_matched(run, tmp_path, key, redacted):
    run(f"""
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", redact=["Password", "pässwort"])
ferrant.get_logger("a").info("m", **{{{key!r}: "v"}})
ferrant.get_logger("a").info("m", d={{{key!r}: "v"}})
""")
    want = REDACTED if redacted else "v"
    call, nested = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert (call[safe_key(key)], nested["d"][key]) == (want, want)


@pytest.mark.parametrize("count", [3, 40])
def test_a_call_of_many_fields_with_its_exception(run, tmp_path, count):
    run(f"""
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", redact=["password"])
fields = {{f"k{{i}}": i for i in range({count})}}
fields["password"] = "p"
try:
    1 / 0
except ZeroDivisionError as e:
    ferrant.get_logger("a").info("m", exc_info=e, **fields, after="a")
""")
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert record["password"] == REDACTED
    assert [record[f"k{i}"] for i in range(count)] == list(range(count))
    assert record["after"] == "a" and "ZeroDivisionError" in record["exc"]


def test_a_later_failure_of_basic_config_keeps_the_keys(run, tmp_path):
    proc = run("""
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", redact=["password"])
try:
    ferrant.basic_config(path="logs/\\0.log", redact=["a"])
except ValueError:
    print("refused")
ferrant.get_logger("a").info("x", password="p", a="v")
""")
    assert proc.stdout.startswith(b"refused")
    [record] = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert (record["password"], record["a"]) == (REDACTED, "v")


def test_the_service_fields_follow_the_native_setting(run, tmp_path):
    run("""
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", fields={"service": "api", "k": 1})
log = ferrant.get_logger("a")
log.info("x")
ferrant._logger._set_redact(("SERVICE",))
log.info("x")
ferrant._logger._set_redact(())
log.info("x")
""")
    got = [json.loads(line)["service"] for line in dated_lines(tmp_path / "logs")]
    assert got == ["api", REDACTED, "api"]
