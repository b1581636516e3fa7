"""Termination requests that unwind: while a command runs, SIGTERM and SIGHUP raise
:class:`Terminated` in the main thread, so every ``finally`` and ``with`` on the way out
runs (a page's temporary file is removed) before the process exits with 128 + the
signal's number, as a shell reports a process the signal ended."""
from __future__ import annotations

import contextlib
import signal
from types import FrameType
from typing import Any, Iterator

__all__ = ["Terminated", "unwinding_on_termination"]

_SIGNALS = tuple(s for s in (getattr(signal, "SIGTERM", None), getattr(signal, "SIGHUP", None))
                 if s is not None)


class Terminated(BaseException):
    """A termination signal arrived; like KeyboardInterrupt, no ``except Exception`` stops it."""

    def __init__(self, signum: int) -> None:
        self.signum = signum
        super().__init__(signal.Signals(signum).name)

    @property
    def exit_status(self) -> int:
        return 128 + self.signum


def _raise(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


@contextlib.contextmanager
def unwinding_on_termination() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Terminated (outside the main thread, and
    for a signal set to be ignored, such as SIGHUP under nohup, nothing changes)."""
    previous: dict[int, Any] = {}
    for sig in _SIGNALS:
        try:
            if signal.getsignal(sig) is not signal.SIG_IGN:
                previous[sig] = signal.signal(sig, _raise)
        except (ValueError, OSError):  # not the main thread
            pass
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
