"""basic_config(console=True): every record of the configured file goes to
standard output as well, as the line a text logger to standard output writes
for it. The oracle is the same program run with a text configuration to
standard output and no file."""

import json
import re
import sys

import pytest

from lines import dated_lines, parse_logfmt, split_lines, uncolour

# The time prefix, plain or with its key dimmed: the only part two runs differ in.
TIME = re.compile(r"^(?:\x1b\[2m)?time=(?:\x1b\[0m)?\S+ ")

EVERY_SOURCE = r'''
import logging, sys
import ferrant

early = ferrant.get_logger("early")          # made before basic_config
early_bound = early.bind(token="t-1", user="ann")
stdlib = logging.getLogger("app.std")
stdlib.setLevel(logging.DEBUG)
stdlib.propagate = False

mode, color, unix_ts = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
common = dict(color=color, unix_ts=unix_ts, redact=["password", "token"],
              fields={"service": "api", "v": 3}, level="trace")
if mode == "console":
    ferrant.basic_config(path="logs/app.log", format="json", console=True, **common)
else:
    ferrant.basic_config(format="logfmt", **common)
stdlib.addHandler(ferrant.Handler())
late = ferrant.get_logger("late name")      # a name that is quoted

class Shown:
    def __str__(self):
        return "shown <value>"

    def __repr__(self):
        return "Shown()"

early.info("plain")
early.info("user %s has %d items at %.2f", "bob", 3, 2.5)
early.warn("%r and %s", Shown(), Shown())
early_bound.error("bound", password="secret", nested={"Password": 1, "ok": [1, "two"]})
late.debug("call fields", path="/api", status=200, ms=12.5, ok=True, none=None, obj=Shown())
late.trace("lone \udcff surrogate", key="\udcfe")
ferrant.bind_contextvars(request="r-17", token="ctx-secret")
early.info("with context", n=1)
early_bound.info("context over bound", user="override")
ferrant.clear_contextvars()
try:
    1 / 0
except ZeroDivisionError:
    late.exception("failed %s", "here", step=2)
stdlib.info("stdlib %s", "one", extra={"k": "v", "password": "p"})
stdlib.warning("stdlib no args")
try:
    {}["missing"]
except KeyError:
    stdlib.error("stdlib failed", exc_info=True)
ferrant.accelerate_logging()
stdlib.info("accelerated %d", 7, extra={"k": "w"})
stdlib.debug("accelerated plain")
late.info(12345)                             # not a str: its str()
'''

COUNT = 15


def masked(line):
    assert TIME.match(line), line
    return TIME.sub("TIME ", line)


@pytest.mark.parametrize("color, unix_ts", [("off", "0"), ("always", "0"), ("always", "1"),
                                            ("auto", "1")])
def test_console_line_is_the_text_stdout_line(run, tmp_path, color, unix_ts):
    (tmp_path / "prog.py").write_text(EVERY_SOURCE)
    code = f"import runpy, sys; sys.argv[1:] = {{}}; runpy.run_path('prog.py')"
    oracle = run(code.format(["text", color, unix_ts]))
    console = run(code.format(["console", color, unix_ts]))
    want = split_lines(oracle.stdout)
    got = split_lines(console.stdout)
    assert len(want) == COUNT
    assert [masked(line) for line in got] == [masked(line) for line in want]
    assert ("\x1b[" in console.stdout.decode()) == (color == "always")
    # The file: the same records, in JSON.
    records = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    plain = [dict(parse_logfmt(uncolour(line) if color == "always" else line)) for line in want]
    assert [(r["level"], r["name"], r["msg"]) for r in records] == [
        (p["level"], p["name"], p["msg"]) for p in plain]
    assert all(r["service"] == "api" for r in records)
    assert "secret" not in console.stdout.decode() + json.dumps(records)


THREADS = '''
import sys, threading
import ferrant

ferrant.basic_config(path="logs/app.log", format="json", console=True)
log = ferrant.get_logger("t")
n = int(sys.argv[1])
barrier = threading.Barrier(4)

def work(t):
    bound = log.bind(thread=t)
    barrier.wait()
    for i in range(n):
        if i % 3:
            bound.info("r %d %d", t, i)
        else:
            bound.info("r", t=t, i=i)

threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
for t in threads: t.start()
for t in threads: t.join()
'''


def per_thread(pairs):
    seen = {}
    for thread, i in pairs:
        seen.setdefault(thread, []).append(i)
    return seen


def test_threads_every_record_once_in_order_in_both(run, tmp_path, sizes):
    n = sizes.pick(5000, 50000, 1000)
    (tmp_path / "prog.py").write_text(THREADS)
    proc = run(f"import runpy, sys; sys.argv[1:] = ['{n}']; runpy.run_path('prog.py')",
               timeout=sizes.timeout(120))
    console = []
    for line in split_lines(proc.stdout):
        fields = dict(parse_logfmt(line))
        words = fields["msg"].split()
        console.append((int(fields["thread"]), int(fields.get("i", words[-1]))))
    records = [json.loads(line) for line in dated_lines(tmp_path / "logs")]
    written = [(r["thread"], r["i"] if "i" in r else int(r["msg"].split()[-1])) for r in records]
    want = {t: list(range(n)) for t in range(4)}
    assert per_thread(console) == want
    assert per_thread(written) == want


SWITCHED = '''
import os, sys
import ferrant
log = ferrant.get_logger("s")
bound = log.bind(b=1)
ferrant.basic_config(path="logs/app.log", {first})
log.info("one"); bound.info("two", k=2)
ferrant.basic_config(path="logs/app.log", {second})
log.info("three"); bound.info("four", k=4)
handler_log = __import__("logging").getLogger("h")
handler_log.addHandler(ferrant.Handler()); handler_log.propagate = False
handler_log.warning("five")
'''


