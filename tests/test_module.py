import inspect
import sys

import pytest

import ferrant
from ferrant import _logger
from ferrant._logger import PyLevel

from lines import dated_lines, messages

LEVELS = [("Trace", 0), ("Debug", 1), ("Info", 2), ("Warn", 3), ("Error", 4)]


def test_public_surface():
    assert _logger.__all__ == ["PyLevel", "PyLogger", "basic_config", "get_logger"]
    public = [n for n in dir(_logger) if not n.startswith("_")]
    assert public == sorted(_logger.__all__)
    assert ferrant.__all__ == _logger.__all__ + ["Handler"]
    # basic_config is wrapped to remember the default path for ferrant.Handler.
    assert ferrant.basic_config.__wrapped__ is _logger.basic_config
    assert inspect.signature(ferrant.basic_config) == inspect.signature(_logger.basic_config)
    assert all(getattr(ferrant, n) is getattr(_logger, n) for n in _logger.__all__ if n != "basic_config")
    assert _logger.__name__ == "ferrant._logger"
    assert not _logger.__doc__


def test_reimport_returns_same_module(run):
    run(
        """
        import sys
        import ferrant._logger as first
        level = first.PyLevel.Info
        del sys.modules["ferrant._logger"]
        import ferrant._logger as second
        assert second is first, (second, first)
        assert second.PyLevel.Info is level
        assert second.__all__ == ["PyLevel", "PyLogger", "basic_config", "get_logger"]
        """
    )


# The sub-interpreter modules of the standard library changed name and shape:
# 3.13 has _interpreters, whose run_string returns the failure instead of
# raising it. An isolated interpreter (3.12+) has its own interpreter lock and
# refuses single-phase modules before their init function runs; a legacy one
# shares the lock and reaches our own check.
SUBINTERPRETER_RUNNER = """
try:
    import _interpreters as interpreters

    def run_in_subinterpreter(kind, code):
        interp = interpreters.create(kind)
        try:
            failure = interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        assert failure is None, failure.formatted
except ImportError:
    import _xxsubinterpreters as interpreters

    def run_in_subinterpreter(kind, code):
        interp = interpreters.create(isolated=kind == "isolated")
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
"""

SUBINTERPRETER_IMPORT = """
try:
    import ferrant._logger
except ImportError as exc:
    assert {expected!r} in str(exc), exc
else:
    raise AssertionError("imported in a sub-interpreter")
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreter_import_fails(run, tmp_path, kind):
    if kind == "isolated" and sys.version_info >= (3, 12):
        expected = "does not support loading in subinterpreters"
    else:
        expected = "cannot be imported in a sub-interpreter"
    run(
        SUBINTERPRETER_RUNNER
        + f"""
import ferrant._logger
log = ferrant._logger.PyLogger("main", "out/app.log")
log.info("before")
run_in_subinterpreter({kind!r}, {SUBINTERPRETER_IMPORT.format(expected=expected)!r})
run_in_subinterpreter({kind!r}, {SUBINTERPRETER_IMPORT.format(expected=expected)!r})
log.info("after")
log.shutdown()
"""
    )
    assert messages(dated_lines(tmp_path / "out")) == ["before", "after"]


@pytest.mark.parametrize("name,value", LEVELS)
def test_level_members(name, value):
    member = getattr(PyLevel, name)
    assert int(member) == value
    assert repr(member) == f"PyLevel.{name}"
    assert str(member) == f"PyLevel.{name}"
    assert member is getattr(PyLevel, name)
    assert member == member and not (member != member)
    assert member != value
    assert {member: 1}[getattr(PyLevel, name)] == 1
    assert hash(member) == object.__hash__(member)


def test_level_class_shape():
    members = [k for k, v in vars(PyLevel).items() if isinstance(v, PyLevel)]
    assert members == [name for name, _ in LEVELS]
    assert PyLevel.__doc__ is None
    for dunder in ("__index__", "__lt__", "__str__", "__hash__", "__eq__"):
        assert dunder not in vars(PyLevel)
    assert set(k for k in vars(PyLevel) if k.startswith("__")) <= {
        "__repr__", "__int__", "__doc__", "__module__",
    }


@pytest.mark.parametrize(
    "action",
    [
        lambda: PyLevel.Info < PyLevel.Warn,
        lambda: PyLevel.Info <= PyLevel.Warn,
        lambda: PyLevel.Info > PyLevel.Warn,
        lambda: PyLevel.Info >= PyLevel.Warn,
        lambda: PyLevel(),
        lambda: PyLevel(2),
        lambda: [0, 1, 2][PyLevel.Info],
    ],
)
def test_level_type_errors(action):
    with pytest.raises(TypeError):
        action()


def test_level_members_are_read_only():
    with pytest.raises((TypeError, AttributeError)):
        PyLevel.Info = PyLevel.Error
    assert int(PyLevel.Info) == 2


@pytest.mark.parametrize(
    "obj,signature",
    [
        (_logger.basic_config, "(path=None, unix_ts=False, batch_size=None, color=..., format=...)"),
        (_logger.get_logger, "(name, level=...)"),
        (_logger.PyLogger, "(name, path=None, level=...)"),
        (_logger.PyLogger.shutdown, "($self)"),
    ]
    + [
        (getattr(_logger.PyLogger, m), "($self, message, *args)")
        for m in ("trace", "debug", "info", "warn", "warning", "error")
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    assert not obj.__doc__


def test_logger_methods_in_order():
    methods = [k for k in vars(_logger.PyLogger) if not k.startswith("__")]
    assert methods == ["shutdown", "trace", "debug", "info", "warn", "warning", "error"]
