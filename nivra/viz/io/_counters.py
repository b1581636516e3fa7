"""Timestamp counters that wrap: a step back of more than half the counter's range is a
wrap, and the times after it count on from the end of the range."""
from __future__ import annotations

import numpy as np


def unwrap(t: np.ndarray, bits: int, last: int | None, wraps: int) -> tuple[int, int]:
    """Unwrap ``t`` (int64 raw stamps, changed in place) of a ``bits``-wide counter that
    continues a chunk whose last raw stamp was ``last`` (None: the first chunk) after
    ``wraps`` wraps; returns the two for the next chunk."""
    if not len(t):
        return (last if last is not None else 0), wraps
    half = 1 << (bits - 1)
    raw_last = int(t[-1])
    back = np.flatnonzero(t[1:] < t[:-1] - half) + 1
    if last is not None and t[0] < last - half:
        back = np.concatenate([np.zeros(1, back.dtype), back])
    if wraps:
        t += wraps << bits
    if len(back) > 8:  # many only in data that is not a counter at all
        step = np.zeros(len(t), np.int64)
        step[back] = 1 << bits
        t += np.cumsum(step)
    else:
        for i in back:
            t[i:] += 1 << bits
    return raw_last, wraps + len(back)
