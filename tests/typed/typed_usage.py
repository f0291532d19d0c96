"""Every public name of ferrant used as an application would, checked by
mypy --strict. The lines marked `type: ignore` must stay errors: with
--warn-unused-ignores, mypy fails if the stubs stop catching them."""

import sys
import traceback
from typing import assert_type

import ferrant
from ferrant import Logger, PyLevel, PyLogger, basic_config, get_logger


def configure(directory: str) -> None:
    basic_config()
    basic_config(f"{directory}/app.log", True, 64, "always", "json")
    basic_config(path=None, unix_ts=False, batch_size=None, color="off", format="logfmt")
    basic_config(path=f"{directory}/app.log", color="auto")
    basic_config(f"{directory}/app.log", retention_days=7, compress=True)
    basic_config(retention_days=None, compress=False)
    basic_config(f"{directory}/app.log", console=False)
    ferrant.basic_config(format="json")


def log_everything(directory: str) -> None:
    levels: list[PyLevel] = [PyLevel.Trace, PyLevel.Debug, PyLevel.Info, PyLevel.Warn, PyLevel.Error]
    ranks = sorted(int(level) for level in levels)
    assert_type(ranks, list[int])

    log = get_logger("app", level=PyLevel.Debug)
    assert_type(log, Logger)
    unnamed = get_logger(None)
    direct = PyLogger("direct", f"{directory}/direct.log", PyLevel.Trace)
    by_keyword = PyLogger(name="kw", path=None, level=PyLevel.Error)

    log.trace("trace %d", 1)
    log.debug("debug %s %r", "a", object())
    log.info("info %(user)s", {"user": "bob"})
    log.warn("warn")
    log.warning("warning %f", 0.5)
    unnamed.error("error")
    bound = log.bind(request="r1", attempt=1)
    bound.info("fields %s", "too", ok=True, ratio=0.5, missing=None)
    assert_type(get_logger("app", level="warning").level, PyLevel)
    Logger("numbered", level=10).debug("by number")
    ferrant.set_level("debug", prefix="app")
    basic_config(level="info")
    ferrant.bind_contextvars(request="r2", attempt=2)
    with ferrant.bound_contextvars(step="inner"):
        log.info("context fields")
    ferrant.unbind_contextvars("attempt", "missing")
    ferrant.clear_contextvars()
    direct.info("direct %x", 255)
    try:
        raise ValueError("boom")
    except ValueError:
        by_keyword.error("failed\n%s", traceback.format_exc())
        log.exception("failed", job=1)
        log.error("failed", exc_info=True)
    log.warn("given", exc_info=KeyError("k"))

    for logger in (log, unnamed, direct, by_keyword, bound):
        logger.shutdown()


def mistakes() -> None:
    basic_config(color="never")  # type: ignore[arg-type]
    basic_config(format="JSON")  # type: ignore[arg-type]
    basic_config(unix_ts=1)  # type: ignore[arg-type]
    get_logger("app", level=2.5)  # type: ignore[arg-type]
    PyLogger("app", level="info")  # type: ignore[arg-type]
    basic_config(retention_days="7")  # type: ignore[arg-type]
    basic_config(console="yes")  # type: ignore[arg-type]
    basic_config(None, False, None, "auto", "logfmt", "info", 7)  # type: ignore[call-arg]
    PyLogger("app").info(42)  # type: ignore[arg-type]
    PyLogger("app", path=3)  # type: ignore[arg-type]
    PyLevel.Info < PyLevel.Warn  # type: ignore[operator]
    PyLogger("app").flush()  # type: ignore[attr-defined]
    PyLogger("app").bind(user="bob")  # type: ignore[attr-defined]
    get_logger("app").info(message="x")  # type: ignore[call-arg]
    ferrant.unbind_contextvars(1)  # type: ignore[arg-type]
    with ferrant.bound_contextvars("r"):  # type: ignore[call-arg]
        pass


if __name__ == "__main__":
    configure(sys.argv[1])
    log_everything(sys.argv[1])
