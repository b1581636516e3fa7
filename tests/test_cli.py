"""The nivra-viz command line on real files: every subcommand, exit codes, one-line errors,
the event and frame readers, where pages go and that inputs survive, progress on a terminal."""
import base64
import importlib.util
import io
import json
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

from nivra import ir
from nivra.viz._progress import Progress
from nivra.viz.cli import main


def _have(*modules):
    return all(importlib.util.find_spec(f"nivra.viz.{m}") is not None for m in modules)


needs_graph = pytest.mark.skipif(not _have("serialize", "render"),
                                 reason="serialize/render modules not built yet")
needs_compiled = pytest.mark.skipif(not _have("serialize", "render", "compiled"),
                                    reason="compiled module not built yet")
needs_spikes = pytest.mark.skipif(not _have("spikes"), reason="spikes module not built yet")

COMMANDS = ["graph", "partition", "schedule", "events", "frames", "demo"]
EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "i1")])


def run(capsys, *argv):
    """main() with its exit status, stdout and stderr."""
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def page_line(out):
    """The page path and size line that ends a command's output."""
    path, _, size = out.splitlines()[-1].partition(" (")
    assert size.endswith(")") and (" kB" in size or " MB" in size or " bytes" in size), out
    return path


def assert_one_line_error(err, *needles):
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("nivra-viz: error: "), err
    assert "Traceback" not in err
    for needle in needles:
        assert needle in lines[0], (needle, lines[0])


def small_events(n=3000, width=40, height=30, seed=1):
    rng = np.random.default_rng(seed)
    ev = np.empty(n, EVENT_DTYPE)
    ev["x"] = rng.integers(0, width, n)
    ev["y"] = rng.integers(0, height, n)
    ev["x"][0], ev["y"][0] = width - 1, height - 1
    ev["t"] = np.sort(rng.integers(0, 500_000, n))
    ev["p"] = rng.integers(0, 2, n)
    return ev


def small_graph(partitioned=False):
    g = ir.Graph(metadata={"name": "tiny net"})
    g.add_node("in", ir.Input(input_type={"input": [4]}))
    g.add_node("fc", ir.Affine(weight=np.ones((3, 4), np.float32), bias=np.zeros(3, np.float32)))
    g.add_node("lif", ir.LIF(tau=np.full(3, 2.0, np.float32), r=np.ones(3, np.float32),
                             v_leak=np.zeros(3, np.float32), v_threshold=np.ones(3, np.float32)))
    g.add_node("out", ir.Output())
    g.chain("in", "fc", "lif", "out")
    if partitioned:
        g.partition(num_cores=2)
    return g


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "tiny.nvir"
    ir.write(small_graph(), path)
    return path


@pytest.fixture
def partitioned(tmp_path):
    path = tmp_path / "tiny_part.nvir"
    ir.write(small_graph(partitioned=True), path)
    return path


# --- help, version, usage errors -----------------------------------------------------------


@pytest.mark.parametrize("command", [None, *COMMANDS])
def test_help_for_every_command(capsys, command):
    argv = ["--help"] if command is None else [command, "--help"]
    code, out, err = run(capsys, *argv)
    assert code == 0 and err == ""
    assert out.startswith("usage: nivra-viz" + (f" {command}" if command else ""))
    if command is None:
        for name in COMMANDS:
            assert name in out
    else:
        assert "--quiet" in out


def test_version(capsys):
    from nivra import viz

    code, out, _ = run(capsys, "--version")
    assert code == 0 and out.strip() == f"nivra-viz {viz.__version__}"


