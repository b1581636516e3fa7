"""HDF5 event datasets (SHD/SSC spiking audio, DSEC-style files with a millisecond index),
written by dataset_files.py, and what every HDF5 file is held to: only its own data is read,
declared sizes are checked before reading, missing compression filters are named."""
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import dataset_files as w
from nivra.viz.io import ReaderError, open_source, read_events

h5py = pytest.importorskip("h5py")


def spike_audio(tmp_path, lengths=(40, 250, 0, 9)):
    rng = np.random.default_rng(2)
    samples = [(np.sort(rng.random(n)) * 0.9, rng.integers(0, 700, n)) for n in lengths]
    path = w.shd(tmp_path / "shd_test.h5", samples, [4, 11, 0, 19],
                 keys=[f"digit {i}" for i in range(20)])
    return path, samples


@pytest.mark.parametrize("sample", [None, 1, 3])
def test_spiking_audio_sample_by_index(tmp_path, sample):
    path, samples = spike_audio(tmp_path)
    rec = read_events(path, sample=sample)
    t, units = samples[sample or 0]
    np.testing.assert_array_equal(rec.events["channel"], units)
    np.testing.assert_array_equal(rec.events["t"], np.rint(t.astype(np.float32).astype(float) * 1e6))
    label = {None: 4, 1: 11, 3: 19}[sample]
    assert rec.format == (f"SHD/SSC spiking audio (HDF5), sample {sample or 0} of 4, "
                          f'label {label} ("digit {label}")')
    assert rec.sensor_size == (700, 1)


def test_spiking_audio_errors(tmp_path):
    path, _ = spike_audio(tmp_path)
    with pytest.raises(ReaderError, match=r"no sample 4: the file holds 4 samples "
                                          r"\(--sample 0 to 3\)"):
        read_events(path, sample=4)
    events = tmp_path / "events.h5"
    with h5py.File(events, "w") as f:
        f["events/x"], f["events/t"] = np.arange(5), np.arange(5)
    with pytest.raises(ReaderError, match="--sample picks a sample of a spiking audio file"):
        read_events(events, sample=1)


def test_spiking_audio_with_a_damaged_heap_ends_in_an_error(tmp_path, monkeypatch):
    """A wrong object size in the heap holding the rows makes the HDF5 library loop for
    ever: the sample's reader is stopped and the command says so."""
    from nivra.viz.io import spike_audio as reader

    path, _ = spike_audio(tmp_path)
    data = bytearray(path.read_bytes())
    heap = data.find(b"GCOL")
    at = heap + 16
    for _ in range(2):  # the third object of the collection
        at += 16 + (int.from_bytes(data[at + 8:at + 16], "little") + 7) // 8 * 8
    size = int.from_bytes(data[at + 8:at + 16], "little")
    data[at + 8:at + 16] = (size + 1000).to_bytes(8, "little")
    path.write_bytes(bytes(data))
    monkeypatch.setattr(reader, "READ_SECONDS", 3)
    started = time.monotonic()
    with pytest.raises(ReaderError, match="sample 0"):
        read_events(path)
    assert time.monotonic() - started < 15


def dsec_file(tmp_path, n=30_000, compression=None):
    ev = w.events(n, 640, 480, t0=52_000_000_123, step=70)
    return w.dsec(tmp_path / "events.h5", ev, t_offset=52_000_000_000,
                  compression=compression), ev


@pytest.mark.parametrize("start, end", [(0, 1_000), (12_345, 77_777), (500_000, None),
                                        (None, 1), (10**9, None)])
def test_dsec_windows_by_the_millisecond_index(tmp_path, start, end):
    path, ev = dsec_file(tmp_path)
    rel = ev["t"] - ev["t"][0]
    inside = (rel >= (start or 0)) & (rel < (end if end is not None else np.inf))
    rec = read_events(path, start=start, end=end)
    assert rec.format == "DSEC HDF5"
    np.testing.assert_array_equal(rec.events["t"], ev["t"][inside])  # t_offset added
    np.testing.assert_array_equal(rec.events["x"], ev["x"][inside])
    assert rec.outside_window == len(rel) - inside.sum()


def test_dsec_with_a_wrong_index_is_still_right(tmp_path):
    path, ev = dsec_file(tmp_path, 5000)
    with h5py.File(path, "r+") as f:
        f["ms_to_idx"][...] = np.asarray(f["ms_to_idx"]) // 2  # off by half
    rel = ev["t"] - ev["t"][0]
    inside = (rel >= 100_000) & (rel < 200_000)
    np.testing.assert_array_equal(read_events(path, start=100_000, end=200_000).events["t"],
                                  ev["t"][inside])


