"""Event recordings read from every file format: the events and the sensor size the file
records, time windows, time units, and one-line errors for damaged, foreign or unknown files."""
import sys

import evt_writers
import numpy as np
import pytest

from nivra.viz.io import ReaderError, open_source, read_events

N = 5000


def camera_events(n=N, width=640, height=480, seed=3):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, [("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1")])
    ev["t"] = np.sort(rng.integers(1_000, 2_000_000, n))
    ev["x"], ev["y"], ev["p"] = rng.integers(0, width, n), rng.integers(0, height, n), rng.integers(0, 2, n)
    return ev


def write_prophesee(path, ev, encoding, header_line=b"% geometry 640x480\n"):
    expelliarmus = pytest.importorskip("expelliarmus")
    expelliarmus.Wizard(encoding=encoding).save(str(path), ev)
    data = path.read_bytes()
    cut = data.index(b"\n") + 1  # a sensor line as the cameras write it, after the first line
    path.write_bytes(data[:cut] + header_line + data[cut:])
    return path


def write_aedat4(path, ev):
    dv = pytest.importorskip("dv_processing")
    pytest.importorskip("aedat")
    writer = dv.io.MonoCameraWriter(str(path), dv.io.MonoCameraWriter.EventOnlyConfig("cam", (640, 480)))
    store = dv.EventStore()
    for t, x, y, p in ev[["t", "x", "y", "p"]].tolist():
        store.push_back(t, x, y, bool(p))
    writer.writeEvents(store)
    del writer
    return path


def write_hdf5(path, ev, layout):
    h5py = pytest.importorskip("h5py")
    with h5py.File(path, "w") as f:
        if layout == "table":
            f.create_dataset("recording", data=ev, compression="gzip")
        else:
            group = f.create_group("events") if layout == "group" else f
            for name in "xytp":
                group.create_dataset(name, data=ev[name], chunks=True)
            group.attrs["width"], group.attrs["height"] = 640, 480
    return path


FORMATS = {
    "evt2": (".raw", lambda p, ev: write_prophesee(p, ev, "evt2"), "Prophesee EVT 2.0", (640, 480)),
    # expelliarmus's EVT 3.0 writer gives no time-high word after the first: ours instead
    "evt3": (".raw", lambda p, ev: evt_writers.write(p, evt_writers.evt3(ev)),
             "Prophesee EVT 3.0", (640, 480)),
    "dat": (".dat", lambda p, ev: write_prophesee(p, ev, "dat", b"% Width 640\n% Height 480\n"),
            "Prophesee DAT", (640, 480)),
    "aedat4": (".aedat4", write_aedat4, "AEDAT4", (640, 480)),
    "hdf5-group": (".h5", lambda p, ev: write_hdf5(p, ev, "group"), "HDF5", (640, 480)),
    "hdf5-root": (".hdf5", lambda p, ev: write_hdf5(p, ev, "root"), "HDF5", (640, 480)),
    "hdf5-table": (".h5", lambda p, ev: write_hdf5(p, ev, "table"), "HDF5", None),
}


@pytest.mark.parametrize("kind", FORMATS)
def test_camera_formats(tmp_path, kind):
    suffix, write, fmt, size = FORMATS[kind]
    ev = camera_events()
    path = write(tmp_path / f"rec{suffix}", ev)
    rec = read_events(path)
    assert (rec.format, rec.sensor_size, len(rec.events)) == (fmt, size, N)
    for name in "txyp":
        np.testing.assert_array_equal(rec.events[name].astype(np.int64), ev[name].astype(np.int64))
    # a window, in microseconds after the first event
    rel = ev["t"] - ev["t"][0]
    inside = (rel >= 250_000) & (rel < 600_000)
    win = read_events(path, start=250_000, end=600_000)
    np.testing.assert_array_equal(win.events["t"].astype(np.int64), ev["t"][inside])
    assert win.outside_window in (None, N - inside.sum())  # None: stopped at the window's end
    assert len(read_events(path, start=10**9).events) == 0


