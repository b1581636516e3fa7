"""nivra.viz.show: the right page for each kind of object, built without side effects, and
pages too large for a notebook written to a file instead."""
import importlib.util
import tempfile
import webbrowser

import numpy as np
import pytest

if any(importlib.util.find_spec(f"nivra.viz.{m}") is None
       for m in ("serialize", "render", "compiled", "spikes")):
    pytest.skip("modules not built yet", allow_module_level=True)

from nivra import ir  # noqa: E402
from nivra.viz import notebook, samples, serialize  # noqa: E402


@pytest.fixture(scope="module")
def model():
    return samples.sample_model()


@pytest.fixture(scope="module")
def partitioned():
    return samples.sample_partitioned_model()


def test_views_by_kind(model, partitioned, tmp_path):
    nir = pytest.importorskip("nir")
    events = samples.sample_events(2000)
    frames = samples.sample_frames(3, 500)
    stored = tmp_path / "model.nvir"
    ir.write(model, stored)
    nir_path = tmp_path / "model.nir"
    nir.write(nir_path, samples.sample_nir_model())
    cases = [
        (model, {}, "graph", "tiny-spiking-detector"),
        (serialize.graph_to_dict(model), {}, "graph", "tiny-spiking-detector"),
        (samples.sample_nir_model(), {}, "graph", "tiny-recurrent-classifier"),
        (nir_path, {}, "graph", "tiny-recurrent-classifier"),
        (str(stored), {}, "graph", "tiny-spiking-detector"),
        (partitioned, {}, "partition", "Partitioned Graph"),
        (partitioned, {"view": "schedule", "timesteps": 4}, "schedule", "Execution Timeline"),
        (partitioned, {"view": "classic"}, "classic", "Execution Schedule"),
        (partitioned, {"view": "timeline"}, "timeline", "Execution Timeline"),
        (partitioned, {"view": "graph"}, "graph", "tiny-spiking-detector"),
        (events, {"n_frames": 4, "sensor_size": [128, 128]}, "events", "Spike Visualization"),
        (frames, {}, "frames", "Frame Visualization"),
        (frames[:, 0], {"title": "ON only"}, "frames", "ON only"),
    ]
    for obj, options, view, title in cases:
        page = notebook.show(obj, **options)
        assert (page.view, page.title) == (view, title), (view, title)
        assert page.html.lstrip().lower().startswith("<!doctype html>")
        assert f"<title>{title}</title>" in page.html
        assert page.height == notebook.VIEWS[view].height
        bundle = page._repr_mimebundle_()
        assert bundle["text/html"] == page._repr_html_() and "<iframe srcdoc=" in bundle["text/html"]
        assert bundle["text/plain"] == repr(page)
    saved = notebook.show(model, height=300).save(tmp_path / "saved.html")
    assert saved.read_text(encoding="utf-8") == notebook.show(model).html


@pytest.mark.parametrize("obj, options, error, words", [
    ([1, 2], {}, TypeError, "show() takes an IR graph"),
    (np.zeros((4, 4)), {}, TypeError, "shape (4, 4)"),
    ("model", {"view": "gantt"}, ValueError, "unknown view 'gantt'"),
    ("model", {"height": 0}, ValueError, "height must be"),
    ("model", {"title": 3}, TypeError, "title must be a str"),
    ("model", {"n_frames": 3}, TypeError, "unexpected option for the graph view: n_frames"),
    ("document", {"view": "partition"}, TypeError, "needs a partitioned IR graph"),
])
def test_refusals(model, obj, options, error, words):
    obj = {"model": model, "document": serialize.graph_to_dict(model)}.get(obj, obj) \
        if isinstance(obj, str) else obj
    with pytest.raises(error) as info:
        notebook.show(obj, **options)
    assert words in str(info.value)


def test_no_browser_and_no_files_left_behind(partitioned, tmp_path, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("no browser may be opened")

    monkeypatch.setattr(webbrowser, "open", refuse)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.chdir(tmp_path)
    for obj, view in ((partitioned, None), (partitioned, "classic"), (partitioned, "timeline"),
                      (samples.sample_frames(2, 100), None), (samples.sample_events(500), None)):
        notebook.show(obj, view=view)._repr_html_()
    # nothing but the copy of each page shown, which an untrusted notebook's links open
    assert [p.name for p in tmp_path.iterdir()] == ["nivra-viz-pages"]
    assert len(list((tmp_path / "nivra-viz-pages").iterdir())) == 5
    notebook.show(samples.sample_frames(2, 100), page_file=False)._repr_html_()
    assert len(list((tmp_path / "nivra-viz-pages").iterdir())) == 5
    from nivra.viz import spikes
    assert spikes.webbrowser is webbrowser


def test_large_pages_go_to_a_file(model, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    page = notebook.show(model, title="Big <model>", inline_limit=100_000)
    html = page._repr_html_()
    files = list((tmp_path / "nivra-viz-pages").iterdir())
    assert len(files) == 1 and files[0].read_text(encoding="utf-8") == page.html
    assert "<iframe" not in html and "too large to show inside the notebook" in html
    assert f'href="nivra-viz-pages/{files[0].name}"' in html and "Big &lt;model&gt;" in html
    assert page._repr_html_() == html and len(list(files[0].parent.iterdir())) == 1
    elsewhere = notebook.show(model, inline_limit=0, large_page_dir=tmp_path.parent / "pages")
    assert elsewhere.large_file().parent == tmp_path.parent / "pages"
    assert elsewhere.large_file().as_uri() in elsewhere._repr_html_()


def test_show_is_exported_lazily(run_python):
    out = run_python("""
        import sys, nivra.viz
        before = "nivra.viz.notebook" in sys.modules
        from nivra.viz import show
        import nivra.viz.notebook
        print(before, show is nivra.viz.notebook.show)
    """)
    assert out.strip() == "False True"
