"""`Handler`: records of the standard library's `logging` written through
ferrant's writers, each as the line a native logger of the same name would
write."""

from __future__ import annotations

import logging
from typing import Any, Callable

from ferrant import _config, _logger
from ferrant._logger import PyLevel, PyLogger
from ferrant._logger import _get_logger as get_logger
from ferrant._logger import _Logger as Logger

Write = Callable[..., None]

# Names are few in practice; a program that makes loggers per request still
# gets a bounded cache, refilled on demand.
_MAX_NAMES = 1024

class _DefaultPath:
    """`path` not given: where `get_logger` writes."""

    def __repr__(self) -> str:
        return "<default path>"


_DEFAULT: Any = _DefaultPath()
_TRACE = PyLevel.Trace

_BY_LEVEL: dict[Any, Write] = {
    logging.CRITICAL: Logger.error,
    logging.ERROR: Logger.error,
    logging.WARNING: Logger.warn,
    logging.INFO: Logger.info,
    logging.DEBUG: Logger.debug,
    logging.NOTSET: Logger.trace,
}


def _write_for(levelno: int) -> Write:
    if levelno >= logging.ERROR:
        write = Logger.error
    elif levelno >= logging.WARNING:
        write = Logger.warn
    elif levelno >= logging.INFO:
        write = Logger.info
    elif levelno >= logging.DEBUG:
        write = Logger.debug
    else:
        write = Logger.trace
    if len(_BY_LEVEL) < 64:
        _BY_LEVEL[levelno] = write
    return write


# What every record holds without `extra`: what LogRecord sets, and what
# Formatters and 3.12 add. Anything else in a record's __dict__ is an extra.
_OWN = frozenset(logging.LogRecord("", 0, "", 0, "", (), None).__dict__)
_STANDARD = _OWN | {"message", "asctime", "taskName"}
_OWN_COUNT = len(_OWN)

# Attribute name -> whether it is an extra; names repeat across records.
_KEY_OK: dict[Any, bool] = {}


def _usable(key: Any) -> bool:
    ok = _KEY_OK.get(key)
    if ok is None:
        # A key that is not a valid field key (or one the line writes
        # itself) is written under its safe form, as ferrant.Logger does.
        ok = key not in _STANDARD
        if len(_KEY_OK) >= 4096:
            _KEY_OK.clear()
        _KEY_OK[key] = ok
    return ok


def _extras(record: logging.LogRecord) -> dict[str, Any] | None:
    """The record's `extra` attributes, in the order set."""
    attrs = record.__dict__
    if len(attrs) <= _OWN_COUNT:
        return None
    # Extras are set after LogRecord's own attributes: walk back from the
    # end to the last of those, unless something was set before them.
    found = []
    walked = 0
    known = _KEY_OK.get
    for key in reversed(attrs):
        if key in _OWN:
            break
        walked += 1
        if known(key) or _usable(key):
            found.append(key)
    if len(attrs) - walked != _OWN_COUNT:
        found = [key for key in attrs if _usable(key)]
    else:
        found.reverse()
    if not found:
        return None
    # `extra` may hold keys that are not str; keywords must be.
    return {key if isinstance(key, str) else str(key): attrs[key] for key in found}


