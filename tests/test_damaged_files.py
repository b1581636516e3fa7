"""Damaged and hostile files end in one line (or a page with a warning saying what was left
out), within seconds, and leave nothing behind: files under the wrong name, archives that
declare more than memory holds, readers that abort their process, lengths that differ from
their headers, names that try to forge a message line, runs that are killed."""
import io
import os
import signal
import subprocess
import sys
import time
import zipfile

import numpy as np
import pytest

from nivra.viz import output
from nivra.viz.io import ReaderError, arrays, open_source, read_events
from nivra.viz.io.magic import describe

from test_cli import run
from test_event_readers import camera_events

EVENTS = np.dtype([("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1")])


def npy_bytes(a):
    buf = io.BytesIO()
    np.save(buf, a)
    return buf.getvalue()


def header_only(dtype, shape):
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": np.lib.format.dtype_to_descr(np.dtype(dtype)),
                                                "fortran_order": False, "shape": shape})
    return buf.getvalue()


def one_line(exc):
    text = str(exc)
    assert "\n" not in text and "\r" not in text and "b'" not in text, text
    return text


# --- files under the wrong name -------------------------------------------------------

@pytest.mark.parametrize("head, kind", [
    (b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "a PNG image"),
    (b"\xff\xd8\xff\xe0\0\x10JFIF", "a JPEG image"),
    (b"%PDF-1.7\n", "a PDF document"),
    (b"\x80\x04\x95\x10\0\0\0", "a Python pickle"),
])
def test_a_file_renamed_npy_says_what_it_holds(tmp_path, head, kind):
    path = tmp_path / "rec.npy"
    path.write_bytes(head + bytes(200))
    with pytest.raises(ReaderError) as err:
        open_source(path)
    assert one_line(err.value) == f"{path}: not a NumPy .npy file: it holds {kind}"
    assert describe(head) == kind


def test_unknown_bytes_are_shown_as_hex(tmp_path):
    path = tmp_path / "rec.npy"
    path.write_bytes(b"\x01\nnivra-viz: ok" + bytes(50))
    with pytest.raises(ReaderError) as err:
        open_source(path)
    assert one_line(err.value) == (f"{path}: damaged, or not a NumPy .npy file: its first "
                                   f"bytes are 01 0a 6e 69 76 72 61 2d")


# --- lengths that differ from the header ------------------------------------------------

@pytest.mark.parametrize("cut, records, warning", [
    (-130, 990, "the file is shorter than its header says: 990 of 1,000 records read, "
                "the other 10 left out"),
    (3, 1000, "the file holds 3 bytes more than its header declares after the last of its "
              "1,000 records; they were left out"),
])
def test_npy_longer_or_shorter_than_its_header_warns(tmp_path, cut, records, warning):
    ev = np.zeros(1000, EVENTS)
    ev["t"] = np.arange(1000)
    data = npy_bytes(ev)
    path = tmp_path / "rec.npy"
    path.write_bytes(data[:cut] if cut < 0 else data + b"x" * cut)
    rec = read_events(path)
    assert len(rec.events) == records and rec.notes == [warning]
    assert np.array_equal(rec.events["t"], ev["t"][:records])


def test_short_frame_file_warns_on_the_command_line(tmp_path, capsys):
    frames = np.arange(4 * 8 * 8, dtype=np.uint8).reshape(4, 8, 8)
    path = tmp_path / "frames.npy"
    path.write_bytes(npy_bytes(frames)[:-70])
    code, _, err = run(capsys, "frames", path)
    assert code == 0
    assert "warning: the file is shorter than its header says: 2 of 4 frames read" in err


# --- .npz archives: declared sizes and damage ---------------------------------------------

