import importlib.util
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
    assert ferrant.__all__ == _logger.__all__ + ["set_level", "flush", "Handler",
                                                 "accelerate_logging", "Logger",
                                                 "bind_contextvars", "bound_contextvars",
                                                 "clear_contextvars", "unbind_contextvars"]
    # The package's basic_config takes the native one's arguments, a level
    # the retention, the service fields, the redacted keys, the trace context and the console.
    native = list(inspect.signature(_logger.basic_config).parameters)
    assert list(inspect.signature(ferrant.basic_config).parameters) == native + [
        "level", "retention_days", "compress", "fields", "redact",
        "trace_context", "console"]
    same = [n for n in _logger.__all__ if n not in ("basic_config", "get_logger")]
    assert all(getattr(ferrant, n) is getattr(_logger, n) for n in same)
    # The package's get_logger makes the Logger with fields; the module's a PyLogger.
    assert ferrant.get_logger is _logger._get_logger
    assert ferrant.Logger is _logger._Logger
    assert ferrant.set_level is _logger._set_level
    assert ferrant.bind_contextvars is _logger._bind_contextvars
    assert type(ferrant.get_logger("x")) is ferrant.Logger
    assert type(_logger.get_logger("x")) is _logger.PyLogger
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


# The child's side. The standard library's sub-interpreter module changed name
# and shape: 3.13's _interpreters returns a failure that 3.11 and 3.12's
# _xxsubinterpreters raises; _testcapi's runner (test builds) makes a legacy
# interpreter and always ends it. From 3.12 CPython itself refuses a
# single-phase module in an isolated interpreter (own interpreter lock), but
# 3.12 only once the module is loaded: before that our init function runs there.
SUBINTERPRETER_PROGRAM = r'''
import atexit
import sys

OURS = "cannot be imported in a sub-interpreter; import it in the main interpreter"
CPYTHONS = "does not support loading in subinterpreters"

IMPORT = """
import atexit, sys
callbacks = atexit._ncallbacks()
for name in ("ferrant._logger", "ferrant"):
    try:
        __import__(name)
    except ImportError as exc:
        assert {expected!r} in str(exc), exc
    else:
        raise AssertionError(name + " imported in a sub-interpreter")
assert not [m for m in sys.modules if m.startswith("ferrant")], sorted(sys.modules)
assert atexit._ncallbacks() == callbacks
"""


def try_in_subinterpreter(loaded):
    by_cpython = KIND == "isolated" and (
        sys.version_info >= (3, 13) or (sys.version_info >= (3, 12) and loaded)
    )
    code = IMPORT.format(expected=CPYTHONS if by_cpython else OURS)
    if KIND == "testcapi":
        import _testcapi

        assert _testcapi.run_in_subinterp(code) == 0
        return
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

        interp = interpreters.create(isolated=KIND == "isolated")
    else:
        interp = interpreters.create(KIND)
    try:
        failure = interpreters.run_string(interp, code)
        assert failure is None, failure.formatted
    finally:
        if DESTROY:
            interpreters.destroy(interp)


def load():
    global log
    import ferrant

    log = ferrant.PyLogger("main", "out/app.log")
    log.info("before")


callbacks = atexit._ncallbacks()
if MAIN_FIRST:
    load()
try_in_subinterpreter(MAIN_FIRST)
if not MAIN_FIRST:
    # Nothing made or registered here on the sub-interpreter's behalf.
    assert "ferrant._logger" not in sys.modules
    assert atexit._ncallbacks() == callbacks
    load()
try_in_subinterpreter(True)
# Left to the exit flush, with any sub-interpreter still alive.
log.info("after")
'''

SUBINTERPRETER_MODULES = {
    "legacy": ["_interpreters", "_xxsubinterpreters"],
    "isolated": ["_interpreters", "_xxsubinterpreters"],
    "testcapi": ["_testcapi"],
}


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
@pytest.mark.parametrize(
    "kind,destroy",
    [
        pytest.param(kind, destroy, id=f"{kind}-{'destroyed' if destroy else 'left-alive'}")
        for kind in SUBINTERPRETER_MODULES
        for destroy in (True, False)
        # _testcapi.run_in_subinterp always ends its interpreter.
        if destroy or kind != "testcapi"
    ],
)
def test_subinterpreter_import_fails(run, tmp_path, sizes, kind, destroy, main_first):
    modules = SUBINTERPRETER_MODULES[kind]
    if not any(importlib.util.find_spec(m) for m in modules):
        pytest.skip(f"no {' or '.join(modules)} in this interpreter")
    run(
        f"KIND, MAIN_FIRST, DESTROY = {kind!r}, {main_first!r}, {destroy!r}\n"
        + SUBINTERPRETER_PROGRAM,
        timeout=sizes.timeout(30),
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
        (_logger._get_logger, "(name, level=...)"),
        (_logger._Logger, "(name, path=None, level=...)"),
        (_logger._Logger.shutdown, "($self)"),
        (_logger._Logger.bind, "($self, /, **fields)"),
    ]
    + [
        (getattr(_logger.PyLogger, m), "($self, message, *args)")
        for m in ("trace", "debug", "info", "warn", "warning", "error")
    ]
    + [
        (getattr(_logger._Logger, m), "($self, message, /, *args, **fields)")
        for m in ("trace", "debug", "info", "warn", "warning", "error")
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    assert not obj.__doc__


def test_logger_methods_in_order():
    methods = [k for k in vars(_logger.PyLogger) if not k.startswith("__")]
    assert methods == ["shutdown", "trace", "debug", "info", "warn", "warning", "error"]
