"""Prophesee files written word by word from the camera maker's published layouts (EVT 3.0,
EVT 2.0, EVT 2.1, DAT), with the words cameras write beside the events: vectors, time-high
wraps, triggers, vendor "others" with continuations, padding."""
import numpy as np

DTYPE = np.dtype({"names": ["t", "x", "y", "p"], "formats": ["<i8", "<i2", "<i2", "u1"],
                  "offsets": [0, 8, 10, 12], "itemsize": 16})


def events(n, width=640, height=480, seed=3, t0=1_000, rate=0.3, burst=5):
    """n events in time order; runs of up to ``burst`` share a time, row and polarity
    at neighbouring pixels, as moving edges give them (so vectors form)."""
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, DTYPE)
    lead = np.arange(n) - np.arange(n) % burst
    ev["t"] = t0 + np.cumsum((rng.random(n) < rate) * rng.integers(1, 40, n))[lead]
    ev["y"] = rng.integers(0, height, n)[lead]
    ev["x"] = (rng.integers(0, width, n)[lead] + rng.integers(1, 3, n)[lead] * (np.arange(n) % burst)) % width
    ev["p"] = rng.integers(0, 2, n)[lead]
    return np.sort(np.unique(ev), order=["t", "y", "p", "x"])  # one event a pixel and time


def header(encoding, width=640, height=480, extra=b""):
    name = {"evt3": b"EVT3", "evt2": b"EVT2", "evt21": b"EVT21"}[encoding]
    return (b"% camera_integrator_name Prophesee\n% format " + name + b";height=%d;width=%d\n"
            % (height, width) + extra + b"% end\n")


def _extras(words, every, extra):
    """The words with ``extra`` (a list of words) after every ``every``-th."""
    if not every:
        return words
    out = []
    for i, w in enumerate(words):
        out.append(w)
        if i % every == every - 1:
            out.extend(extra)
    return out


def evt3_words(ev, vectors=True):
    words, high, low, y = [], None, None, None
    i = 0
    while i < len(ev):
        t, yy, p, x = int(ev["t"][i]), int(ev["y"][i]), int(ev["p"][i]), int(ev["x"][i])
        if high != t >> 12:
            high = t >> 12
            words.append(0x8000 | (high & 0xFFF))
            low = None
        if low != t:
            low = t
            words.append(0x6000 | (t & 0xFFF))
        if y != yy:
            y = yy
            words.append(yy)
        j, mask = i, 0
        while (vectors and j < len(ev) and int(ev["t"][j]) == t and int(ev["y"][j]) == yy
               and int(ev["p"][j]) == p and 0 <= int(ev["x"][j]) - x < 12):
            mask |= 1 << (int(ev["x"][j]) - x)
            j += 1
        if j - i >= 2:
            words.append(0x3000 | (p << 11) | x)
            words.append(0x4000 | mask)
            i = j
        else:
            words.append(0x2000 | (p << 11) | x)
            i += 1
    return words


def evt3(ev, vectors=True, every=0, extra=(), width=640, height=480):
    """An EVT 3.0 file: ``extra`` words after every ``every``-th word, e.g. a trigger
    0xA001, others 0xE123 + continuation 0xF456, padding 0x9999."""
    words = _extras(evt3_words(ev, vectors), every, list(extra))
    return header("evt3", width, height) + np.array(words, "<u2").tobytes()


def evt2_words(ev):
    words, high = [], None
    for t, x, y, p in zip(ev["t"].tolist(), ev["x"].tolist(), ev["y"].tolist(), ev["p"].tolist()):
        if high != t >> 6:
            high = t >> 6
            words.append((0x8 << 28) | (high & 0x0FFFFFFF))
        words.append((p << 28) | ((t & 0x3F) << 22) | (x << 11) | y)
    return words


def evt2(ev, every=0, extra=(), width=640, height=480):
    words = _extras(evt2_words(ev), every, list(extra))
    return header("evt2", width, height) + np.array(words, "<u4").tobytes()


def evt21(ev, every=0, extra=(), width=640, height=480):
    """EVT 2.1: 64-bit words; events of one time, row and polarity within 32 pixels
    from a multiple of 32 share a word's validity mask."""
    words, high, i = [], None, 0
    while i < len(ev):
        t, y, p, x = int(ev["t"][i]), int(ev["y"][i]), int(ev["p"][i]), int(ev["x"][i])
        if high != t >> 6:
            high = t >> 6
            words.append((0x8 << 60) | ((high & 0x0FFFFFFF) << 32))
        base, mask, j = x - x % 32, 0, i
        while (j < len(ev) and int(ev["t"][j]) == t and int(ev["y"][j]) == y and int(ev["p"][j]) == p
               and 0 <= int(ev["x"][j]) - base < 32):
            mask |= 1 << (int(ev["x"][j]) - base)
            j += 1
        words.append((p << 60) | ((t & 0x3F) << 54) | (base << 43) | (y << 32) | mask)
        i = j
    words = _extras(words, every, [w << 32 for w in extra])
    return header("evt21", width, height) + np.array(words, "<u8").tobytes()


def dat(ev, event_type=0x0C, width=640, height=480):
    head = (b"%% Data file containing CD events.\n%% Version 2\n%% Width %d\n%% Height %d\n"
            % (width, height)) + bytes([event_type, 8])
    data = (ev["x"].astype(np.uint32) | (ev["y"].astype(np.uint32) << 14)
            | (ev["p"].astype(np.uint32) << 28))
    rec = np.zeros(len(ev), [("t", "<u4"), ("d", "<u4")])
    rec["t"], rec["d"] = ev["t"] & 0xFFFFFFFF, data
    return head + rec.tobytes()


def write(path, data):
    path.write_bytes(data)
    return path

