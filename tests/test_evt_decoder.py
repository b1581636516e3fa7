"""Our decoder of Prophesee files (EVT 3.0, EVT 2.0, EVT 2.1, DAT) against expelliarmus on
the files its writer makes and on ours, against the events our writer encoded, on every
word type, on wraps, cut files, damaged words and foreign data; and what the command says."""
import json
import tempfile
from pathlib import Path

import numpy as np
import pytest

import evt_writers as w
from nivra.viz.cli import main
from nivra.viz.io import ReaderError, open_source, read_events

FIELDS = ["t", "x", "y", "p"]
WRITERS = {"evt3": w.evt3, "evt2": w.evt2, "evt21": w.evt21, "dat": w.dat}
WORD = {"evt3": 2, "evt2": 4, "evt21": 8, "dat": 8}


def same(a, b):
    assert len(a) == len(b)
    for f in FIELDS:
        assert np.array_equal(a[f].astype(np.int64), b[f].astype(np.int64)), f


def expelliarmus_read(path, encoding):
    ex = pytest.importorskip("expelliarmus")
    return ex.Wizard(encoding=encoding, fpath=str(path)).read()


@pytest.mark.parametrize("encoding", ["evt3", "evt2", "dat"])
def test_files_of_expelliarmus_writer(tmp_path, encoding):
    ex = pytest.importorskip("expelliarmus")
    ev = w.events(20_000, t0=5_000_000)
    if encoding == "evt3":  # its writer gives no time-high word after the first: short spans only
        ev["t"] = (1221 << 12) + np.arange(len(ev)) // 8
    else:
        ev["t"] += np.arange(len(ev)) * 1_000
    path = tmp_path / ("rec.dat" if encoding == "dat" else "rec.raw")
    ex.Wizard(encoding=encoding).save(str(path), ev)
    ours = read_events(path)
    same(ours.events, expelliarmus_read(path, encoding))
    same(ours.events, ev)
    assert ours.notes == []


@pytest.mark.parametrize("encoding", ["evt3", "evt2", "evt21", "dat"])
def test_files_of_our_writer(tmp_path, encoding):
    ev = w.events(5_000)
    path = w.write(tmp_path / ("rec.dat" if encoding == "dat" else "rec.raw"), WRITERS[encoding](ev))
    rec = read_events(path)
    same(rec.events, ev)
    assert rec.sensor_size == (640, 480)
    chunks = list(open_source(path).chunks(100))  # small chunks resume the state exactly
    same(np.concatenate(chunks), ev)
    if encoding in ("evt2", "dat"):  # it reads no EVT 2.1, nor time-high words of EVT 3.0
        same(rec.events, expelliarmus_read(path, encoding))


def test_evt3_vectors_and_time_low_steps():
    words = w.evt3_words(w.events(3_000))
    assert sum((x >> 12) == 0x4 for x in words) > 300  # vectors were written
    # time low steps back without a time-high change: time goes back, no wrap
    data = w.header("evt3") + np.array([0x8001, 0x6064, 0x0005, 0x2007, 0x605A, 0x2008,
                                        0x3010, 0x5081], "<u2").tobytes()
    t = decode_bytes(data)
    assert t["t"].tolist() == [4196, 4186, 4186, 4186]
    assert t["x"].tolist() == [7, 8, 16, 23] and set(t["y"].tolist()) == {5}


def decode_bytes(data):
    with tempfile.TemporaryDirectory() as d:
        path = Path(d) / "w.raw"
        path.write_bytes(data)
        return read_events(path).events


@pytest.mark.parametrize("encoding, every, extra, counted", [
    ("evt3", 2, [0x9999] * 3, {"padding or unknown words": 3}),  # mostly padding: still EVT 3.0
    ("evt3", 97, [0xA001, 0xE123, 0xF456, 0x7004, 0x9999], {"trigger events": 1, "vendor 'others' words": 1,
                                                        "continuation words": 2, "padding or unknown words": 1}),
    ("evt2", 97, [0xA0000101, 0xE0000001, 0xF0000002, 0x99999999], {"trigger events": 1, "vendor 'others' words": 1,
                                                                 "continuation words": 1,
                                                                 "padding or unknown words": 1}),
    ("evt21", 97, [0xA0000101, 0xE0000001], {"trigger events": 1, "vendor 'others' words": 1}),
])
def test_words_not_drawn_are_counted(tmp_path, encoding, every, extra, counted):
    ev = w.events(2_000)
    path = w.write(tmp_path / "rec.raw", WRITERS[encoding](ev, every=every, extra=extra))
    source = open_source(path)
    same(source.read(), ev)
    n = (len(WRITERS[encoding](ev)) - len(w.header(encoding))) // WORD[encoding] // every  # insertions
    assert source.skipped == {label: k * n for label, k in counted.items()}