@pytest.mark.parametrize("argv, needle", [
    ([], "COMMAND"),
    (["bogus"], "invalid choice"),
    (["graph", "m.nvir", "--weights", "some"], "--weights"),
    (["partition", "m.nvir", "--sram-bytes-per-core", "5"], "--sram-bytes-per-core needs --cores N"),
    (["schedule", "m.nvir", "--cores", "0"], "--cores"),
    (["schedule", "m.nvir", "--timesteps", "4", "--classic"], "the --classic page has one timestep"),
    (["schedule", "m.nvir", "--timesteps", "0"], "--timesteps"),
    (["graph", "-o", "x.html"], "MODEL"),
    (["events", "r.npy", "-o", "x.html", "--frames", "0"], "--frames"),
    (["events", "r.npy", "-o", "x.html", "--grid-bins", "two"], "--grid-bins"),
    (["events", "r.npy", "-o", "x.html", "--sensor", "10"], "--sensor"),
    (["events", "r.npy", "-o", "x.html", "--max-neurons", "-5"], "--max-neurons"),
    (["frames", "f.npy", "-o", "x.html", "--nope"], "unrecognized arguments"),
    (["schedule", "m.nvir", "-o", "x.html", "--profile"], "--profile"),
])
def test_usage_errors_exit_2_with_one_line(capsys, argv, needle):
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == ""
    assert_one_line_error(err, needle)


# --- failed jobs: missing and damaged inputs ---------------------------------------------


def _garbage(path, data=b"\x00\x01not what you think\xff" * 20):
    path.write_bytes(data)
    return path


def _truncated_npy(path):
    np.save(path, small_events())
    path.write_bytes(path.read_bytes()[:200])
    return path


def _damaged_model(path):
    ir.write(small_graph(), path)
    with zipfile.ZipFile(path) as zf:
        members = {n: zf.read(n) for n in zf.namelist()}
    members["manifest.json"] = b'{"format": "nivra-ir-graph", "format_version": 1, "nodes": 5}'
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in members.items():
            zf.writestr(name, data)
    return path


def _object_npy(path):
    np.save(path, np.array([{"x": 1}], dtype=object), allow_pickle=True)
    return path


def _two_recordings_npz(path):
    np.savez(path, a=small_events(10), b=small_events(10))
    return path


def _plain_npz(path):
    np.savez(path, frames=np.zeros((2, 3, 4)))
    return path


def _write(text):
    def make(path):
        path.write_text(text, encoding="utf-8")
        return path
    return make


@pytest.mark.parametrize("command, name, make, needles", [
    ("graph", "missing.nvir", None, ["missing.nvir", "no such file"]),
    ("partition", "missing.nvir", None, ["no such file"]),
    ("schedule", "missing.nvir", None, ["no such file"]),
    ("events", "missing.npy", None, ["no such file"]),
    ("frames", "missing.npy", None, ["no such file"]),
    ("graph", "garbage.nvir", _garbage, ["garbage.nvir", "not a stored IR graph"]),
    ("partition", "garbage.nvir", _garbage, ["not a stored IR graph"]),
    ("graph", "damaged.nvir", _damaged_model, ["damaged.nvir", "damaged"]),
    ("events", "cut.npy", _truncated_npy, ["cut.npy", "damaged"]),
    ("events", "garbage.npy", _garbage, ["garbage.npy", "damaged"]),
    ("events", "objects.npy", _object_npy, ["Python objects"]),
    ("events", "plain.npy", lambda p: (np.save(p, np.zeros((5, 4))), p)[1],
     ["plain float64 array", "(5, 4)"]),
    ("events", "two.npz", _two_recordings_npz, ["--array NAME", "a ({x: <u2, y: <u2, t: <i8, p: |i1}", "b ("]),
    ("events", "plain.npz", _plain_npz, ["one structured event array", "frames (float64"]),
    ("events", "garbage.npz", _garbage, ["garbage.npz", "damaged"]),
    ("events", "empty.csv", _write(""), ["empty file"]),
    ("events", "noheader.csv", _write("1,2,3,4\n5,6,7,8\n"), ["first line must name"]),
    ("events", "badvalue.csv", _write("x,y,t,p\n1,2,3,1\n4,abc,6,0\n"), ["bad CSV", "line 3, column 2", "'abc'"]),
    ("events", "ragged.csv", _write("x,y,t,p\n1,2,3,1\n4,5,6\n"), ["bad CSV", "line 3: 3 values"]),
    ("events", "narrow.csv", _write("x,y,t,p\n1,2,3\n4,5,6\n"), ["4 fields", "3 values"]),
    ("events", "dup.csv", _write("x,x,t\n1,2,3\n"), ["repeated field"]),
    ("events", "binary.dump", _garbage, ["not a text file"]),
    ("events", "binary.bin", _garbage, ["binary.bin", "not an N-MNIST/N-Caltech101 event file"]),
    ("events", "binary.dat", _garbage, ["binary.dat", "Prophesee DAT"]),
    ("frames", "events.npy", lambda p: (np.save(p, small_events(10)), p)[1],
     ["numeric frame array", "nivra-viz events"]),
    ("frames", "flat.npy", lambda p: (np.save(p, np.zeros(7)), p)[1], ["(T, H, W)", "(7,)"]),
    ("frames", "nochannels.npy", lambda p: (np.save(p, np.zeros((2, 0, 3, 3))), p)[1],
     ["(2, 0, 3, 3)"]),
    ("frames", "garbage.npy", _garbage, ["damaged"]),
    ("frames", "two.npz", lambda p: (np.savez(p, a=np.zeros((1, 2, 2)), b=np.zeros(1)), p)[1],
     ["expected one array", "a (float64"]),
])
def test_bad_inputs_fail_with_one_line(capsys, tmp_path, command, name, make, needles):
    path = tmp_path / name
    if make is not None:
        make(path)
    out_page = tmp_path / "page.html"
    code, _, err = run(capsys, command, path, "-o", out_page)
    assert code == 1
    assert_one_line_error(err, *needles)
    assert not out_page.exists()


