"""Spiking audio HDF5 files (the Spiking Heidelberg Digits and Spiking Speech Commands):
one sample per row of the ragged datasets spikes/times (seconds) and spikes/units (the
channel of each spike), its class in labels, the class names (where the file has them) in
extra/keys. One sample is read: the channels are the x axis of a sensor one row high.
"""
from __future__ import annotations

import numpy as np

from ._base import ArraySource, escaped
from .hdf5 import Hdf5File

# The cochlea model both datasets were made with has 700 channels.
CHANNELS = 700
DTYPE = np.dtype([("t", "<i8"), ("channel", "<u2")])
NOT_FINITE = "spikes with a time that is not a finite number"


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
        try:
            t = np.asarray(times[index]).reshape(-1)
            channel = np.asarray(units[index]).reshape(-1)
        except Exception as exc:  # h5py raises several kinds on damaged data
            raise h5.fail(f"cannot read sample {index} ({str(exc).splitlines()[0][:160]})") \
                from None
        if t.dtype.kind not in "iuf" or channel.dtype.kind not in "iu":
            raise h5.fail(f"sample {index}: expected numbers of seconds and whole channel "
                          f"numbers, got dtypes {t.dtype} and {channel.dtype}")
        if len(t) != len(channel):
            n = min(len(t), len(channel))
            self.warnings.append(f"sample {index} has {len(t):,} times and {len(channel):,} "
                                 f"channels; the first {n:,} spikes are read")
            t, channel = t[:n], channel[:n]
        seconds = t.astype(np.float64)
        finite = np.isfinite(seconds) & (channel >= 0) & (channel <= np.iinfo(np.uint16).max)
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
