"""The ``nivra-viz`` command line: stored graphs, partitioned graphs, event recordings and
frame stacks to self-contained HTML pages.

    nivra-viz graph MODEL -o PAGE.html [--title T] [--no-patterns]
    nivra-viz partition MODEL -o PAGE.html [--title T]
    nivra-viz schedule MODEL -o PAGE.html [--title T] [--profile LATENCIES.json]
                       [--graph-page PAGE.html] [--classic]
    nivra-viz events RECORDING -o PAGE.html [--sensor W H] [--start T] [--end T | --duration T]
                     [--time-unit s|ms|us|ns] [--array NAME] [--frames N] [--grid-bins N]
                     [--raster-bins N] [--max-neurons N] [--title T] [--open]
    nivra-viz frames FRAMES.npy -o PAGE.html [--title T]
    nivra-viz demo [-o DIR]

Exit status: 0 on success, 1 when a job fails (missing or damaged input, a page that cannot be
written), 2 for usage errors. Errors are one line on stderr, starting with "nivra-viz: error:".
Progress goes to stderr, stage by stage, when stderr is a terminal; ``--quiet`` silences it.
"""
from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import math
import os
import shutil
import sys
import time
import webbrowser
from pathlib import Path
from types import ModuleType
from typing import IO, Any, Callable, Iterator, NoReturn, Sequence

import numpy as np

PROG = "nivra-viz"

DEMO_PAGES = ("graph.html", "partition.html", "schedule.html", "events.html", "frames.html",
              "nir.html")


class JobError(Exception):
    """A job failed for a reason the user can act on; the message is shown as is."""


# --- progress ------------------------------------------------------------------------------


class Progress:
    """Stage-by-stage progress lines on a stream (stderr), only when it is a terminal."""

    def __init__(self, stream: IO[str] | None = None, quiet: bool = False) -> None:
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = not quiet and bool(isatty and isatty())
        self._t0 = time.perf_counter()
        self._last_count = 0.0

    def stage(self, text: str) -> None:
        if self.enabled:
            elapsed = time.perf_counter() - self._t0
            self.stream.write(f"{PROG}: [{elapsed:6.1f}s] {text}\n")
            self.stream.flush()

    def count(self, text: str, done: int, total: int) -> None:
        """A counter line, at most a few per second, always the last one."""
        now = time.perf_counter()
        if done == total or done == 1 or now - self._last_count > 0.25:
            self._last_count = now
            self.stage(f"{text} {done}/{total}")


@contextlib.contextmanager
def _spike_progress(spikes: ModuleType, progress: Progress, n_images: int) -> Iterator[None]:
    """Report the binning and image stages of the spikes module while a page is built.

    The module looks its own functions up by name at every call, so wrapping the module
    attributes for the duration of one job is enough; they are restored afterwards.
    """
    if not progress.enabled:
        yield
        return
    saved: dict[str, Any] = {}
    encoded = [0]
    depth = [0]  # the grid bins through the frame binning: report the outer call only

    def binning(name: str, label: str) -> None:
        original = getattr(spikes, name, None)
        if original is None:
            return

        def wrapper(*args: Any, **kwargs: Any) -> Any:
            if depth[0] == 0:
                progress.stage(f"binning {label}")
            depth[0] += 1
            try:
                return original(*args, **kwargs)
            finally:
                depth[0] -= 1

        saved[name] = original
        setattr(spikes, name, wrapper)

    binning("events_to_grid", "the time grid")
    binning("events_to_frames", "animation frames")
    binning("events_to_raster", "the spike raster")
    original_encode = getattr(spikes, "_encode_image_base64", None)
    if original_encode is not None:
        def encode(img: Any) -> Any:
            encoded[0] += 1
            progress.count("encoding images", encoded[0], max(n_images, encoded[0]))
            return original_encode(img)

        saved["_encode_image_base64"] = original_encode
        setattr(spikes, "_encode_image_base64", encode)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(spikes, name, value)


# --- argument parsing ----------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """argparse with one-line usage errors."""

    def error(self, message: str) -> NoReturn:
        sub = self.prog[len(PROG):].strip()
        hint = f"{PROG} {sub} --help" if sub else f"{PROG} --help"
        self.exit(2, f"{PROG}: error: {message} (see '{hint}')\n")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {value}")
    return value


