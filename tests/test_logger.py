"""Logger objects: argument binding, level methods, thresholds, and how
`basic_config` and the environment reach the loggers."""

import re
import textwrap
from pathlib import Path

import pytest

from ferrant._logger import PyLevel, PyLogger, get_logger
from lines import COLOURED_LEVEL, LOCAL_TIME, dated_lines, messages, parse_logfmt

METHODS = ["trace", "debug", "info", "warn", "warning", "error"]

PRELUDE = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"


def child(code):
    """Child code that may import the test helpers."""
    return PRELUDE + textwrap.dedent(code)


@pytest.mark.parametrize(
    "call,exc,fragment",
    [
        (lambda: PyLogger(), TypeError, "name"),
        (lambda: PyLogger("a", None, PyLevel.Info, 4), TypeError, ""),
        (lambda: PyLogger("a", colour="x"), TypeError, "colour"),
        (lambda: PyLogger("a", name="b"), TypeError, "name"),
        (lambda: PyLogger(path="x.log"), TypeError, "name"),
        (lambda: PyLogger(5), TypeError, "name"),
        (lambda: PyLogger(b"a"), TypeError, "name"),
        (lambda: PyLogger("a", 5), TypeError, "path"),
        (lambda: PyLogger("a", b"x.log"), TypeError, "path"),
        (lambda: PyLogger("a", Path("x.log")), TypeError, "path"),
        (lambda: PyLogger("a", level=2), TypeError, "level"),
        (lambda: PyLogger("a", None, 2), TypeError, "level"),
        (lambda: PyLogger("a", level="Info"), TypeError, "level"),
        (lambda: PyLogger("a", level=None), TypeError, "level"),
        (lambda: PyLogger("a", level=PyLevel), TypeError, "level"),
        (lambda: PyLogger("\ud800"), UnicodeEncodeError, ""),
        (lambda: PyLogger("a", "\ud800.log"), UnicodeEncodeError, ""),
        (lambda: get_logger(), TypeError, "name"),
        (lambda: get_logger("a", PyLevel.Info, 1), TypeError, ""),
        (lambda: get_logger("a", path="x.log"), TypeError, "path"),
        (lambda: get_logger("a", name="b"), TypeError, "name"),
        (lambda: get_logger(1), TypeError, "name"),
        (lambda: get_logger("a", 2), TypeError, "level"),
        (lambda: get_logger("a", level="Info"), TypeError, "level"),
        (lambda: get_logger("a", level=None), TypeError, "level"),
        (lambda: get_logger("\udcff"), UnicodeEncodeError, ""),
    ],
)
def test_construction_errors(call, exc, fragment):
    with pytest.raises(exc) as raised:
        call()
    assert type(raised.value) is exc
    assert fragment in str(raised.value)


def test_construction_errors_start_no_writer(run):
    run(
        """
        import os
        from ferrant._logger import PyLevel, PyLogger, get_logger
        before = len(os.listdir("/proc/self/task"))
        for call in (
            lambda: PyLogger("a", "x/app.log", level=2),
            lambda: PyLogger(1, "x/app.log"),
            lambda: PyLogger("a", "x/app.log", PyLevel.Info, 4),
            lambda: get_logger("a", level=None),
            lambda: PyLogger("\\ud800", "x/app.log"),
        ):
            try:
                call()
            except (TypeError, UnicodeEncodeError):
                pass
            else:
                raise AssertionError("accepted")
        assert len(os.listdir("/proc/self/task")) == before
        assert not os.path.exists("x")
        """
    )


@pytest.mark.parametrize(
    "call,exc,fragment",
    [
        (lambda log: log.info(5), TypeError, "message"),
        (lambda log: log.debug(b"x"), TypeError, "message"),
        (lambda log: log.trace(None, 1), TypeError, "message"),
        (lambda log: log.info(), TypeError, "message"),
        (lambda log: log.error("x", bogus=1), TypeError, "bogus"),
        (lambda log: log.error(msg="x"), TypeError, "msg"),
        (lambda log: log.warn("a", message="b"), TypeError, "message"),
    ],
)
def test_level_method_errors_even_when_dropped(tmp_path, call, exc, fragment):
    from conftest import Capture

    cap = Capture(tmp_path, level=PyLevel.Error)
    with pytest.raises(exc) as raised:
        call(cap.log)
    assert fragment in str(raised.value)
    assert cap.lines() == []


def test_message_by_keyword(capture):
    capture.log.error(message="by keyword")
    capture.log.info(message="%s stays")
    assert capture.messages() == ["by keyword", "%s stays"]


@pytest.mark.parametrize("method", METHODS + ["shutdown"])
def test_every_method_returns_none(tmp_path, method):
    from conftest import Capture

    cap = Capture(tmp_path, level=PyLevel.Warn)
    args = () if method == "shutdown" else ("x %s", 1)
    assert getattr(cap.log, method)(*args) is None