def test_event_recording_without_time_field(capsys, tmp_path):
    pytest.importorskip("nivra.viz.spikes")
    path = tmp_path / "no_t.csv"
    path.write_text("x,y,p\n1,2,1\n")
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html")
    assert code == 1
    assert_one_line_error(err, "no time field", "t, ts, time, timestamp", "x, y, p")


# --- where pages go, and that inputs survive ------------------------------------------------

PAGE_COMMANDS = ["graph", "partition", "schedule", "events", "frames"]


@pytest.fixture
def source(tmp_path):
    """The input of a page command, written into a directory of its own."""
    def make(command):
        folder = tmp_path / "in"
        folder.mkdir(exist_ok=True)
        if command in ("graph", "partition", "schedule"):
            path = folder / "net.nvir"
            ir.write(small_graph(partitioned=command != "graph"), path)
        elif command == "events":
            path = folder / "rec.npy"
            np.save(path, small_events(300))
        else:
            path = folder / "stack.npy"
            np.save(path, np.ones((2, 4, 5), np.float32))
        return path
    return make


def _files(folder):
    return sorted(p.name for p in folder.iterdir())


@needs_compiled
@needs_spikes
@pytest.mark.parametrize("command", PAGE_COMMANDS)
def test_output_paths(capsys, tmp_path, source, command):
    src = source(command)
    default = src.with_suffix(".html")
    # no -o: the input's name with .html, beside it
    code, out, err = run(capsys, command, src)
    assert (code, err, page_line(out)) == (0, "", str(default))
    # an existing directory, or any name ending in a separator: <input stem>.html inside it
    (tmp_path / "pages").mkdir()
    for given in (tmp_path / "pages", f"{tmp_path / 'pages'}{os.sep}"):
        code, out, _ = run(capsys, command, src, "-o", given)
        assert (code, page_line(out)) == (0, str(tmp_path / "pages" / default.name))
    (tmp_path / "file.csv").write_text("x\n")
    for given, needle in [(f"{tmp_path / 'nodir'}{os.sep}", "directory"),
                          (tmp_path / "nowhere" / "page.html", "directory"),
                          (tmp_path / "file.csv" / "x.html", f"{tmp_path / 'file.csv'} is not a directory"),
                          (tmp_path / "file.csv" / "a" / "x.html", "file.csv is not a directory")]:
        code, _, err = run(capsys, command, src, "-o", given)
        assert code == 1
        assert_one_line_error(err, f"cannot write {given}", needle)
        if needle == "directory":
            assert "does not exist" in err
    assert _files(tmp_path) == ["file.csv", "in", "pages"]


