"""`accelerate_logging`: the standard library's level methods, native."""

from __future__ import annotations

import logging

from ferrant import _handler, _logger


def accelerate_logging(enable: bool = True) -> None:
    """Replaces the level methods of `logging.Logger` (debug, info, warning,
    warn, error, exception, critical, fatal, log) with native ones, or with
    `enable=False` puts the standard library's own back. Calling it again
    changes nothing.

    A native method writes a record itself, without a LogRecord, when the
    standard library would hand it to `ferrant.Handler`s only and they would
    write it as they come; every other call runs the standard library's own
    method, unchanged. RuntimeError if another library replaced a level
    method first (logging is then left as it is)."""
    if enable:
        _logger._accelerate(
            logging,
            _handler.Handler,
            _handler._PLAIN,
            # makeRecord refuses these in `extra`; the Handler never writes the others.
            frozenset(_handler._OWN | {"message", "asctime"}),
            frozenset(_handler._STANDARD),
        )
    else:
        _logger._decelerate()
