"""Ctrl-C that a long call cannot lose.

The interpreter runs Ctrl-C's handler between any two bytecodes, also while
a weak-reference callback, a collector callback or a ``__del__`` runs; a
KeyboardInterrupt raised there is printed ("Exception ignored in ...") and
dropped, and the call goes on as if nothing had happened. While a run, a
sweep or a walk-forward is in progress, `guarded` puts a handler of ours in
front of Ctrl-C's: it notes the signal, then raises KeyboardInterrupt as
usual. `checkpoint`, called between the call's units of work (runs,
windows, answers from workers), raises it again if the first raise was
dropped, and so does the end of the call. The caller's handler is back on
every exit.

Where a KeyboardInterrupt must not land at all (the main thread of a thread
sweep, holding locks its workers share), `deferred` only notes Ctrl-C, and
the next `checkpoint` raises it.

Only the interpreter's own handler is wrapped: a handler the caller
installed (one that does not raise, say) is theirs to keep, and outside the
main thread there is no signal handling to guard.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType

__all__ = ["checkpoint", "deferred", "guarded"]

_pending = False  # a Ctrl-C arrived that no KeyboardInterrupt has carried out of the call yet


def _noting_handler(signum: int, frame: FrameType | None) -> None:
    global _pending
    _pending = True
    signal.default_int_handler(signum, frame)


def _deferring_handler(signum: int, frame: FrameType | None) -> None:
    global _pending
    _pending = True


def checkpoint() -> None:
    """Raises the KeyboardInterrupt of a Ctrl-C that was dropped on its way out."""
    global _pending
    if _pending:
        _pending = False
        raise KeyboardInterrupt


@contextlib.contextmanager
def guarded() -> Iterator[None]:
    """Guards Ctrl-C for the duration of the block; nested blocks share the outer guard."""
    global _pending
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield  # not ours to guard, or already guarded further out
        return
    _pending = False
    signal.signal(signal.SIGINT, _noting_handler)
    try:
        yield
        checkpoint()
    except KeyboardInterrupt:
        _pending = False  # this one is on its way out
        raise
    finally:
        _pending = False
        if signal.getsignal(signal.SIGINT) in (_noting_handler, _deferring_handler):
            signal.signal(signal.SIGINT, signal.default_int_handler)


@contextlib.contextmanager
def deferred() -> Iterator[None]:
    """Within a guarded call, Ctrl-C is only noted in the block: `checkpoint` raises it."""
    if signal.getsignal(signal.SIGINT) is not _noting_handler:
        yield  # not guarded: nothing to defer
        return
    signal.signal(signal.SIGINT, _deferring_handler)
    try:
        yield
    finally:
        if signal.getsignal(signal.SIGINT) is _deferring_handler:
            signal.signal(signal.SIGINT, _noting_handler)
