"""The viewer's server side: the opening pass (index, activity, totals, hot pixels), frames
equal to NumPy's count of the window's events, the routes' answers to hostile requests,
the token, concurrent and broken connections, a bounded load test, the command line."""
import http.client
import importlib.util
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from view_support import DTYPE, numpy_frame, scene  # noqa: E402

pytestmark = pytest.mark.skipif(importlib.util.find_spec("nivra.viz.spikes") is None,
                                reason="spikes module not built yet")

from nivra.viz.view import Viewer, ViewError, recording as recmod  # noqa: E402
from nivra.viz.view.catalog import Catalog  # noqa: E402
from nivra.viz.view.routes import Routes  # noqa: E402


def _save(tmp_path, name, ev):
    path = tmp_path / name
    np.save(path, ev)
    return path


def _open(path, index_events=997, **kw):
    return recmod.Recording(Path(path), index_events=index_events, **kw)


def _frame_matches(rec, ev, start, window, t_field="t"):
    frame = rec.frame(start, window)
    counts, n = frame.dense(rec.sensor), frame.events
    assert frame.on.dtype == np.float32 and np.all(np.diff(frame.idx) > 0)
    lo, hi = rec.window_bounds(start, window)
    sel = ev[(ev[t_field] >= lo) & (ev[t_field] < hi)]
    ref = numpy_frame(sel.astype([("t", "f8"), ("x", "i8"), ("y", "i8"), ("p", "i8")])
                      if t_field != "t" else sel, -np.inf, np.inf, rec.sensor)
    np.testing.assert_array_equal(counts, ref)
    assert n == ref.sum()


@pytest.fixture(scope="module")
def sorted_events():
    return scene(60_000, width=320, height=240, duration_us=600_000, seed=3)


WINDOWS = [(0, 10_000), (123_457, 10_000), (0, 1), (599_000, 10_000), (250_000, 300_000),
           (599_998, 1), (1_000, 10_000_000)]


@pytest.mark.parametrize("order", ["sorted", "unsorted"])
def test_frames_equal_numpy_counts(tmp_path, sorted_events, order):
    ev = sorted_events.copy()
    if order == "unsorted":
        # blocks swapped about, as when recordings are concatenated out of order
        blocks = np.array_split(ev, 17)
        ev = np.concatenate([blocks[i] for i in np.random.default_rng(0).permutation(17)])
        ev = ev.astype([("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")])  # as AEDAT4 has
    rec = _open(_save(tmp_path, "rec.npy", ev))
    assert rec.sorted == (order == "sorted")
    assert rec.count == len(ev) and rec.t_min == int(ev["t"].min())
    assert rec.duration_us == int(ev["t"].max() - ev["t"].min())
    for start, window in WINDOWS:
        _frame_matches(rec, ev, min(start, rec.duration_us), window)
    np.testing.assert_array_equal(rec.totals, numpy_frame(ev, -np.inf, np.inf, rec.sensor))
    assert rec.activity.counts.sum() == len(ev)
    assert len(rec.hot) == 1 and rec.hot[0] == 21 * 320 + 37


def test_sensor_given_units_negative_and_no_polarity(tmp_path):
    rng = np.random.default_rng(5)
    n = 20_000
    ev = np.zeros(n, [("ts", "<f8"), ("x", "<i2"), ("y", "<i2")])
    ev["ts"] = np.sort(rng.uniform(10.0, 12.0, n))            # seconds
    ev["x"] = rng.integers(-3, 70, n)
    ev["y"] = rng.integers(-2, 50, n)
    path = _save(tmp_path, "sec.npy", ev)
    rec = _open(path, sensor=(64, 40), time_unit="s")
    assert rec.sensor == (64, 40) and rec.sensor_from == "given"
    x, y = ev["x"], ev["y"]
    negative = int(np.count_nonzero((x < 0) | (y < 0)))
    outside = int(np.count_nonzero((x >= 0) & (y >= 0) & ((x >= 64) | (y >= 40))))
    assert (rec.negative, rec.outside) == (negative, outside)
    assert rec.drawn == n - negative - outside == int(rec.totals.sum())
    assert rec.info()["left_out"] == {"outside the sensor": outside, "negative coordinates": negative}
    us = ev.copy()
    us["ts"] = ev["ts"] * 1e6
    us = us.astype([("t", "f8"), ("x", "i2"), ("y", "i2")])
    frame = rec.frame(500_000, 20_000)
    counts, n_win = frame.dense(rec.sensor), frame.events
    lo, hi = rec.window_bounds(500_000, 20_000)
    sel = us[(us["t"] >= lo) & (us["t"] < hi)]
    ok = (sel["x"] >= 0) & (sel["x"] < 64) & (sel["y"] >= 0) & (sel["y"] < 40)
    ref = np.zeros((40, 64), np.int64)
    np.add.at(ref, (sel["y"][ok], sel["x"][ok]), 1)
    np.testing.assert_array_equal(counts[0], ref)           # no polarity: all ON
    assert not counts[1].any() and n_win == ok.sum()


