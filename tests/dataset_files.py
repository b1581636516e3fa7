"""Writers of the files SNN datasets come in, byte by byte after their published layouts,
for the reader tests: N-MNIST / N-Caltech101 .bin, AEDAT 2.0, AEDAT 3.1, SHD/SSC spiking
audio HDF5 and DSEC-style HDF5. Each takes plain arrays and returns bytes (or writes the
HDF5 file), so a test can cut or damage them."""
import struct

import numpy as np


def events(n, width, height, seed=1, t0=0, step=50):
    """n events in time order, with x, y, p and t (microseconds) as int64 columns."""
    rng = np.random.default_rng(seed)
    return {"x": rng.integers(0, width, n), "y": rng.integers(0, height, n),
            "p": rng.integers(0, 2, n), "t": t0 + np.cumsum(rng.integers(0, step, n))}


def same(rec, ev, names="xytp"):
    """The recording holds exactly these events."""
    for name in names:
        np.testing.assert_array_equal(rec.events[name].astype(np.int64), ev[name], err_msg=name)


# --- N-MNIST / N-Caltech101 .bin ------------------------------------------------------------

def nmnist(x, y, p, t):
    """5 bytes an event: x, y, then polarity in bit 7 and the timestamp's 23 bits over the
    next three bytes, big-endian; times past 2^23 us wrap as the camera's counter does."""
    t = np.asarray(t) % (1 << 23)
    out = np.zeros((len(t), 5), np.uint8)
    out[:, 0], out[:, 1] = x, y
    out[:, 2] = np.asarray(p) << 7 | t >> 16
    out[:, 3] = t >> 8 & 0xFF
    out[:, 4] = t & 0xFF
    return out.tobytes()


# --- AEDAT 2.0 ---------------------------------------------------------------------------

def aedat2_header(chip="ch.unizh.ini.jaer.chip.retina.DVS128"):
    lines = ["#!AER-DAT2.0", "# This is a raw AE data file - do not edit",
             "# Data format is int32 address, int32 timestamp (8 bytes total), repeated for "
             "each event", "# Timestamps tick is 1 us", "# created Thu Mar 16 11:43:41 CET 2017"]
    if chip is not None:
        lines.append(f"# AEChip: {chip}")
    lines.append("# HardwareInterface: ch.unizh.ini.jaer.hardwareinterface.usb.cypressfx2.CypressFX2")
    return "".join(line + "\r\n" for line in lines).encode()


def dvs128_address(x, y, p):
    return np.asarray(p) | np.asarray(x) << 1 | np.asarray(y) << 8


def davis_address(x, y, p, height):
    """DAVIS DVS events: rows counted from the bottom, as the camera sends them."""
    return (height - 1 - np.asarray(y)) << 22 | np.asarray(x) << 12 | np.asarray(p) << 11


def aedat2_records(address, t):
    out = np.zeros(len(t), [("a", ">u4"), ("t", ">i4")])
    out["a"] = np.asarray(address, np.int64) & 0xFFFFFFFF
    out["t"] = ((np.asarray(t, np.int64) + (1 << 31)) % (1 << 32)) - (1 << 31)  # int32 wrap
    return out.tobytes()


# --- AEDAT 3.1 ---------------------------------------------------------------------------

def aedat31_header(source="DVS128", extra=()):
    lines = ["#!AER-DAT3.1", "#Format: RAW", f"#Source 1: {source}", *extra,
             "#Start-Time: 2017-03-17 16:23:32 (TZ+0100)", "#!END-HEADER"]
    return "".join(line + "\r\n" for line in lines).encode()


def packet(kind, size, number, payload, overflow=0, valid=None, source=1, ts_offset=4):
    head = struct.pack("<hhiiiiii", kind, source, size, ts_offset, overflow, number, number,
                       number if valid is None else valid)
    return head + payload


def polarity_packet(x, y, p, t, valid=None, source=1):
    """A polarity packet; t in full microseconds, all in one overflow epoch."""
    t = np.asarray(t, np.int64)
    overflow = int(t[0] >> 31)
    assert np.all(t >> 31 == overflow)
    valid = np.ones(len(t), np.int64) if valid is None else np.asarray(valid, np.int64)
    data = valid | np.asarray(p) << 1 | np.asarray(y) << 2 | np.asarray(x) << 17
    out = np.zeros(len(t), [("d", "<u4"), ("t", "<i4")])
    out["d"], out["t"] = data, t & 0x7FFFFFFF
    return packet(1, 8, len(t), out.tobytes(), overflow, int(valid.sum()), source)


def frame_packet(n, width=346, height=260, t=0):
    """n APS frames: a 36-byte frame header and 16-bit pixels each."""
    size = 36 + width * height * 2
    one = struct.pack("<Iiiiiiiii", 1, t, t + 10, t, t + 5, width, height, 0, 0)
    return packet(2, size, n, (one + bytes(width * height * 2)) * n, ts_offset=4)


def imu6_packet(n, t=0):
    one = struct.pack("<Ii7f", 1, t, 0.0, 0.0, 1.0, 20.0, 0.1, 0.2, 0.3)
    return packet(3, 36, n, one * n)


def special_packet(n, t=0):
    """Special events (external triggers): type 0, 8 bytes each."""
    return packet(0, 8, n, struct.pack("<Ii", 1 | 2 << 1, t) * n)


# --- HDF5 --------------------------------------------------------------------------------

def shd(path, samples, labels, keys=None):
    """A spiking audio file: samples is a list of (times in seconds, units) pairs."""
    import h5py

    with h5py.File(path, "w") as f:
        times = f.create_dataset("spikes/times", (len(samples),),
                                 dtype=h5py.vlen_dtype(np.float32))
        units = f.create_dataset("spikes/units", (len(samples),),
                                 dtype=h5py.vlen_dtype(np.uint16))
        for i, (t, u) in enumerate(samples):
            times[i] = np.asarray(t, np.float32)
            units[i] = np.asarray(u, np.uint16)
        f.create_dataset("labels", data=np.asarray(labels, np.uint16))
        if keys is not None:
            f.create_dataset("extra/keys", data=np.array([k.encode() for k in keys]))
    return path


def dsec(path, ev, t_offset, compression=None):
    """events/{x,y,t,p} with t relative to t_offset, and ms_to_idx over t."""
    import h5py

    t = np.asarray(ev["t"], np.int64) - t_offset
    ms_to_idx = np.searchsorted(t, np.arange(0, t[-1] // 1000 + 2) * 1000)
    kw = {} if compression is None else dict(compression)
    with h5py.File(path, "w") as f:
        for name, dtype in (("x", "<u2"), ("y", "<u2"), ("p", "u1"), ("t", "<u4")):
            values = t if name == "t" else ev[name]
            f.create_dataset(f"events/{name}", data=np.asarray(values, dtype), chunks=True, **kw)
        f.create_dataset("ms_to_idx", data=ms_to_idx.astype(np.uint64))
        f.create_dataset("t_offset", data=np.int64(t_offset))
    return path
