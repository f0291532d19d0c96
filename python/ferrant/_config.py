"""`basic_config` as the package exports it: the native call, plus a record of
the default path it set, which the native module keeps to itself and which
`Handler()` needs to write where `get_logger` writes."""

from __future__ import annotations

import functools
import threading
from typing import TYPE_CHECKING, Any

from ferrant import _logger

_lock = threading.Lock()
_default_path: str | None = None


def _basic_config(*args: Any, **kwargs: Any) -> None:
    global _default_path
    # Held across both steps so that concurrent calls cannot leave the record
    # naming another path than the native setting.
    with _lock:
        _logger.basic_config(*args, **kwargs)
        # The call accepted its arguments, so `path` is the first one or none.
        _default_path = args[0] if args else kwargs.get("path")


if TYPE_CHECKING:
    # Type checkers see the native signature, with its literal values.
    from ferrant._logger import basic_config as basic_config
else:
    basic_config = functools.wraps(_logger.basic_config)(_basic_config)


def default_path() -> str | None:
    """The path `get_logger` writes to, as last set through `basic_config`."""
    with _lock:
        return _default_path
