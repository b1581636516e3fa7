"""Titles holding placeholders, for every page that takes a title: the page keeps its
normal size and shows the title as text, escaped for HTML. A title repeating the
document's placeholder must not copy the document once per repetition."""
import pytest

from nivra.viz import compiled, render, samples, spikes

timeline = pytest.importorskip("nivra.viz.timeline", exc_type=ImportError)

REPEATS = 6_000
# each page's own placeholder syntax and the other's
PART = "{{DATA_JSON}}{{TITLE}}$data_json${title}"
TITLE = "<q7>" + PART * REPEATS


def _file_page(write):
    def make(tmp_path, title):
        path = tmp_path / "page.html"
        write(path, title)
        return path.read_text()
    return make


PAGES = {
    "graph": lambda tmp_path, title: render.render_html(
        compiled.graph_to_dict(samples.sample_model()), title=title),
    "partition": _file_page(lambda path, title: compiled.visualize_partitioned(
        samples.sample_partitioned_model(), str(path), title=title)),
    "schedule": _file_page(lambda path, title: compiled.visualize_execution_schedule(
        samples.sample_partitioned_model(), str(path), title=title)),
    "timeline": lambda tmp_path, title: timeline.timeline_html(
        samples.sample_partitioned_model(), title=title),
    "events": _file_page(lambda path, title: spikes.export_events_html(
        samples.sample_events(2_000), path, title=title)),
    "frames": _file_page(lambda path, title: spikes._write_frames_page(
        samples.sample_frames(4, 2_000), path, title=title)),
}


@pytest.mark.parametrize("kind", sorted(PAGES))
def test_a_title_full_of_placeholders_stays_text(tmp_path, kind):
    make = PAGES[kind]
    normal = make(tmp_path, "x")
    page = make(tmp_path, TITLE)
    # the title's own text, a few times at most, plus what a title may bring in once
    # (the graph page's contract fills the title's first {{DATA_JSON}})
    assert len(page) < 2 * len(normal) + 8 * len(TITLE)
    assert PART * 3 in page
    assert "&lt;q7&gt;" in page and "<q7>" not in page