def _version() -> str:
    from nivra import viz

    return str(getattr(viz, "__version__", "unknown"))


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Turn stored IR graphs, partitioned graphs, event recordings and frame "
                    "stacks into self-contained HTML pages that work offline.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    common = _Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress messages on stderr")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def page_args(p: argparse.ArgumentParser, title_default: str) -> None:
        p.add_argument("-o", "--output", required=True, metavar="PAGE.html",
                       help="the page to write (replaced if it exists)")
        p.add_argument("--title", metavar="T", help=f"page title (default: {title_default})")

    p = sub.add_parser("graph", parents=[common], help="stored graph to a graph viewer page",
                       description="Write the interactive graph viewer page of a stored graph.")
    p.add_argument("model", metavar="MODEL",
                   help="a graph stored with nivra.ir.write, or a NIR graph (.nir)")
    page_args(p, "the graph's name, else the file name")
    p.add_argument("--no-patterns", action="store_true",
                   help="do not detect and group architectural patterns")

    p = sub.add_parser("partition", parents=[common],
                       help="partitioned graph to a partition view",
                       description="Write the partition view (nodes outlined by core, "
                                   "cross-core edges dashed) of a stored, partitioned graph.")
    p.add_argument("model", metavar="MODEL", help="a partitioned graph stored with nivra.ir.write")
    page_args(p, "Partitioned Graph")

    p = sub.add_parser("schedule", parents=[common],
                       help="partitioned graph to an execution timeline",
                       description="Write the execution timeline (one lane per core, time to "
                                   "scale, critical path marked) of a stored, partitioned graph.")
    p.add_argument("model", metavar="MODEL", help="a partitioned graph stored with nivra.ir.write")
    page_args(p, "Execution Schedule")
    p.add_argument("--profile", metavar="LATENCIES.json",
                   help="JSON object mapping node names to latencies in microseconds")
    p.add_argument("--graph-page", metavar="PAGE.html",
                   help="the partition view of the same graph, to link nodes to and back")
    p.add_argument("--classic", action="store_true",
                   help="write the earlier static page (one row of chips per core)")

    p = sub.add_parser("events", parents=[common], help="event recording to a spike page",
                       description="Write the spike page (time grid, animation, raster) of an "
                                   "event recording: a .npy structured array (memory-mapped), "
                                   "a .npz holding one, a CSV/text file whose first line names "
                                   "the fields (e.g. x,y,t,p), a Prophesee .raw (EVT 2.0/3.0) or "
                                   ".dat file, an AEDAT4 file or an HDF5 file (the camera "
                                   "formats need: pip install nivra-viz[formats]). Recordings "
                                   "larger than memory are binned in chunks.")
    p.add_argument("recording", metavar="RECORDING",
                   help=".npy, .npz, .csv/.txt, .raw, .dat, .aedat4 or .h5 file")
    p.add_argument("-o", "--output", required=True, metavar="PAGE.html",
                   help="the page to write (replaced if it exists)")
    p.add_argument("--sensor", nargs=2, type=_positive_int, metavar=("W", "H"),
                   help="sensor width and height; events outside it are left out (default: "
                        "from the file where it says, else detected from the coordinates)")
    p.add_argument("--start", type=_duration, metavar="T",
                   help="start of the time window after the first event: microseconds, or "
                        "with a unit: 20ms, 1.5s (default: the first event)")
    window = p.add_mutually_exclusive_group()
    window.add_argument("--end", type=_duration, metavar="T",
                        help="end of the time window after the first event (default: the last)")
    window.add_argument("--duration", type=_duration, metavar="T",
                        help="length of the time window from --start")
    p.add_argument("--time-unit", choices=("s", "ms", "us", "ns"), default=None,
                   help="unit of the file's timestamps, converted to microseconds (default: us)")
    p.add_argument("--array", metavar="NAME", help="the array of a .npz archive to show")
    p.add_argument("--frames", type=_positive_int, default=20, metavar="N",
                   help="animation frames (default: 20)")
    p.add_argument("--grid-bins", type=_positive_int, default=5, metavar="N",
                   help="time bins of the overview grid (default: 5)")
    p.add_argument("--raster-bins", type=_positive_int, default=100, metavar="N",
                   help="time bins of the spike raster (default: 100)")
    p.add_argument("--max-neurons", type=_positive_int, default=1000, metavar="N",
                   help="most neurons (pixels) shown in the raster (default: 1000)")
    p.add_argument("--title", metavar="T", help="page title (default: the file name)")
    p.add_argument("--open", action="store_true", help="open the page in the web browser")

    p = sub.add_parser("frames", parents=[common], help="precomputed frames to a spike page",
                       description="Write the page of a precomputed frame stack: a .npy array "
                                   "(T, H, W) or (T, C, H, W); channel 0 is drawn as ON (blue), "
                                   "channel 1 as OFF (red).")
    p.add_argument("frames", metavar="FRAMES.npy", help="frame stack (.npy, or .npz holding one)")
    page_args(p, "the file name")

    p = sub.add_parser("demo", parents=[common], help="write every page kind for sample data",
                       description="Write every kind of page for the built-in sample data "
                                   "(a small spiking detector, partitioned onto 4 cores, its "
                                   "latency profile, a synthetic event recording and a frame "
                                   "stack), together with the sample input files.")
    p.add_argument("-o", "--output", default="out", metavar="DIR",
                   help="directory to write into, created if needed (default: out)")
    return parser