def _same_file_cases():
    cases = [(c, "input", how) for c in PAGE_COMMANDS for how in ("same", "symlink", "hardlink")]
    return cases + [("schedule", "profile", "same"), ("schedule", "graph-page", "symlink")]


@needs_compiled
@needs_spikes
@pytest.mark.parametrize("command, which, how", _same_file_cases())
def test_output_that_is_an_input_is_refused(capsys, tmp_path, source, command, which, how):
    src = source(command)
    extra = []
    target = src
    if command == "schedule":
        profile = src.with_name("lat.json")
        profile.write_text('{"fc": 2}')
        other = src.with_name("cores.html")
        other.write_text("the partition view")
        extra = ["--profile", profile, "--graph-page", other]
        target = {"input": src, "profile": profile, "graph-page": other}[which]
    before = {p: p.read_bytes() for p in src.parent.iterdir()}
    if how == "same":
        page = target
    else:
        page = tmp_path / "page.html"
        os.symlink(target, page) if how == "symlink" else os.link(target, page)
    code, out, err = run(capsys, command, src, "-o", page, *extra)
    assert (code, out) == (1, "")
    assert_one_line_error(err, f"cannot write {page}: it is the same file as", str(target))
    assert {p: p.read_bytes() for p in src.parent.iterdir()} == before


def _break_the_write(monkeypatch, command):
    """Make the page's write stop half-way with a full disk."""
    import errno
    import pathlib

    def half(path, *args, **kwargs):
        with open(path, "w", encoding="utf-8") as f:
            f.write("<!DOCTYPE html><html>half a page")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    if command == "frames":
        from nivra.viz import spikes
        monkeypatch.setattr(spikes, "_write_frames_page", lambda data, path, *a, **k: half(path))
    else:
        monkeypatch.setattr(pathlib.Path, "write_text", half)


@needs_compiled
@needs_spikes
@pytest.mark.parametrize("command", PAGE_COMMANDS)
def test_a_failed_write_keeps_the_previous_page(capsys, tmp_path, monkeypatch, source, command):
    src = source(command)
    page = tmp_path / "out" / "page.html"
    page.parent.mkdir()
    assert run(capsys, command, src, "-o", page)[0] == 0
    previous = page.read_bytes()
    page.chmod(0o640)
    with monkeypatch.context() as m:
        _break_the_write(m, command)
        code, out, err = run(capsys, command, src, "-o", page)
    assert code == 1
    assert_one_line_error(err, f"cannot write {page}", "No space left on device")
    assert page.read_bytes() == previous and _files(page.parent) == ["page.html"]
    # a page that replaces one keeps its mode
    assert run(capsys, command, src, "-o", page)[0] == 0
    assert page.stat().st_mode & 0o777 == 0o640 and _files(page.parent) == ["page.html"]


@pytest.mark.parametrize("text, needle", [
    ("{not json", "not valid JSON"),
    ("[1, 2]", "got a JSON list"),
    ('{"fc": "fast"}', "'fc'"),
    ('{"fc": true}', "'fc'"),
    ('{"fc": -1}', ">= 0"),
])
def test_bad_profile(capsys, tmp_path, partitioned, text, needle):
    profile = tmp_path / "lat.json"
    profile.write_text(text)
    code, _, err = run(capsys, "schedule", partitioned, "-o", tmp_path / "s.html",
                       "--profile", profile)
    assert code == 1
    assert_one_line_error(err, "lat.json", needle)