def test_npz_declaring_more_than_memory_is_refused_before_inflating(tmp_path):
    path = tmp_path / "bomb.npz"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("events.npy", header_only(EVENTS, (40 * 2**30 // EVENTS.itemsize,)))
    with pytest.raises(ReaderError) as err:
        open_source(path)
    assert one_line(err.value).startswith(f"{path}: array 'events' declares 42.9 GB (shape "
                                          f"(3303820996,)), more than the page could use")


def test_deflate_bomb_is_refused_by_its_declared_size(tmp_path, monkeypatch):
    zeros = np.zeros(8 << 20, np.uint8)  # 8 MiB of zeros, some kilobytes deflated
    path = tmp_path / "bomb.npz"
    np.savez_compressed(path, frames=zeros.reshape(8, 1024, 1024))
    assert path.stat().st_size < 100_000
    monkeypatch.setattr(arrays, "available_memory", lambda: 4 << 20)
    with pytest.raises(ReaderError) as err:
        arrays.load_frames(path)
    assert one_line(err.value) == (
        f"{path}: array 'frames' declares 8.4 MB (shape (8, 1024, 1024)), more than the page "
        f"could use here (half of the 4.2 MB of memory available); nothing was inflated")


def test_damaged_npz_header_is_one_line_without_raw_bytes(tmp_path):
    data = bytearray(npy_bytes(np.zeros(10, EVENTS)))
    data[12:20] = b"\n\x00'\x9f\x07x\n{"  # inside the header's dict
    path = tmp_path / "rec.npz"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("ev\nnivra-viz: forged.npy", bytes(data))
    with pytest.raises(ReaderError) as err:
        open_source(path)
    assert one_line(err.value) == (f"{path}: damaged or unsupported array file (array "
                                   f"ev\\nnivra-viz: forged): its array header cannot be parsed")


def test_npz_listing_escapes_member_and_field_names(tmp_path, capsys):
    path = tmp_path / "rec.npz"
    forged = np.zeros(3, [("t\nnivra-viz: x", "<i8"), ("x", "<i2")])
    np.savez(path, **{"a\rb": forged, "other": forged})
    code, _, err = run(capsys, "events", path)
    assert code == 1 and err.count("\n") == 1
    assert "a\\rb ({t\\nnivra-viz: x: <i8, x: <i2}" in err


# --- AEDAT4: a decoder that aborts its process -------------------------------------------

def aedat4_zstd(path, n=3000):
    dv = pytest.importorskip("dv_processing")
    pytest.importorskip("aedat")
    config = dv.io.MonoCameraWriter.EventOnlyConfig("cam", (640, 480), dv.CompressionType.ZSTD)
    writer = dv.io.MonoCameraWriter(str(path), config)
    store = dv.EventStore()
    for t, x, y, p in camera_events(n)[["t", "x", "y", "p"]].tolist():
        store.push_back(t, x, y, bool(p))
    writer.writeEvents(store)
    del writer
    return path


def test_aedat4_that_aborts_the_decoder_is_one_line(tmp_path, capsys):
    path = aedat4_zstd(tmp_path / "rec.aedat4")
    assert len(read_events(path).events) == 3000
    data = path.read_bytes()
    at = data.index(b'type="string">events</attr>') + 24
    path.write_bytes(data[:at] + b"\xde" + data[at + 1:])  # invalid UTF-8 in the stream list
    code, out, err = run(capsys, "events", path, "-o", tmp_path / "page.html")
    assert code == 1 and out == ""
    assert err.startswith(f"nivra-viz: error: {path}: AEDAT4: damaged file (") and err.count("\n") == 1
    assert not list(tmp_path.glob(".page-*"))


@pytest.mark.parametrize("keep", [0, 17, 40])
def test_aedat4_too_short_for_its_header_is_refused(tmp_path, keep):
    path = aedat4_zstd(tmp_path / "rec.aedat4", 100)
    path.write_bytes(path.read_bytes()[:keep] if keep else b"#!AER-DAT4.0")
    with pytest.raises(ReaderError) as err:
        open_source(path)
    assert "too short to hold a header" in one_line(err.value) \
        or "ends inside its header" in str(err.value)


def test_aedat4_packet_past_its_data_table_is_not_dropped_silently(tmp_path):
    path = aedat4_zstd(tmp_path / "rec.aedat4")
    data = path.read_bytes()
    first = 18 + int.from_bytes(data[14:18], "little")
    packets, at = [], first
    while at + 8 <= len(data) and int.from_bytes(data[at:at + 4], "little") == 0:
        packets.append((at, at + 8 + int.from_bytes(data[at + 4:at + 8], "little")))
        at = packets[-1][1]
    # One packet more than the table lists: a copy of the last one where the table began.
    last = data[packets[-1][0]:at]
    path.write_bytes(data[:at] + last + data[at:])
    rec = read_events(path)
    assert len(rec.events) == 3000 and rec.notes == [
        f"the decoder stops at byte {at:,}, where the header says the data table starts; "
        f"1 event packet after it left out"]


# --- what runs leave behind -----------------------------------------------------------

def test_stale_temporaries_of_killed_runs_are_removed(tmp_path):
    page = tmp_path / "rec.html"
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    stale = tmp_path / f".rec-{dead.pid:x}-0a1b.tmp.html"
    live = tmp_path / f".rec-{os.getppid():x}-0a1b.tmp.html"  # a run still going
    other = tmp_path / ".rec-notours.tmp.html"
    for path in (stale, live, other):
        path.write_text("half a page")
    with output.replacing(page) as tmp:
        assert output.remove_stale_temporaries(page) == []  # not our own, in progress
        tmp.write_text("page")
    assert not stale.exists() and live.exists() and other.exists()
    assert page.read_text() == "page"


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129),
                                         (signal.SIGINT, 130)])
def test_a_signalled_run_unwinds_and_leaves_no_temporary(tmp_path, sig, status):
    ev = np.zeros(100, EVENTS)
    ev["t"] = np.arange(len(ev))
    source = tmp_path / "rec.npy"
    source.write_bytes(npy_bytes(ev))
    # Python leaves SIGINT ignored when its launcher ignored it (a job started in the
    # background of a script): the child takes the interactive default whatever ran the tests.
    # It sleeps in short steps: the kernel may hand the signal to another thread (BLAS
    # workers), and then only the next step of the main thread sees it.
    code = f"""
import signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
from nivra.viz import cli, recording_page
def slow(path, tmp, **kw):
    open(tmp, "w").write("partial")
    print("writing", flush=True)
    for _ in range(300):
        time.sleep(0.1)
recording_page.make_page = slow
sys.exit(cli.main(["events", {str(source)!r}]))
"""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "writing\n"
    assert list(tmp_path.glob(".rec-*.tmp.html"))
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=10)
    assert proc.returncode == status, err
    assert err.count("\n") == 1 and err.startswith("nivra-viz: ")
    assert not list(tmp_path.glob(".rec-*"))


def test_field_names_of_a_recording_without_time_are_escaped(tmp_path, capsys):
    path = tmp_path / "rec.npy"
    np.save(path, np.zeros(3, [("x", "<i2"), ("when\nnivra-viz: all good", "<i8")]))
    code, _, err = run(capsys, "events", path)
    assert code == 1 and err.count("\n") == 1 and "when\\nnivra-viz: all good" in err
