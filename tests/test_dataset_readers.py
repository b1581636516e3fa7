"""The files SNN datasets come in (N-MNIST .bin, AEDAT 2.0, AEDAT 3.1, SHD/SSC and DSEC-style
HDF5), written byte by byte by dataset_files.py: events read back exactly, the records that
are not pixel events skipped and counted, counters that wrap, files cut mid-record, and
the one-line errors for foreign files."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dataset_files as w
from nivra.viz.io import ReaderError, open_source, read_events

h5py = pytest.importorskip("h5py")


def same(rec, ev, names="xytp"):
    for name in names:
        np.testing.assert_array_equal(rec.events[name].astype(np.int64), ev[name], err_msg=name)


def nmnist(ev):
    return w.nmnist(ev["x"], ev["y"], ev["p"], ev["t"])


def aedat2_dvs128(ev):
    return w.aedat2_header() + w.aedat2_records(w.dvs128_address(ev["x"], ev["y"], ev["p"]), ev["t"])


def aedat2_davis(ev):
    return w.aedat2_header("eu.seebetter.ini.chips.davis.DAVIS240C") + \
        w.aedat2_records(w.davis_address(ev["x"], ev["y"], ev["p"], 180), ev["t"])


def aedat31(ev, source="DVS128", parts=4):
    data = w.aedat31_header(source)
    for i in np.array_split(np.arange(len(ev["t"])), parts):
        data += w.polarity_packet(ev["x"][i], ev["y"][i], ev["p"][i], ev["t"][i])
    return data


# format -> (file name, writer, sensor to draw events on, format named, sensor size read)
FORMATS = {
    "nmnist": ("digit.bin", nmnist, (34, 34), "N-MNIST .bin", (34, 34)),
    "ncaltech101": ("image_0001.bin", nmnist, (233, 172), "N-Caltech101 .bin", None),
    "aedat2-dvs128": ("cifar.aedat", aedat2_dvs128, (128, 128), "AEDAT 2.0 (DVS128)", (128, 128)),
    "aedat2-davis": ("davis.aedat", aedat2_davis, (240, 180), "AEDAT 2.0 (DAVIS240)", (240, 180)),
    "aedat31-dvs128": ("user01_fluorescent.aedat", aedat31, (128, 128), "AEDAT 3.1 (DVS128)",
                       (128, 128)),
    "aedat31-davis": ("rec.aedat", lambda ev: aedat31(ev, "DAVIS346B"), (346, 260),
                      "AEDAT 3.1 (DAVIS346)", (346, 260)),
}


@pytest.mark.parametrize("kind", FORMATS)
def test_dataset_files_read_back(tmp_path, kind):
    name, write, (width, height), fmt, size = FORMATS[kind]
    ev = w.events(4000, width, height, t0=1234)
    path = tmp_path / name
    path.write_bytes(write(ev))
    rec = read_events(path)
    assert (rec.format, rec.sensor_size, len(rec.events)) == (fmt, size, 4000)
    same(rec, ev)
    # Read in chunks the same; a window counted from the first event.
    source = open_source(path)
    assert np.array_equal(np.concatenate(list(source.chunks(999))), rec.events)
    assert source.skipped == {} and source.warnings == []
    win = read_events(path, start=20_000, end=50_000)
    inside = (ev["t"] - ev["t"][0] >= 20_000) & (ev["t"] - ev["t"][0] < 50_000)
    np.testing.assert_array_equal(win.events["t"], ev["t"][inside])


@pytest.mark.parametrize("kind, span", [("nmnist", 3 << 23), ("aedat2-dvs128", 5 << 31),
                                        ("aedat31-davis", 3 << 31)])
def test_timestamps_past_the_counter_wrap(tmp_path, kind, span):
    """Long recordings: the 23-bit N-MNIST stamps, AEDAT 2.0's int32 stamps and AEDAT 3.1's
    overflow counter all carry on past their wrap."""
    name, write, (width, height), _, _ = FORMATS[kind]
    ev = w.events(3000, width, height, t0=1000, step=2 * span // 3000)
    path = tmp_path / name
    if kind.startswith("aedat31"):  # one packet per overflow epoch, as cAER starts a new one
        epoch = ev["t"] >> 31
        path.write_bytes(w.aedat31_header("DAVIS346B") + b"".join(
            w.polarity_packet(ev["x"][epoch == e], ev["y"][epoch == e], ev["p"][epoch == e],
                              ev["t"][epoch == e]) for e in np.unique(epoch)))
        assert len(np.unique(epoch)) >= 3
    else:
        path.write_bytes(write(ev))
    rec = read_events(path)
    same(rec, ev)
    assert np.all(np.diff(rec.events["t"]) >= 0)


def test_aedat31_skips_and_counts_what_is_not_a_polarity_event(tmp_path):
    """A DAVIS recording as cAER writes it: frames, IMU samples and triggers between the
    polarity packets; events whose valid bit is 0 are not drawn either."""
    ev = w.events(3000, 346, 260)
    valid = np.ones(3000, np.int64)
    valid[::10] = 0
    parts = np.array_split(np.arange(3000), 3)
    data = w.aedat31_header("DAVIS346B") + w.frame_packet(2)
    for n, i in enumerate(parts):
        data += w.polarity_packet(ev["x"][i], ev["y"][i], ev["p"][i], ev["t"][i], valid[i])
        data += w.imu6_packet(7) + (w.special_packet(2) if n == 1 else w.frame_packet(1))
    data += w.packet(42, 16, 3, bytes(48))  # a type this reader does not know
    path = tmp_path / "davis346.aedat"
    path.write_bytes(data)
    source = open_source(path)
    events = source.read()
    keep = valid.astype(bool)
    np.testing.assert_array_equal(events["x"], ev["x"][keep])
    np.testing.assert_array_equal(events["t"], ev["t"][keep])
    assert source.skipped == {"frame events (APS)": 4, "IMU6 events": 21,
                              "special events (triggers, timestamp resets)": 2,
                              "invalid polarity events (valid bit 0)": 300,
                              "events of type 42": 3}
    assert source.warnings == []


def test_aedat2_davis_skips_aps_imu_and_special_events_and_turns_rows_over(tmp_path):
    ev = w.events(2000, 240, 180)
    address = w.davis_address(ev["x"], ev["y"], ev["p"], 180)
    aps = np.zeros(2000, bool)
    aps[::7] = True
    special = np.zeros(2000, bool)
    special[3::11] = True
    special &= ~aps
    address = np.where(aps, address | 1 << 31, address)
    address = np.where(special, address | 1 << 10, address)
    path = tmp_path / "davis.aedat"
    path.write_bytes(w.aedat2_header("eu.seebetter.ini.chips.davis.DAVIS240C")
                     + w.aedat2_records(address, ev["t"]))
    source = open_source(path)
    events = source.read()
    pixel = ~(aps | special)
    for name in "xytp":
        np.testing.assert_array_equal(events[name].astype(np.int64), ev[name][pixel])
    assert source.skipped == {"APS/IMU samples (address bit 31)": int(aps.sum()),
                              "special events (address bit 10)": int(special.sum())}


def test_aedat2_sensor_from_the_chip_line(tmp_path):
    ev = w.events(500, 128, 128)
    records = w.aedat2_records(w.dvs128_address(ev["x"], ev["y"], ev["p"]), ev["t"])
    path = tmp_path / "cifar10dvs.aedat"
    path.write_bytes(w.aedat2_header(chip=None) + records)  # MATLAB's writer names no chip
    source = open_source(path)
    assert source.sensor_size == (128, 128)
    assert "names no sensor" in source.warnings[0] and "DVS128 layout" in source.warnings[0]
    same(read_events(path), ev)
    chip = "ch.unizh.ini.jaer.chip.cochlea.CochleaAMS1c\u0085nivra-viz: error: forged"
    path.write_bytes(w.aedat2_header(chip) + records)
    with pytest.raises(ReaderError) as err:
        read_events(path)
    text = str(err.value)
    assert "CochleaAMS1c\\x85nivra-viz" in text and "layout this reader does not know" in text
    assert len(text.splitlines()) == 1


WRITERS = {
    "nmnist": ("digit.bin", lambda ev: nmnist(ev), 0, 5),
    "aedat2": ("rec.aedat", aedat2_dvs128, len(w.aedat2_header()), 8),
    "aedat31": ("rec.aedat", lambda ev: aedat31(ev, parts=3), len(w.aedat31_header()), 8),
}


@pytest.mark.parametrize("kind", WRITERS)
@pytest.mark.parametrize("cut", [1, 3, 101, 2001])
def test_a_file_cut_mid_record_gives_the_events_before_and_says_where(tmp_path, kind, cut):
    name, write, start, size = WRITERS[kind]
    ev = w.events(1000, 34, 34)
    data = write(ev)
    path = tmp_path / name
    path.write_bytes(data[:len(data) - cut])
    source = open_source(path)
    events = source.read()
    got = len(events)
    np.testing.assert_array_equal(events["t"], ev["t"][:got])
    assert got < 1000 and len(source.warnings) == 1
    text = source.warnings[0]
    assert text.startswith("the file ends inside") and text.endswith(f"the {got:,} events "
                                                                      f"before it are read")
    offset = int(text.split(" at byte ")[1].split()[0].rstrip(";").replace(",", ""))
    if kind == "aedat31":  # the packet cut short starts there; its whole events are read
        sizes = [len(i) for i in np.array_split(np.arange(1000), 3)]
        assert offset in start + np.cumsum([0] + [28 + 8 * n for n in sizes[:-1]])
    else:
        assert offset == start + got * size


def test_aedat31_damaged_packet_header(tmp_path):
    ev = w.events(900, 128, 128)
    data = bytearray(aedat31(ev, parts=3))
    second = len(w.aedat31_header()) + 28 + 300 * 8
    data[second + 4:second + 8] = (123456789).to_bytes(4, "little")  # its event size
    path = tmp_path / "rec.aedat"
    path.write_bytes(bytes(data))
    source = open_source(path)
    events = source.read()
    np.testing.assert_array_equal(events["t"], ev["t"][:300])
    assert source.warnings == [f"a damaged packet header at byte {second:,} (type 1, event "
                               f"size 123456789, 300 events); the 300 events before it are read"]


@pytest.mark.parametrize("name, data, needle", [
    ("noise.bin", np.random.default_rng(5).integers(0, 256, 5000, np.uint8).tobytes(),
     "not an N-MNIST/N-Caltech101 event file: its timestamps go back"),
    ("tiny.bin", b"\x01\x02", "holds no whole 5-byte event record"),
    ("old.aedat", b"#!AER-DAT1.0\r\n# jAER\r\n" + bytes(64), "AEDAT 1.0 files are not read"),
    ("plain.aedat", b"\x00\x01" * 40, "no '#!AER-DAT' version line"),
    ("open.aedat", b"#!AER-DAT3.1\r\n#Format: RAW\r\n" + bytes(64), "no '#!END-HEADER' line"),
    ("zip.aedat", b"#!AER-DAT3.1\r\n#Format: SerializedTS\r\n#!END-HEADER\r\n",
     "the event format 'SerializedTS' is not read"),
])
def test_foreign_files_give_one_line_errors(tmp_path, name, data, needle):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(ReaderError) as err:
        read_events(path)
    assert needle in str(err.value) and str(path) in str(err.value)
    assert "\n" not in str(err.value)


def test_format_told_by_content_before_name(tmp_path):
    ev = w.events(300, 128, 128)
    path = tmp_path / "recording.bin"  # an AEDAT file under N-MNIST's ending
    path.write_bytes(aedat31(ev))
    assert read_events(path).format == "AEDAT 3.1 (DVS128)"
    path.write_bytes(aedat2_dvs128(ev))
    assert read_events(path).format == "AEDAT 2.0 (DVS128)"


# --- HDF5 ----------------------------------------------------------------------------------

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
    same(read_events(path), ev)
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
