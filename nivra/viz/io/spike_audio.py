"""Spiking audio HDF5 files (the Spiking Heidelberg Digits and Spiking Speech Commands):
one sample per row of the ragged datasets spikes/times (seconds) and spikes/units (the
channel of each spike), its class in labels, the class names (where the file has them) in
extra/keys. One sample is read: the channels are the x axis of a sensor one row high.
"""
from __future__ import annotations

import io
import os
import subprocess
import sys

import numpy as np

from ._base import ArraySource, escaped
from .hdf5 import Hdf5File

# The cochlea model both datasets were made with has 700 channels.
CHANNELS = 700
DTYPE = np.dtype([("t", "<i8"), ("channel", "<u2")])
NOT_FINITE = "spikes whose time is no number of seconds (NaN, infinite or out of range)"
_MAX_SECONDS = 9e12  # microseconds of int64
# A sample is read in a child process given this long: the HDF5 library can loop for ever
# on a damaged heap of variable-length rows, beyond the reach of any signal.
READ_SECONDS = 10
_READ_ROWS = """
import sys
import h5py, numpy as np
try:
    import hdf5plugin
except ImportError:
    pass
path, index, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
try:
    with h5py.File(path, "r") as f:
        rows = [np.asarray(f[name][index]).reshape(-1) for name in names]
except Exception as exc:
    sys.stderr.write(str(exc).splitlines()[0][:160] if str(exc) else type(exc).__name__)
    sys.exit(3)
for row in rows:
    np.save(sys.stdout.buffer, row, allow_pickle=False)
"""


class SpikeAudioSource(ArraySource):
    def __init__(self, h5: Hdf5File, sample: int | None = None) -> None:
        super().__init__(h5.path)
        self.format = "SHD/SSC spiking audio (HDF5)"
        times, units = h5.dataset("spikes/times"), h5.dataset("spikes/units")
        if times is None or units is None or times.ndim != 1 or units.ndim != 1:
            raise h5.fail("spikes/times and spikes/units must be datasets of one row a sample")
        count = min(len(times), len(units))
        if len(times) != len(units):
            self.warnings.append(f"spikes/times has {len(times):,} samples and spikes/units "
                                 f"{len(units):,}; the first {count:,} are read")
        index = 0 if sample is None else int(sample)
        if not 0 <= index < count:
            raise h5.fail(f"no sample {index}: the file holds {count:,} samples (--sample 0 "
                          f"to {count - 1:,})" if count else "the file holds no samples")
        t, channel = _read_rows(h5, ["spikes/times", "spikes/units"], index)
        if t.dtype.kind not in "iuf" or channel.dtype.kind not in "iu":
            raise h5.fail(f"sample {index}: expected numbers of seconds and whole channel "
                          f"numbers, got dtypes {t.dtype} and {channel.dtype}")
        if len(t) != len(channel):
            n = min(len(t), len(channel))
            self.warnings.append(f"sample {index} has {len(t):,} times and {len(channel):,} "
                                 f"channels; the first {n:,} spikes are read")
            t, channel = t[:n], channel[:n]
        seconds = t.astype(np.float64)
        with np.errstate(invalid="ignore"):
            finite = np.abs(seconds) < _MAX_SECONDS  # False for NaN
        finite &= (channel >= 0) & (channel <= np.iinfo(np.uint16).max)
        if not finite.all():
            self.skipped[NOT_FINITE] = len(t) - int(np.count_nonzero(finite))
            seconds, channel = seconds[finite], channel[finite]
        self.events = np.empty(len(seconds), DTYPE)
        self.events["t"] = np.rint(seconds * 1e6)
        self.events["channel"] = channel
        if not len(channel) or int(channel.max()) < CHANNELS:
            self.sensor_size = (CHANNELS, 1)
        self.format += f", sample {index:,} of {count:,}" + _label(h5, index)
        self.warnings.extend(h5.notes)


def _label(h5: Hdf5File, index: int) -> str:
    """', label 3 ("three")' for the sample, as far as the file says."""
    labels = h5.dataset("labels")
    if labels is None or labels.ndim != 1 or index >= len(labels):
        return ""
    try:
        label = np.asarray(labels[index]).item()
    except Exception:
        return ""
    text = f", label {label}"
    keys = h5.dataset("extra/keys")
    if keys is not None and keys.ndim == 1 and isinstance(label, int) and 0 <= label < len(keys):
        try:
            name = keys[label]
        except Exception:
            return text
        name = name.decode("utf-8", "replace") if isinstance(name, bytes) else str(name)
        text += f' ("{escaped(name, 40)}")'
    return text


def _read_rows(h5: Hdf5File, names: list[str], index: int) -> list[np.ndarray]:
    """Row ``index`` of each named dataset, read by a child process that is stopped if it
    takes longer than READ_SECONDS."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        done = subprocess.run([sys.executable, "-c", _READ_ROWS, str(h5.path), str(index),
                               *names], capture_output=True, timeout=READ_SECONDS, env=env,
                              stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        raise h5.fail(f"reading sample {index} did not end within {READ_SECONDS} s (a damaged "
                      f"file?); stopped") from None
    except OSError as exc:
        raise h5.fail(f"cannot start a reader for sample {index}: {exc.strerror or exc}") \
            from None
    if done.returncode != 0:
        detail = escaped(done.stderr.decode("utf-8", "replace").strip().splitlines()[-1]
                         if done.stderr.strip() else f"exit status {done.returncode}", 160)
        raise h5.fail(f"cannot read sample {index} ({detail})")
    stream = io.BytesIO(done.stdout)
    try:
        return [np.load(stream, allow_pickle=False) for _ in names]
    except (ValueError, EOFError) as exc:
        raise h5.fail(f"cannot read sample {index} ({exc})") from None
