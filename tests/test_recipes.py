"""The recipes of docs/recipes.md, taken from that page itself and run against
files ferrant wrote. Each tool is used when installed; otherwise its tests skip."""

import gzip
import importlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from pathlib import Path

import pytest

from lines import dated_lines, parse_logfmt

ROOT = Path(__file__).resolve().parent.parent
RECIPES = ROOT / "docs" / "recipes.md"
README = ROOT / "README.md"
SBIN_PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
ENV = {**os.environ, "PATH": f"{Path(sys.executable).parent}:{SBIN_PATH}"}

RECORDS = [
    ("info", "web", "GET / 200"),
    ("error", "db", "connection lost"),
    ("warn", "db", "retrying in 5 s"),
    ("debug", None, "cache warm"),
    ("error", "web", "GET /admin 500"),
]


def recipe_block(name, page=RECIPES):
    """(code, names it needs) of the block marked `<!-- recipe: NAME -->` or
    `<!-- recipe: NAME; needs ferrant.a ferrant.B.c -->`."""
    m = re.search(rf"<!-- recipe: {re.escape(name)}(?:; needs ([\w. ]+))? -->\n```[a-z]*\n(.*?)\n```",
                  page.read_text(), re.S)
    assert m, f"{page.name} has no recipe {name!r}"
    return m.group(2), (m.group(1) or "").split()


def available(dotted):
    module, *attrs = dotted.split(".")
    obj = importlib.import_module(module)
    for attr in attrs:
        if not hasattr(obj, attr):
            return False
        obj = getattr(obj, attr)
    return True


def recipe(name):
    code, needs = recipe_block(name)
    missing = [n for n in needs if not available(n)]
    if missing:
        pytest.skip(f"recipe {name!r} needs {', '.join(missing)}, which this ferrant lacks")
    return code


def needs(tool):
    return pytest.mark.skipif(
        shutil.which(tool, path=SBIN_PATH) is None,
        reason=f"{tool} is not installed (apt-get install {tool})",
    )


# lnav 0.11 hangs at start with the sanitizer runtimes preloaded, which the
# instrumented test run puts into the environment for Python's sake.
UNPRELOADED_LNAV = 'lnav() { env -u LD_PRELOAD lnav "$@"; }\n'