@pytest.mark.parametrize(
    "level,emitted",
    [
        (PyLevel.Trace, ["trace", "debug", "info", "warn", "warning", "error"]),
        (PyLevel.Debug, ["debug", "info", "warn", "warning", "error"]),
        (PyLevel.Info, ["info", "warn", "warning", "error"]),
        (PyLevel.Warn, ["warn", "warning", "error"]),
        (PyLevel.Error, ["error"]),
    ],
)
def test_thresholds(tmp_path, level, emitted):
    from conftest import Capture

    cap = Capture(tmp_path, level=level)
    for method in METHODS:
        getattr(cap.log, method)(method)
    lines = cap.lines()
    assert messages(lines) == emitted
    levels = [dict(parse_logfmt(line))["level"] for line in lines]
    assert levels == ["warn" if m == "warning" else m for m in emitted]


def test_default_level_is_info(tmp_path):
    log = PyLogger("n", str(tmp_path / "app.log"))
    for method in METHODS:
        getattr(log, method)(method)
    log.shutdown()
    assert messages(dated_lines(tmp_path)) == ["info", "warn", "warning", "error"]


# ---- destinations and settings (each in its own interpreter) ---------------


def stdout_lines(proc):
    return proc.stdout.decode().splitlines()


def test_default_destination_is_uncoloured_text_on_stdout_for_a_pipe(run):
    proc = run(
        """
        from ferrant._logger import PyLogger, get_logger
        a = get_logger("app")
        b = get_logger(None)
        c = PyLogger(None)
        a.info("hello %s", "world")
        b.warning("anon")
        c.error("direct")
        a.shutdown()
        """
    )
    lines = stdout_lines(proc)
    assert [dict(parse_logfmt(line)).get("name") for line in lines] == ["app", None, None]
    assert messages(lines) == ["hello world", "anon", "direct"]
    assert all(re.match(f"time={LOCAL_TIME} level=", line) for line in lines)


def test_get_logger_follows_the_configured_path_and_pylogger_does_not(run, tmp_path):
    proc = run(
        """
        from ferrant._logger import PyLogger, basic_config, get_logger
        before = get_logger("before")
        basic_config(path="logs/app.log")
        after = get_logger("after")
        direct = PyLogger("direct")
        basic_config(color="off")  # omitted path: back to standard output
        reset = get_logger("reset")
        try:
            basic_config(path="other/app.log", format=None)
        except TypeError:
            pass
        else:
            raise AssertionError("format=None accepted")
        unchanged = get_logger("unchanged")
        for log in (before, after, direct, reset, unchanged):
            log.info("x")
        after.shutdown()
        before.shutdown()
        """
    )
    names = [dict(parse_logfmt(line))["name"] for line in stdout_lines(proc)]
    assert names == ["before", "direct", "reset", "unchanged"]
    assert [dict(parse_logfmt(line))["name"] for line in dated_lines(tmp_path / "logs")] == ["after"]
    assert not (tmp_path / "other").exists()


def test_format_and_colour_words_are_case_sensitive(run, tmp_path):
    cases = [
        ("json", "off", "json", False),
        ("JSON", "off", "text", False),
        ("Json", "always", "text", True),
        ("logfmt", "always", "text", True),
        ("json", "always", "json", False),
        ("", "Always", "text", False),  # auto: a file is never coloured
        ("xml", "auto", "text", False),
        ("logfmt", "", "text", False),
        ("logfmt", "OFF", "text", False),
    ]
    run(
        f"""
        from ferrant._logger import PyLogger, basic_config
        for i, (fmt, color, _, _) in enumerate({cases!r}):
            basic_config(format=fmt, color=color)
            log = PyLogger("n", f"{{i}}/app.log")
            log.info("x")
            log.shutdown()
        """
    )
    for i, (_, _, layout, coloured) in enumerate(cases):
        [line] = dated_lines(tmp_path / str(i))
        assert line.startswith("{") == (layout == "json"), (i, line)
        assert (COLOURED_LEVEL["info"] in line) == coloured, (i, line)
        assert ("\x1b" in line) == coloured, (i, line)


