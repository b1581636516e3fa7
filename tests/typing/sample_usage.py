"""Uses every public function of the five modules, of the timeline, of the notebook display
and of the NIR importer (with the types their stubs declare);
``mypy --strict`` must accept it (tests/test_typing.py)."""
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from nivra import ir
from nivra.viz import compiled, encode, render, serialize, spikes, timeline
from nivra.viz.patterns import PatternMatch


def encoding(arr: np.ndarray) -> Tuple[Dict[str, Any], np.ndarray, str, str]:
    record: Dict[str, Any] = encode.encode_array(arr)
    value: Any = encode.encode_value({"weights": arr, "scale": np.float32(0.5)})
    back: np.ndarray = encode.decode_array(record)
    shape: str = encode.format_shape(arr.shape)
    size: str = encode.format_size(arr.nbytes)
    assert value is not None
    return record, back, shape, size


def graph_pages(graph: ir.Graph, pattern: PatternMatch, out_dir: Path) -> List[str]:
    node_record: Dict[str, Any] = serialize.serialize_node("fc", graph.nodes["fc"])
    summary: Dict[str, Any] = serialize.compute_summary(graph)
    group: Dict[str, Any] = serialize.serialize_pattern(pattern)
    doc: Dict[str, Any] = serialize.graph_to_dict(graph, detect_patterns=False)
    template: str = render.load_template("viewer.html")
    page: str = render.render_html(doc, title="Model", width=1600, height=900)
    escaped: str = render._escape_html("<b>")
    color: str = compiled._node_type_color(graph.nodes["fc"])
    part: str = compiled.visualize_partitioned(graph, str(out_dir / "p.html"))
    profile: Optional[Any] = None
    sched: str = compiled.visualize_execution_schedule(
        graph, str(out_dir / "s.html"), title="Schedule", profile_result=profile)
    assert node_record and summary and group and template and escaped and color
    return [page, part, sched]


def spike_pages(events: np.ndarray, out_dir: Path) -> List[str]:
    names: Tuple[str, str, str, str] = spikes._get_event_fields(events)
    size: Tuple[int, int] = spikes._detect_sensor_size(events)
    stack: np.ndarray = spikes.events_to_frames(events, size, n_frames=8, accumulate=True,
                                                use_tonic=False)
    numpy_stack: np.ndarray = spikes._events_to_frames_numpy(events, size, 8, False)
    grid: np.ndarray = spikes.events_to_grid(events, sensor_size=None, n_bins=3)
    raster: np.ndarray = spikes.events_to_raster(events, n_neurons=None, time_bins=50)
    image: str = spikes._encode_image_base64(grid[0])
    template: str = spikes._load_template("spikes.html")
    title: str = spikes._html_escape("a < b")
    doc: Dict[str, Any] = spikes.serialize_events(events, size, n_frames=4, n_grid_bins=2,
                                                  raster_time_bins=10, max_raster_neurons=100)
    page: str = spikes._render_spike_html(doc, title=title)
    exported: str = spikes.export_events_html(events, out_dir / "e.html", n_frames=4)
    if spikes.TONIC_AVAILABLE:
        tonic_stack: np.ndarray = spikes._events_to_frames_tonic(events, size, 8)
        assert tonic_stack.shape == stack.shape
    opened: str = spikes.plot_events(events, sensor_size=size, title="Events", n_frames=4)
    frames_page: str = spikes.plot_frames(stack, title="Frames")
    assert names and numpy_stack.size and raster.size and image and template and page
    return [exported, opened, frames_page]


def notebook_pages(graph: ir.Graph, events: np.ndarray, out_dir: Path) -> List[Path]:
    from nivra import viz
    from nivra.viz import notebook
    from nivra.viz.importers import nir as nir_import

    page: notebook.Page = viz.show(graph, title="Model", height=500)
    html: str = page._repr_html_()
    bundle: Dict[str, str] = viz.show(events, view="events", n_frames=4)._repr_mimebundle_()
    doc: Dict[str, Any] = nir_import.read_document(out_dir / "model.nir", detect_patterns=False)
    assert html and bundle and doc["version"]
    return [page.save(out_dir / "model.html")]


def timeline_pages(graph: ir.Graph, profile: Optional[Any], out_dir: Path) -> List[str]:
    doc: Dict[str, Any] = timeline.schedule_document(graph, profile)
    page: str = timeline.render_timeline(doc, title="Timeline", graph_page="cores.html")
    text: str = timeline.timeline_html(graph, profile_result=profile)
    written: str = timeline.write_timeline(graph, out_dir / "t.html", title="T")
    return [page, text, written]