@needs_compiled
def test_a_recurrent_graph_over_timesteps_with_a_profile_naming_strangers(capsys, tmp_path):
    g = small_graph()
    g.add_edge("lif", "fc")
    model = tmp_path / "loop.nvir"
    ir.write(g, model)
    profile = tmp_path / "lat.json"
    profile.write_text(json.dumps({"fc": 2, "lif": 1, "conv9": 4, "gone": 1}))
    page = tmp_path / "s.html"
    code, out, err = run(capsys, "schedule", model, "-o", page, "--cores", 2,
                         "--sram-bytes-per-core", 64, "--timesteps", 3, "--profile", profile)
    assert code == 0 and page_line(out) == str(page)
    assert err == (f"nivra-viz: warning: {profile}: the profile names 2 nodes the graph lacks "
                   f"('conv9', 'gone'); their latencies are not used\n")
    doc = json.loads(re.search(r'id="nivra-data">(.*?)</script>', page.read_text(), re.S)[1])
    assert (doc["timesteps"], doc["makespan"], doc["interval"], doc["deps"]["lag"]) == (3, 9, 3, [0, 1])
    code, _, err = run(capsys, "schedule", model, "-o", page, "--cores", 2, "--timesteps", 10**7 + 1)
    assert code == 1
    assert_one_line_error(err, "make 20,000,002 runs, more than the 20,000,000 a timeline page holds")


# --- readers -------------------------------------------------------------------------------


def test_profile_reader_accepts_plain_and_wrapped_objects(tmp_path):
    path = tmp_path / "lat.json"
    from nivra.viz.io.profile import read_profile

    path.write_text('{"fc": 12.5, "lif": 3}')
    assert read_profile(str(path)).per_node_latency == {"fc": 12.5, "lif": 3.0}
    path.write_text('{"per_node_latency": {"fc": 1}}')
    assert read_profile(str(path)).per_node_latency == {"fc": 1.0}


# --- every command on real files ---------------------------------------------------------


@needs_graph
@pytest.mark.parametrize("extra, groups", [([], True), (["--no-patterns"], False)])
def test_graph_page(capsys, tmp_path, extra, groups):
    from nivra.viz import samples

    model = tmp_path / "sample.nvir"
    ir.write(samples.sample_model(), model)
    page = tmp_path / "graph.html"
    code, out, err = run(capsys, "graph", model, "-o", page, "--title", "Ünïcode <net>", *extra)
    assert (code, err) == (0, "")
    assert out.count("\n") == 1 and page_line(out) == str(page)
    html = page.read_text(encoding="utf-8")
    assert "Ünïcode &lt;net&gt;" in html and "{{DATA_JSON}}" not in html
    assert '"stem_conv"' in html
    assert ('"groups": []' in html) is not groups


@needs_graph
def test_graph_title_defaults_to_model_name(capsys, tmp_path, model):
    page = tmp_path / "g.html"
    assert run(capsys, "graph", model, "-o", page)[0] == 0
    assert "<title>tiny net" in page.read_text(encoding="utf-8")


@needs_compiled
def test_partition_and_schedule_pages(capsys, tmp_path, partitioned):
    page = tmp_path / "p.html"
    code, out, err = run(capsys, "partition", partitioned, "-o", page, "--title", "Parts")
    assert (code, err, page_line(out)) == (0, "", str(page))
    html = page.read_text()
    assert "borderColor" in html and "core_legend" in html
    profile = tmp_path / "lat.json"
    profile.write_text(json.dumps({"fc": 1234.5, "lif": 2.0}))
    page = tmp_path / "s.html"
    code, out, err = run(capsys, "schedule", partitioned, "-o", page, "--profile", profile,
                         "--classic")
    assert (code, err) == (0, "")
    html = page.read_text()
    assert "<title>Execution Schedule</title>" in html
    assert "<strong>Total latency:</strong> 1,236.5 us" in html
    code, _, _ = run(capsys, "schedule", partitioned, "-o", page, "--classic")
    assert code == 0 and " us</span>" not in page.read_text()
    # the default is the timeline, linked to the partition view by a path from the page
    (tmp_path / "t").mkdir()
    page = tmp_path / "t" / "s.html"
    code, out, err = run(capsys, "schedule", partitioned, "-o", page, "--profile", profile,
                         "--graph-page", tmp_path / "p.html")
    assert (code, err, page_line(out)) == (0, "", str(page))
    html = page.read_text(encoding="utf-8")
    assert "<title>Execution Schedule</title>" in html and "__nivraTimeline" in html
    assert '"graph_page":"../p.html"' in html and '"latency_source":"profile"' in html


