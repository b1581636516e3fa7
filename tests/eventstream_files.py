"""A writer of Event Stream (.es) files, byte by byte after the published layout: the
signature, version and type bytes, the sensor size, then variable-length events whose
time steps too long for their first byte go into overflow bytes before them, as the
format's own encoders write them."""
import struct

import numpy as np

DVS, ATIS, GENERIC, COLOUR = 1, 2, 0, 4


def header(kind, width=0, height=0, version=(2, 0, 0)):
    head = b"Event Stream" + bytes(version) + bytes([kind])
    return head if kind == GENERIC else head + struct.pack("<HH", width, height)


def events(kind, x, y, p, t, exposure=None, resets=()):
    """The event bytes of a DVS or ATIS stream starting at time 0, and where each event
    ends in them. DVS: 0xFF adds 127 us, the event byte holds dt << 1 | p. ATIS: 0xFF adds
    3 x 63 us, 0xFC | k adds k x 63, the event byte holds dt << 2 | p << 1 | exposure.
    ``resets``: indices of events preceded by a byte that adds no time (DVS 0xFE,
    ATIS 0xFC)."""
    t = np.asarray(t, np.int64)
    dt = np.diff(t, prepend=0)
    n = len(t)
    if kind == DVS:
        over, rest = np.divmod(dt, 127)
        lead = rest << 1 | np.asarray(p)
        partial = np.zeros(n, bool)
    else:
        units, rest = np.divmod(dt, 63)
        over, left = np.divmod(units, 3)
        partial = left > 0
        exposure = np.zeros(n, np.int64) if exposure is None else np.asarray(exposure)
        lead = rest << 2 | np.asarray(p) << 1 | exposure
    reset = np.zeros(n, bool)
    reset[list(resets)] = True
    lengths = over + partial + reset + 5
    ends = np.cumsum(lengths)
    at = ends - 5  # each event's first byte; its overflow bytes before it
    out = np.full(int(ends[-1]) if n else 0, 0xFF, np.uint8)
    if kind == ATIS:
        out[(at - 1)[partial]] = 0xFC | left[partial]
        out[(at - 1 - partial)[reset]] = 0xFC
    else:
        out[(at - 1)[reset]] = 0xFE
    x, y = np.asarray(x), np.asarray(y)
    for i, column in enumerate((lead, x & 0xFF, x >> 8, y & 0xFF, y >> 8)):
        out[at + i] = column
    return out.tobytes(), ends
