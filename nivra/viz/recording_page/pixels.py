"""What each pixel of a 2-D sensor goes into on the page, chosen from its events over the
whole recording (one pass that counts them before binning): hot pixels left out, and
the pixels the raster holds.

    choice = choose(totals, drop_hot=True, raster="active", neurons=1000)
    choice.map            # int32 (height, width) for the accumulator's pixel_map
    choice.raster_pixels  # (x, y) of each raster column, in column order

The raster holds either the busiest pixels (``"active"``, in row order, hot ones never)
or, as the event document does, the first ones in row order (``"first"``).
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from nivra.viz import hot_pixels

NOT_IN_RASTER = -1
LEFT_OUT = -2          # the kernel's code for a pixel whose events go nowhere
RASTER_CHOICES = ("active", "first")
HOT_CHOICES = ("drop", "keep")
WORST_LISTED = 5


@dataclass
class HotPixels:
    """The hot pixels left out: how many, and the busiest (x, y, events over the
    recording), busiest first."""
    count: int
    worst: list[tuple[int, int, int]]


@dataclass
class PixelChoice:
    map: np.ndarray
    raster_pixels: list[tuple[int, int]]  # (x, y) of each raster column
    busiest: bool                          # the busiest pixels, not the first ones
    hot: HotPixels | None                  # None: hot pixels kept


def _busiest(values: np.ndarray, k: int) -> np.ndarray:
    """Flat indices of the k largest values, ties taken in row order, ascending."""
    n = len(values)
    if k <= 0:
        return np.zeros(0, np.int64)
    if k >= n:
        return np.arange(n, dtype=np.int64)
    kth = np.partition(values, n - k)[n - k]  # the k-th largest
    above = np.flatnonzero(values > kth)
    tied = np.flatnonzero(values == kth)[:k - len(above)]
    return np.sort(np.concatenate([above, tied]))


def choose(totals: np.ndarray, *, drop_hot: bool, raster: str, neurons: int) -> PixelChoice:
    """The pixel map of per-pixel event totals (height, width); ``neurons`` raster columns
    at most (fewer when the sensor has fewer pixels to give)."""
    height, width = totals.shape
    flat = totals.ravel().astype(np.int64, copy=False)
    hot = hot_pixels.hot_pixels(totals) if drop_hot else np.zeros(0, np.int64)
    pixel_map = np.full(height * width, NOT_IN_RASTER, np.int32)
    if raster == "active":
        busy = flat.copy()
        busy[hot] = -1  # never chosen while any other pixel is left
        chosen = _busiest(busy, min(neurons, height * width - len(hot)))
    else:
        chosen = np.arange(min(neurons, height * width), dtype=np.int64)
    pixel_map[chosen] = np.arange(len(chosen), dtype=np.int32)
    pixel_map[hot] = LEFT_OUT
    y, x = np.divmod(chosen, width)
    raster_pixels = list(zip(x.tolist(), y.tolist()))
    found = None
    if drop_hot:
        order = hot[np.argsort(-flat[hot], kind="stable")][:WORST_LISTED]
        hy, hx = np.divmod(order, width)
        found = HotPixels(count=len(hot), worst=list(zip(hx.tolist(), hy.tolist(),
                                                         flat[order].tolist())))
    return PixelChoice(map=pixel_map.reshape(height, width), raster_pixels=raster_pixels,
                       busiest=raster == "active", hot=found)
