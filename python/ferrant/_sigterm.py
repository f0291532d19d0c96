"""SIGTERM's default action, with every record written out first.

The native module offers this handler before its first writer starts in the
main thread, while SIGTERM still has its default action (`docker stop`,
Kubernetes and systemd end a process with SIGTERM). It is set through the
`signal` module, so a framework that saves "the original" handler, installs
its own and later restores it and raises SIGTERM again (as uvicorn does)
comes back to it, and its own last lines are kept.
`FERRANT_SIGTERM=0` (or false, no, off) in the environment when ferrant is
imported leaves SIGTERM alone."""

from __future__ import annotations

import signal
import threading
from types import FrameType

from ferrant import _config, _logger


def _on_sigterm(signum: int, frame: FrameType | None) -> None:
    """Writes every thread's records out, waiting as the exit does (while a
    destination takes bytes, 5 s at most after it last took any), then ends
    the process by SIGTERM's default action: the same status (-15, or 143
    from a shell) as without ferrant."""
    # A second SIGTERM meanwhile changes nothing: the process is ending.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    _logger._note_sigterm()
    try:
        _logger._flush_at_exit()
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
        signal.raise_signal(signal.SIGTERM)


def _install() -> bool:
    """Sets the handler where SIGTERM has its default action, unless the
    environment opts out. False off the main thread, where no handler can be
    set: the native side asks again from the main thread."""
    if threading.current_thread() is not threading.main_thread():
        return False
    if not _config.SIGTERM_HANDLER:
        return True
    if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _on_sigterm)
    return True


def _release() -> None:
    """In a multiprocessing worker, which has a helper of its own."""
    if signal.getsignal(signal.SIGTERM) is _on_sigterm:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
