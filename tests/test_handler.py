"""ferrant.Handler: records of the standard library's `logging` written as
native ferrant lines."""

import json
import logging
import re
import threading
import traceback
import warnings

import pytest

import ferrant
from ferrant import Handler
from lines import LOCAL_TIME, UNIX_TIME, dated_lines, messages, parse_logfmt
from test_exception_field import chained
from test_fields import KINDS, FieldCapture

LAYOUTS = [("text", False), ("text", True), ("color", False), ("json", False), ("json", True)]

# levelno -> the native method that writes the same level
LEVELS = {1: "trace", 5: "trace", 9: "trace", 10: "debug", 15: "debug", 20: "info", 25: "info",
          30: "warn", 39: "warn", 40: "error", 45: "error", 50: "error", 60: "error"}

NAMES = ["root", "app", "app.db", 'odd name="x"']

MESSAGE = 'say "hi"\tthen\nleave \x1b[31m é 😀'

TIME = re.compile(f'{LOCAL_TIME}|{UNIX_TIME}')
ANSI = re.compile(r"\x1b\[\d+m")


def record(line):
    """The fields of a line in any layout, as a dict."""
    if line.startswith("{"):
        return json.loads(line)
    return dict(parse_logfmt(ANSI.sub("", line)))


def decode(line):
    """(level, name, msg) of a line in any layout."""
    d = record(line)
    return d["level"], d.get("name"), d["msg"]


@pytest.fixture
def bridge(tmp_path):
    """A stdlib logger with only a ferrant.Handler to a file; yields
    (logger, handler, lines) where lines() flushes and reads the file."""
    handler = Handler(path=str(tmp_path / "app.log"))
    log = logging.getLogger(f"test.{tmp_path.name}")
    log.propagate = False
    log.setLevel(1)
    log.addHandler(handler)

    def lines():
        handler.flush()
        return dated_lines(tmp_path)

    yield log, handler, lines
    log.removeHandler(handler)
    handler.close()


SIDE_BY_SIDE = """
import json, logging, sys, traceback
import ferrant
from ferrant import Handler, PyLevel, PyLogger

levels, names, message = {levels!r}, {names!r}, {message!r}

class Keep(logging.Handler):
    def emit(self, record):
        kept.append(record)

root = logging.getLogger()
root.setLevel(logging.NOTSET)
expected = {{}}
for kind, unix in {layouts!r}:
    ferrant.basic_config(format="json" if kind == "json" else "logfmt",
                         color="always" if kind == "color" else "off", unix_ts=unix)
    path = f"{{kind}}-{{int(unix)}}/app.log"
    handler, kept = Handler(path=path), []
    root.handlers = [handler, Keep()]
    native = {{name: PyLogger(name, path, level=PyLevel.Trace) for name in names}}
    for name in names:
        std = logging.getLogger(None if name == "root" else name)
        for levelno, method in levels.items():
            std.log(int(levelno), message)
            getattr(native[name], method)(message)
    try:
        {{}}["missing"]
    except KeyError:
        logging.getLogger("app").exception("lookup %s failed", "missing", stack_info=True)
    logging.getLogger("app").warning("no exception here", stack_info=True)
    record = logging.makeLogRecord({{"name": "app", "levelno": 40, "msg": "remote",
                                     "exc_text": "Traceback (remote)\\nValueError: x"}})
    logging.getLogger("app").handle(record)
    # What the standard library itself renders for the last three records,
    # and the text a native logger writes for the exception.
    form = logging.Formatter()
    expected[path] = [
        [r.getMessage(), "".join(traceback.format_exception(r.exc_info[1])) if r.exc_info else None,
         r.exc_text, form.formatStack(r.stack_info) if r.stack_info else None]
        for r in kept[-3:]
    ]
    handler.flush()
json.dump(expected, sys.stdout)
"""