@pytest.mark.parametrize(
    "env,color,coloured",
    [
        ({}, "auto", False),
        ({"FORCE_COLOR": "1"}, "auto", True),
        ({"FORCE_COLOR": "00"}, "auto", True),
        ({"FORCE_COLOR": "no"}, "auto", True),
        ({"FORCE_COLOR": "0"}, "auto", False),
        ({"FORCE_COLOR": ""}, "auto", False),
        ({"NO_COLOR": "1", "FORCE_COLOR": "1"}, "auto", False),
        ({"NO_COLOR": "", "FORCE_COLOR": "1"}, "auto", True),
        ({"NO_COLOR": "", "FORCE_COLOR": "0"}, "auto", False),
        ({"FORCE_COLOR": "1"}, "off", False),
        ({"NO_COLOR": "1"}, "always", True),
    ],
)
def test_colour_decision_for_stdout(run, env, color, coloured):
    proc = run(
        f"""
        from ferrant._logger import PyLogger, basic_config
        basic_config(color={color!r})
        log = PyLogger("n")
        log.info("x")
        log.shutdown()
        """,
        env=env,
    )
    [line] = stdout_lines(proc)
    assert (COLOURED_LEVEL["info"] in line) == coloured
    assert ("\x1b" in line) == coloured


def test_environment_is_read_at_each_writer_creation(run):
    proc = run(
        """
        import os
        from ferrant._logger import PyLogger
        first = PyLogger("first")
        os.environ["FORCE_COLOR"] = "1"
        joined = PyLogger("joined")  # the live writer is reused as it is
        first.info("x")
        joined.info("x")
        del first, joined  # last holders: the writer stops
        second = PyLogger("second")
        second.info("x")
        os.environ["NO_COLOR"] = "1"
        del second
        third = PyLogger("third")
        third.info("x")
        third.shutdown()
        """
    )
    lines = stdout_lines(proc)
    coloured = [COLOURED_LEVEL["info"] in line for line in lines]
    assert coloured == [False, False, True, False]


def test_settings_reach_only_new_writers(run, tmp_path):
    run(
        """
        from ferrant._logger import basic_config, get_logger
        basic_config(path="logs/app.log")
        a = get_logger("a")
        a.info("one")
        basic_config(path="logs/app.log", format="json", unix_ts=True, color="always")
        b = get_logger("b")  # joins the live text writer
        b.info("two")
        a.shutdown()
        del a, b  # last holders released: the next logger gets a new writer
        c = get_logger("c")
        c.info("three")
        c.shutdown()
        """
    )
    one, two, three = dated_lines(tmp_path / "logs")
    assert re.fullmatch(f'time={LOCAL_TIME} level=info name=a msg="one"', one)
    assert re.fullmatch(f'time={LOCAL_TIME} level=info name=b msg="two"', two)
    assert re.fullmatch(r'\{"time":\d+\.\d{9},"level":"info","name":"c","msg":"three"\}', three)


def test_loggers_share_one_writer_per_destination(run, tmp_path):
    run(
        child(
            """
        import os
        from ferrant._logger import PyLogger, basic_config, get_logger

        from lines import writer_threads as threads

        base = threads()
        a = get_logger("x")
        assert threads() == base + 1
        b = get_logger("x")
        c = PyLogger("y")
        assert a is not b and threads() == base + 1
        basic_config(path="logs/app.log")
        d = get_logger("d")
        e = PyLogger("e", "logs/app.log")
        assert threads() == base + 2
        f = PyLogger("f", "./logs/app.log")  # another text, another writer
        assert threads() == base + 3
        for log in (d, e, f):
            log.info("x")
        del d, e, f, log
        assert (n := threads(base + 1)) == base + 1, n
        del a, b, c
        assert (n := threads(base)) == base, n
        """
        )
    )
    assert sorted(dict(parse_logfmt(line))["name"] for line in dated_lines(tmp_path / "logs")) == [
        "d",
        "e",
        "f",
    ]


def test_batching_is_observable_in_the_file(run):
    run(
        child(
            """
            import time
            from ferrant._logger import PyLogger, basic_config
            from lines import dated_lines, messages

            def wait_for(count, deadline=10.0):
                end = time.monotonic() + deadline
                while time.monotonic() < end:
                    found = messages(dated_lines("logs"))
                    if len(found) >= count:
                        return found
                    time.sleep(0.05)
                raise AssertionError(f"waited for {count} lines, have {found}")

            log = PyLogger(None, "logs/app.log")
            basic_config(batch_size=0)  # taken as 1: every record goes out on its own
            log.info("single")
            assert wait_for(1) == ["single"]

            # A batch that is not full still goes out once it has waited:
            # handed off within a second, written within about two.
            basic_config(batch_size=32)
            start = time.monotonic()
            for i in range(31):
                log.info("r%d", i)
            assert wait_for(32) == ["single"] + [f"r{i}" for i in range(31)]
            print(f"31 records of an open batch in the file after {time.monotonic() - start:.2f} s")
            log.info("r31")
            assert wait_for(33)[-1] == "r31"

            for i in range(5):
                log.info("s%d", i)
            basic_config(batch_size=2)  # below what is pending
            log.info("s5")
            assert wait_for(39)[33:] == [f"s{i}" for i in range(6)]
            """
        )
    )
