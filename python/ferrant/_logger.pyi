"""The native logger: levels, loggers and the process-wide defaults."""

from typing import Any, Callable, Literal, TypeAlias, final

__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]

# The runtime takes any str here and treats every other text as "auto" or
# "logfmt"; the narrower types let a type checker catch a misspelt value.
_Color: TypeAlias = Literal["auto", "always", "off"]
_Format: TypeAlias = Literal["logfmt", "json"]
# What the package's loggers take as a level: a member, a name in any case,
# or a `logging` level number.
_AnyLevel: TypeAlias = PyLevel | str | int

@final
class PyLevel:
    """A logger's threshold: the least severe level it writes.

    Exactly five members exist, from the most verbose to the least:
    ``Trace`` (0), ``Debug`` (1), ``Info`` (2), ``Warn`` (3) and ``Error`` (4).
    Each member is a single object, so compare members with ``is`` or ``==``
    (identity). They do not order and are not ints: ``PyLevel.Info < PyLevel.Warn``
    raises TypeError and ``PyLevel.Info == 2`` is False; use ``int(level)`` to
    order them. The class cannot be instantiated.

    Example::

        log = ferrant.get_logger("app", level=PyLevel.Debug)
        if int(PyLevel.Warn) >= int(PyLevel.Info): ...
    """

    Trace: PyLevel
    """Everything, including ``trace`` records. Value 0."""
    Debug: PyLevel
    """``debug`` records and above. Value 1."""
    Info: PyLevel
    """``info``, ``warn``/``warning`` and ``error`` records: the default. Value 2."""
    Warn: PyLevel
    """``warn``/``warning`` and ``error`` records. Value 3."""
    Error: PyLevel
    """``error`` records only. Value 4."""
    def __int__(self) -> int:
        """The member's value: 0 for ``Trace`` up to 4 for ``Error``."""

@final
class PyLogger:
    """A named logger bound to one destination: standard output or a log file.

    ``PyLogger(name, path=None, level=PyLevel.Info)`` writes to ``path``, or to
    standard output when ``path`` is None; it never looks at the path set by
    :func:`basic_config` (use :func:`get_logger` for that). Loggers with the
    same destination share one writer thread, and that writer keeps the
    colour, format and time settings that were current when it was created.

    A file path ``logs/app.log`` is never written itself: each local calendar
    day has its own file, ``logs/app_20240305.log``, created with its
    directories when missing and appended to, never truncated.

    Name, level and destination are fixed for the logger's life and cannot
    be read back. Every level method returns None.

    Raises TypeError for a ``name`` that is neither a str nor None, a ``path``
    that is neither a str nor None, a ``level`` that is not a :class:`PyLevel`
    member (ints and level names are refused), or an unknown keyword, and
    UnicodeEncodeError for a str holding lone surrogates. A path that cannot
    be opened is not an error here: the writer reports it on standard error.

    Example::

        log = PyLogger("billing", path="logs/billing.log", level=PyLevel.Debug)
        log.info("invoice %d sent to %s", 1042, "bob@example.com")
    """

    def __new__(cls, name: str | None, path: str | None = None, level: PyLevel = ...) -> PyLogger:
        """Create a logger.

        ``name`` is required and may be None (the line then has no name field;
        an empty str gives an empty one). ``path`` is the destination file, or
        None for standard output. ``level`` is the threshold, ``PyLevel.Info``
        when omitted.
        """

    def shutdown(self) -> None:
        """Push out this thread's pending records and wait for the writer to flush.

        Waits at most 5 seconds for the writer. When this logger is the only
        one left on its destination, the writer thread is also stopped;
        records logged through this logger afterwards are discarded without
        an error, and a logger created later for the same destination starts
        a fresh writer. Records pending on other threads are not pushed.
        Calling it is optional: every normal exit writes every record.
        Never raises on account of the writer.
        """

    def trace(self, message: str, *args: object) -> None:
        """Log ``message`` at level trace; see :meth:`info` for the arguments."""

    def debug(self, message: str, *args: object) -> None:
        """Log ``message`` at level debug; see :meth:`info` for the arguments."""

    def info(self, message: str, *args: object) -> None:
        """Log ``message`` at level info, when the logger's level lets it through.

        With ``args``, the message is a printf-style template filled as
        ``message % args`` would fill it (``%s``, ``%d``, ``%r``, ``%x``,
        ``%.2f``, ...); a single dict argument fills ``%(key)s`` fields.
        Without ``args`` the message is written as it is, ``%`` signs included.
        The arguments are only formatted when the record is written, so pass
        them rather than pre-formatting the message.

        Raises TypeError when ``message`` is not a str (even for a record the
        level drops), and whatever ``message % args`` raises (TypeError for a
        count mismatch, ValueError for a bad conversion, KeyError for a
        missing key, and errors from the arguments' ``__str__``/``__repr__``);
        nothing is written then.

        Example::

            log.info("user %s logged in from %s", user, address)
            log.info("100% done")  # written unchanged: no arguments
        """

    def warn(self, message: str, *args: object) -> None:
        """Log ``message`` at level warn; see :meth:`info` for the arguments."""

    def warning(self, message: str, *args: object) -> None:
        """The same as :meth:`warn`: the line says ``level=warn``."""

    def error(self, message: str, *args: object) -> None:
        """Log ``message`` at level error; see :meth:`info` for the arguments.

        To include a traceback, pass it as an argument::

            except Exception:
                log.error("job %s failed\\n%s", job, traceback.format_exc())
        """

