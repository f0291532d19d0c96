"""Fields bound to the running context, which every ferrant.Logger line
made in that context carries."""

import contextlib
from collections.abc import Iterator

from ferrant import _logger

bind_contextvars = _logger._bind_contextvars
unbind_contextvars = _logger._unbind_contextvars
clear_contextvars = _logger._clear_contextvars


@contextlib.contextmanager
def bound_contextvars(**fields: object) -> Iterator[None]:
    """Bind ``fields`` to the context for the ``with`` block (or the
    decorated function), then put back the fields the context had before,
    also when the block raises.

    Example::

        with ferrant.bound_contextvars(request="r-17"):
            log.info("handled")  # ... msg=handled request=r-17
    """
    previous = _logger._context_fields()
    _logger._bind_contextvars(**fields)
    try:
        yield
    finally:
        _logger._set_context_fields(previous)
