"""Hot pixels: pixels that fire far more than everything around them, all recording long.
One rule for every page that leaves them out (the viewer, the command line's page)."""
from __future__ import annotations

import numpy as np

MIN_EVENTS = 20
RATIO = 10
RULE = (f"A pixel is hot when it has at least {MIN_EVENTS} events over the whole recording "
        f"and more than {RATIO} times as many as the third busiest of its 8 neighbours "
        f"(plus one): an isolated pixel far busier than its surroundings.")


def hot_pixels(totals: np.ndarray) -> np.ndarray:
    """Flat indices (y * width + x, ascending) of the hot pixels of per-pixel event totals
    of shape (height, width)."""
    h, w = totals.shape
    padded = np.zeros((h + 2, w + 2), dtype=np.int64)
    padded[1:-1, 1:-1] = totals
    # The third busiest of 8 neighbours is at least the quietest of any 3 of them: a
    # whole-array bound that leaves few pixels for the exact test below.
    at_least = np.minimum(np.minimum(padded[1:-1, :-2], padded[1:-1, 2:]), padded[:-2, 1:-1])
    candidates = np.flatnonzero((totals >= MIN_EVENTS) & (totals > RATIO * (at_least + 1)))
    if not len(candidates):
        return candidates.astype(np.int64)
    y, x = np.divmod(candidates, w)
    around = np.stack([padded[y + 1 + dy, x + 1 + dx]
                       for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx], axis=1)
    third = np.sort(around, axis=1)[:, -3]
    own = totals.ravel()[candidates]
    return candidates[own > RATIO * (third + 1)].astype(np.int64)
