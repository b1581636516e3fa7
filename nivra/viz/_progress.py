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
"""
from __future__ import annotations

import contextlib
from contextvars import ContextVar
from typing import Callable, Iterator, Optional

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