@needs_compiled
@pytest.mark.parametrize("command", ["partition", "schedule"])
def test_unpartitioned_graph_is_said_so_or_partitioned_here(capsys, tmp_path, model, command):
    before = model.read_bytes()
    page = tmp_path / "p.html"
    code, _, err = run(capsys, command, model, "-o", page)
    assert code == 1 and not page.exists()
    assert_one_line_error(err, f"{model} has not been partitioned", "--cores N")
    code, out, err = run(capsys, command, model, "-o", page, "--cores", 2,
                         "--max-neurons-per-core", 100, "--sram-bytes-per-core", 1 << 20)
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == f"{model}: partitioned onto 2 of 2 cores; 1 cross-core edge"
    assert page_line(out) == str(page) and "Core 1" in page.read_text(encoding="utf-8")
    code, _, err = run(capsys, command, model, "-o", page, "--cores", 1, "--sram-bytes-per-core", 8)
    assert code == 1
    assert_one_line_error(err, "cannot partition", "sram_bytes_per_core=8", "raise --sram-bytes-per-core")
    assert model.read_bytes() == before  # partitioned in memory only


@needs_compiled
@pytest.mark.parametrize("command", ["graph", "partition"])
def test_weights_full_stats_none_and_the_automatic_switch(capsys, tmp_path, monkeypatch, command):
    from nivra.viz import weights

    g = ir.Graph(metadata={"name": "w"})
    g.add_node("in", ir.Input(input_type={"input": [80]}))
    big, small = np.arange(64 * 80, dtype=np.float32).reshape(64, 80), np.ones(4096, np.float32)
    g.add_node("fc", ir.Affine(weight=big, bias=small))
    g.add_node("out", ir.Output())
    g.chain("in", "fc", "out")
    g.partition(num_cores=1)
    model = tmp_path / "w.nvir"
    ir.write(g, model)
    page = tmp_path / "w.html"
    big_payload = base64.b64encode(big.tobytes()).decode()
    small_payload = base64.b64encode(small.tobytes()).decode()
    cases = {"full": (0, True, True), "stats": (1, False, True), "none": (2, False, False)}
    for mode, (nulls, has_big, has_small) in cases.items():
        code, out, err = run(capsys, command, model, "-o", page, "--weights", mode)
        assert (code, err) == (0, "")
        html = page.read_text(encoding="utf-8")
        assert (html.count('"data": null'), big_payload in html, small_payload in html) == \
            (nulls, has_big, has_small), mode
        assert out.rstrip().endswith({0: "B)", 1: "; payload of 1 array left out)",
                                      2: "; payloads of 2 arrays left out)"}[nulls]), out
        assert '"min": 0.0, "max": 5119.0' in html  # statistics stay
    # without --weights: full, unless the payloads would make the page too large
    assert run(capsys, command, model, "-o", page)[0] == 0
    assert big_payload in page.read_text(encoding="utf-8")
    monkeypatch.setattr(weights, "FULL_PAGE_LIMIT", len(big_payload))
    code, out, err = run(capsys, command, model, "-o", page)
    assert code == 0 and err.startswith("nivra-viz: note: the weights would make a page of about")
    assert err.count("\n") == 1 and "--weights full keeps them" in err
    assert big_payload not in page.read_text(encoding="utf-8") and "1 array left out" in out


def _page_json(html):
    """The event document embedded in a spike page."""
    start = html.index('{"event_count"')
    return json.JSONDecoder().raw_decode(html[start:])[0]


