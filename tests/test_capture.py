"""ferrant.testing.capture_logs() and the pytest plugin that hands ferrant's
records to caplog. The oracle for a captured record is its own line: the
JSON layout's object, the time taken out, must equal what was captured."""

import json
import subprocess
import sys
import textwrap

import pytest

SOURCES = r'''
import json, logging, sys, threading
import ferrant
from ferrant.testing import capture_logs

ferrant.basic_config(path=sys.argv[1], format="json")
log = ferrant.get_logger("app")
bound = log.bind(user="bob", n=1)
py = ferrant.PyLogger("py", sys.argv[1])
std = logging.getLogger("std")
std.addHandler(ferrant.Handler())
std.setLevel(logging.DEBUG)
std.propagate = False

with capture_logs() as logs:
    log.info("user %s has %d items", "bob", 3)
    py.warn("a %(k)s and %(k)r", {"k": "v"})
    log.debug("below the level")
    bound.error("bound", n=2, extra=[1, "a"])
    ferrant.bind_contextvars(req="r1", user="ctx")
    bound.info("context", req="call")
    log.info("context alone")
    ferrant.clear_contextvars()
    try:
        {}["missing"]
    except KeyError:
        log.exception("boom", code=5)
    log.warn("given", exc_info=ValueError("v"))
    log.info(42)
    log.info("lone \udc80 surrogate")
    ferrant.Logger("t", sys.argv[1], level=ferrant.PyLevel.Trace).trace("deep")
    log.critical("critical is error")
    std.warning("std %s", "w", extra={"k": 5})
    try:
        1 / 0
    except ZeroDivisionError:
        std.exception("std boom")
    ferrant.accelerate_logging()
    std.info("accelerated %d", 7, extra={"q": 1})
    std.debug("accelerated, no fields")
ferrant.flush()
json.dump(logs, sys.stdout)
'''


def test_every_source_captured_as_its_line(run, tmp_path):
    path = tmp_path / "app.log"
    proc = run(SOURCES.replace("sys.argv[1]", repr(str(path))))
    captured = json.loads(proc.stdout)
    (written,) = tmp_path.glob("app_*.log")
    lines = [json.loads(line) for line in written.read_text().splitlines()]
    for line in lines:
        del line["time"]
        line.setdefault("name", None)
    # Key order too: the fields come as the line has them.
    assert [list(r.items()) for r in captured] == [list(line.items()) for line in lines]
    assert len(captured) == 15
    assert captured[1]["msg"] == "a %(k)s and %(k)r" % {"k": "v"}
    assert [r["level"] for r in captured[-4:]] == ["warn", "error", "info", "debug"]


def test_values_are_the_objects_given(run):
    proc = run(r'''
        import sys
        import ferrant
        from ferrant.testing import capture_logs

        class Thing:
            def __str__(self):
                return "thing"

        bound_value, context_value, call_value = Thing(), Thing(), Thing()
        log = ferrant.Logger("app", None).bind(b=bound_value)
        ferrant.bind_contextvars(c=context_value)
        with capture_logs() as logs:
            log.info("m %s", call_value, f=call_value)
        [r] = logs
        assert r["b"] is bound_value and r["c"] is context_value and r["f"] is call_value
        assert r["msg"] == "m thing"
        print("ok", file=sys.stderr)
    ''')
    assert proc.stderr == b"ok\n"


def test_threads_captured_whole_and_in_order(run, tmp_path):
    proc = run(r'''
        import sys, threading
        import ferrant
        from ferrant.testing import capture_logs

        log = ferrant.Logger("app", sys.argv[1] if len(sys.argv) > 1 else "app.log")
        THREADS, EACH = 4, 500
        barrier = threading.Barrier(THREADS)

        def work(t):
            barrier.wait()
            for i in range(EACH):
                log.info("record", t=t, i=i)

        with capture_logs() as logs:
            threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        ferrant.flush()
        for t in range(THREADS):
            assert [r["i"] for r in logs if r["t"] == t] == list(range(EACH)), t
        assert len(logs) == THREADS * EACH
        print("ok", file=sys.stderr)
    ''')
    assert proc.stderr == b"ok\n"
    (written,) = tmp_path.glob("app_*.log")
    assert len(written.read_text().splitlines()) == 2000


def test_nested_captures_each_receive_every_record(run):
    proc = run(r'''
        import sys
        import ferrant
        from ferrant.testing import capture_logs

        log = ferrant.Logger("app", None)
        outer_cm, inner_cm = capture_logs(), capture_logs()
        outer = outer_cm.__enter__()
        log.info("outer only")
        inner = inner_cm.__enter__()
        log.info("both")
        # Ended out of order, as captures of two threads may be.
        outer_cm.__exit__(None, None, None)
        log.info("inner only")
        inner_cm.__exit__(None, None, None)
        log.info("neither")
        assert [r["msg"] for r in outer] == ["outer only", "both"]
        assert [r["msg"] for r in inner] == ["both", "inner only"]
        # Equal but not shared: a test may change its own.
        assert outer[1] == inner[0] and outer[1] is not inner[0]
        print("ok", file=sys.stderr)
    ''')
    assert proc.stderr == b"ok\n"
    assert proc.stdout.count(b'msg="') == 4