def test_lines_match_native_ones_in_every_layout(run):
    code = SIDE_BY_SIDE.format(levels=LEVELS, names=NAMES, message=MESSAGE, layouts=LAYOUTS)
    expected = json.loads(run(code).stdout)
    for kind, unix in LAYOUTS:
        path = f"{kind}-{int(unix)}/app.log"
        lines = dated_lines(run.tmp_path / f"{kind}-{int(unix)}")
        pairs = len(NAMES) * len(LEVELS)
        assert len(lines) == 2 * pairs + 3, path
        for i in range(pairs):
            ours, theirs = lines[2 * i], lines[2 * i + 1]
            assert TIME.sub("T", ours, count=1) == TIME.sub("T", theirs, count=1), (path, ours)
            name = NAMES[i // len(LEVELS)]
            level = list(LEVELS.values())[i % len(LEVELS)]
            assert decode(ours) == (level, name, MESSAGE)
        # The exception comes back exactly as the field `exc` (a remote
        # record's as its text), the stack after the message.
        (exc_msg, exc_native, _, exc_stack), (warn_msg, _, _, warn_stack), (remote, _, remote_text, _) = (
            expected[path]
        )
        assert exc_native.startswith("Traceback (most recent call last):\n")
        assert exc_stack.startswith("Stack (most recent call last):\n")
        assert [decode(line) for line in lines[-3:]] == [
            ("error", "app", f"{exc_msg}\n{exc_stack}"),
            ("warn", "app", f"{warn_msg}\n{warn_stack}"),
            ("error", "app", remote),
        ]
        assert [record(line).get("exc") for line in lines[-3:]] == [exc_native, None, remote_text]


@pytest.mark.parametrize(
    "message,args,written",
    [
        ("100% done", (), "100% done"),
        ("%d%% of %s", (42, "disk"), "42% of disk"),
        ("dict %(a)s", ({"a": 1},), "dict 1"),
        ("bad \udcff name", (), "bad \\udcff name"),
        ("%s", ("\ud800",), "\\ud800"),
        ("a\r\nb\x00", (), "a\r\nb\x00"),
    ],
)
def test_messages_are_written_one_line_each(bridge, message, args, written):
    log, _, lines = bridge
    log.info(message, *args)
    log.info("next")
    assert messages(lines()) == [written, "next"]


def test_names_levels_and_filters(bridge):
    log, handler, lines = bridge
    handler.setLevel(logging.INFO)
    handler.addFilter(lambda record: "secret" not in record.getMessage())
    child = log.getChild("child")
    child.setLevel(logging.WARNING)
    log.debug("below the handler")
    log.info("kept")
    log.info("secret")
    child.info("below the logger")
    child.error("child kept")
    many = [f"{log.name}.n{i}" for i in range(2500)]
    for name in many:
        logging.getLogger(name).info("x")
    assert [decode(line) for line in lines()] == [
        ("info", log.name, "kept"),
        ("error", child.name, "child kept"),
    ] + [("info", name, "x") for name in many]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("extra", [{}, {"order": 7, "user": "bob smith"}], ids=["plain", "extras"])
def test_an_exception_is_written_as_a_native_logger_writes_it(tmp_path, kind, extra):
    """The same records through logging and through a native Logger of the
    same name: the lines differ in their time only."""
    name = f"exc.{kind}.{len(extra)}"
    cap = FieldCapture(tmp_path, kind, name=name)
    handler = Handler(path=cap.path)
    std = logging.getLogger(name)
    std.propagate = False
    std.addHandler(handler)
    try:
        err = chained()
        try:
            raise err
        except ValueError:
            std.exception("failed %d", 7, extra=extra)
            cap.log.exception("failed %d", 7, **extra)
        std.error("given", exc_info=err, extra=extra)
        cap.log.error("given", exc_info=err, **extra)
        std.exception("outside an except block", extra=extra)
        cap.log.exception("outside an except block", **extra)
        handler.flush()
        records = [pairs[1:] for pairs in cap.records()]
    finally:
        std.removeHandler(handler)
        handler.close()
    assert len(records) == 6
    assert records[0][-1] == ("exc", "".join(traceback.format_exception(err)))
    assert records[0::2] == records[1::2]
    assert "exc" not in dict(records[4])


def test_a_formatter_on_the_handler_makes_the_message(bridge):
    log, handler, lines = bridge
    handler.setFormatter(logging.Formatter("%(levelname)s:%(name)s:%(message)s"))
    log.info("hello %s", "you")
    try:
        1 / 0
    except ZeroDivisionError:
        log.exception("failed")
    handler.setFormatter(None)
    log.info("plain again")
    got = messages(lines())
    assert got[0] == f"INFO:{log.name}:hello you"
    assert got[1].startswith(f"ERROR:{log.name}:failed\nTraceback (most recent call last):\n")
    assert got[1].endswith("ZeroDivisionError: division by zero")
    assert got[2] == "plain again"


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


class BrokenFormatter(logging.Formatter):
    def format(self, record):
        raise ValueError("formatter broke")


@pytest.mark.parametrize(
    "message,args,formatter,cause",
    [
        ("%d items", ("many",), None, "TypeError"),
        ("%s and %s", ("one",), None, "TypeError"),
        ("%s", (BadStr(),), None, "RuntimeError: no text"),
        (BadStr(), (), None, "RuntimeError: no text"),
        ("fine", (), BrokenFormatter(), "ValueError: formatter broke"),
    ],
)
def test_formatting_errors_are_reported_and_logging_goes_on(bridge, capsys, message, args, formatter, cause):
    log, handler, lines = bridge
    handler.setFormatter(formatter)
    # Straight to the handler: pytest's own capture handlers on the logger
    # would fail the test on the bad record.
    handler.handle(log.makeRecord(log.name, logging.INFO, __file__, 1, message, args, None))
    handler.setFormatter(None)
    log.info("after")
    err = capsys.readouterr().err
    assert err.startswith("--- Logging error ---\n") and cause in err
    assert messages(lines()) == ["after"]


def test_no_handler_lock_per_record(bridge):
    """Another thread holding the handler's lock does not stop records (it
    does stop them once a Formatter of the user's is set)."""
    log, handler, lines = bridge
    held, release = threading.Event(), threading.Event()

    def hold():
        with handler.lock:
            held.set()
            release.wait()

    holder = threading.Thread(target=hold)
    holder.start()
    held.wait()
    done = threading.Event()
    worker = threading.Thread(target=lambda: (log.info("through"), done.set()))
    worker.start()
    passed = done.wait(10)
    handler.setFormatter(logging.Formatter("%(message)s"))
    blocked = threading.Thread(target=lambda: log.info("waited"))
    blocked.start()
    blocked.join(0.3)
    waited = blocked.is_alive()
    release.set()
    for t in (holder, worker, blocked):
        t.join()
    assert passed and waited
    assert messages(lines()) == ["through", "waited"]


def test_flush_and_close_keep_native_loggers_writing(bridge, tmp_path):
    log, handler, lines = bridge
    assert lines() == []  # a flush before any record leaves the writer running
    native = ferrant.PyLogger(log.name, str(tmp_path / "app.log"))
    log.info("one")
    native.info("two")
    assert messages(lines()) == ["one", "two"]
    handler.close()
    native.info("three")
    log.info("four")  # a closed handler opens its destination again
    native.shutdown()
    assert messages(dated_lines(tmp_path)) == ["one", "two", "three", "four"]


def test_constructor_arguments():
    with pytest.raises(TypeError):
        Handler(path=b"app.log")
    with pytest.raises(ValueError):
        Handler(path=None, level="LOUD")
    handler = Handler(path=None, level="WARNING")
    assert handler.level == logging.WARNING and handler.path is None
    handler.close()


DESTINATIONS = """
import json, logging, os, sys
import ferrant
from ferrant import Handler, PyLogger

def threads():
    return len(os.listdir("/proc/self/task"))

def emit(handler, name):
    handler.handle(logging.makeLogRecord({{"name": name, "levelno": 20, "msg": "m"}}))
    handler.flush()

early = Handler()
ferrant.basic_config(path="a/app.log", format="json")
default = Handler()
emit(early, "a-early")
emit(default, "a-default")
try:
    ferrant.basic_config(path="b/app.log", format=None)
except TypeError:
    pass
native = ferrant.get_logger("native")
before = threads()
shared = Handler()
same_writer = threads() == before
ferrant.basic_config(path="b/app.log")
later = ferrant.get_logger("later")
stdout_explicit = Handler(path=None)
before = threads()
own = Handler(path="c/app.log")
one_more = threads() == before + 1
paths = [h.path for h in (early, default, stdout_explicit, own)]

for handler, name in [(early, "b1"), (default, "b2"), (shared, "b3"),
                      (stdout_explicit, "out"), (own, "c1")]:
    emit(handler, name)
native.info("m")
later.info("m")
ferrant.flush()
print(json.dumps([same_writer, one_more, paths]))
"""


def test_default_destinations_follow_the_latest_basic_config(run):
    proc = run(DESTINATIONS.format())
    out = proc.stdout.decode().splitlines()
    assert json.loads(out[-1]) == [True, True, ["b/app.log", "b/app.log", None, "c/app.log"]]
    assert [decode(line)[1] for line in out[:-1]] == ["out"]
    a = [json.loads(line)["name"] for line in dated_lines(run.tmp_path / "a")]
    assert a == ["a-early", "a-default"]
    b = dated_lines(run.tmp_path / "b")
    assert all(not line.startswith("{") for line in b)
    assert [decode(line)[1] for line in b] == ["b1", "b2", "b3", "native", "later"]
    assert [decode(line)[1] for line in dated_lines(run.tmp_path / "c")] == ["c1"]


STDLIB_TRAFFIC = """
import asyncio, gc, logging, warnings
import ferrant

logging.basicConfig(handlers=[ferrant.Handler(path="logs/app.log")], level=logging.INFO,
                    format="%(levelname)s %(message)s")
logging.captureWarnings(True)
warnings.warn("careful", UserWarning)

async def fails():
    raise ZeroDivisionError("lost")

async def main():
    task = asyncio.create_task(fails())
    await asyncio.sleep(0)
    await asyncio.sleep(0)

asyncio.run(main())
gc.collect()
"""


def test_warnings_and_asyncio_reach_the_handler(run):
    run(STDLIB_TRAFFIC)
    lines = [decode(line) for line in dated_lines(run.tmp_path / "logs")]
    assert len(lines) == 2
    # From 3.13 the source line of a `-c` program is known and follows.
    level, name, message = lines[0]
    assert (level, name) == ("warn", "py.warnings")
    assert message.startswith(warnings.formatwarning("careful", UserWarning, "<string>", 8, line=""))
    level, name, msg = lines[1]
    assert (level, name) == ("error", "asyncio")
    assert msg.startswith("Task exception was never retrieved\n")
    exc = record(dated_lines(run.tmp_path / "logs")[1])["exc"]
    assert exc.startswith("Traceback (most recent call last):\n") and exc.endswith("\nZeroDivisionError: lost\n")


THREADS = """
import logging, threading
import ferrant

logging.basicConfig(handlers=[ferrant.Handler(path="logs/app.log")], level=logging.DEBUG)
gate = threading.Barrier(4)

def work(t):
    log = logging.getLogger(f"worker.{{t}}")
    gate.wait()
    for i in range({n}):
        log.log((10, 20, 30, 40)[i % 4], "t%d r%d", t, i)

for t in range(4):
    threading.Thread(target=work, args=(t,)).start()
# No join and no flush: the interpreter's own ending has to write everything.
"""


def test_four_threads_and_a_normal_exit_lose_nothing(run, sizes):
    n = sizes.pick(5000, 100_000, light=2000)
    run(THREADS.format(n=n), timeout=sizes.timeout(120))
    seen = {t: [] for t in range(4)}
    for line in dated_lines(run.tmp_path / "logs"):
        level, name, msg = decode(line)
        t, i = (int(x[1:]) for x in msg.split())
        assert name == f"worker.{t}" and level == ("debug", "info", "warn", "error")[i % 4]
        seen[t].append(i)
    assert all(got == list(range(n)) for got in seen.values())
