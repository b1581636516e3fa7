"""Event Stream (.es) files written byte by byte by eventstream_files.py: events read back
exactly over overflow and reset bytes and ATIS exposure measurements, in chunks, blocks
and resumed scans; files cut at every byte or damaged; the one-line refusals."""
import numpy as np
import pytest

import eventstream_files as w
from nivra.viz.io import ReaderError, open_source, read_events
from nivra.viz.io import eventstream

STEPS = [0, 1, 62, 63, 64, 126, 127, 128, 189, 190, 254, 1000, 123_457]


def recording(kind, n, seed=3, width=640, height=480, steps=STEPS):
    rng = np.random.default_rng(seed)
    ev = {"x": rng.integers(0, width, n), "y": rng.integers(0, height, n),
          "p": rng.integers(0, 2, n), "t": 17 + np.cumsum(rng.choice(steps, n))}
    exposure = rng.random(n) < 0.25 if kind == w.ATIS else np.zeros(n, bool)
    data, ends = w.events(kind, ev["x"], ev["y"], ev["p"], ev["t"], exposure=exposure,
                          resets=range(1, n, 5))
    return w.header(kind, width, height) + data, ev, exposure, ends


@pytest.mark.parametrize("kind, name, fmt", [(w.DVS, "rec.es", "Event Stream 2.0 DVS"),
                                             (w.ATIS, "rec.es", "Event Stream 2.0 ATIS"),
                                             (w.DVS, "told_by_content.bin", "Event Stream 2.0 DVS")])
def test_events_read_back_as_written(tmp_path, kind, name, fmt):
    data, ev, exposure, _ = recording(kind, 3000)
    path = tmp_path / name
    path.write_bytes(data)
    rec = read_events(path)
    assert (rec.format, rec.sensor_size) == (fmt, (640, 480))
    for field in "xytp":
        np.testing.assert_array_equal(rec.events[field], ev[field][~exposure], err_msg=field)
    assert rec.events["t"].dtype == np.int64
    skipped = int(exposure.sum())
    assert rec.notes == ([f"{skipped:,} ATIS exposure measurements (grey levels) not read"]
                         if skipped else [])


@pytest.mark.parametrize("kind", [w.DVS, w.ATIS])
def test_chunks_blocks_scans_and_windows_agree(tmp_path, monkeypatch, kind):
    monkeypatch.setattr(eventstream, "BLOCK_BYTES", 13)  # events straddle every block
    data, ev, exposure, _ = recording(kind, 400)
    path = tmp_path / "rec.es"
    path.write_bytes(data)
    source = open_source(path)
    whole = source.read()
    t = ev["t"][~exposure]
    assert source.time_span() == (t[0], t[-1])
    reused = [c.copy() for c in source.chunks_reusing(7, keep=2)]
    assert np.array_equal(np.concatenate(reused), whole)
    scan = list(source.scan(11))
    assert np.array_equal(np.concatenate([c for _, c in scan]), whole)
    for i, (position, _) in enumerate(scan):
        resumed = np.concatenate(list(source.chunks_from(position, 11)))
        assert np.array_equal(resumed, np.concatenate([c for _, c in scan[i:]]))
    lo, hi = t[50], t[300]
    got, _ = source.window(lo, hi)
    np.testing.assert_array_equal(got["t"], t[(t >= lo) & (t < hi)])


@pytest.mark.parametrize("kind", [w.DVS, w.ATIS])
def test_a_file_cut_at_every_byte(tmp_path, kind):
    data, ev, exposure, ends = recording(kind, 16, steps=STEPS[:-2])  # a few overflow bytes
    path = tmp_path / "cut.es"
    for cut in range(len(data)):
        path.write_bytes(data[:cut])
        whole = ends + 20 <= cut
        want = ev["t"][whole & ~exposure]
        try:
            source = open_source(path)
            got = source.read()["t"]
        except ReaderError as err:
            assert "\n" not in str(err) and (cut < 20 or not len(want)), (cut, err)
            continue
        np.testing.assert_array_equal(got, want)
        # Cut inside an event (past its first byte, not just after overflow bytes): said.
        inside = not whole.all() and cut > 20 + ends[np.argmin(whole)] - 5
        assert bool(source.warnings) == inside, cut
        if inside:
            assert source.warnings[0].startswith("the file ends inside an event")


