"""ferrant: a fast logger implemented in C++."""

from typing import TYPE_CHECKING, Any

from ferrant import _config, _logger
from ferrant._config import basic_config
from ferrant._contextvars import (
    bind_contextvars,
    bound_contextvars,
    clear_contextvars,
    unbind_contextvars,
)
from ferrant._logger import PyLevel, PyLogger
from ferrant._logger import _get_logger as get_logger
from ferrant._logger import _Logger as Logger
from ferrant._logger import _set_level as set_level

if TYPE_CHECKING:
    from ferrant._handler import Handler

__all__ = [
    "PyLevel",
    "PyLogger",
    "basic_config",
    "get_logger",
    "set_level",
    "flush",
    "Handler",
    "accelerate_logging",
    "Logger",
    "bind_contextvars",
    "bound_contextvars",
    "clear_contextvars",
    "unbind_contextvars",
]

_config.configure_from_environment()


def flush(timeout: float = 5.0) -> bool:
    """Writes out every thread's records and waits until every writer has
    written them, at most ``timeout`` seconds. Nothing is stopped: logging
    goes on as before. True when every writer confirmed in time (one that did
    not says so on standard error); records still queued then are kept and
    written later."""
    return _logger._flush(timeout)


def accelerate_logging(enable: bool = True) -> None:
    """Makes `logging.getLogger(...).info(...)` and the other level methods
    native: a record that the standard library would hand to
    `ferrant.Handler`s only is written without making a LogRecord, every
    other one takes the standard library's own path. `enable=False` puts the
    standard library's methods back; calling it twice changes nothing."""
    from ferrant._accelerate import accelerate_logging as accelerate

    accelerate(enable)


def __getattr__(name: str) -> Any:
    # The bridge imports `logging`; a program that does not use it should
    # not pay for that import.
    if name == "Handler":
        from ferrant._handler import Handler

        return Handler
    raise AttributeError(f"module 'ferrant' has no attribute {name!r}")
