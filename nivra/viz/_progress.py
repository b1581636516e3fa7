"""Progress of the long stages of nivra.viz: a callback that the extension modules call
between stages, set for a block of code with ``reporting``.

    from nivra.viz._progress import reporting

    with reporting(lambda stage, done, total: print(stage, done, total)):
        spikes.export_events_html(events, "page.html")

The callback receives ``(stage, done, total)``:

- ``"grid"``, ``"frames"``, ``"raster"`` with ``(0, 1)`` as ``serialize_events`` starts
  binning the time grid, the animation frames and the spike raster;
- ``"images"`` with ``(k, n)`` after the k-th of the n images of an event document or a
  frame page is encoded.

The callback is held in a context variable: it applies to the thread (or task) that set it,
and nothing is called outside the block. An exception raised by the callback propagates out
of the function being reported on. Without a callback the stages cost a dictionary lookup.

``Progress`` prints such stages (and the command line's own) as lines on a terminal.
"""
from __future__ import annotations

import contextlib
import sys
import time
from contextvars import ContextVar
from typing import IO, Callable, Iterator, Optional

ProgressCallback = Callable[[str, int, int], object]

# Read by the extension modules (viz/frame/progress.cpp) under this name.
_callback: ContextVar[Optional[ProgressCallback]] = ContextVar("nivra_viz_progress", default=None)


@contextlib.contextmanager
def reporting(callback: ProgressCallback) -> Iterator[None]:
    """Call ``callback(stage, done, total)`` at the stages of work done inside the block."""
    token = _callback.set(callback)
    try:
        yield
    finally:
        _callback.reset(token)


# --- progress lines on a terminal (the command line's) ----------------------------------------


class Progress:
    """Stage-by-stage progress lines on a stream (stderr), only when it is a terminal."""

    def __init__(self, stream: Optional[IO[str]] = None, quiet: bool = False,
                 prefix: str = "nivra-viz") -> None:
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = not quiet and bool(isatty and isatty())
        self.prefix = prefix
        self._t0 = time.perf_counter()
        self._last_count = 0.0

    def stage(self, text: str) -> None:
        if self.enabled:
            elapsed = time.perf_counter() - self._t0
            self.stream.write(f"{self.prefix}: [{elapsed:6.1f}s] {text}\n")
            self.stream.flush()

    def count(self, text: str, done: int, total: int) -> None:
        """A counter line, at most a few per second, always the last one."""
        now = time.perf_counter()
        if done == total or done == 1 or now - self._last_count > 0.25:
            self._last_count = now
            self.stage(f"{text} {done}/{total}")


# The stages of the spikes module, as the lines say them.
_STAGE_LINES = {
    "grid": "binning the time grid",
    "frames": "binning animation frames",
    "raster": "binning the spike raster",
}


@contextlib.contextmanager
def spike_progress(progress: Progress) -> Iterator[None]:
    """Report the binning and image stages of the spikes module while a page is built."""
    if not progress.enabled:
        yield
        return

    def report(stage: str, done: int, total: int) -> None:
        if stage == "images":
            progress.count("encoding images", done, total)
        elif stage in _STAGE_LINES:
            progress.stage(_STAGE_LINES[stage])

    with reporting(report):
        yield