@pytest.mark.parametrize("failure", ["ValueError", "MemoryError", "listener"])
def test_a_capture_that_fails_raises_nothing(run, failure):
    proc = run(rf'''
        import sys
        import ferrant
        from ferrant import testing

        seen = []
        sys.unraisablehook = lambda u: seen.append(u.exc_type.__name__)

        class SecondTimeFails:
            calls = 0
            def __str__(self):
                SecondTimeFails.calls += 1
                if SecondTimeFails.calls > 1:
                    raise {failure if failure != "listener" else "ValueError"}("no")
                return "first"

        def listener(record, bridge, caller):
            raise ValueError("listener")

        log = ferrant.Logger("app", None)
        with testing.capture_logs() as logs:
            if {failure!r} == "listener":
                testing.add_listener(listener)
                assert log.info("written", k=1) is None
                testing.remove_listener(listener)
            else:
                assert log.info("arg %s", SecondTimeFails()) is None
            log.info("next")
        assert seen == [{"MemoryError" if failure == "MemoryError" else "ValueError"!r}], seen
        print([r["msg"] for r in logs], file=sys.stderr)
    ''')
    if failure == "listener":
        # The list got its record before the listener raised.
        assert proc.stderr == b"['written', 'next']\n"
    else:
        assert proc.stderr == b"['next']\n"
        assert b'msg="arg first"' in proc.stdout


PYTEST_FILE = r'''
import logging, threading
import pytest
import ferrant

log = ferrant.Logger("app", None)


def test_records(caplog):
    log.warn("disk %s", "full", path="/x", pct=97, args="a field")
    [r] = caplog.records
    assert (r.name, r.levelno, r.levelname, r.getMessage()) == ("app", 30, "WARNING", "disk full")
    assert (r.path, r.pct, r.args) == ("/x", 97, ())
    assert (r.filename, r.funcName) == ("test_app.py", "test_records")
    assert caplog.record_tuples == [("app", logging.WARNING, "disk full")]
    assert "disk full" in caplog.text and "test_app.py" in caplog.text


def test_root_level_filters_as_for_stdlib(caplog):
    log.info("quiet")
    logging.getLogger("app").info("quiet too")
    assert caplog.records == []


def scenario(get, caplog):
    with caplog.at_level(logging.INFO):
        get("app").info("in")
    get("app").info("out")
    with caplog.at_level(logging.ERROR, logger="app"):
        get("app").warning("filtered")
        get("app.sub").warning("child filtered")
        get("app").error("kept")
        get("other").error("other kept")
    with caplog.at_level(logging.DEBUG, logger="app"):
        get("app.sub").debug("child debug")
        get("other").debug("other filtered")
    logging.disable(logging.WARNING)
    get("app").warning("disabled")
    logging.disable(logging.NOTSET)
    get(None).warning("nameless")
    tuples = caplog.record_tuples
    caplog.clear()
    return tuples


def test_at_level_as_for_stdlib(caplog):
    native = scenario(lambda name: ferrant.Logger(name, None, level=ferrant.PyLevel.Trace), caplog)
    stdlib = scenario(logging.getLogger, caplog)
    assert native == stdlib
    assert len(native) == 5


def test_set_level(caplog):
    caplog.set_level(logging.DEBUG)
    log.debug("below the Logger's own level")
    ferrant.Logger("dbg", None, level=ferrant.PyLevel.Trace).trace("t %d", 1)
    ferrant.PyLogger("py", None, level=ferrant.PyLevel.Debug).debug("d")
    assert caplog.record_tuples == [("py", 10, "d")]
    caplog.set_level(1)
    ferrant.Logger("dbg", None, level=ferrant.PyLevel.Trace).trace("t %d", 2)
    assert caplog.records[-1].levelname == "TRACE"


def test_exception(caplog):
    try:
        1 / 0
    except ZeroDivisionError:
        log.exception("boom")
    assert caplog.records[0].exc_text.endswith("ZeroDivisionError: division by zero")
    assert "Traceback (most recent call last)" in caplog.text


def test_stdlib_records_once(caplog):
    root = logging.getLogger()
    handler = ferrant.Handler(path=None)
    root.addHandler(handler)
    try:
        logging.getLogger("std").warning("plain %s", 1)
        ferrant.accelerate_logging()
        logging.getLogger("std").warning("accelerated %s", 2)
    finally:
        ferrant.accelerate_logging(False)
        root.removeHandler(handler)
    assert caplog.record_tuples == [("std", 30, "plain 1"), ("std", 30, "accelerated 2")]


def test_thread(caplog):
    t = threading.Thread(target=log.error, args=("from a thread",))
    t.start()
    t.join()
    assert caplog.record_tuples == [("app", 40, "from a thread")]


@pytest.fixture
def noisy():
    log.warn("setting up")
    yield
    log.warn("tearing down")


def test_setup_phase(noisy, caplog):
    assert [r.getMessage() for r in caplog.get_records("setup")] == ["setting up"]
    assert caplog.records == []


def test_fails_as_it_should(caplog):
    log.warn("something else")
    assert ("app", 30, "expected") in caplog.record_tuples


def test_without_caplog():
    from ferrant import testing

    assert testing._listeners == []
'''


def test_pytest_caplog_sees_ferrant_records(tmp_path):
    (tmp_path / "test_app.py").write_text(PYTEST_FILE)
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "error", "test_app.py"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    out = proc.stdout
    assert "1 failed, 9 passed" in out, out + proc.stderr
    assert "FAILED test_app.py::test_fails_as_it_should" in out, out
