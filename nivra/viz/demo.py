"""The demo: one page of each kind for the built-in sample data, and the sample input files
behind them for trying the other commands.

    for path, what in write_demo(Path("out"), Progress()):
        print(path, what)

Each file is written whole or not at all (see ``nivra.viz.output``).
"""
from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any, Callable

import numpy as np

from nivra.viz import output
from nivra.viz._progress import Progress, spike_progress

__all__ = ["PAGES", "INPUTS", "write_demo"]

# File name -> what it is for, in the order they are written and listed.
PAGES = {
    "graph.html": "graph viewer page of the sample model, a small spiking detector",
    "partition.html": "partition view of the sample model on 4 cores",
    "schedule.html": "execution timeline of the partitioned model with the sample latencies, "
                     "linked to partition.html",
    "events.html": "spike page of the sample event recording",
    "frames.html": "frame page of the sample frame stack",
    "nir.html": "graph viewer page of the sample NIR model",
}
INPUTS = {
    "sample_model.nvir": "the sample model, stored (input of 'nivra-viz graph')",
    "sample_partitioned.nvir": "the sample model partitioned onto 4 cores (input of "
                               "'nivra-viz partition' and 'nivra-viz schedule')",
    "sample_latencies.json": "latency of each node in microseconds "
                             "('nivra-viz schedule --profile')",
    "sample_events.npy": "a synthetic event recording, x/y/t/p ('nivra-viz events')",
    "sample_frames.npy": "a frame stack (T, C, H, W) ('nivra-viz frames')",
    "sample_model.nir": "the sample NIR model ('nivra-viz graph')",
}


def _modules() -> dict[str, Any]:
    from nivra.viz import compiled, render, serialize, spikes, timeline

    return {"compiled": compiled, "render": render, "serialize": serialize, "spikes": spikes,
            "timeline": timeline}


def write_demo(root: Path, progress: Progress) -> list[tuple[Path, str]]:
    """Write the demo into ``root`` (made when missing); returns each file written with what
    it is for, pages first. Without the optional package ``nir`` the NIR files are left out,
    with a note on stderr."""
    from nivra import ir
    from nivra.viz import samples

    m = _modules()
    try:
        root.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise output.OutputError(f"cannot create {root}: {exc.strerror or exc}") from None
    written: list[tuple[Path, str]] = []

    def write(name: str, fill: Callable[[Path], Any]) -> None:
        path = root / name
        try:
            with output.replacing(path) as tmp:
                fill(tmp)
        except OSError as exc:
            raise output.OutputError(f"cannot write {path}: {exc.strerror or exc}") from None
        written.append((path, PAGES.get(name) or INPUTS[name]))

    def page(name: str, html: str) -> None:
        write(name, lambda tmp: tmp.write_text(html, encoding="utf-8"))

    progress.stage("graph viewer page of the sample model")
    model = samples.sample_model()
    doc = m["serialize"].graph_to_dict(model, detect_patterns=True)
    page("graph.html", m["render"].render_html(doc, title="Sample model: tiny spiking detector"))

    progress.stage("partition view of the partitioned sample model")
    partitioned = samples.sample_partitioned_model()
    write("partition.html", lambda tmp: m["compiled"].visualize_partitioned(
        partitioned, str(tmp), title="Sample model on 4 cores"))

    progress.stage("execution timeline with the sample latency profile")
    profile = samples.sample_profile()
    write("schedule.html", lambda tmp: m["timeline"].write_timeline(
        partitioned, tmp, title="Sample model: execution timeline", profile_result=profile,
        graph_page="partition.html"))

    progress.stage("spike page of the sample recording")
    events = samples.sample_events()
    with spike_progress(progress):
        write("events.html", lambda tmp: m["spikes"].export_events_html(
            events, str(tmp), sensor_size=tuple(samples.SENSOR_SIZE),
            title="Sample recording: rotating bar and dots"))

    progress.stage("frame page of the sample frame stack")
    frames = samples.sample_frames()
    with spike_progress(progress):
        write("frames.html", lambda tmp: m["spikes"]._write_frames_page(
            frames, tmp, title="Sample frames"))

    nir_model = None
    try:
        nir_model = samples.sample_nir_model()
    except ImportError:
        sys.stderr.write("nivra-viz: note: no NIR sample; it needs the optional package nir "
                         "(pip install 'nivra-viz[nir]')\n")
    if nir_model is not None:
        from nivra.viz.importers import nir as nir_import

        progress.stage("graph viewer page of the sample NIR model")
        doc = nir_import.graph_document(nir_model)
        page("nir.html", m["render"].render_html(
            doc, title="Sample NIR model: recurrent classifier"))

    progress.stage("writing the sample input files")
    write("sample_model.nvir", lambda tmp: ir.write(model, tmp))
    write("sample_partitioned.nvir", lambda tmp: ir.write(partitioned, tmp))
    latencies = json.dumps(profile.per_node_latency, indent=1) + "\n"
    write("sample_latencies.json", lambda tmp: tmp.write_text(latencies, encoding="utf-8"))
    write("sample_events.npy", lambda tmp: np.save(tmp, events))
    write("sample_frames.npy", lambda tmp: np.save(tmp, frames))
    if nir_model is not None:
        write("sample_model.nir", lambda tmp: nir_import.write(tmp, nir_model))
    return written