@pytest.mark.parametrize("kind", FORMATS)
@pytest.mark.parametrize("damage", ["truncated", "garbage", "garbled", "foreign"])
def test_damaged_files_give_one_line_errors(tmp_path, kind, damage):
    suffix, write, fmt, _ = FORMATS[kind]
    path = write(tmp_path / f"rec{suffix}", camera_events(800))
    data = path.read_bytes()
    rng = np.random.default_rng(len(data))
    if damage == "truncated":
        path.write_bytes(data[: len(data) // 3])
    elif damage == "garbage":
        path.write_bytes(rng.integers(0, 256, 3000, dtype=np.uint8).tobytes())
    elif damage == "garbled":  # the start kept, the rest random
        path.write_bytes(data[:600] + rng.integers(0, 256, len(data) - 600, dtype=np.uint8).tobytes())
    else:  # another format's file under this name
        path.write_bytes(b"x,y,t,p\n1,2,3,1\n" if suffix != ".csv" else data[:50])
    for read in (lambda: read_events(path).events,
                 lambda: np.concatenate(list(open_source(path).chunks(100)) or [np.zeros(0)])):
        try:
            events = read()
        except ReaderError as exc:
            text = str(exc)
            assert "\n" not in text and str(path) in text, text
            continue
        assert damage in ("truncated", "garbled")  # what could be decoded, if anything


def test_unknown_and_missing_extras(tmp_path, monkeypatch):
    path = tmp_path / "mystery.dump"  # .bin is N-MNIST's
    path.write_bytes(bytes(range(256)) * 4)
    with pytest.raises(ReaderError, match="not a recording format known by its name or first bytes"):
        read_events(path)
    raw = write_prophesee(tmp_path / "rec.raw", camera_events(100), "evt3")
    no_header = tmp_path / "plain.raw"
    no_header.write_bytes(raw.read_bytes().replace(b"% evt 3.0", b"% xyz 3.0"))
    assert read_events(no_header).format.endswith("(told from its words: the header names no encoding)")
    h5 = write_hdf5(tmp_path / "rec.h5", camera_events(100), "group")
    monkeypatch.setitem(sys.modules, "expelliarmus", None)  # as if not installed
    monkeypatch.setitem(sys.modules, "h5py", None)
    assert len(read_events(raw).events) == 100  # our own decoder reads camera files
    with pytest.raises(ReaderError, match=r"needs the 'h5py' package; install it with: "
                                          r"pip install nivra-viz\[formats\]$"):
        read_events(h5)


def test_prophesee_file_under_another_name(tmp_path):
    raw = write_prophesee(tmp_path / "rec.raw", camera_events(300), "evt2")
    other = tmp_path / "rec.bin"
    other.write_bytes(raw.read_bytes())
    rec = read_events(other)
    assert rec.format == "Prophesee EVT 2.0" and len(rec.events) == 300


@pytest.mark.parametrize("unit, t, want", [
    ("ms", np.array([3, 5]), [3000, 5000]),
    ("ns", np.array([4000, 12_999]), [4, 12]),
    ("s", np.array([0.5, 1.25]), [500_000.0, 1_250_000.0]),
])
def test_time_units(tmp_path, unit, t, want):
    ev = np.zeros(2, [("x", "<u2"), ("t", t.dtype)])
    ev["t"] = t
    np.save(tmp_path / "r.npy", ev)
    assert read_events(tmp_path / "r.npy", time_unit=unit).events["t"].tolist() == want
    win = read_events(tmp_path / "r.npy", start=0, end=want[1] - want[0], time_unit=unit)
    assert win.events["t"].tolist() == want[:1] and win.outside_window == 1


def test_npy_window_unsorted_and_sorted(tmp_path):
    ev = camera_events(2000)
    for name, arr in (("sorted", ev), ("shuffled", np.random.default_rng(1).permutation(ev))):
        np.save(tmp_path / f"{name}.npy", arr)
        win = read_events(tmp_path / f"{name}.npy", start=100_000, end=300_000)
        rel = arr["t"] - arr["t"].min()  # from the earliest event, in any order
        want = arr[(rel >= 100_000) & (rel < 300_000)]
        np.testing.assert_array_equal(np.sort(win.events["t"]), np.sort(want["t"]))
        assert win.outside_window == len(arr) - len(want)


# --- NumPy and text files ------------------------------------------------------------------


@pytest.mark.parametrize("text", [
    "x,y,t,p\n3,4,100,1\n5,6,250,0\n",
    "# x\ty\tt\tp\n3\t4\t100\t1\n5\t6\t250\t0\n",
    "x y t p\n3 4 100 1\n\n5  6 250 0\n",
    "x;y;t;p\r\n3;4;100;1\r\n5;6;250;0\r\n",
    '\ufeff"x","y","t","p"\n3,4,100,1\n5,6,250,0\n',
    ",x,y,t,p\n0,3,4,100,True\n1,5,6,250,False\n",  # pandas' index column, bool polarity
])
def test_csv_reader(tmp_path, text):
    path = tmp_path / "rec.txt"
    path.write_text(text, encoding="utf-8")
    ev = read_events(path).events
    assert ev.dtype.names == ("x", "y", "t", "p")
    assert ev.dtype["t"] == np.int64
    assert ev["x"].tolist() == [3, 5] and ev["t"].tolist() == [100, 250] and ev["p"].tolist() == [1, 0]


def test_csv_reader_dtypes_and_empty(tmp_path):
    path = tmp_path / "rec.csv"
    path.write_text("t,channel,p,weight\n10,3,-1,0.5\n20,4,1,2\n")
    ev = read_events(path).events
    assert [ev.dtype[n] for n in ev.dtype.names] == [np.int64, np.int64, np.int64, np.float64]
    assert ev["p"].tolist() == [-1, 1] and ev["weight"].tolist() == [0.5, 2.0]
    path.write_text("x,y,t,p\n")
    ev = read_events(path).events
    assert len(ev) == 0 and ev.dtype.names == ("x", "y", "t", "p")


def test_npy_recording_is_memory_mapped(tmp_path):
    path = tmp_path / "rec.npy"
    ev = camera_events(100)
    np.save(path, ev)
    rec = read_events(path)
    assert isinstance(rec.events, np.memmap) and rec.format == "NumPy .npy"
    np.testing.assert_array_equal(np.asarray(rec.events), ev)
    other = tmp_path / "rec.bin"  # .npy content under another name
    other.write_bytes(path.read_bytes())
    assert isinstance(read_events(other).events, np.memmap)


def test_npz_arrays(tmp_path):
    path = tmp_path / "rec.npz"
    np.savez_compressed(path, meta=np.arange(3), events=camera_events(50))
    np.testing.assert_array_equal(read_events(path).events, camera_events(50))
    np.savez(path, a=camera_events(10), b=camera_events(20))
    np.testing.assert_array_equal(read_events(path, array="b").events, camera_events(20))
    with pytest.raises(ReaderError, match=r"no array named 'c'; it holds the arrays a \({t: <i8"):
        read_events(path, array="c")