@needs_spikes
@pytest.mark.parametrize("kind", ["npy", "npz", "csv"])
def test_events_page(capsys, tmp_path, kind):
    ev = small_events()
    path = tmp_path / f"rec.{kind}"
    if kind == "npy":
        np.save(path, ev)
    elif kind == "npz":
        np.savez(path, recording=ev)
    else:
        rows = "\n".join(f"{r['x']},{r['y']},{r['t']},{r['p']}" for r in ev)
        path.write_text("x,y,t,p\n" + rows + "\n")
    page = tmp_path / "events.html"
    code, out, err = run(capsys, "events", path, "-o", page, "--frames", 4, "--grid-bins", 3,
                         "--raster-bins", 7, "--max-neurons", 50, "--title", "My rec")
    assert (code, err) == (0, "")
    report, _ = out.strip().splitlines()
    assert "3,000 events" in report and "x=x y=y t=t p=p" in report
    assert "sensor 40 x 30 (detected)" in report
    assert page_line(out) == str(page)
    doc = _page_json(page.read_text())
    assert doc["event_count"] == 3000 and doc["sensor_size"] == [40, 30]
    assert len(doc["animation_frames"]) == 4 and len(doc["grid_frames"]) == 3
    assert len(doc["raster"]) == 7 and len(doc["raster"][0]) == 50


@needs_spikes
def test_events_with_given_sensor_and_audio_fields(capsys, tmp_path):
    path = tmp_path / "audio.csv"
    path.write_text("t,channel,p\n" + "".join(f"{i * 10},{i % 16},{i % 2}\n" for i in range(200)))
    page = tmp_path / "a.html"
    code, out, _ = run(capsys, "events", path, "-o", page, "--sensor", 64, 1)
    assert code == 0
    assert "x=channel y=(none) t=t p=p" in out and "sensor 64 x 1 (given)" in out
    assert _page_json(page.read_text())["sensor_size"] == [64, 1]


@needs_spikes
def test_events_tiny_recordings(capsys, tmp_path):
    path = tmp_path / "tiny.csv"
    path.write_text("t,x\n5,3\n")
    page = tmp_path / "t.html"
    code, out, err = run(capsys, "events", path, "-o", page)
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == (f"{path}: CSV/text; 1 event read, 1 drawn; fields x=x y=(none) t=t p=(none); "
                                   f"sensor 4 x 1 (detected); none left out")
    assert _page_json(page.read_text())["event_count"] == 1
    path.write_text("x,y,t,p\n")
    code, out, err = run(capsys, "events", path, "-o", page)
    assert code == 1
    assert_one_line_error(err, "no events in the recording")


@needs_spikes
def test_events_open_asks_the_browser(capsys, tmp_path, monkeypatch):
    import webbrowser

    opened = []
    monkeypatch.setattr(webbrowser, "open", lambda url, *a, **k: opened.append(url))
    path = tmp_path / "rec.npy"
    np.save(path, small_events(500))
    page = tmp_path / "e.html"
    assert run(capsys, "events", path, "-o", page)[0] == 0
    assert opened == []
    assert run(capsys, "events", path, "-o", page, "--open")[:3:2] == (0, "")
    assert opened == [page.resolve().as_uri()]
    # no browser: the page is still written, and stderr says where it is
    for refuse in (lambda url: False, lambda url: (_ for _ in ()).throw(webbrowser.Error("none"))):
        monkeypatch.setattr(webbrowser, "open", refuse)
        code, _, err = run(capsys, "events", path, "-o", page, "--open")
        assert code == 0 and err == f"nivra-viz: warning: no web browser could be started; the page is {page}\n"


@needs_spikes
@pytest.mark.parametrize("shape", [(3, 12, 16), (3, 2, 12, 16), (6, 1, 12, 16)])
def test_frames_page(capsys, tmp_path, monkeypatch, shape):
    import webbrowser

    def refuse(*args, **kwargs):
        raise AssertionError("no browser may be opened")

    monkeypatch.setattr(webbrowser, "open", refuse)
    path = tmp_path / "frames.npy"
    np.save(path, np.random.default_rng(0).poisson(2.0, shape).astype(np.float32))
    page = tmp_path / "f.html"
    code, out, err = run(capsys, "frames", path, "-o", page, "--title", "Frames $1")
    assert (code, err, page_line(out)) == (0, "", str(page))
    html = page.read_text()
    assert "Frames $1" in html
    doc = _page_json(html)
    assert doc["sensor_size"] == [16, 12] and len(doc["animation_frames"]) == shape[0]
    from nivra.viz import spikes
    assert spikes.webbrowser is webbrowser  # restored
    umask = os.umask(0o22)
    os.umask(umask)
    assert page.stat().st_mode & 0o777 == 0o666 & ~umask


