"""The ``nivra-viz`` command line: stored graphs, partitioned graphs, event recordings and
frame stacks to self-contained HTML pages.

    nivra-viz graph MODEL -o PAGE.html [--title T] [--no-patterns]
    nivra-viz partition MODEL -o PAGE.html [--title T]
    nivra-viz schedule MODEL -o PAGE.html [--title T] [--profile LATENCIES.json]
    nivra-viz events RECORDING -o PAGE.html [--sensor W H] [--frames N] [--grid-bins N]
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
import csv
import importlib
import io
import json
import math
import sys
import time
import warnings
import webbrowser
import zipfile
from pathlib import Path
from types import ModuleType
from typing import IO, Any, Callable, Iterator, NoReturn, Sequence

import numpy as np

from nivra.viz._progress import reporting

PROG = "nivra-viz"

DEMO_PAGES = ("graph.html", "partition.html", "schedule.html", "events.html", "frames.html")


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


# Progress stages of the spikes module (nivra.viz._progress), as the lines say them.
_STAGE_LINES = {
    "grid": "binning the time grid",
    "frames": "binning animation frames",
    "raster": "binning the spike raster",
}


@contextlib.contextmanager
def _spike_progress(progress: Progress) -> Iterator[None]:
    """Report the binning and image stages of the spikes module while a page is built."""
    if not progress.enabled:
        yield
        return

    def report(stage: str, done: int, total: int) -> None:
        if stage == "images":
            progress.count("encoding images", done, total)
        elif stage in _STAGE_LINES:
            progress.stage(_STAGE_LINES[stage])

    with reporting(report):
        yield


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
    p.add_argument("model", metavar="MODEL", help="a graph stored with nivra.ir.write")
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
                       help="partitioned graph to an execution-schedule page",
                       description="Write the execution-schedule page (one row per core) of "
                                   "a stored, partitioned graph.")
    p.add_argument("model", metavar="MODEL", help="a partitioned graph stored with nivra.ir.write")
    page_args(p, "Execution Schedule")
    p.add_argument("--profile", metavar="LATENCIES.json",
                   help="JSON object mapping node names to latencies in microseconds")

    p = sub.add_parser("events", parents=[common], help="event recording to a spike page",
                       description="Write the spike page (time grid, animation, raster) of an "
                                   "event recording: a .npy structured array (memory-mapped), "
                                   "a .npz holding one, or a CSV/text file whose first line "
                                   "names the fields, e.g. x,y,t,p.")
    p.add_argument("recording", metavar="RECORDING", help=".npy, .npz, .csv or text file")
    p.add_argument("-o", "--output", required=True, metavar="PAGE.html",
                   help="the page to write (replaced if it exists)")
    p.add_argument("--sensor", nargs=2, type=_positive_int, metavar=("W", "H"),
                   help="sensor width and height (default: detected from the coordinates)")
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


def _sniff_delimiter(header: str) -> str | None:
    for delimiter in (",", "\t", ";"):
        if delimiter in header:
            return delimiter
    return None  # whitespace


def _column_dtype(values: np.ndarray) -> np.dtype[Any]:
    """int64 for columns of whole numbers, else float64."""
    if values.size == 0:
        return np.dtype(np.int64)
    finite = np.isfinite(values)
    if finite.all() and np.all(values == np.round(values)) and np.abs(values).max() < 2.0 ** 53:
        return np.dtype(np.int64)
    return np.dtype(np.float64)


def read_csv_events(path: Path) -> np.ndarray:
    """A CSV or whitespace-separated text file with a header line naming the fields, as a
    structured array: whole-number columns become int64, the others float64."""
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            header = f.readline()
            while header and not header.strip():
                header = f.readline()
            body = f.read()
    except UnicodeDecodeError:
        raise JobError(f"{path}: not a text file (and not .npy or .npz)") from None
    except OSError as exc:
        raise JobError(f"{path}: cannot read: {_describe_os_error(exc)}") from None
    header = header.strip().lstrip("#").strip()
    if not header:
        raise JobError(f"{path}: empty file; expected a header line naming the fields, "
                       f"e.g. x,y,t,p")
    delimiter = _sniff_delimiter(header)
    if delimiter is None:
        names = header.split()
    else:
        names = [n.strip().strip('"').strip() for n in next(csv.reader([header],
                                                                      delimiter=delimiter))]
    bad = [n for n in names if not n or not n.replace("_", "a").isalnum() or n[0].isdigit()]
    if bad or not names:
        raise JobError(f"{path}: the first line must name the fields (for example x,y,t,p), "
                       f"found {header[:60]!r}")
    if len(set(names)) != len(names):
        raise JobError(f"{path}: repeated field name in the header {header[:60]!r}")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # "input contained no data" for a header only
            values = np.loadtxt(io.StringIO(body), delimiter=delimiter, dtype=np.float64,
                                ndmin=2, comments="#")
    except ValueError as exc:
        detail = str(exc).splitlines()[-1] if str(exc) else "unreadable values"
        raise JobError(f"{path}: bad CSV data: {detail} (line numbers count from the first "
                       f"line after the header)") from None
    if values.size == 0:
        values = values.reshape(0, len(names))
    if values.shape[1] != len(names):
        raise JobError(f"{path}: the header names {len(names)} fields but the rows have "
                       f"{values.shape[1]} values")
    dtype = np.dtype([(n, _column_dtype(values[:, i])) for i, n in enumerate(names)])
    events = np.empty(values.shape[0], dtype)
    for i, n in enumerate(names):
        events[n] = values[:, i]
    return events


def _npy_error(path: Path, exc: BaseException) -> JobError:
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if "allow_pickle" in text or "pickle" in text.lower():
        text = "it holds Python objects, which are never loaded"
    return JobError(f"{path}: damaged or unsupported array file: {text}")


def _load_array(path: Path, what: str) -> np.ndarray:
    """A .npy file memory-mapped, or the one array of a .npz file that fits ``what``."""
    suffix = path.suffix.lower()
    try:
        if suffix == ".npz":
            with np.load(path, allow_pickle=False) as npz:
                names = list(npz.files)
                if not names:
                    raise JobError(f"{path}: the archive holds no arrays")
                if what == "events":
                    arrays: dict[str, np.ndarray] = {n: npz[n] for n in names}
                    picks = [n for n, a in arrays.items() if a.dtype.names]
                    if len(picks) != 1:
                        kind = "none" if not picks else ", ".join(picks)
                        raise JobError(f"{path}: expected one structured event array (with "
                                       f"fields such as x, y, t, p), found {kind} among the "
                                       f"arrays {', '.join(names)}")
                    return arrays[picks[0]]
                if len(names) != 1:
                    raise JobError(f"{path}: expected one array, found {len(names)}: "
                                   f"{', '.join(names)}")
                return np.asarray(npz[names[0]])
        mapped: np.ndarray = np.load(path, mmap_mode="r", allow_pickle=False)
        return mapped
    except JobError:
        raise
    except (ValueError, EOFError, zipfile.BadZipFile, KeyError) as exc:
        raise _npy_error(path, exc) from None
    except OSError as exc:
        raise JobError(f"{path}: cannot read: {_describe_os_error(exc)}") from None


def read_events(path: Path) -> np.ndarray:
    """An event recording from a .npy, .npz or CSV/text file (see ``events --help``)."""
    suffix = path.suffix.lower()
    if suffix in (".npy", ".npz"):
        events = _load_array(path, "events")
    else:
        try:
            with open(path, "rb") as f:
                magic = f.read(6)
        except OSError as exc:
            raise JobError(f"{path}: cannot read: {_describe_os_error(exc)}") from None
        if magic == b"\x93NUMPY":
            events = _load_array(path, "events")
        elif magic.startswith(b"PK"):
            raise JobError(f"{path}: looks like a .npz archive; rename it to end in .npz")
        else:
            events = read_csv_events(path)
    if not events.dtype.names:
        raise JobError(f"{path}: holds a plain {events.dtype} array of shape "
                       f"{tuple(events.shape)}, not a structured event array with named "
                       f"fields such as x, y, t, p")
    if events.ndim != 1:
        raise JobError(f"{path}: the event array must be one-dimensional, "
                       f"got shape {tuple(events.shape)}")
    return events


# --- commands ------------------------------------------------------------------------------


def cmd_graph(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    graph = _read_graph(args.model, progress)
    serialize = _module("serialize")
    render = _module("render")
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
    _compiled_job(compiled.visualize_execution_schedule, output, graph, str(output),
                  title=title, profile_result=profile)
    out.write(f"{output}\n")


def _field_report(fields: Sequence[str | None]) -> str:
    parts = []
    for role, name in zip("xytp", fields):
        parts.append(f"{role}={name}" if name else f"{role}=(none)")
    return " ".join(parts)


def cmd_events(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    output = _check_output(args.output)
    path = _check_input(args.recording)
    progress.stage(f"reading {path}")
    events = read_events(path)
    spikes = _module("spikes")
    fields = tuple(spikes._get_event_fields(events))
    x_field, _y, t_field, _p = fields
    found = ", ".join(events.dtype.names or ())
    for role, name in (("x (or channel/address)", x_field), ("time", t_field)):
        if name is None:
            key = "x" if role.startswith("x") else "t"
            raise JobError(f"{path}: no {role} field; looked for "
                           f"{', '.join(spikes._FIELD_CANDIDATES[key])}, found {found}")
    if args.sensor is not None:
        sensor = (int(args.sensor[0]), int(args.sensor[1]))
        how = "given"
    else:
        progress.stage("detecting the sensor size")
        width, height = spikes._detect_sensor_size(events)
        sensor = (int(width), int(height))
        how = "detected"
    count = f"{len(events)} event" + ("" if len(events) == 1 else "s")
    out.write(f"{path}: {count}; fields {_field_report(fields)}; "
              f"sensor {sensor[0]} x {sensor[1]} ({how})\n")
    title = args.title if args.title is not None else path.name
    try:
        with _spike_progress(progress):
            spikes.export_events_html(
                events, str(output), sensor_size=sensor, title=title, n_frames=args.frames,
                n_grid_bins=args.grid_bins, raster_time_bins=args.raster_bins,
                max_raster_neurons=args.max_neurons)
    except OSError as exc:
        raise JobError(f"cannot write {output}: {_describe_os_error(exc)}") from None
    except (ValueError, MemoryError) as exc:
        raise JobError(f"{path}: {type(exc).__name__}: {exc}") from None
    progress.stage(f"wrote {output}")
    out.write(f"{output}\n")
    if args.open:
        webbrowser.open(output.resolve().as_uri())


def write_frames_page(spikes: ModuleType, frames: Any, output: Path, title: str) -> None:
    """The frame page of ``spikes.plot_frames`` written to ``output``, no browser opened."""
    try:
        spikes._write_frames_page(frames, output, title=title)
    except OSError as exc:
        raise JobError(f"cannot write {output}: {_describe_os_error(exc)}") from None


def read_frames(path: Path) -> np.ndarray:
    frames = _load_array(path, "frames")
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
        with _spike_progress(progress):
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

    progress.stage("execution schedule with the sample latency profile")
    profile = samples.sample_profile()
    page = root / "schedule.html"
    _compiled_job(compiled.visualize_execution_schedule, page, partitioned, str(page),
                  title="Sample model: execution schedule", profile_result=profile)
    written.append(page)

    progress.stage("spike page of the sample recording")
    events = samples.sample_events()
    page = root / "events.html"
    with _spike_progress(progress):
        spikes.export_events_html(events, str(page), sensor_size=tuple(samples.SENSOR_SIZE),
                                  title="Sample recording: rotating bar and dots")
    written.append(page)

    progress.stage("frame page of the sample frame stack")
    frames = samples.sample_frames()
    page = root / "frames.html"
    with _spike_progress(progress):
        write_frames_page(spikes, frames, page, "Sample frames")
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