def test_damaged_coordinates_end_the_read_where_they_are(tmp_path):
    data, ev, _, ends = recording(w.DVS, 100)
    damaged = bytearray(data)
    at = 20 + int(ends[59]) - 4  # x of event 60
    damaged[at:at + 2] = (7000).to_bytes(2, "little")
    path = tmp_path / "rec.es"
    path.write_bytes(bytes(damaged))
    source = open_source(path)
    np.testing.assert_array_equal(source.read()["t"], ev["t"][:59])
    assert source.warnings == [f"the event at byte {at - 1:,} lies at x 7000, y {ev['y'][59]}, "
                               f"outside the 640 x 480 sensor (damaged data); the 59 events "
                               f"before it are read"]


@pytest.mark.parametrize("data, needle", [
    (b"x,y,t,p\n1,2,3,0\n" * 4, "not an Event Stream file"),
    (w.header(w.DVS, 64, 64, version=(1, 0, 0)) + bytes(10), "version 1.0.0 files are not read"),
    (w.header(w.GENERIC) + bytes(10), "generic events"),
    (w.header(w.COLOUR, 64, 64) + bytes(16), "colour events are not read"),
    (w.header(3, 64, 64), "unknown event type 3"),
    (w.header(w.DVS, 0, 64), "the header gives a 0 x 64 sensor"),
    (w.header(w.ATIS, 64, 64)[:18], "the header ends after 18 bytes"),
    (w.header(w.ATIS, 64, 64), "no events could be decoded"),
], ids=["csv", "v1", "generic", "colour", "type3", "no-width", "cut-header", "empty"])
def test_refused_files_give_one_line_errors(tmp_path, data, needle):
    path = tmp_path / "rec.es"
    path.write_bytes(data)
    with pytest.raises(ReaderError) as err:
        read_events(path)
    assert needle in str(err.value) and str(path) in str(err.value)
    assert "\n" not in str(err.value)


@pytest.mark.parametrize("out, kind, error", [
    (np.zeros(4, [("t", "<i8"), ("x", "<i2"), ("y", "<u2"), ("p", "u1")]), 1, TypeError),
    (np.zeros(4, eventstream.DTYPE)[::2], 1, TypeError),
    (np.zeros(4, eventstream.DTYPE), 4, ValueError),
])
def test_the_decoder_refuses_what_it_cannot_write(out, kind, error):
    from nivra.viz.spikes import _decode_event_stream

    with pytest.raises(error):
        _decode_event_stream(bytes(50), out, kind, 10, 10, 0)


def test_command_summary(capsys, tmp_path):
    from nivra.viz.cli import main

    data, _, exposure, _ = recording(w.ATIS, 2000, width=304, height=240)
    path = tmp_path / "atis.es"
    path.write_bytes(data[:-2])
    assert main(["events", str(path), "-o", str(tmp_path / "p.html")]) == 0
    out, err = capsys.readouterr()
    read = int((~exposure[:-1]).sum())
    assert out.splitlines()[0].startswith(f"{path}: Event Stream 2.0 ATIS; {read:,} events read")
    assert "sensor 304 x 240 (from the file)" in out
    assert f"{int(exposure[:-1].sum()):,} ATIS exposure measurements (grey levels)" in out
    assert err.startswith("nivra-viz: warning: the file ends inside an event: 3 of its 5 bytes")


@pytest.mark.parametrize("kind", [w.DVS, w.ATIS])
def test_noise_after_a_header_gives_events_on_the_sensor_or_one_line(tmp_path, kind):
    rng = np.random.default_rng(kind)
    path = tmp_path / "noise.es"
    for _ in range(30):
        path.write_bytes(w.header(kind, 64, 48) + rng.integers(0, 256, rng.integers(0, 300),
                                                                np.uint8).tobytes())
        try:
            events = open_source(path).read()
        except ReaderError as err:
            assert "\n" not in str(err)
            continue
        assert events["x"].max() < 64 and events["y"].max() < 48
        assert np.all(np.diff(events["t"]) >= 0)