@needs_compiled
@needs_spikes
def test_demo_writes_every_page_and_its_inputs(capsys, tmp_path):
    root = tmp_path / "demo" / "out"
    from nivra.viz import demo

    code, out, err = run(capsys, "demo", "-o", root)
    assert (code, err) == (0, "")
    # every file it wrote, pages first, each with what it is for
    listed = [line.split("  ", 1) for line in out.splitlines()]
    assert [p for p, _ in listed] == [str(root / n) for n in [*demo.PAGES, *demo.INPUTS]]
    assert sorted(p.name for p in root.iterdir()) == sorted([*demo.PAGES, *demo.INPUTS])
    assert all(what.strip() for _, what in listed)
    for name in demo.PAGES:
        assert (root / name).stat().st_size > 1000
    # the sample inputs it leaves behind drive the other commands
    for argv in (["graph", root / "sample_model.nvir"],
                 ["partition", root / "sample_partitioned.nvir"],
                 ["schedule", root / "sample_partitioned.nvir", "--profile",
                  root / "sample_latencies.json"],
                 ["events", root / "sample_events.npy"],
                 ["frames", root / "sample_frames.npy"],
                 ["graph", root / "sample_model.nir"]):
        code, _, err = run(capsys, *argv, "-o", tmp_path / "again.html")
        assert (code, err) == (0, ""), argv


# --- progress ------------------------------------------------------------------------------


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


@needs_spikes
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_on_a_terminal(capsys, tmp_path, monkeypatch, quiet):
    path = tmp_path / "rec.npy"
    np.save(path, small_events(2000))
    term = FakeTerminal()
    monkeypatch.setattr(sys, "stderr", term)
    argv = ["events", str(path), "-o", str(tmp_path / "e.html"), "--frames", "3"]
    assert main(argv + (["--quiet"] if quiet else [])) == 0
    text = term.getvalue()
    if quiet:
        assert text == ""
    else:
        for stage in ("reading", "binning", "encoding images 8/8", "wrote"):
            assert text.count(stage) == 1, (stage, text)
        assert all(line.startswith("nivra-viz: [") for line in text.splitlines())
        from nivra.viz import spikes
        assert not hasattr(spikes.events_to_grid, "__wrapped__")
        assert spikes.events_to_grid.__module__ == "nivra.viz.spikes"  # restored


def test_no_progress_when_stderr_is_not_a_terminal(capsys, tmp_path, model):
    progress = Progress(stream=io.StringIO())
    progress.stage("reading")
    assert not progress.enabled and progress.stream.getvalue() == ""
    progress = Progress(stream=FakeTerminal())
    progress.stage("reading x")
    assert "reading x" in progress.stream.getvalue()


# --- entry points --------------------------------------------------------------------------


def test_python_dash_m_and_console_script(tmp_path):
    res = subprocess.run([sys.executable, "-m", "nivra.viz", "--version"],
                         capture_output=True, text=True, check=False)
    assert res.returncode == 0 and res.stdout.startswith("nivra-viz ")
    res = subprocess.run([sys.executable, "-m", "nivra.viz", "graph", str(tmp_path / "none"),
                          "-o", str(tmp_path / "x.html")], capture_output=True, text=True)
    assert res.returncode == 1 and res.stderr.count("\n") == 1
    script = Path(sys.executable).with_name("nivra-viz")
    if not script.exists():
        pytest.skip("console script not installed in this environment")
    res = subprocess.run([str(script), "frames", "--help"], capture_output=True, text=True)
    assert res.returncode == 0 and "FRAMES.npy" in res.stdout
    res = subprocess.run([str(script)], capture_output=True, text=True)
    assert res.returncode == 2 and res.stderr.startswith("nivra-viz: error:")