def shell(script, cwd, env=None):
    proc = subprocess.run(
        ["bash", "-c", UNPRELOADED_LNAV + script], cwd=cwd, env={**ENV, **(env or {})},
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def write_logs(run, tmp_path, **config):
    """RECORDS through ferrant into tmp_path/logs, in the writer zone New York."""
    run(
        f"""
        from ferrant import PyLevel, PyLogger, basic_config
        basic_config(**{config!r})
        for method, name, message in {RECORDS!r}:
            getattr(PyLogger(name, "logs/app.log", level=PyLevel.Debug), method)(message)
        """,
        env={"TZ": "America/New_York"},
    )
    return dated_lines(tmp_path / "logs")


def local_form(instant, offset_minutes):
    zone = timezone(timedelta(minutes=offset_minutes))
    return datetime.fromtimestamp(instant, zone).isoformat(timespec="microseconds")


def test_traceback(run):
    out = run(recipe("traceback")).stdout.decode()
    [line] = out.splitlines()
    msg = dict(parse_logfmt(line))["msg"]
    assert msg.startswith("job nightly-report failed\nTraceback (most recent call last):\n")
    assert msg.endswith("\nValueError: bad input in nightly-report\n")


def test_service_lines_carry_the_request_and_the_traceback(run, tmp_path):
    run(recipe("service"))
    records = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    assert [(r["level"], r["msg"], r["request_id"]) for r in records] == [
        ("info", "charged", "r-1"), ("info", "/checkout done", "r-1"),
        ("error", "charge failed", "r-2"), ("info", "/checkout done", "r-2"),
    ]
    assert records[0]["total"] == 12 and records[2]["cart_size"] == 0
    assert [r["status"] for r in records[1::2]] == [200, 500]
    assert all(isinstance(r["ms"], float) for r in records[1::2])
    exc = records[2]["exc"]
    assert exc.startswith("Traceback (most recent call last):\n") and "ValueError: empty cart" in exc


@pytest.mark.parametrize("name", ["service", "jq-status", "duckdb-p95"])
def test_readme_shows_the_recipes_as_they_are_tested(name):
    assert recipe_block(name, README) == recipe_block(name)


def write_requests(run, tmp_path, n=60):
    """n requests through ferrant.Logger fields, two lines each (the second
    with status and ms), and a few lines without either."""
    run(
        f"""
        import ferrant
        ferrant.basic_config(path="logs/app.log", format="json")
        log = ferrant.get_logger("web")
        log.info("starting", port=8080)
        for i in range({n}):
            req = log.bind(request_id=f"r-{{i}}")
            req.debug("not written: below the level")
            req.info("request", path="/" + "abc"[i % 3])
            status = (200, 404, 500, 503)[i % 4]
            req.info("done", status=status, ms=round(((i * 37) % 101) / 7, 3) if i % 5 else i)
        log.warning("stopping", pending=None)
        """
    )
    return [json.loads(line) for line in dated_lines(tmp_path / "logs")]


@needs("jq")
def test_jq_by_field(run, tmp_path):
    records = write_requests(run, tmp_path)
    failed = [json.loads(line) for line in shell(recipe("jq-status"), tmp_path).splitlines()]
    assert failed == [r for r in records if r.get("status", 0) >= 500] and len(failed) == 30
    one = [json.loads(line) for line in shell(recipe("jq-request"), tmp_path).splitlines()]
    assert [r["msg"] for r in one] == ["request", "done"] and one[1]["status"] == 500


def p95(values):
    """The linear interpolation between closest ranks that quantile_cont computes."""
    xs = sorted(values)
    pos = (len(xs) - 1) * 0.95
    low = int(pos)
    high = min(low + 1, len(xs) - 1)
    return xs[low] + (xs[high] - xs[low]) * (pos - low)


def test_duckdb_p95_by_status(run, tmp_path, monkeypatch):
    duckdb = pytest.importorskip("duckdb", reason="the duckdb module is not installed")
    records = [r for r in write_requests(run, tmp_path) if "status" in r]
    monkeypatch.chdir(tmp_path)
    rows = duckdb.sql(recipe("duckdb-p95")).fetchall()
    statuses = sorted({r["status"] for r in records})
    assert [(s, n) for s, n, _ in rows] == [(s, 15) for s in statuses]
    for status, _, got in rows:
        assert got == pytest.approx(p95([r["ms"] for r in records if r["status"] == status]))


def test_sigterm_becomes_a_normal_exit(tmp_path):
    code = recipe("sigterm") + """
import time
import ferrant
log = ferrant.PyLogger("svc", "logs/app.log")
for i in range(1000):
    log.info("record %d", i)
print("ready", flush=True)
time.sleep(60)
"""
    proc = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=60) == 128 + signal.SIGTERM
    finally:
        proc.kill()
    lines = dated_lines(tmp_path / "logs")
    assert [dict(parse_logfmt(line))["msg"] for line in lines] == [f"record {i}" for i in range(1000)]


@needs("jq")
def test_jq_by_level_and_name(run, tmp_path):
    records = [json.loads(line) for line in write_logs(run, tmp_path, format="json")]
    errors = shell(recipe("jq-level"), tmp_path).splitlines()
    assert [json.loads(line) for line in errors] == [r for r in records if r["level"] == "error"]
    named = shell(recipe("jq-name"), tmp_path).splitlines()
    assert named == [f"{r['time']} {r['level']} {r['msg']}" for r in records if r.get("name") == "db"]


@needs("jq")
def test_jq_local_time_of_the_last_hour(run, tmp_path):
    records = [json.loads(line) for line in write_logs(run, tmp_path, format="json")]
    now = time.time()
    # Offsets both sides of UTC: a sign applied the wrong way moves a record by hours.
    extra = [
        {"time": local_form(now - 600, 330), "level": "info", "msg": "recent, India"},
        {"time": local_form(now - 7200, 330), "level": "info", "msg": "old, India"},
        {"time": local_form(now - 600, -300), "level": "info", "msg": "recent, Peru"},
        {"time": local_form(now - 7200, -300), "level": "info", "msg": "old, Peru"},
    ]
    (tmp_path / "logs" / "app_20000101.log").write_text("".join(json.dumps(r) + "\n" for r in extra))
    out = shell(recipe("jq-local-time"), tmp_path).splitlines()
    assert sorted(json.loads(line)["msg"] for line in out) == sorted(
        [r["msg"] for r in records] + ["recent, India", "recent, Peru"]
    )