def _printable(text: str) -> str:
    """`text` with lone surrogates (file names decoded with surrogateescape,
    say) spelt as backslash escapes, so that it can be written as UTF-8."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _exception_of(record: logging.LogRecord) -> BaseException | str | None:
    """What the record carries as its exception, as the native `exc_info`
    takes it: the exception itself, so that `exc` is the text a native
    `log.exception` writes for it, or else the traceback's text alone (a
    record that came from another process)."""
    ei = record.exc_info
    if ei:
        # (None, None, None) is `exception()` outside an except block: none.
        value = ei[1] if isinstance(ei, tuple) and len(ei) > 1 else ei
        return value if isinstance(value, BaseException) else None
    return record.exc_text or None


class _MessageFormatter(logging.Formatter):
    """The handler's own rendering: the message, then the formatted
    exception and the stack, each after a line feed, for a caller that asks
    the handler for text (`Handler.format`); `emit` writes the exception as
    the field `exc` instead. Being set, it also keeps `logging.basicConfig`
    from installing its default Formatter."""

    def format(self, record: logging.LogRecord) -> str:
        message = record.getMessage()
        if record.exc_info and not record.exc_text:
            record.exc_text = self.formatException(record.exc_info)
        if record.exc_text:
            message = message + "\n" + record.exc_text
        return self.with_stack(record, message)

    def with_stack(self, record: logging.LogRecord, message: str) -> str:
        if record.stack_info:
            message = message + "\n" + self.formatStack(record.stack_info)
        return message


_PLAIN = _MessageFormatter()


class Handler(logging.Handler):
    """Writes records through ferrant: `Handler()` where `get_logger` writes
    (wherever and however `ferrant.basic_config` last said, also when that
    was after the handler was made), `Handler(path=None)` to standard
    output, `Handler(path="logs/app.log")` to that path's dated files. A
    Formatter set on the handler makes the message; the time, level and
    name fields are ferrant's own."""

    def __init__(self, path: str | None = _DEFAULT, level: int | str = logging.NOTSET) -> None:
        self._path = path
        self._follows = path is _DEFAULT
        # Before the base registers the handler: a wrong `path` raises here.
        self._keepers: tuple[PyLogger, PyLogger] | None = self._keep()
        self._loggers: dict[str, Logger] = {}
        super().__init__(level)
        self.formatter = _PLAIN

    @property
    def path(self) -> str | None:
        """The destination: a configured file path, or None for standard output."""
        return _config.default_path() if self._follows else self._path

    def __repr__(self) -> str:
        path = self.path
        where = "<stdout>" if path is None else path
        return f"<{type(self).__name__} {where} ({logging.getLevelName(self.level)})>"

    def _keep(self) -> tuple[PyLogger, PyLogger] | None:
        # Two holders of the writer besides any per-name logger: `shutdown`
        # on the first then only flushes, and never stops the writer. One
        # that follows basic_config has its writer held by its loggers.
        if self._follows:
            return None
        return PyLogger(None, self._path), PyLogger(None, self._path)

    def _logger_for(self, name: str) -> Logger:
        if self._keepers is None:  # reopened after close()
            self._keepers = self._keep()
        text = name if isinstance(name, str) else str(name)
        # A Logger, not a PyLogger: the same line, plus fields (extras, and
        # whatever the Logger adds of its own, such as context fields).
        try:
            log = self._make(text)
        except UnicodeEncodeError:
            log = self._make(_printable(text))
        loggers = self._loggers
        if len(loggers) >= _MAX_NAMES:
            loggers.clear()
        loggers[name] = log
        return log

    def _make(self, name: str) -> Logger:
        if self._follows:
            log = get_logger(name, level=_TRACE)
        else:
            log = Logger(name, self._path, level=_TRACE)
        # A capture of records tells the stdlib's from the native ones by it.
        _logger._mark_bridge(log)
        return log

    def handle(self, record: logging.LogRecord) -> bool:
        # Without a Formatter of the user's, nothing here needs the handler's
        # lock: ferrant's call is thread-safe and the record is the caller's.
        rv = self.filter(record) if self.filters else True
        if isinstance(rv, logging.LogRecord):  # a filter may replace it (3.12)
            record = rv
        if rv:
            fmt = self.formatter
            if fmt is _PLAIN or fmt is None:
                self.emit(record)
            else:
                # User Formatters are written for the base's serialised calls.
                self.acquire()
                try:
                    self.emit(record)
                finally:
                    self.release()
        return rv

    def emit(self, record: logging.LogRecord) -> None:
        try:
            fmt = self.formatter
            exc: BaseException | str | None = None
            if fmt is _PLAIN or fmt is None:
                msg = record.getMessage()
                if record.exc_info or record.exc_text:
                    exc = _exception_of(record)
                if record.stack_info:
                    msg = _PLAIN.with_stack(record, msg)
            else:
                msg = fmt.format(record)
            log = self._loggers.get(record.name)
            # set_level reaches every Logger; logging's levels decide here.
            if log is None or log.level is not _TRACE:
                log = self._logger_for(record.name)
            write = _BY_LEVEL.get(record.levelno) or _write_for(record.levelno)
            fields = _extras(record)
            if exc is not None:
                # The native call writes the exception as the field `exc`, last.
                fields = {"exc_info": exc} if fields is None else {**fields, "exc_info": exc}
            # The Logger escapes lone surrogates in the message and the fields.
            if fields is None:
                write(log, msg)
            else:
                write(log, msg, **fields)
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)

    def flush(self) -> None:
        """Hands over the calling thread's lines and waits until the writer
        has flushed them (at most 5 seconds); one that follows basic_config
        waits for every thread's records, as `ferrant.flush()`."""
        if self._follows:
            if self._loggers:
                _logger._flush()
            return
        keepers = self._keepers
        if keepers is not None:
            keepers[0].shutdown()

    def close(self) -> None:
        """Flushes, then lets go of the writer (which stops once no logger
        holds it). A record handled later opens the destination again."""
        try:
            self.flush()
            self._loggers = {}
            self._keepers = None
        finally:
            super().close()
