"""The notebook output of nivra.viz.show in headless Chromium: the page in its sandboxed
frame becomes ready for every kind, hostile names run no script, the buttons under the frame
work, and the srcdoc escaping gives back every character."""
import importlib.util

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

if any(importlib.util.find_spec(f"nivra.viz.{m}") is None
       for m in ("serialize", "render", "compiled", "spikes")):
    pytest.skip("modules not built yet", allow_module_level=True)

from nivra import ir  # noqa: E402
from nivra.viz import notebook, samples, serialize  # noqa: E402

READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"
HOSTILE = ['</script><script>alert("t1")</script>', '"><img src=x onerror=alert("t2")>',
           "' onmouseover='alert(3)' x='", "<!--", "]]>&amp;&#x27;${title}{{TITLE}}\r\n\0"]


class Output:
    """A notebook output (the HTML of _repr_html_) loaded as a page, with its frame."""

    def __init__(self, browser, tmp_path, html, name="out"):
        path = tmp_path / f"{name}.html"
        path.write_text("<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
                        + html + "</body></html>", encoding="utf-8")
        self.context = browser.new_context(viewport={"width": 1200, "height": 900},
                                           accept_downloads=True)
        self.page = self.context.new_page()
        self.problems = []
        self.context.on("page", self._watch)
        self._watch(self.page)
        self.page.goto(path.as_uri())
        self.frame = self.page.wait_for_selector("iframe").content_frame()

    def _watch(self, page):
        page.on("console", lambda m: m.type == "error" and self.problems.append(m.text))
        page.on("pageerror", lambda e: self.problems.append(str(e)))
        page.on("dialog", lambda d: (self.problems.append("dialog " + d.message), d.dismiss()))

    def ready(self, frame=None):
        frame = frame or self.frame
        frame.wait_for_function(READY, timeout=60_000)
        return frame.evaluate("document.documentElement.dataset.state")


def _kinds():
    nir = pytest.importorskip("nir")  # noqa: F841
    model = samples.sample_model()
    return {
        "ir graph": (model, {}),
        "nir graph": (samples.sample_nir_model(), {}),
        "document": (serialize.graph_to_dict(model), {}),
        "partition": (samples.sample_partitioned_model(), {}),
        "schedule": (samples.sample_partitioned_model(), {"view": "schedule"}),
        "classic": (samples.sample_partitioned_model(), {"view": "classic"}),
        "timeline": (samples.sample_partitioned_model(), {"view": "timeline"}),
        "events": (samples.sample_events(5000), {"n_frames": 5}),
        "frames": (samples.sample_frames(4, 2000), {}),
    }


@pytest.mark.parametrize("kind", ["ir graph", "nir graph", "document", "partition", "schedule",
                                  "classic", "timeline", "events", "frames"])
def test_every_kind_becomes_ready_in_its_sandboxed_frame(browser, tmp_path, kind):
    obj, options = _kinds()[kind]
    page = notebook.show(obj, **options)
    out = Output(browser, tmp_path, page._repr_html_())
    frame_el = out.page.query_selector("iframe")
    assert frame_el.get_attribute("sandbox") == "allow-scripts"
    assert frame_el.bounding_box()["height"] == page.height
    if kind == "classic":  # a page without scripts
        out.frame.wait_for_selector("text=Core 0")
    else:
        assert out.ready() == "ready"
    assert out.frame.evaluate("window.origin") == "null"  # no access to the notebook
    assert out.frame.evaluate("document.title") == page.title
    assert out.problems == []
    out.context.close()


def test_hostile_titles_and_node_names_run_no_script(browser, tmp_path):
    graph = ir.Graph(metadata={"name": HOSTILE[0]})
    names = [f"{h}{i}" for i, h in enumerate(HOSTILE)]
    graph.add_node(names[0], ir.Input(input_type={"input": [4]}))
    for a, b in zip(names, names[1:]):
        graph.add_node(b, ir.Affine(weight=np.ones((4, 4), np.float32)))
        graph.add_edge(a, b)
    events = samples.sample_events(1000)
    frames = samples.sample_frames(2, 100)
    for i, (obj, title) in enumerate([(graph, None), (graph, HOSTILE[1]), (events, HOSTILE[2]),
                                      (frames, HOSTILE[4])]):
        page = notebook.show(obj, title=title)
        out = Output(browser, tmp_path, page._repr_html_(), name=f"h{i}")
        assert out.ready() == "ready"
        # shown as text, whitespace collapsed (NUL cannot be carried by HTML at all)
        title = " ".join(page.title.replace("\0", "\ufffd").split())
        assert out.frame.evaluate("document.title") == title
        assert title in " ".join(out.page.inner_text("body").split())
        if obj is graph:
            out.frame.evaluate("window.__nivraViewer.fit()")
            shown = out.frame.evaluate("window.__nivraViewer.drawnNodeIds()")
            assert sorted(shown) == sorted(names)
        assert out.problems == []
        out.context.close()


def test_open_in_new_tab_and_download(browser, tmp_path):
    page = notebook.show(samples.sample_model(), title="A model")
    out = Output(browser, tmp_path, page._repr_html_())
    assert out.ready() == "ready"
    with out.context.expect_page() as tab:
        out.page.click("text=Open in new tab")
    opened = tab.value.wait_for_selector("iframe")
    assert opened.get_attribute("sandbox") == "allow-scripts allow-downloads"
    assert out.ready(opened.content_frame()) == "ready"
    assert tab.value.title() == "A model"
    with out.page.expect_download() as download:
        out.page.click("text=Download")
    assert download.value.suggested_filename == "A-model.html"
    assert open(download.value.path(), encoding="utf-8", newline="").read() == page.html
    assert out.problems == []
    out.context.close()


@pytest.fixture(scope="module")
def parser_page(browser):
    context = browser.new_context()
    page = context.new_page()
    page.set_content("<!DOCTYPE html><body></body>")
    yield page
    context.close()


EVERY_CHARACTER = "".join(map(chr, range(0xD800))) + "".join(map(chr, range(0xE000, 0x10000))) \
    + "\U0001F600\U0010FFFF"


@settings(max_examples=300, deadline=None)
@given(st.text())
@example(EVERY_CHARACTER)
@example("&amp;\r\n\r&#13;\"'<>")
def test_srcdoc_escaping_gives_back_every_character(parser_page, text):
    # The HTML parser reads the attribute as any notebook front end does; NUL, which HTML
    # cannot carry, comes back as U+FFFD in every form of page.
    back = parser_page.evaluate(
        "(s) => { const d = document.createElement('div');"
        " d.innerHTML = '<iframe srcdoc=\"' + s + '\"></iframe>';"
        " return d.firstChild.getAttribute('srcdoc'); }", notebook.srcdoc_escape(text))
    assert back == text.replace("\0", "\ufffd")