@needs("jq")
def test_jq_unix_time(run, tmp_path):
    lines = write_logs(run, tmp_path, format="json", unix_ts=True)
    (tmp_path / "logs" / "app_20000101.log").write_text(
        f'{{"time":{time.time() - 7200:.9f},"level":"info","msg":"old"}}\n'
    )
    out = shell(recipe("jq-unix-time"), tmp_path).splitlines()
    assert len(out) == len(RECORDS)
    for line, text, (method, _, message) in zip(out, lines, RECORDS):
        when, level, msg = line.split(" ", 2)
        assert (level, msg) == (method, message)
        exact = float(re.match(r'\{"time":([0-9.]+),', text)[1])
        shown = datetime.strptime(when, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)
        assert abs(shown.timestamp() - int(exact)) <= 1


@needs("jq")
def test_jq_on_text_files(run, tmp_path):
    lines = write_logs(run, tmp_path)
    out = shell(recipe("jq-text"), tmp_path).splitlines()
    warned = [dict(parse_logfmt(line)) for line in lines if "level=warn" in line]
    assert [json.loads(line) for line in out] == warned


def test_duckdb_local_time(run, tmp_path, monkeypatch):
    duckdb = pytest.importorskip("duckdb", reason="the duckdb module is not installed")
    records = [json.loads(line) for line in write_logs(run, tmp_path, format="json")]
    monkeypatch.chdir(tmp_path)
    rows = duckdb.sql(recipe("duckdb-local-time")).fetchall()
    errors = [r for r in records if r["level"] == "error"]
    assert [(t, level, name, msg) for t, level, name, msg in rows] == [
        (datetime.fromisoformat(r["time"]), r["level"], r["name"], r["msg"]) for r in errors
    ]


def test_duckdb_unix_time_is_exact(run, tmp_path, monkeypatch):
    duckdb = pytest.importorskip("duckdb", reason="the duckdb module is not installed")
    lines = write_logs(run, tmp_path, format="json", unix_ts=True)
    monkeypatch.chdir(tmp_path)
    rows = duckdb.sql(recipe("duckdb-unix-time")).fetchall()
    assert len(rows) == len(RECORDS)
    for (exact, at, level, name, msg), text, record in zip(rows, lines, RECORDS):
        assert exact == Decimal(re.match(r'\{"time":([0-9.]+),', text)[1])
        assert abs(Decimal(str(at.timestamp())) - exact) < Decimal("0.000001")
        assert (level, name, msg) == record


@needs("lnav")
def test_lnav_install_and_query(run, tmp_path):
    records = [json.loads(line) for line in write_logs(run, tmp_path, format="json")]
    home = {"HOME": str(tmp_path / "home")}
    shell(recipe("lnav-install"), tmp_path, home)
    out = shell(recipe("lnav-query"), tmp_path, home).splitlines()
    errors = [r for r in records if r["level"] == "error"]
    assert len(out) == 1 + len(errors), out
    for line, record in zip(out[1:], errors):
        assert record["msg"] in line and record["name"] in line and " error " in line
        # Local form: the wall-clock time the line was written with, to the millisecond.
        assert line.startswith(record["time"][:10] + " " + record["time"][11:23])


def dated(day):
    return f"app_{day:%Y%m%d}.log"


def age(path, days):
    stamp = time.time() - days * 86400
    os.utime(path, (stamp, stamp))


def old_files(logs, run):
    """Today's file from a live writer, yesterday's, and compressed files of
    5 and 40 days ago."""
    today = date.today()
    run(f'import ferrant; ferrant.PyLogger("app", {str(logs / "app.log")!r}).info("today")')
    yesterday = logs / dated(today - timedelta(days=1))
    yesterday.write_text("yesterday\n")
    age(yesterday, 0.5)
    for days in (5, 40):
        path = logs / (dated(today - timedelta(days=days)) + ".1.gz")
        path.write_bytes(gzip.compress(b"old\n"))
        age(path, days)
    (logs / "other_20000101.log").write_text("not ours\n")
    return today