@pytest.mark.parametrize("first, second, on_console", [
    ("console=True", "", ["one", "two"]),
    ("", "console=True", ["three", "four", "five"]),
    ("console=True", "console=False", ["one", "two"]),
    ("console=True", "console=True, format='json'", ["one", "two", "three", "four", "five"]),
])
def test_console_follows_each_basic_config(run, tmp_path, first, second, on_console):
    proc = run(SWITCHED.format(first=first, second=second))
    assert [dict(parse_logfmt(line))["msg"] for line in split_lines(proc.stdout)] == on_console
    assert len(dated_lines(tmp_path / "logs")) == 5


@pytest.mark.parametrize("value, on", [
    ("1", True), ("true", True), ("YES", True), ("on", True),
    ("0", False), ("false", False), ("No", False), ("off", False),
])
def test_environment_sets_the_default_an_argument_overrides(run, tmp_path, value, on):
    proc = run(f"""
        import ferrant
        ferrant.get_logger("env").info("from env", k=1)
        ferrant.basic_config(path="logs/app.log")   # omitted: the variable's
        ferrant.get_logger("env").info("omitted")
        ferrant.basic_config(path="logs/app.log", console={not on})
        ferrant.get_logger("env").info("given")
    """, env={"FERRANT_CONSOLE": value, "FERRANT_PATH": "logs/app.log"})
    assert len(dated_lines(tmp_path / "logs")) == 3
    shown = [dict(parse_logfmt(line))["msg"] for line in split_lines(proc.stdout)]
    assert shown == (["from env", "omitted"] if on else ["given"])


@pytest.mark.parametrize("value", ["2", "enabled", " 1", "true ", "да"])
def test_environment_refuses_other_values(run, value):
    proc = run("import ferrant", env={"FERRANT_CONSOLE": value}, check=False)
    assert proc.returncode != 0
    assert "FERRANT_CONSOLE" in proc.stderr.decode()
    assert "ValueError" in proc.stderr.decode()


def test_console_without_path_changes_nothing(run):
    proc = run("""
        import ferrant
        ferrant.basic_config(format="json", console=True)
        log = ferrant.get_logger("x")
        log.info("once", k=1)
        log.info("twice %s", "a")
    """)
    lines = split_lines(proc.stdout)
    assert [json.loads(line)["msg"] for line in lines] == ["once", "twice a"]


@pytest.mark.parametrize("value", ["yes", 1, None])
def test_console_must_be_a_bool(run, value):
    proc = run(f"""
        import ferrant
        try:
            ferrant.basic_config(path="logs/app.log", console={value!r})
        except TypeError as e:
            print(e)
    """)
    assert proc.stdout.decode().strip() == (
        "basic_config() argument 'console' must be bool, not "
        + ("None" if value is None else type(value).__name__))


def test_loggers_that_do_not_follow_keep_their_destination(run, tmp_path):
    proc = run("""
        import ferrant
        from ferrant import _logger
        ferrant.basic_config(path="logs/app.log", console=True)
        ferrant.PyLogger("py", "logs/app.log").info("pylogger")
        _logger.get_logger("native").info("native get_logger")
        ferrant.Logger("explicit", path="logs/app.log").info("explicit", k=1)
        ferrant.get_logger("follower").info("follower")
    """)
    assert [dict(parse_logfmt(line))["msg"] for line in split_lines(proc.stdout)] == ["follower"]
    assert len(dated_lines(tmp_path / "logs")) == 4


EXITS = '''
import os, sys, threading
import ferrant
ferrant.basic_config(path="logs/app.log", format="json", console=True)
log = ferrant.get_logger("x")
n = int(sys.argv[1])

def worker():
    for i in range(n):
        log.info("thread", i=i)

t = threading.Thread(target=worker)
t.start(); t.join()           # its producers go with its thread state
for i in range(n):
    log.info("main %d", i)
if sys.argv[2] == "fork":
    pid = os.fork()
    if pid == 0:
        log.info("child")
        ferrant.flush()
        os._exit(0)
    os.waitpid(pid, 0)
    log.info("parent")
'''


@pytest.mark.parametrize("how", ["exit", "fork"])
def test_nothing_lost_at_exit_or_fork(run, tmp_path, how):
    n = 100
    (tmp_path / "prog.py").write_text(EXITS)
    proc = run(f"import runpy, sys; sys.argv[1:] = ['{n}', '{how}']; runpy.run_path('prog.py')")
    console = [dict(parse_logfmt(line))["msg"] for line in split_lines(proc.stdout)]
    written = [json.loads(line)["msg"] for line in dated_lines(tmp_path / "logs")]
    want = ["thread"] * n + [f"main {i}" for i in range(n)]
    if how == "fork":
        # The child's line is written before the parent's last one, by each.
        want += ["child", "parent"]
    assert sorted(console) == sorted(want)
    assert sorted(written) == sorted(want)


def test_capture_sees_each_record_once(run):
    proc = run("""
        import json, logging, sys
        import ferrant
        from ferrant.testing import capture_logs
        ferrant.basic_config(path="logs/app.log", console=True)
        log = ferrant.get_logger("c")
        std = logging.getLogger("std"); std.addHandler(ferrant.Handler()); std.propagate = False
        std.setLevel(logging.INFO)
        with capture_logs() as records:
            log.info("a")
            log.info("b %s", "x", k=1)
            std.info("c")
        sys.stderr.write(json.dumps([r["msg"] for r in records]))
    """)
    assert json.loads(proc.stderr) == ["a", "b x", "c"]
    shown = [dict(parse_logfmt(line))["msg"] for line in split_lines(proc.stdout)]
    assert shown == ["a", "b x", "c"]