@pytest.mark.parametrize("encoding, bits", [("evt3", 24), ("evt2", 34), ("evt21", 34)])
def test_time_high_wraps(tmp_path, encoding, bits):
    ev = w.events(40)
    ev["t"] = np.arange(40) * ((3 << bits) // 4 // 40 * 4 // 3)  # a time-high word every 3/4 range
    ev["t"][20:] += 2 << bits  # ... and after two wraps
    ev["t"][20:] -= ev["t"][20] - ev["t"][19] - 1  # one step on: the counter wrapped twice
    ev["t"] = np.sort(np.concatenate([ev["t"][:20], (np.arange(20) + 1) * ((1 << bits) // 3) + ev["t"][19]]))
    path = w.write(tmp_path / "rec.raw", WRITERS[encoding](ev))
    same(read_events(path).events, ev)


@pytest.mark.parametrize("encoding", ["evt3", "evt2", "evt21", "dat"])
def test_cut_at_every_offset(tmp_path, encoding):
    ev = w.events(30)
    data = WRITERS[encoding](ev)
    full = read_events(w.write(tmp_path / "full.raw", data)).events
    start = data.index(b"Height 480\n") + 13 if encoding == "dat" else data.index(b"% end\n") + 6
    path = tmp_path / "cut.raw"
    for cut in range(0, len(data)):
        path.write_bytes(data[:cut])
        try:
            rec = read_events(path)
        except ReaderError as exc:
            assert "\n" not in str(exc)
            continue
        assert cut > start
        same(rec.events, full[:len(rec.events)])
        partial = (cut - start) % WORD[encoding]
        assert bool(rec.notes) == bool(partial), (cut, rec.notes)
        if partial:
            assert rec.notes == [f"decoding stopped at byte {cut - partial:,} (the file ends inside a "
                                 f"{WORD[encoding]}-byte word); {len(rec.events):,} events read before it"]


@pytest.mark.parametrize("data, match", [
    (b"% evt 3.0\n% geometry 64", "ends inside its header"),
    (b"% evt 3.0\n% end\n", "ends right after its header"),
    (w.header("evt3")[:-6] + b"% end\n" + np.array(w.evt2_words(w.events(300)), "<u4").tobytes(),
     "the header says EVT 3.0, but the data reads as EVT 2.0"),
    (w.header("evt2") + bytes(range(256)) * 8, "not EVT 2.0 words"),
    (w.dat(w.events(10), event_type=0x0E), "not a DAT file of camera"),
])
def test_files_refused(tmp_path, data, match):
    path = w.write(tmp_path / ("rec.dat" if b"CD events" in data else "rec.raw"), data)
    with pytest.raises(ReaderError, match=match):
        read_events(path)


@pytest.mark.parametrize("encoding", ["evt3", "evt2", "evt21"])
def test_encoding_told_from_the_words_when_the_header_names_none(tmp_path, encoding):
    """Files of older cameras have no '% evt' or '% format' line."""
    ev = w.events(5_000)
    data = WRITERS[encoding](ev)
    start = data.index(b"% format")
    data = data[:start] + b"% geometry 640x480\n" + data[data.index(b"\n", start) + 1:]
    rec = read_events(w.write(tmp_path / "old.raw", data))
    same(rec.events, ev)
    name = {"evt3": "EVT 3.0", "evt2": "EVT 2.0", "evt21": "EVT 2.1"}[encoding]
    assert rec.format == f"Prophesee {name} (told from its words: the header names no encoding)"
    noise = w.write(tmp_path / "noise.raw", data[:data.index(b"% end") + 6] + bytes(range(256)) * 8)
    with pytest.raises(ReaderError, match="the header names no encoding"):
        read_events(noise)


def test_damaged_vector_stops_with_offset(tmp_path):
    data = w.header("evt3") + np.array([0x8001, 0x6001, 0x0002, 0x2003, 0x37FC, 0x4FFF, 0x2004],
                                       "<u2").tobytes()
    path = w.write(tmp_path / "bad.raw", data)
    rec = read_events(path)
    assert rec.events["x"].tolist() == [3]
    offset = len(w.header("evt3")) + 10
    assert rec.notes == [f"decoding stopped at byte {offset} (a word that cannot be right); "
                         f"1 events read before it"]


def test_any_name_camera_model_and_summary(tmp_path, capsys):
    ev = w.events(3_000)
    data = w.evt3(ev, every=50, extra=[0xA001])
    data = data.replace(b";height=480;width=640", b"").replace(b"% end\n", b"% plugin_name hal_plugin_gen31_fx3\n% end\n")
    path = w.write(tmp_path / "recording.evt", data[:-1])  # cut inside the last word
    rec = read_events(path)
    assert rec.sensor_size == (640, 480) and rec.format == "Prophesee EVT 3.0"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["recording.evt"]  # no link beside it
    code = main(["events", str(path), "-o", str(tmp_path / "page.html")])
    out, err = capsys.readouterr()
    assert code == 0
    assert "sensor 640 x 480 (from the camera model)" in out
    assert "trigger events" in out and "decoding stopped at byte" in err


@pytest.mark.parametrize("encoding", ["evt3", "evt2", "evt21", "dat"])
def test_windows_and_span_without_building_what_comes_before(tmp_path, encoding):
    ev = w.events(4_000)
    ev["t"][2_000] -= 3  # time may step back a little
    path = w.write(tmp_path / ("rec.dat" if encoding == "dat" else "rec.raw"), WRITERS[encoding](ev))
    source = open_source(path)
    t = ev["t"].astype(np.int64)
    assert source.time_span() == (t.min(), t.max())
    lo = int(t[2_000]) + 2 - int(t.min())
    rec = read_events(path, start=lo, end=lo + 5_000)
    rel = t - t.min()
    want = ev[(rel >= lo) & (rel < lo + 5_000)]
    same(rec.events, want)
    assert rec.outside_window == len(ev) - len(want)
    skip = source.skip_before(int(t.min()) + lo)
    assert 0 < skip.count <= int(np.count_nonzero(rel < lo))


@pytest.mark.parametrize("window", [(None, None), (20_000, 60_000), (20_000, None)])
def test_page_of_a_camera_file_is_the_page_of_its_events(tmp_path, monkeypatch, window):
    from nivra.viz import recording_page, spikes
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    ev = w.events(6_000)
    raw = w.write(tmp_path / "rec.raw", w.evt3(ev, every=40, extra=[0xA001]))
    npy = tmp_path / "rec.npy"
    np.save(npy, ev)
    kw = dict(start=window[0], end=window[1], sensor=(640, 480), n_frames=5, grid_bins=2, raster_bins=9)
    a = recording_page.make_page(raw, tmp_path / "a.html", in_memory_bytes=0, chunk_events=700, **kw)
    b = recording_page.make_page(npy, tmp_path / "b.html", **kw)
    assert a.chunked and a.passes <= 2 and a.left_out == b.left_out
    assert a.not_drawn == {"trigger events": len(w.evt3_words(ev)) // 40}
    doc_a, doc_b = (json.loads(json.dumps(page_doc(p))) for p in (tmp_path / "a.html", tmp_path / "b.html"))
    assert doc_a == doc_b


def page_doc(path):
    html = path.read_text()
    start = html.index('{"event_count"')
    return json.JSONDecoder().raw_decode(html[start:])[0]


@pytest.mark.parametrize("state, out, error", [
    (np.zeros(19, np.int32), None, ValueError),            # not int64 slots
    (np.zeros(18, np.int64), None, ValueError),            # too few
    (np.array([7] + [0] * 18, np.int64), None, ValueError),  # no such encoding
    ([3] + [0] * 18, None, TypeError),
    (np.array([3] + [0] * 18, np.int64), np.zeros(8, w.DTYPE), ValueError),   # room for fewer than 32
    (np.array([3] + [0] * 18, np.int64), np.zeros(64, np.int64), ValueError),  # not 16-byte records
])
def test_decoder_refuses_bad_arguments(state, out, error):
    from nivra.viz import spikes
    with pytest.raises(error):
        spikes._evt_decode(b"\x00\x80" * 8, state, out)