def test_activity_coarsens_and_stays_exact(tmp_path, monkeypatch, sorted_events):
    monkeypatch.setattr(recmod, "ACTIVITY_MAX_BINS", 64)
    rec = _open(_save(tmp_path, "rec.npy", sorted_events))
    act = rec.activity
    assert act.counts.shape[1] <= 64 and act.step == 16_000
    t = sorted_events["t"]
    edges = act.origin + (act.first + np.arange(act.counts.shape[1] + 1)) * act.step
    on = sorted_events["p"] > 0
    np.testing.assert_array_equal(act.counts[0], np.histogram(t[on], edges)[0])
    np.testing.assert_array_equal(act.counts[1], np.histogram(t[~on], edges)[0])


@pytest.mark.parametrize("order", ["sorted", "unsorted"])
def test_opening_counts_equal_numpy_steps(tmp_path, monkeypatch, order):
    """Left out: times NaN or infinite, coordinates below zero (a NaN float one too) or
    past the sensor (an int64 one past int32 stays out); the activity coarsened mid-scan."""
    monkeypatch.setattr(recmod, "ACTIVITY_MAX_BINS", 50)
    rng = np.random.default_rng(7)
    n = 30_000
    ev = np.zeros(n, [("t", "<f8"), ("x", "<f4"), ("y", "<i8"), ("p", "i1")])
    ev["t"] = np.sort(rng.uniform(-5e5, 5e6, n)).round()
    if order == "unsorted":
        ev = np.concatenate([ev[n // 2:], ev[:n // 2]])
    ev["x"] = rng.uniform(-2, 90, n)
    ev["y"] = rng.integers(-1, 70, n)
    ev["p"] = rng.integers(-1, 2, n)
    ev["x"][::997] = np.nan
    ev["y"][5] = 2 ** 32 + 3
    ev["t"][[3, 400]] = [np.nan, np.inf]
    rec = _open(_save(tmp_path, "rec.npy", ev), sensor=(80, 60))
    t = ev["t"]
    good = np.isfinite(t)
    with np.errstate(invalid="ignore"):
        x = ev["x"].astype(np.int32).astype(np.int64)
    y = ev["y"]
    neg = good & ((x < 0) | (y < 0))
    out = good & ~neg & ((x >= 80) | (y >= 60))
    drawn = good & ~neg & ~out
    assert (rec.bad_time, rec.negative, rec.outside, rec.drawn) == (2, neg.sum(), out.sum(), drawn.sum())
    assert rec.sorted == (order == "sorted") and rec.t_min == t[good].min() == rec.info()["first_time"]
    off = ev["p"] <= 0
    ref = np.zeros((2, 60, 80), np.int64)
    np.add.at(ref, (off[drawn].astype(int), y[drawn], x[drawn]), 1)
    np.testing.assert_array_equal(rec.totals, ref)
    act = rec.activity
    assert act.origin == t[good][0] and act.counts.shape[1] <= 50
    lo, hi = t[good].min() - act.origin, t[good].max() - act.origin
    assert hi // (act.step // 2) - lo // (act.step // 2) + 1 > 50   # no finer step fits
    edges = act.origin + (act.first + np.arange(act.counts.shape[1] + 1)) * act.step
    for c, sel in enumerate((good & ~off, good & off)):
        np.testing.assert_array_equal(act.counts[c], np.histogram(t[sel], edges)[0])


def test_single_instant_and_default_window(tmp_path):
    ev = np.zeros(5, DTYPE)
    ev["t"] = 42
    ev["x"] = [0, 1, 2, 3, 3]
    rec = _open(_save(tmp_path, "one.npy", ev))
    assert rec.duration_us == 0 and rec.default_window_us() == 1
    frame = rec.frame(0, rec.default_window_us())
    counts, n = frame.dense(rec.sensor), frame.events
    assert n == 5 and counts[1, 0, 3] == 2


@pytest.mark.parametrize("make, message", [
    (lambda p: np.save(p, np.zeros(0, DTYPE)), "no events"),
    (lambda p: np.save(p, np.zeros(3, [("a", "i4"), ("b", "i4")])), "no time or no x field"),
    (lambda p: np.save(p, np.array([(1, 9000, 1, 1)], DTYPE)), "give the sensor size"),
])
def test_unreadable_recordings_say_why(tmp_path, make, message):
    path = tmp_path / "bad.npy"
    make(path)
    with pytest.raises(ViewError, match=message):
        recmod.open_recording(path)


# --- routes ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def served(tmp_path_factory, sorted_events):
    path = tmp_path_factory.mktemp("rec") / "scene.npy"
    np.save(path, sorted_events)
    viewer = Viewer(path, port=0)
    yield viewer, sorted_events
    viewer.stop()


def _get(viewer, target, token=True, method="GET", headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=30)
    if token:
        target += ("&" if "?" in target else "?") + "token=" + viewer.token
    conn.request(method, target, headers=headers or {})
    res = conn.getresponse()
    body = res.read()
    conn.close()
    return res, body


@pytest.mark.parametrize("target, token, status, needle", [
    ("/", False, 401, "needs the token"),
    ("/api/frame?start=0&window=10", False, 401, "needs the token"),
    ("/api/frame?start=0&window=10&token=guess", False, 403, "wrong token"),
    ("/../../etc/passwd", True, 404, "no such page"),
    ("/api/../../etc/passwd", True, 404, "no such page"),
    ("/templates/view.html", True, 404, "no such page"),
    ("/api/frame?start=-5&window=10", True, 400, "start must be a number"),
    ("/api/frame?start=nan&window=10", True, 400, "start must be a number"),
    ("/api/frame?start=1e400&window=10", True, 400, "start must be a number"),
    ("/api/frame?start=0&window=inf", True, 400, "window must be a number"),
    ("/api/frame?start=0&window=abc", True, 400, "window must be a number"),
    ("/api/frame?start=0&window=0", True, 400, "window must be between"),
    ("/api/frame?start=0&window=99999999999", True, 400, "window must be between"),
    ("/api/frame?start=700000&window=10", True, 400, "start must be between"),
    ("/api/frame?start=0", True, 400, "window is missing"),
    ("/api/frame?start=0&start=1&window=10", True, 400, "more than once"),
    ("/api/frame?rec=1&start=0&window=10", True, 404, "no recording number 1"),
    ("/api/frame?rec=-1&start=0&window=10", True, 404, "no recording number"),
    ("/api/spikes?start=500&end=100", True, 400, "end must be after start"),
    ("/api/info?" + "&".join(f"k{i}=1" for i in range(40)), True, 400, "too many"),
])
def test_hostile_requests_get_a_one_line_reason(served, target, token, status, needle):
    viewer, _ = served
    res, body = _get(viewer, target, token=token)
    assert res.status == status, body
    assert body.endswith(b"\n") and body.count(b"\n") == 1
    assert needle in json.loads(body)["error"]
    # and the server still serves
    res, _ = _get(viewer, "/api/info")
    assert res.status == 200


def test_other_methods_and_malformed_requests(served):
    viewer, _ = served
    res, body = _get(viewer, "/api/info", method="POST")
    assert res.status == 405 and res.getheader("Allow") == "GET, HEAD"
    with socket.create_connection(("127.0.0.1", viewer.port), timeout=10) as s:
        s.sendall(b"\x16\x03\x01 garbage\r\n\r\n")
        reply = b""
        while chunk := s.recv(4096):
            reply += chunk
    assert reply.startswith(b"HTTP/1.1 400") and b'{"error"' in reply
    res, _ = _get(viewer, "/api/info", token=False, headers={"X-Nivra-Token": viewer.token})
    assert res.status == 200


def test_info_activity_hot_and_frame_bytes(served):
    viewer, ev = served
    res, body = _get(viewer, "/api/info")
    info = json.loads(body)
    assert info["events"] == len(ev) and info["sensor"] == [320, 240]
    assert info["default_window_us"] == 10_000 and info["hot"]["count"] == 1
    _, act = _get(viewer, "/api/activity")
    assert len(act) == 8 * info["activity"]["bins"]
    assert np.frombuffer(act, "<u4").sum() == len(ev)
    _, hot = _get(viewer, "/api/hot")
    assert np.frombuffer(hot, "<u4").tolist() == [21 * 320 + 37]
    res, body = _get(viewer, "/api/frame?start=300000&window=25000")
    width = int(res.getheader("X-Count-Bytes"))
    n = len(body) // (4 + 2 * width)
    idx = np.frombuffer(body, "<u4", n)
    on = np.frombuffer(body, f"<u{width}", n, 4 * n)
    off = np.frombuffer(body, f"<u{width}", n, (4 + width) * n)
    t0 = int(ev["t"].min())
    ref = numpy_frame(ev, t0 + 300_000, t0 + 325_000, (320, 240)).reshape(2, -1)
    assert np.array_equal(idx, np.flatnonzero(ref.any(axis=0)))
    assert np.array_equal(on, ref[0, idx]) and np.array_equal(off, ref[1, idx])
    assert int(res.getheader("X-Frame-Events")) == ref.sum()


def test_spike_page_of_a_time_range(served):
    viewer, ev = served
    res, body = _get(viewer, "/api/spikes?start=100000&end=200000")
    assert res.status == 200 and "attachment" in res.getheader("Content-Disposition")
    text = body.decode()
    t0 = int(ev["t"].min())
    n = int(np.count_nonzero((ev["t"] >= t0 + 100_000) & (ev["t"] < t0 + 200_000)))
    assert f'"event_count": {n},' in text and "<html" in text


def test_load_and_concurrency_nothing_lost(served):
    """N frame requests from 4 clients at once on loopback: every one answered, right."""
    viewer, ev = served
    t0 = int(ev["t"].min())
    starts = list(range(0, 590_000, 5_000))[:100]
    want = {s: int(np.count_nonzero((ev["t"] >= t0 + s) & (ev["t"] < t0 + s + 10_000)))
            for s in starts}
    got, times, errors = {}, [], []

    def client(part):
        conn = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=60)
        for s in part:
            began = time.perf_counter()
            conn.request("GET", f"/api/frame?start={s}&window=10000&token={viewer.token}")
            res = conn.getresponse()
            res.read()
            times.append(time.perf_counter() - began)
            if res.status != 200:
                errors.append(res.status)
            got[s] = int(res.getheader("X-Frame-Events"))
        conn.close()

    threads = [threading.Thread(target=client, args=(starts[i::4],)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(120)
    assert not errors and got == want
    ms = np.percentile(np.array(times) * 1e3, [50, 90, 99])
    print(f"\n{len(times)} frame requests, 4 clients: latency p50 {ms[0]:.1f} ms, "
          f"p90 {ms[1]:.1f} ms, p99 {ms[2]:.1f} ms")


def test_a_browser_going_away_is_no_error(served, capfd):
    viewer, _ = served
    for _ in range(5):
        s = socket.create_connection(("127.0.0.1", viewer.port), timeout=10)
        s.sendall(f"GET /api/frame?start=0&window=500000&token={viewer.token} "
                  f"HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()                                  # reset before the answer
    time.sleep(0.5)
    res, _ = _get(viewer, "/api/info")
    assert res.status == 200
    assert capfd.readouterr().err == ""


# --- the viewer object, directories ------------------------------------------------------


def test_viewer_object_and_busy_port(tmp_path, sorted_events):
    path = _save(tmp_path, "a.npy", sorted_events[:1000])
    import nivra.viz

    first = nivra.viz.view(path, port=0)
    try:
        assert first.url.startswith(f"http://127.0.0.1:{first.port}/?token=")
        assert first.url in first._repr_html_() and "<iframe" in first._repr_html_()
        second = Viewer(path, port=first.port)
        try:
            assert second.port != first.port
            assert second.note == f"port {first.port} is busy; serving on port {second.port} instead"
        finally:
            second.stop()
    finally:
        first.stop()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", first.port), timeout=2)
    assert "stopped" in first._repr_html_()


def test_directory_lists_recordings_and_reasons(tmp_path, sorted_events):
    (tmp_path / "day1").mkdir()
    _save(tmp_path / "day1", "a.npy", sorted_events[:5000])
    _save(tmp_path, "b.npy", sorted_events[5000:9000])
    (tmp_path / "c\x1b[31m.raw").write_bytes(b"% evt 3.0\n% end\n\x00")
    (tmp_path / "notes.md").write_text("not a recording")
    catalog = Catalog(tmp_path)
    catalog.survey()
    listing = catalog.listing()
    rows = {r["name"]: r for r in listing["recordings"]}
    assert listing["directory"] and set(rows) == {"b.npy", "c\\x1b[31m.raw", "day1/a.npy"}
    assert rows["day1/a.npy"]["events"] == 5000 and rows["b.npy"]["sensor"] == [320, 240]
    broken = rows["c\\x1b[31m.raw"]
    bad = broken["error"]
    assert "\x1b" not in bad and "\n" not in bad and bad
    routes = Routes(catalog, "tok")
    assert routes.handle("GET", "/api/info?token=tok").status == 400    # rec needed
    reply = routes.handle("GET", f"/api/info?token=tok&rec={broken['id']}")
    assert reply.status == 422 and b"\\u001b" not in reply.body and b"\x1b" not in reply.body


# --- the command line --------------------------------------------------------------------


def _start_cli(*args):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, "-m", "nivra.viz", "view", *map(str, args),
                             "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    lines = []
    for line in proc.stdout:
        lines.append(line)
        if line.startswith("Viewer at "):
            return proc, line.split()[-1], lines
    proc.wait(30)
    raise AssertionError("".join(lines) + proc.stderr.read())


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_command_serves_until_a_signal(tmp_path, sorted_events, sig):
    path = _save(tmp_path, "rec.npy", sorted_events[:3000])
    proc, url, lines = _start_cli(path, "--port", "0")
    try:
        assert "3,000 events" in lines[0] and url.startswith("http://127.0.0.1:")
        host_port, _, rest = url[len("http://"):].partition("/")
        conn = http.client.HTTPConnection(host_port, timeout=30)
        conn.request("GET", "/" + rest)
        res = conn.getresponse()
        assert res.status == 200 and b"nivraView" in res.read()
        conn.close()
    finally:
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    assert out.strip().splitlines()[-1] == "nivra-viz: viewer stopped" and err == ""


@pytest.mark.parametrize("args, needle", [
    (["missing.raw"], "missing.raw: no such file or directory"),
    (["empty-dir"], "no recordings in this directory"),
    (["bad.npy"], "no time or no x field"),
])
def test_command_errors_are_one_line(tmp_path, args, needle):
    (tmp_path / "empty-dir").mkdir()
    np.save(tmp_path / "bad.npy", np.zeros(3, [("a", "i4")]))
    res = subprocess.run([sys.executable, "-m", "nivra.viz", "view", *args, "--no-browser",
                          "--port", "0"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=60)
    assert res.returncode == 1
    assert len(res.stderr.splitlines()) == 1 and res.stderr.startswith("nivra-viz: error: ")
    assert needle in res.stderr


def test_another_host_is_served_with_a_warning(tmp_path, sorted_events):
    path = _save(tmp_path, "rec.npy", sorted_events[:100])
    proc, url, _ = _start_cli(path, "--port", "0", "--host", "0.0.0.0")
    port = int(url.split(":")[2].split("/")[0])
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", "/api/info")
    assert conn.getresponse().status == 401
    conn.close()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 0
    assert err.startswith("nivra-viz: warning: serving on 0.0.0.0, not only on this machine")
