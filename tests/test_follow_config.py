"""Loggers of the package follow the latest basic_config, whenever they were
made; one made with a path keeps it. A Logger whose writer shutdown() stopped
starts one again; ferrant.flush() waits for every thread's records."""

import json
import subprocess
import sys
import textwrap

from lines import dated_lines, parse_logfmt

ROUTERS = '''
import logging
import ferrant

log = ferrant.get_logger(__name__)
request = log.bind(router="items")
handler = ferrant.Handler()
stdlib = logging.getLogger("app.stdlib")
stdlib.addHandler(handler)
stdlib.setLevel(logging.DEBUG)
stdlib.propagate = False
fixed = ferrant.Logger("fixed", path=None)


def handle(n):
    log.debug("debug %d", n)
    request.info("handled", n=n, ok=True)
    stdlib.info("stdlib %d", n)
'''

MAIN = '''
from app import routers
import ferrant

ferrant.basic_config(path="logs/app.log", format="json", level="debug")
for n in range(3):
    routers.handle(n)
routers.fixed.info("to stdout")
ferrant.get_logger("app.main").info("main")
'''


def test_modules_made_at_import_write_where_main_configures(tmp_path):
    """The usual layout of a service: modules make loggers at import, main
    configures afterwards. Run as a package with python -m."""
    package = tmp_path / "app"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "routers.py").write_text(ROUTERS)
    (package / "__main__.py").write_text(MAIN)
    proc = subprocess.run([sys.executable, "-m", "app"], cwd=tmp_path, capture_output=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    out = proc.stdout.decode().splitlines()
    assert [dict(parse_logfmt(line))["msg"] for line in out] == ["to stdout"]
    records = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    got = [(r["name"], r["level"], r["msg"], {k: v for k, v in r.items() if k not in
            ("time", "level", "name", "msg")}) for r in records]
    want = []
    for n in range(3):
        want += [("app.routers", "debug", f"debug {n}", {}),
                 ("app.routers", "info", "handled", {"router": "items", "n": n, "ok": True}),
                 ("app.stdlib", "info", f"stdlib {n}", {})]
    assert got == want + [("app.main", "info", "main", {})]


SWITCHES = '''
import ferrant
log = ferrant.get_logger("s")
bound = log.bind(b=1, s="x y")
explicit = ferrant.Logger("e", path="fixed/app.log")

class Switch:
    def __str__(self):
        # The call under way keeps the destination it began with.
        ferrant.basic_config(path="two/app.log", format="json")
        log.info("inner")
        return "v"

ferrant.basic_config(path="one/app.log")
bound.info("first", n=1)
explicit.info("fixed 1")
log.info("switching", v=Switch())
bound.info("second", n=2)
explicit.info("fixed 2")
ferrant.basic_config(path="one/app.log", color="always")
bound.info("third")
'''


def test_each_record_goes_where_the_configuration_says_at_its_time(run, tmp_path):
    run(SWITCHES)
    # Two writers append to one's file: in what order, their threads decide.
    one = dated_lines(tmp_path / "one")
    text = [dict(parse_logfmt(line)) for line in one if "\x1b" not in line]
    coloured = [line for line in one if "\x1b" in line]
    two = [json.loads(line) for line in dated_lines(tmp_path / "two")]
    fixed = [dict(parse_logfmt(line))["msg"] for line in dated_lines(tmp_path / "fixed")]
    # A call on a logger whose other call is under way keeps its writer
    # ("inner", logged from within "switching"): the next one moves.
    assert [{k: v for k, v in r.items() if k != "time"} for r in text] == [
        {"level": "info", "name": "s", "msg": "first", "b": "1", "s": "x y", "n": "1"},
        {"level": "info", "name": "s", "msg": "inner"},
        {"level": "info", "name": "s", "msg": "switching", "v": "v"},
    ]
    # Bound fields bound for text are written as JSON values in JSON.
    assert [(r["msg"], r.get("b"), r.get("s"), r.get("n")) for r in two] == [
        ("second", 1, "x y", 2)]
    # Colour on a file destination: a writer of its own, started for it.
    assert len(coloured) == 1 and coloured[0].startswith("\x1b[2mtime=")
    assert fixed == ["fixed 1", "fixed 2"]


LEVELS = '''
import sys, ferrant
quiet = ferrant.get_logger("q")
pinned = ferrant.get_logger("p", level="warn")
ruled = ferrant.get_logger("app.db")
ferrant.set_level("error", prefix="app.db")
ferrant.basic_config(level="debug")
for log in (quiet, pinned, ruled, quiet.bind(x=1)):
    log.debug("d")
    log.warn("w")
    log.error("e")
ferrant.basic_config(level="error")
quiet.warn("dropped now")
print([str(log.level) for log in (quiet, pinned, ruled)], file=sys.stderr)
'''


def test_a_later_default_level_reaches_loggers_made_without_one(run):
    proc = run(LEVELS)
    lines = proc.stdout.decode().splitlines()
    records = [(d["name"], d["msg"]) for d in map(dict, map(parse_logfmt, lines))]
    assert records == [("q", "d"), ("q", "w"), ("q", "e"), ("p", "w"), ("p", "e"),
                       ("app.db", "e"), ("q", "d"), ("q", "w"), ("q", "e")]
    assert proc.stderr.decode().strip() == str(["PyLevel.Error", "PyLevel.Warn", "PyLevel.Error"])


AFTER_SHUTDOWN = '''
import ferrant
from ferrant import PyLogger
log = ferrant.get_logger("d")
own = ferrant.Logger("o", path="own/app.log")
py = PyLogger("p", "py/app.log")
for n in range(3):
    for logger in (log, own, py):
        logger.info("%d", n)
        logger.shutdown()
'''


def test_a_logger_after_shutdown_writes_again_but_a_pylogger_does_not(run, tmp_path):
    proc = run(AFTER_SHUTDOWN)
    assert [dict(parse_logfmt(x))["msg"] for x in proc.stdout.decode().splitlines()] == \
        ["0", "1", "2"]
    assert [dict(parse_logfmt(x))["msg"] for x in dated_lines(tmp_path / "own")] == \
        ["0", "1", "2"]
    # PyLogger keeps its writer for life: stopped, its later records go nowhere.
    assert [dict(parse_logfmt(x))["msg"] for x in dated_lines(tmp_path / "py")] == ["0"]


FLUSH = '''
import os, sys, threading, time, ferrant
log = ferrant.get_logger("f")
done = threading.Event()
def worker():
    for n in range(50):
        log.info("worker %d", n)
    done.set()
    time.sleep(30)  # holds its open batch; flush() must take it
t = threading.Thread(target=worker, daemon=True)
t.start()
done.wait()
assert ferrant.flush() is True
os.write(2, b"flushed\\n")
sys.stdin.readline()
log.info("after")
assert ferrant.flush(timeout=2) is True
os._exit(0)  # nothing but flush() wrote these
'''


def test_flush_writes_every_threads_records_and_stops_nothing(tmp_path):
    proc = subprocess.Popen([sys.executable, "-c", FLUSH], cwd=tmp_path, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert proc.stderr.readline() == b"flushed\n"
        got = [proc.stdout.readline().decode().rstrip("\n") for _ in range(50)]
        assert [dict(parse_logfmt(x))["msg"] for x in got] == \
            [f"worker {n}" for n in range(50)]
        proc.stdin.write(b"go\n")
        proc.stdin.flush()
        assert dict(parse_logfmt(proc.stdout.readline().decode().rstrip("\n")))["msg"] == "after"
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()
        for f in (proc.stdin, proc.stdout, proc.stderr):
            f.close()


STALLED = '''
import os, sys, time, ferrant
log = ferrant.get_logger("s")
for n in range(20_000):
    log.info("record %d with some padding to fill the pipe quickly", n)
t = time.monotonic()
ok = ferrant.flush(timeout=0.3)
os.write(2, b"%r %.1f\\n" % (ok, time.monotonic() - t))
'''


def test_flush_into_a_stalled_destination_gives_up_in_time_and_keeps_the_records(tmp_path):
    proc = subprocess.Popen([sys.executable, "-c", STALLED], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        # Nothing reads standard output until flush() has given up.
        report = proc.stderr.readline().decode()
        assert report.startswith("error flush not confirmed in time: "), report
        line = proc.stderr.readline().decode().split()
        assert line[0] == "False" and float(line[1]) < 5
        out = proc.stdout.read().decode().splitlines()
        assert proc.wait(timeout=60) == 0
    finally:
        proc.kill()
        proc.stdout.close()
        proc.stderr.close()
    assert [dict(parse_logfmt(x))["msg"] for x in out] == \
        [f"record {n} with some padding to fill the pipe quickly" for n in range(20_000)]


def test_flush_checks_its_timeout(run):
    run(textwrap.dedent('''
        import ferrant
        for bad, error in [(-1, ValueError), (float("nan"), ValueError), ("1", TypeError),
                           (True, TypeError), (float("inf"), ValueError)]:
            try:
                ferrant.flush(bad)
            except error:
                pass
            else:
                raise AssertionError(bad)
        assert ferrant.flush(0) is True and ferrant.flush(timeout=1) is True
    '''))
