"""Levels of the package's loggers as people write them, the level read back,
and set_level changing thresholds while the program runs."""

import json
import logging
import threading

import pytest

import ferrant
from ferrant import Logger, PyLevel, PyLogger

from lines import dated_lines


@pytest.fixture(autouse=True)
def fresh_thresholds():
    yield
    ferrant.set_level(PyLevel.Info)  # clears the prefixes this test set
    ferrant.basic_config()


@pytest.mark.parametrize(
    "level, expected",
    [
        (PyLevel.Debug, PyLevel.Debug),
        ("trace", PyLevel.Trace),
        ("DEBUG", PyLevel.Debug),
        ("Info", PyLevel.Info),
        ("warn", PyLevel.Warn),
        ("WARNING", PyLevel.Warn),
        ("error", PyLevel.Error),
        ("critical", PyLevel.Error),
        (logging.CRITICAL, PyLevel.Error),
        (logging.ERROR, PyLevel.Error),
        (logging.WARNING, PyLevel.Warn),
        (25, PyLevel.Info),
        (logging.DEBUG, PyLevel.Debug),
        (5, PyLevel.Trace),
        (logging.NOTSET, PyLevel.Trace),
        (-1, PyLevel.Trace),
        (2**70, PyLevel.Error),
    ],
)
def test_level_spellings(level, expected):
    assert Logger("app", level=level).level is expected
    assert ferrant.get_logger("app", level=level).level is expected


@pytest.mark.parametrize(
    "level, error, text",
    [
        ("loud", ValueError, "unknown level name 'loud'"),
        ("", ValueError, "unknown level name ''"),
        (True, TypeError, "must be PyLevel, str or int, not bool"),
        (2.0, TypeError, "must be PyLevel, str or int, not float"),
        (None, TypeError, "must be PyLevel, str or int, not None"),
    ],
)
def test_bad_levels(level, error, text):
    for make in (lambda: Logger("app", level=level), lambda: ferrant.set_level(level)):
        with pytest.raises(error, match=text):
            make()


def test_pylogger_keeps_its_rule():
    with pytest.raises(TypeError):
        PyLogger("app", level="debug")


def test_set_level_by_prefix_reaches_bound_and_later_loggers():
    db, db_pool, web = Logger("app.db"), Logger("app.db.pool"), Logger("app.web", level="debug")
    bound = db.bind(request="r1")
    ferrant.set_level("error", prefix="app.db")
    assert [x.level for x in (db, db_pool, bound, web)] == [PyLevel.Error] * 3 + [PyLevel.Debug]
    assert Logger("app.db.cache").level is PyLevel.Error
    assert Logger("app.dbx").level is PyLevel.Error  # a prefix of the name, not a dotted path
    assert Logger("app.db.x", level="trace").level is PyLevel.Trace  # given wins
    ferrant.set_level("debug", prefix="app.db.pool")
    assert Logger("app.db.pool.x").level is PyLevel.Debug  # the longest prefix
    assert Logger("app.db.y").level is PyLevel.Error
    ferrant.set_level("warn", prefix="app")  # covers the longer ones
    assert [x.level for x in (db, db_pool, bound, web)] == [PyLevel.Warn] * 4
    assert Logger("app.db.pool.y").level is PyLevel.Warn
    ferrant.set_level("trace")
    assert Logger(None).level is Logger("other").level is db.level is PyLevel.Trace


def test_set_level_is_seen_by_other_threads_at_their_next_call(tmp_path):
    path = str(tmp_path / "app.log")
    log = Logger("worker", path, level="info")
    ready, go, done = threading.Event(), threading.Event(), threading.Event()

    def work():
        log.debug("before")
        ready.set()
        go.wait(5)
        log.debug("after")
        log.shutdown()
        done.set()

    thread = threading.Thread(target=work)
    thread.start()
    assert ready.wait(5)
    ferrant.set_level("debug", prefix="worker")
    go.set()
    thread.join(10)
    assert done.is_set()
    assert [line.split("msg=")[1] for line in dated_lines(tmp_path)] == ['"after"']


def test_default_level_from_basic_config_and_environment(run, tmp_path):
    run(
        """
        import ferrant
        from ferrant import PyLevel
        assert ferrant.get_logger("a").level is PyLevel.Debug
        assert ferrant.Logger("b", level="error").level is PyLevel.Error
        assert ferrant.PyLogger("c").info is not None
        ferrant.basic_config(level="warning")
        assert ferrant.get_logger("d").level is PyLevel.Warn
        ferrant.basic_config()
        assert ferrant.get_logger("e").level is PyLevel.Debug
        """,
        env={"FERRANT_LEVEL": "Debug"},
    )
    proc = run("import ferrant", env={"FERRANT_LEVEL": "verbose"}, check=False)
    assert "FERRANT_LEVEL" in proc.stderr.decode() and "'verbose'" in proc.stderr.decode()


def test_environment_level_number(run):
    run(
        "import ferrant\nassert ferrant.get_logger('a').level is ferrant.PyLevel.Warn",
        env={"FERRANT_LEVEL": "30"},
    )


def test_dropped_after_set_level_writes_nothing(tmp_path):
    path = str(tmp_path / "app.log")
    ferrant.basic_config(format="json")
    try:
        log = Logger("svc", path, level="trace")
    finally:
        ferrant.basic_config()
    log.debug("kept", n=1)
    ferrant.set_level("error", prefix="svc")
    log.info("dropped", n=2)
    log.error("kept too", n=3)
    log.shutdown()
    assert [json.loads(line)["n"] for line in dated_lines(tmp_path)] == [1, 3]