def test_dsec_blosc_compressed(tmp_path):
    hdf5plugin = pytest.importorskip("hdf5plugin")
    path, ev = dsec_file(tmp_path, 4000, hdf5plugin.Blosc(cname="zstd"))
    w.same(read_events(path), ev)
    # Without hdf5plugin the filter is named, with the package that provides it.
    code = textwrap.dedent(f"""
        import sys
        sys.modules["hdf5plugin"] = None
        from nivra.viz.io import read_events, ReaderError
        try:
            read_events({str(path)!r})
        except ReaderError as exc:
            print(exc)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120).stdout.strip()
    assert out.endswith("HDF5: the dataset /events/x is compressed with HDF5 filter 32001 "
                        "(Blosc), which h5py reads only with the hdf5plugin package; install "
                        "it with: pip install hdf5plugin (Prophesee's own HDF5 files need its "
                        "ECF plugin instead)"), out


def test_prophesee_ecf_codec_is_named(tmp_path):
    hdf5plugin = pytest.importorskip("hdf5plugin")
    path = tmp_path / "recording.hdf5"
    table = np.zeros(100, [("x", "<u2"), ("y", "<u2"), ("p", "<i2"), ("t", "<i8")])
    with h5py.File(path, "w") as f:
        f.create_dataset("CD/events", data=table, chunks=True, **hdf5plugin.Blosc())
    # The same file as if written with Prophesee's codec: its filter id in the pipeline.
    data = path.read_bytes()
    marker = (32001).to_bytes(2, "little") + b"\x08\x00"
    assert data.count(marker) == 1
    path.write_bytes(data.replace(marker, (36559).to_bytes(2, "little") + b"\x08\x00"))
    with pytest.raises(ReaderError, match=r"the dataset /CD/events is compressed with "
                                          r"Prophesee's ECF codec \(HDF5 filter 36559\)"):
        read_events(path)


def test_declared_sizes_refused_before_reading(tmp_path):
    path = tmp_path / "huge.h5"
    with h5py.File(path, "w") as f:
        for name, n in (("x", 1 << 40), ("t", 1 << 40)):
            f.create_dataset(f"events/{name}", shape=(n,), dtype="u2", chunks=(1 << 20,))
    with pytest.raises(ReaderError, match=r"the dataset /events/x declares "
                                          r"1,099,511,627,776 values, more than a recording"):
        read_events(path)
    with h5py.File(path, "w") as f:  # fewer, but never written
        for name in "xt":
            f.create_dataset(f"events/{name}", shape=(1 << 30,), dtype="u2", chunks=(1 << 20,))
    with pytest.raises(ReaderError, match=r"declares 1,073,741,824 values \(2.0 GiB\) but "
                                          r"stores only 0 bytes"):
        read_events(path)


def other_files(tmp_path, how):
    """An events file whose x comes from another file, the way ``how`` says."""
    other = tmp_path / "secret.h5"
    with h5py.File(other, "w") as f:
        f["x"] = np.full(50, 7, np.uint16)
    (tmp_path / "secret.bin").write_bytes(np.full(50, 9, "<u2").tobytes())
    path = tmp_path / "events.h5"
    with h5py.File(path, "w") as f:
        f["events/t"] = np.arange(50)
        if how == "external link":
            f["events/x"] = h5py.ExternalLink(str(other), "/x")
        elif how == "external storage":
            f["events"].create_dataset("x", shape=(50,), dtype="<u2",
                                       external=[(str(tmp_path / "secret.bin"), 0, 100)])
        else:
            layout = h5py.VirtualLayout(shape=(50,), dtype="<u2")
            layout[:] = h5py.VirtualSource(str(other), "x", shape=(50,))
            f["events"].create_virtual_dataset("x", layout)
        f["events/y"] = h5py.SoftLink("/events/x")  # followed inside the file
    return path


@pytest.mark.parametrize("how, needle", [
    ("external link", "/events/x is an external link to "),
    ("external storage", "the dataset /events/x is kept in other files (external storage): "),
    ("virtual dataset", "the dataset /events/x is a virtual dataset mapping data from other "
                        "files: "),
])
def test_data_from_other_files_only_when_allowed(tmp_path, how, needle):
    path = other_files(tmp_path, how)
    with pytest.raises(ReaderError) as err:
        read_events(path)
    assert needle in str(err.value) and "allowed with --allow-external" in str(err.value)
    source = open_source(path, allow_external=True)
    assert source.read()["x"][0] in (7, 9)
    assert any("read from" in note and "other file" in note for note in source.warnings)


def test_command_sample_and_allow_external(capsys, tmp_path):
    pytest.importorskip("nivra.viz.spikes")
    from nivra.viz.cli import main

    path, samples = spike_audio(tmp_path)
    page = tmp_path / "digit.html"
    assert main(["events", str(path), "--sample", "1", "-o", str(page)]) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[0] == (f'{path}: SHD/SSC spiking audio (HDF5), sample 1 of 4, label 11 '
                                   f'("digit 11"); 250 events read, 250 drawn; fields x=channel y=(none) t=t '
                                   f'p=(none); sensor 700 x 1 (from the file); none left out')
    assert err == "" and page.stat().st_size > 1000
    assert main(["events", str(path), "--sample", "-1"]) == 2
    assert "expected a number of at least 0" in capsys.readouterr().err
    linked = other_files(tmp_path, "external link")
    assert main(["events", str(linked), "-o", str(page)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("nivra-viz: error: ") and err.count("\n") == 1
    assert "/events/x is an external link to " in err and "--allow-external" in err
    assert main(["events", str(linked), "--allow-external", "-o", str(page)]) == 0
    assert "nivra-viz: warning: /events/x is read from another file (" in capsys.readouterr().err