# --- helpers -------------------------------------------------------------------------------


def _module(name: str) -> ModuleType:
    try:
        return importlib.import_module(f"nivra.viz.{name}")
    except ImportError as exc:
        raise JobError(f"the module nivra.viz.{name} is not available ({exc}); "
                       f"build and install the package first (make build)") from None


def _describe_os_error(exc: OSError) -> str:
    return exc.strerror or str(exc)


def _check_input(path: str) -> Path:
    p = Path(path)
    if not p.exists():
        raise JobError(f"{path}: no such file")
    if p.is_dir():
        raise JobError(f"{path}: is a directory, not a file")
    return p


def _check_output(path: str) -> Path:
    p = Path(path)
    if p.is_dir():
        raise JobError(f"cannot write {path}: it is a directory")
    parent = p.parent
    if not parent.is_dir():
        raise JobError(f"cannot write {path}: directory {parent} does not exist")
    return p


def _write_text(path: Path, text: str) -> None:
    try:
        path.write_text(text, encoding="utf-8")
    except OSError as exc:
        raise JobError(f"cannot write {path}: {_describe_os_error(exc)}") from None


def _read_graph(path: str, progress: Progress) -> Any:
    _check_input(path)
    from nivra import ir
    from nivra.viz.importers import nir as nir_import

    if nir_import.looks_like_hdf5(path):
        raise JobError(f"{path}: an HDF5 file (NIR?), not a stored IR graph; "
                       f"'{PROG} graph' draws NIR graphs")

    progress.stage(f"reading {path}")
    try:
        return ir.read(path)
    except ir.IRFormatError as exc:
        raise JobError(str(exc)) from None
    except OSError as exc:
        raise JobError(f"{path}: cannot read: {_describe_os_error(exc)}") from None


def _graph_title(graph: Any, path: str) -> str:
    metadata = getattr(graph, "metadata", None)
    name = metadata.get("name") if isinstance(metadata, dict) else None
    return name if isinstance(name, str) and name else Path(path).name


# --- event recordings ----------------------------------------------------------------------

_TIME_SUFFIXES = (("us", 1), ("ms", 1_000), ("s", 1_000_000))


def _duration(text: str) -> float:
    """A time in microseconds from '500', '500us', '20ms' or '1.5s'."""
    raw = text.strip().lower()
    factor = 1
    for suffix, scale in _TIME_SUFFIXES:
        if raw.endswith(suffix):
            raw, factor = raw[: -len(suffix)].strip(), scale
            break
    try:
        value = float(raw)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a time such as 500 (microseconds), 20ms or 1.5s, got {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"expected a time of at least 0, got {text!r}")
    value *= factor
    return int(value) if value.is_integer() else value


def _left_out_report(left_out: dict[str, int | None]) -> tuple[str, int]:
    parts, total = [], 0
    for reason, n in left_out.items():
        if n is None:
            parts.append(f"{reason}: not counted (reading stopped at the window's end)")
        elif n:
            parts.append(f"{n:,} {reason}")
            total += n
    return ("; left out " + ", ".join(parts)) if parts else "; none left out", total