@final
class _Logger:
    """A logger whose records carry key/value fields: ``ferrant.Logger``.

    ``Logger(name, path=None, level=PyLevel.Info)`` takes the arguments of
    :class:`PyLogger` and raises the same errors; ``ferrant.get_logger``
    returns one that follows ``basic_config``: from its next record on it
    writes where and how the latest ``basic_config`` says, whenever it was
    made (one made with a ``path``, None included, keeps it). It writes
    through the same writer as every PyLogger of its destination, and a
    record without fields is the line a PyLogger of the same name writes.
    After :meth:`shutdown` stopped its writer, its next record starts one
    again.

    Keyword arguments of a level method are fields, written after the
    message in the order given: ``key=value`` in text, ``"key":value`` in
    JSON. :meth:`bind` returns a logger whose every record carries fields.

    Example::

        log = ferrant.Logger("billing", path="logs/billing.log")
        log.info("invoice %d sent", 1042, customer="bob", total=12.5)
    """

    def __new__(cls, name: str | None, path: str | None = None, level: _AnyLevel = ...) -> _Logger:
        """Create a logger; the arguments are those of :class:`PyLogger`, except ``level``.

        ``level`` may also be a level name in any case (``"trace"``,
        ``"debug"``, ``"info"``, ``"warn"``, ``"warning"``, ``"error"``, or
        ``"critical"`` meaning error; ValueError for any other) or a
        ``logging`` number (``logging.DEBUG`` is debug, below it trace, 40
        and above error). Omitted, it is the level :func:`_set_level` last
        gave the longest prefix of ``name``, else ``basic_config``'s, and a
        later ``basic_config`` changes it too.
        """

    @property
    def level(self) -> PyLevel:
        """The threshold: records of a less severe level are dropped."""

    def shutdown(self) -> None:
        """Push out this thread's records and wait for the writer, as :meth:`PyLogger.shutdown`."""

    def bind(self, /, **fields: object) -> _Logger:
        """A new logger with this one's destination, name, level and fields, plus ``fields``.

        The values are rendered now, once for every layout; a key bound
        again drops its older value and goes last. This logger is not
        changed. Keys and values follow the rules of :meth:`info`.
        """

    def trace(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level trace; see :meth:`info` for the arguments."""

    def debug(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level debug; see :meth:`info` for the arguments."""

    def info(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level info, with ``fields`` after it.

        ``message`` and ``args`` are those of :meth:`PyLogger.info`, but for
        two things: a message that is not a str is written as its ``str()``
        (then filled from ``args`` as the stdlib does), and lone surrogates
        in the message or its arguments are written as backslash escapes. The line
        holds the bound fields (oldest first), then the fields bound to the
        running context (``ferrant.bind_contextvars``, in bind order), then
        the call's; a key is written once, with the innermost value (call
        over context over bound). A key of 1 to 128 ASCII letters, digits,
        ``_``, ``.`` or ``-``, starting with a letter or ``_``, is written as
        it is, unless it is ``time``, ``level``, ``name``, ``msg``, ``exc``
        or ``exc_info``; any other key is written as ``@`` and its UTF-8
        bytes, those other than letters, digits, ``_``, ``.`` and ``-`` as
        ``%XX`` (``name`` as ``@name``, ``"a b"`` as ``@a%20b``). Values: str, int, float, bool and
        None as themselves (JSON strings, numbers, true/false/null; in text
        bare or quoted and escaped like the message), anything else as its
        ``str()``. Nothing is looked at for a record the level drops.

        The keyword ``exc_info`` is no field, and is read as logging reads
        it: an exception instance adds that one, a ``sys.exc_info()`` triple
        its exception, any other true value the exception being handled, a
        false one none; a str adds that text as a traceback already
        formatted (a record's ``exc_text``; the empty str none).
        The exception is written last, as the field ``exc`` holding
        ``"".join(traceback.format_exception(e))`` (or the str) escaped onto
        the line.

        Example::

            log.info("user %s logged in", user, ip=address, attempt=3)
        """

    def warn(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level warn; see :meth:`info` for the arguments."""

    def warning(self, message: object, /, *args: object, **fields: object) -> None:
        """The same as :meth:`warn`: the line says ``level=warn``."""

    def error(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level error; see :meth:`info` for the arguments."""

    def exception(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level error with the exception being handled.

        The same as ``error(message, *args, exc_info=True, **fields)``: the
        line ends with the field ``exc`` holding the traceback, or has no
        ``exc`` outside an ``except`` block. ``exc_info`` may still be given.

        Example::

            try:
                charge(order)
            except PaymentError:
                log.exception("charge failed", order=order.id)
        """

    def critical(self, message: object, /, *args: object, **fields: object) -> None:
        """Log ``message`` at level error, as ``logging``'s CRITICAL becomes; see :meth:`info`."""

    def fatal(self, message: object, /, *args: object, **fields: object) -> None:
        """The same as :meth:`critical`."""

def _get_logger(name: str | None, level: _AnyLevel = ...) -> _Logger:
    """``ferrant.get_logger``: a :class:`_Logger` that follows :func:`basic_config`."""

def _flush(timeout: float = 5.0) -> bool:
    """``ferrant.flush``: write out every thread's records and wait for every writer, at most ``timeout`` seconds."""

def _set_level(level: _AnyLevel, prefix: str | None = None) -> None:
    """``ferrant.set_level``: change the level of loggers while the program runs.

    Every :class:`_Logger` whose name starts with ``prefix`` (every one when
    None; a logger named None has the name ``""``), those made by ``bind``
    included, gets ``level`` at once, for every thread's next call; loggers
    made later without a level under that prefix get it too. A
    :class:`PyLogger` keeps its level. ``level`` as for :class:`_Logger`.

    Example::

        ferrant.set_level("debug", prefix="app.db")
    """

def _set_default_level(level: _AnyLevel) -> PyLevel:
    """The level of loggers made without one, now and later; returns the one it replaces."""

def _bind_contextvars(**fields: object) -> None:
    """``ferrant.bind_contextvars``: bind ``fields`` to the running context.

    Every :class:`_Logger` record made in this context (this thread, or this
    asyncio task and the tasks it creates afterwards) carries them after its
    bound fields, in bind order; a key bound again drops its older value and
    goes last. The values are rendered now, once. A new thread starts with
    none. :class:`PyLogger` records never carry them. Keys are checked as
    :meth:`_Logger.bind` checks them: ValueError for a bad one, and nothing
    changes; whatever a value's ``__str__`` raises propagates.

    Example::

        ferrant.bind_contextvars(request="r-17", user="bob")
    """

def _unbind_contextvars(*keys: str) -> None:
    """``ferrant.unbind_contextvars``: remove ``keys`` from the running context's fields.

    A key that is not bound is ignored; an invalid key raises ValueError and
    nothing changes.
    """

def _clear_contextvars() -> None:
    """``ferrant.clear_contextvars``: remove every field of the running context."""

def _context_fields() -> object:
    """The running context's fields as an opaque object, for :func:`_set_context_fields`."""

def _set_context_fields(state: object, /) -> None:
    """Make ``state``, from :func:`_context_fields`, the running context's fields again."""

def basic_config(
    path: str | None = None,
    unix_ts: bool = False,
    batch_size: int | None = None,
    color: _Color = ...,
    format: _Format = ...,
) -> None:
    """Set the process-wide defaults. Every argument is optional.

    - ``path``: destination of loggers made by :func:`get_logger` from now
      on; None means standard output.
    - ``unix_ts``: write the time as Unix seconds with 9 decimals
      (``1714559696.123456789``) instead of local time with its UTC offset
      (``2024-05-01T12:34:56.123456+02:00``).
    - ``batch_size``: how many records a thread gathers before it hands them
      to the writer (32 at start; 0 means 1). None leaves it unchanged.
    - ``color``: ``"auto"`` (default) colours standard output when it is a
      terminal, unless ``NO_COLOR`` is set to a non-empty value or
      ``FORCE_COLOR`` to anything but ``""`` or ``"0"``, and never colours
      files; ``"always"`` colours every destination; ``"off"`` never colours.
      Any other text, in any case, means ``"auto"``.
    - ``format``: ``"logfmt"`` (default) for ``key=value`` text lines,
      ``"json"`` for one JSON object per line. Any other text, ``"JSON"``
      included, means ``"logfmt"``.

    Each call replaces all the settings: an omitted argument goes back to its
    default, except ``batch_size``, which only changes when given. ``path``
    applies to loggers made afterwards; ``unix_ts``, ``color`` and ``format``
    apply to destinations whose writer starts afterwards, so call this before
    creating loggers. ``batch_size`` applies at once, on every thread.

    Raises TypeError for an argument of the wrong type (``unix_ts`` must be a
    bool; ``color`` and ``format`` must be str), OverflowError for a negative
    ``batch_size`` or one of 2**64 or more; no setting changes then.

    Example::

        ferrant.basic_config(path="logs/app.log", format="json")
    """

def _set_retention(retention_days: int | None, compress: bool, /) -> tuple[int | None, bool]:
    """``ferrant.basic_config``'s ``retention_days`` and ``compress``, for file
    writers made afterwards; returns the pair it replaced."""

def _set_service_fields(fields: dict[str, Any] | None, /) -> dict[str, Any] | None:
    """``ferrant.basic_config``'s ``fields``, rendered now and written on every
    ``Logger`` line before its bound fields; returns the dict it replaced."""

def _set_trace_context(source: object, /) -> object:
    """``ferrant.basic_config``'s ``trace_context``: None (off), or what the
    current OpenTelemetry span is read through; returns what it replaced."""

def _set_console(console: bool, /) -> bool:
    """``ferrant.basic_config``'s ``console``, seen by the loggers that follow
    ``basic_config`` from the next ``basic_config`` on; returns the setting it
    replaced."""

def get_logger(name: str | None, level: PyLevel = ...) -> PyLogger:
    """A new logger writing to the destination set by :func:`basic_config`.

    The destination is read now: standard output unless ``basic_config`` set
    a path. ``name`` is required and may be None; ``level`` is the threshold,
    ``PyLevel.Info`` when omitted. Every call returns a new object; loggers
    with one destination share its writer. Raises like :class:`PyLogger`.

    Example::

        log = ferrant.get_logger(__name__, level=PyLevel.Debug)
    """

def _accelerate(
    logging: object,
    handler_type: type,
    plain_formatter: object,
    refused_keys: frozenset[str],
    skipped_keys: frozenset[str],
    /,
) -> None:
    """Puts the native level methods on ``logging.Logger`` (and the store
    watch on it and on ``handler_type``); a no-op while they are on. Used by
    :func:`ferrant.accelerate_logging`."""

def _decelerate() -> None:
    """Puts ``logging.Logger``'s own level methods back; a no-op while they
    are off."""

def _set_capture(sink: Callable[[dict[str, Any], bool], object] | None, /) -> None:
    """Hands every record that passes its level, once written, to
    ``sink(record, bridge)`` as well (``bridge``: written by ferrant.Handler),
    or, with None, to nothing more. Used by :mod:`ferrant.testing`."""

def _mark_bridge(logger: _Logger, /) -> None:
    """Marks a Logger of ferrant.Handler's: its records are the stdlib's."""

def _flush_at_exit() -> None:
    """The exit's flush: stops the flusher, hands every thread's open batch to
    its writer and waits for every writer while its destination takes bytes,
    giving up on one 5 s after it last took any. Registered with ``atexit``;
    ferrant's SIGTERM handler calls it too."""

def _note_sigterm() -> None:
    """Marks the process as ending, as a SIGTERM does: from now on every
    record is written out before its call returns. ferrant's SIGTERM handler
    calls it first."""