def test_find_and_gzip(run, tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    today = old_files(logs, run)
    for path in logs.glob("*.1.gz"):
        path.rename(str(path).replace(".1.gz", ".gz"))
    shell(recipe("find-gzip").replace("/var/log/myapp", str(logs)), tmp_path)
    yesterday = dated(today - timedelta(days=1))
    assert sorted(p.name for p in logs.iterdir()) == sorted(
        [dated(today), yesterday + ".gz", dated(today - timedelta(days=5)) + ".gz", "other_20000101.log"]
    )
    assert gzip.decompress((logs / (yesterday + ".gz")).read_bytes()) == b"yesterday\n"
    assert b"msg=\"today\"" in (logs / dated(today)).read_bytes()


@needs("logrotate")
def test_logrotate(run, tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    today = old_files(logs, run)
    config = tmp_path / "myapp.conf"
    config.write_text(recipe("logrotate").replace("/var/log/myapp", str(logs)) + "\n")
    # The state of a logrotate that has run daily: it saw the older files two
    # days ago, and has not seen today's yet.
    seen = datetime.now() - timedelta(days=2)
    state = tmp_path / "state"
    state.write_text("logrotate state -- version 2\n" + "".join(
        f'"{p}" {seen.year}-{seen.month}-{seen.day}-{seen.hour}:0:0\n'
        for p in logs.iterdir() if p.name.startswith("app_") and p.name != dated(today)
    ))
    logrotate = shutil.which("logrotate", path=SBIN_PATH)
    shell(f'"{logrotate}" -s "{state}" "{config}"', tmp_path)
    yesterday = dated(today - timedelta(days=1))
    assert sorted(p.name for p in logs.iterdir()) == sorted([
        dated(today), yesterday + ".1.gz", dated(today - timedelta(days=5)) + ".1.gz", "other_20000101.log",
    ])
    assert gzip.decompress((logs / (yesterday + ".1.gz")).read_bytes()) == b"yesterday\n"
    assert b"msg=\"today\"" in (logs / dated(today)).read_bytes()


def trace_run(tmp_path):
    """The trace recipe run, with the ids the SDK gave its spans."""
    pytest.importorskip("opentelemetry.sdk.trace", reason="opentelemetry-sdk is not installed")
    code = recipe("trace") + """
import json
spans = tracer.start_as_current_span("another")
with spans as other:
    log.info("elsewhere")
open("other.json", "w").write(json.dumps(format(other.get_span_context().trace_id, "032x")))
"""
    subprocess.run([sys.executable, "-c", code], cwd=tmp_path, check=True, timeout=60)
    records = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    other = json.loads((tmp_path / "other.json").read_text())
    [trace_id] = {r["trace_id"] for r in records if "trace_id" in r} - {other}
    return records, trace_id


@needs("jq")
def test_jq_lines_of_a_trace(tmp_path):
    records, trace_id = trace_run(tmp_path)
    out = shell(recipe("jq-trace"), tmp_path, env={"TRACE_ID": trace_id}).splitlines()
    assert [json.loads(line)["msg"] for line in out] == ["cart loaded", "charged", "checkout done"]


def test_duckdb_spans_of_a_trace(tmp_path, monkeypatch):
    duckdb = pytest.importorskip("duckdb", reason="the duckdb module is not installed")
    records, trace_id = trace_run(tmp_path)
    monkeypatch.chdir(tmp_path)
    rows = duckdb.execute(recipe("duckdb-trace"), {"trace": trace_id}).fetchall()
    by_span = {}
    for r in records:
        if r.get("trace_id") == trace_id:
            by_span.setdefault(r["span_id"], []).append(r["msg"])
    assert [(span, n, msgs) for span, n, _, msgs in rows] == [
        (span, len(msgs), msgs) for span, msgs in by_span.items()]
    assert [msgs for *_, msgs in rows] == [["cart loaded", "checkout done"], ["charged"]]