# --- commands ------------------------------------------------------------------------------


def _nir_document(path: str, progress: Progress, detect: bool) -> tuple[dict[str, Any], str]:
    from nivra.viz.importers import nir as nir_import

    progress.stage(f"reading {path} (NIR)")
    try:
        graph = nir_import.read(path)
    except (ImportError, ValueError) as exc:
        raise JobError(str(exc)) from None
    progress.stage("flattening the NIR graph" + (" and detecting patterns" if detect else ""))
    return (nir_import.graph_document(graph, detect_patterns=detect),
            nir_import.title_of(graph, Path(path).name))


def cmd_graph(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    _check_input(args.model)
    serialize = _module("serialize")
    render = _module("render")
    from nivra.viz.importers import nir as nir_import

    if nir_import.looks_like_hdf5(args.model):
        doc, name = _nir_document(args.model, progress, not args.no_patterns)
        title = args.title if args.title is not None else name
    else:
        graph = _read_graph(args.model, progress)
        title = args.title if args.title is not None else _graph_title(graph, args.model)
        progress.stage("serializing the graph" + ("" if args.no_patterns else
                                                  " and detecting patterns"))
        doc = serialize.graph_to_dict(graph, detect_patterns=not args.no_patterns)
    progress.stage("rendering the page")
    html = render.render_html(doc, title=title)
    progress.stage(f"writing {output}")
    _write_text(output, html)
    out.write(f"{output}\n")


def _compiled_job(fn: Callable[..., str], output: Path, *args: Any, **kwargs: Any) -> None:
    try:
        fn(*args, **kwargs)
    except ValueError as exc:
        raise JobError(f"{exc}") from None
    except OSError as exc:
        raise JobError(f"cannot write {output}: {_describe_os_error(exc)}") from None


def cmd_partition(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    graph = _read_graph(args.model, progress)
    compiled = _module("compiled")
    title = args.title if args.title is not None else "Partitioned Graph"
    progress.stage("building and writing the partition view")
    _compiled_job(compiled.visualize_partitioned, output, graph, str(output), title=title)
    out.write(f"{output}\n")


class LatencyProfile:
    """The profile object the schedule page reads: latency per node, microseconds."""

    def __init__(self, per_node_latency: dict[str, float]) -> None:
        self.per_node_latency = per_node_latency


def read_profile(path: str) -> LatencyProfile:
    p = _check_input(path)
    try:
        data = json.loads(p.read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise JobError(f"{path}: not valid JSON ({exc})") from None
    except OSError as exc:
        raise JobError(f"{path}: cannot read: {_describe_os_error(exc)}") from None
    if isinstance(data, dict) and isinstance(data.get("per_node_latency"), dict):
        data = data["per_node_latency"]
    if not isinstance(data, dict):
        raise JobError(f"{path}: expected a JSON object mapping node names to latencies "
                       f"in microseconds, got a JSON {type(data).__name__}")
    latency: dict[str, float] = {}
    for name, value in data.items():
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value) or value < 0:
            raise JobError(f"{path}: latency of {name!r} must be a number of microseconds "
                           f">= 0, got {json.dumps(value)}")
        latency[name] = float(value)
    return LatencyProfile(latency)


def cmd_schedule(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    profile = read_profile(args.profile) if args.profile is not None else None
    graph = _read_graph(args.model, progress)
    compiled = _module("compiled")
    title = args.title if args.title is not None else "Execution Schedule"
    progress.stage("building and writing the schedule page")
    if args.classic:
        _compiled_job(compiled.visualize_execution_schedule, output, graph, str(output),
                      title=title, profile_result=profile)
    else:
        link = None if args.graph_page is None else \
            os.path.relpath(args.graph_page, output.resolve().parent)
        _compiled_job(_module("timeline").write_timeline, output, graph, output, title=title,
                      profile_result=profile, graph_page=link)
    out.write(f"{output}\n")


def _field_report(fields: Sequence[str | None]) -> str:
    parts = []
    for role, name in zip("xytp", fields):
        parts.append(f"{role}={name}" if name else f"{role}=(none)")
    return " ".join(parts)


def cmd_events(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    path = _check_input(args.recording)
    from nivra.viz import recording_page

    end = args.end
    if args.duration is not None:
        end = (args.start or 0) + args.duration
    if args.start is not None and end is not None and end <= args.start:
        raise JobError(f"the time window is empty: --end must be after --start")
    spikes = _module("spikes")
    try:
        with _spike_progress(spikes, progress, args.grid_bins + args.frames):
            report = recording_page.make_page(
                path, output, start=args.start, end=end, time_unit=args.time_unit or "us",
                unit_given=args.time_unit is not None, array=args.array,
                sensor=tuple(args.sensor) if args.sensor else None, n_frames=args.frames,
                grid_bins=args.grid_bins, raster_bins=args.raster_bins,
                max_neurons=args.max_neurons, title=args.title, stage=progress.stage)
    except (recording_page.ReaderError, recording_page.PageError) as exc:
        raise JobError(str(exc)) from None
    except OSError as exc:
        raise JobError(f"cannot write {output}: {_describe_os_error(exc)}") from None
    except (ValueError, MemoryError) as exc:
        raise JobError(f"{path}: {type(exc).__name__}: {exc}") from None
    left, total = _left_out_report(report.left_out)
    count = f"{report.count:,} event" + ("" if report.count == 1 else "s")
    out.write(f"{path}: {report.format}; {count}; fields {_field_report(report.fields)}; "
              f"sensor {report.sensor[0]} x {report.sensor[1]} ({report.sensor_from}){left}\n")
    for text in report.warnings:
        sys.stderr.write(f"{PROG}: warning: {text}\n")
    if total:
        sys.stderr.write(f"{PROG}: warning: {total:,} of {report.count:,} events left out of "
                         f"the page{left[len('; left out'):]}\n")
    progress.stage(f"wrote {output}")
    out.write(f"{output}\n")
    if args.open:
        webbrowser.open(output.resolve().as_uri())


class _NoBrowser:
    """Stands in for the ``webbrowser`` module while a page goes to a file instead."""

    @staticmethod
    def open(url: str, new: int = 0, autoraise: bool = True) -> bool:
        return True


def write_frames_page(spikes: ModuleType, frames: Any, output: Path, title: str) -> None:
    """The frame page of ``spikes.plot_frames`` written to ``output``, no browser opened."""
    saved = getattr(spikes, "webbrowser")
    setattr(spikes, "webbrowser", _NoBrowser())
    try:
        tmp = spikes.plot_frames(frames, title=title)
    finally:
        setattr(spikes, "webbrowser", saved)
    try:
        # a copy, not a move: the page gets the usual permissions, not the temporary file's
        shutil.copyfile(tmp, output)
    except OSError as exc:
        raise JobError(f"cannot write {output}: {_describe_os_error(exc)}") from None
    finally:
        with contextlib.suppress(OSError):
            os.remove(tmp)


def read_frames(path: Path) -> np.ndarray:
    from nivra.viz.io.arrays import load_array
    from nivra.viz.io import ReaderError

    try:
        frames = load_array(path, structured=False)
    except ReaderError as exc:
        raise JobError(str(exc)) from None
    if frames.dtype.names or not (np.issubdtype(frames.dtype, np.number)
                                  or frames.dtype == np.bool_):
        raise JobError(f"{path}: expected a numeric frame array, got dtype {frames.dtype}"
                       + (" (an event recording? use 'nivra-viz events')"
                          if frames.dtype.names else ""))
    if frames.ndim not in (3, 4) or (frames.ndim == 4 and frames.shape[1] < 1):
        raise JobError(f"{path}: expected frames of shape (T, H, W) or (T, C, H, W), "
                       f"got {tuple(frames.shape)}")
    if frames.dtype == np.bool_:
        frames = frames.astype(np.uint8)
    return frames


def cmd_frames(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    path = _check_input(args.frames)
    progress.stage(f"reading {path}")
    frames = read_frames(path)
    spikes = _module("spikes")
    title = args.title if args.title is not None else path.name
    try:
        with _spike_progress(spikes, progress, int(frames.shape[0])):
            write_frames_page(spikes, frames, output, title)
    except (ValueError, IndexError) as exc:
        raise JobError(f"{path}: {type(exc).__name__}: {exc}") from None
    progress.stage(f"wrote {output}")
    out.write(f"{output}\n")


def cmd_demo(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    serialize = _module("serialize")
    render = _module("render")
    compiled = _module("compiled")
    spikes = _module("spikes")
    from nivra import ir
    from nivra.viz import samples

    root = Path(args.output)
    try:
        root.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise JobError(f"cannot create {root}: {_describe_os_error(exc)}") from None
    written: list[Path] = []

    progress.stage("graph viewer page of the sample model")
    model = samples.sample_model()
    doc = serialize.graph_to_dict(model, detect_patterns=True)
    page = root / "graph.html"
    _write_text(page, render.render_html(doc, title="Sample model: tiny spiking detector"))
    written.append(page)

    progress.stage("partition view of the partitioned sample model")
    partitioned = samples.sample_partitioned_model()
    page = root / "partition.html"
    _compiled_job(compiled.visualize_partitioned, page, partitioned, str(page),
                  title="Sample model on 4 cores")
    written.append(page)

    progress.stage("execution timeline with the sample latency profile")
    profile = samples.sample_profile()
    page = root / "schedule.html"
    _compiled_job(_module("timeline").write_timeline, page, partitioned, page,
                  title="Sample model: execution timeline", profile_result=profile,
                  graph_page="partition.html")
    written.append(page)

    progress.stage("spike page of the sample recording")
    events = samples.sample_events()
    page = root / "events.html"
    with _spike_progress(spikes, progress, 25):
        spikes.export_events_html(events, str(page), sensor_size=tuple(samples.SENSOR_SIZE),
                                  title="Sample recording: rotating bar and dots")
    written.append(page)

    progress.stage("frame page of the sample frame stack")
    frames = samples.sample_frames()
    page = root / "frames.html"
    with _spike_progress(spikes, progress, int(frames.shape[0])):
        write_frames_page(spikes, frames, page, "Sample frames")
    written.append(page)

    nir_model = None
    try:
        nir_model = samples.sample_nir_model()
    except ImportError:
        sys.stderr.write(f"{PROG}: note: no NIR sample; it needs the optional package nir "
                         f"(pip install 'nivra-viz[nir]')\n")
    if nir_model is not None:
        from nivra.viz.importers import nir as nir_import

        progress.stage("graph viewer page of the sample NIR model")
        page = root / "nir.html"
        doc = nir_import.graph_document(nir_model)
        _write_text(page, render.render_html(doc, title="Sample NIR model: recurrent classifier"))
        written.append(page)

    # The inputs behind the pages, for trying the other commands.
    progress.stage("writing the sample input files")
    inputs = [root / "sample_model.nvir", root / "sample_partitioned.nvir",
              root / "sample_latencies.json", root / "sample_events.npy",
              root / "sample_frames.npy"]
    try:
        ir.write(model, inputs[0])
        ir.write(partitioned, inputs[1])
        inputs[2].write_text(json.dumps(profile.per_node_latency, indent=1) + "\n",
                             encoding="utf-8")
        np.save(inputs[3], events)
        np.save(inputs[4], frames)
        if nir_model is not None:
            from nivra.viz.importers import nir as nir_import

            inputs.append(root / "sample_model.nir")
            nir_import.write(inputs[-1], nir_model)
    except OSError as exc:
        raise JobError(f"cannot write into {root}: {_describe_os_error(exc)}") from None
    for path in written:
        out.write(f"{path}\n")
    progress.stage(f"sample inputs: {', '.join(p.name for p in inputs)}")


COMMANDS: dict[str, Callable[[argparse.Namespace, Progress, IO[str]], None]] = {
    "graph": cmd_graph,
    "partition": cmd_partition,
    "schedule": cmd_schedule,
    "events": cmd_events,
    "frames": cmd_frames,
    "demo": cmd_demo,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (0 ok, 1 failed job, 2 usage error)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    progress = Progress(quiet=args.quiet)
    try:
        COMMANDS[args.command](args, progress, sys.stdout)
    except JobError as exc:
        sys.stdout.flush()
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except MemoryError:
        sys.stderr.write(f"{PROG}: error: out of memory\n")
        return 1
    except Exception as exc:  # a fault of ours, still reported on one line
        sys.stderr.write(f"{PROG}: error: {args.command} failed: "
                         f"{type(exc).__name__}: {exc}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
