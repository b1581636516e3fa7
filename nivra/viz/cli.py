"""The ``nivra-viz`` command line: stored graphs, partitioned graphs, event recordings and
frame stacks to self-contained HTML pages.

    nivra-viz graph MODEL [-o PAGE.html|DIR/] [--title T] [--no-patterns] [--no-scopes]
                    [--weights full|stats|none]
    nivra-viz partition MODEL [-o PAGE.html|DIR/] [--title T] [--cores N
                        [--max-neurons-per-core N] [--sram-bytes-per-core BYTES]]
                        [--weights full|stats|none]
    nivra-viz schedule MODEL [-o PAGE.html|DIR/] [--title T] [--cores N ...]
                       [--profile LATENCIES.json] [--graph-page PAGE.html] [--classic]
    nivra-viz events RECORDING [-o PAGE.html|DIR/] [--sensor W H] [--start T]
                     [--end T | --duration T] [--time-unit s|ms|us|ns] [--array NAME]
                     [--sample N] [--allow-external] [--frames N] [--grid-bins N] [--raster-bins N] [--max-neurons N]
                     [--hot-pixels drop|keep] [--raster active|first] [--title T] [--open]
    nivra-viz frames FRAMES.npy [-o PAGE.html|DIR/] [--title T]
    nivra-viz view RECORDING|DIR [--port N] [--host H] [--no-browser] [--sensor W H]
                   [--time-unit s|ms|us|ns]
    nivra-viz demo [-o DIR]

The page defaults to the input's name with .html, beside it; it is never one of the inputs,
and it is written whole or not at all (nivra.viz.output). Exit status: 0 on success, 1 when a
job fails (missing or damaged input, a page that cannot be written), 2 for usage errors.
Errors are one line on stderr, starting with "nivra-viz: error:". Progress goes to stderr,
stage by stage, when stderr is a terminal; ``--quiet`` silences it.
"""
from __future__ import annotations

import argparse
import importlib
import math
import os
import sys
from pathlib import Path
from types import ModuleType
from typing import IO, Any, Callable, NoReturn, Sequence

from nivra.viz import graph_pages, output, recording_page, weights
from nivra.viz._progress import Progress, spike_progress
from nivra.viz._signals import Terminated, unwinding_on_termination
from nivra.viz.io import ReaderError
from nivra.viz.io._base import escaped
from nivra.viz.io.arrays import load_frames
from nivra.viz.io.profile import read_profile, unknown_nodes_warning

PROG = "nivra-viz"


class JobError(Exception):
    """A job failed for a reason the user can act on; the message is shown as is."""


# What the library raises for such reasons, shown as one line like JobError.
USER_ERRORS = (JobError, output.OutputError, ReaderError, graph_pages.GraphInputError,
               recording_page.PageError)


# --- argument parsing ----------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """argparse with one-line usage errors."""

    def error(self, message: str) -> NoReturn:
        sub = self.prog[len(PROG):].strip()
        hint = f"{PROG} {sub} --help" if sub else f"{PROG} --help"
        self.exit(2, f"{PROG}: error: {message} (see '{hint}')\n")


def _whole_number(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"expected a number of at least {least}, got {value}")
    return value


def _positive_int(text: str) -> int:
    return _whole_number(text, 1)


def _count(text: str) -> int:
    return _whole_number(text, 0)


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a port number, got {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"expected a port from 0 to 65535, got {value}")
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
        p.add_argument("-o", "--output", metavar="PAGE.html",
                       help="the page to write, or a directory (DIR/) to write it into; an "
                            "existing page is replaced once the new one is complete "
                            "(default: the input's name with .html, beside it)")
        p.add_argument("--title", metavar="T", help=f"page title (default: {title_default})")

    def weights_arg(p: argparse.ArgumentParser) -> None:
        p.add_argument("--weights", choices=weights.MODES, default=None,
                       help="full: every weight; stats: shape, dtype and statistics of each, "
                            f"payloads of arrays above {weights.STATS_MAX_ELEMENTS:,} elements "
                            "left out; none: no payloads (default: full, or stats when the "
                            f"page would pass ~{weights.FULL_PAGE_LIMIT // 1_000_000} MB)")

    def cores_args(p: argparse.ArgumentParser) -> None:
        p.add_argument("--cores", type=_positive_int, metavar="N",
                       help="partition the graph onto N cores first (the stored file is not "
                            "changed)")
        p.add_argument("--max-neurons-per-core", type=_positive_int, metavar="N",
                       help="with --cores: neurons a core holds (default: 1,048,576)")
        p.add_argument("--sram-bytes-per-core", type=_positive_int, metavar="BYTES",
                       help="with --cores: parameter memory of a core (default: 16,777,216)")
        p.set_defaults(usage_error=p.error)

    p = sub.add_parser("graph", parents=[common], help="stored graph to a graph viewer page",
                       description="Write the interactive graph viewer page of a stored graph.")
    p.add_argument("model", metavar="MODEL",
                   help="a graph stored with nivra.ir.write, or a NIR graph (.nir)")
    page_args(p, "the graph's name, else the file name")
    p.add_argument("--no-patterns", action="store_true",
                   help="do not detect and group architectural patterns")
    p.add_argument("--no-scopes", action="store_true",
                   help="do not group nodes by the prefixes of their dotted names")
    weights_arg(p)

    p = sub.add_parser("partition", parents=[common],
                       help="partitioned graph to a partition view",
                       description="Write the partition view (nodes outlined by core, "
                                   "cross-core edges dashed) of a stored, partitioned graph "
                                   "(or of one partitioned here with --cores N).")
    p.add_argument("model", metavar="MODEL",
                   help="a partitioned graph stored with nivra.ir.write (any stored graph "
                        "with --cores)")
    page_args(p, "Partitioned Graph")
    cores_args(p)
    weights_arg(p)

    p = sub.add_parser("schedule", parents=[common],
                       help="partitioned graph to an execution timeline",
                       description="Write the execution timeline (one lane per core, time to "
                                   "scale, critical path marked) of a stored, partitioned graph "
                                   "(or of one partitioned here with --cores N).")
    p.add_argument("model", metavar="MODEL",
                   help="a partitioned graph stored with nivra.ir.write (any stored graph "
                        "with --cores)")
    page_args(p, "Execution Schedule")
    cores_args(p)
    p.add_argument("--profile", metavar="LATENCIES.json",
                   help="JSON object mapping node names to latencies in microseconds")
    p.add_argument("--graph-page", metavar="PAGE.html",
                   help="the partition view of the same graph, to link nodes to and back")
    p.add_argument("--classic", action="store_true",
                   help="write the earlier static page (one row of chips per core)")
    p.add_argument("--timesteps", type=_positive_int, default=1, metavar="T",
                   help="run the schedule for T timesteps, pipelined across cores "
                        "(default: 1)")

    p = sub.add_parser("events", parents=[common], help="event recording to a spike page",
                       description="Write the spike page (time grid, animation, raster) of an "
                                   "event recording: a .npy structured array (memory-mapped), "
                                   "a .npz holding one, a CSV/text file whose first line names "
                                   "the fields (e.g. x,y,t,p), a Prophesee .raw (EVT 2.0/3.0) or "
                                   ".dat file, an AEDAT 2.0/3.1 or AEDAT4 file, an N-MNIST / "
                                   "N-Caltech101 .bin file, an Event Stream .es file (DVS, ATIS) "
                                   "or an HDF5 file (events, DSEC-style, "
                                   "SHD/SSC spiking audio; the camera formats need: pip install "
                                   "nivra-viz[formats]). Recordings larger than memory are "
                                   "binned in chunks.")
    p.add_argument("recording", metavar="RECORDING",
                   help=".npy, .npz, .csv/.txt, .raw, .dat, .aedat, .aedat4, .bin, .es or .h5 file")
    page_args(p, "the file name")
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
    p.add_argument("--sample", type=_count, metavar="N",
                   help="the sample of a spiking audio HDF5 file (SHD/SSC) to show, from 0 "
                        "(default: 0)")
    p.add_argument("--allow-external", action="store_true",
                   help="let an HDF5 file take data from other files (external links, "
                        "external storage, virtual datasets); refused by default")
    p.add_argument("--frames", type=_positive_int, default=20, metavar="N",
                   help="animation frames (default: 20)")
    p.add_argument("--grid-bins", type=_positive_int, default=5, metavar="N",
                   help="time bins of the overview grid (default: 5)")
    p.add_argument("--raster-bins", type=_positive_int, default=100, metavar="N",
                   help="time bins of the spike raster (default: 100)")
    p.add_argument("--max-neurons", type=_positive_int, default=1000, metavar="N",
                   help="most neurons (pixels) shown in the raster (default: 1000)")
    p.add_argument("--hot-pixels", choices=("drop", "keep"), default="drop",
                   help="hot pixels of a 2-D sensor (far busier than their neighbours all "
                        "recording long): left out of the page and counted, or kept "
                        "(default: drop)")
    p.add_argument("--raster", choices=("active", "first"), default="active",
                   help="the pixels of a 2-D sensor the raster holds: the busiest over the "
                        "recording, or the first in row order (default: active)")
    p.add_argument("--open", action="store_true", help="open the page in the web browser")

    p = sub.add_parser("frames", parents=[common], help="precomputed frames to a spike page",
                       description="Write the page of a precomputed frame stack: a .npy array "
                                   "(T, H, W) or (T, C, H, W); channel 0 is drawn as ON (blue), "
                                   "channel 1 as OFF (red).")
    p.add_argument("frames", metavar="FRAMES.npy", help="frame stack (.npy, or .npz holding one)")
    page_args(p, "the file name")

    p = sub.add_parser("view", parents=[common], help="browse a recording in a local viewer",
                       description="Serve a recording (or every recording under a directory) "
                                   "to a page in the web browser that plays it with any "
                                   "accumulation window, from 100 us to 10 s, binning each "
                                   "frame on demand. Reads what 'events' reads. Serves only on "
                                   "this machine (127.0.0.1) unless --host says otherwise; the "
                                   "address carries a token. Ctrl-C stops it.")
    p.add_argument("recording", metavar="RECORDING|DIR",
                   help="a recording file, or a directory whose recordings are listed")
    p.add_argument("--port", type=_port, default=None, metavar="N",
                   help="port to serve on (default: 8765; a busy port falls back to a free "
                        "one; 0: any free port)")
    p.add_argument("--host", default=None, metavar="H",
                   help="address to serve on (default: 127.0.0.1, this machine only)")
    p.add_argument("--no-browser", action="store_true",
                   help="print the address only; do not open a web browser")
    p.add_argument("--sensor", nargs=2, type=_positive_int, metavar=("W", "H"),
                   help="sensor width and height; events outside it are left out (default: "
                        "from the file where it says, else detected from the coordinates)")
    p.add_argument("--time-unit", choices=("s", "ms", "us", "ns"), default="us",
                   help="unit of the file's timestamps (default: us)")

    p = sub.add_parser("demo", parents=[common], help="write every page kind for sample data",
                       description="Write every kind of page for the built-in sample data "
                                   "(a small spiking detector, partitioned onto 4 cores, its "
                                   "latency profile, a synthetic event recording and a frame "
                                   "stack), together with the sample input files.")
    p.add_argument("-o", "--output", default="out", metavar="DIR",
                   help="directory to write into, created if needed (default: out)")
    return parser


def _check_args(args: argparse.Namespace) -> None:
    """What argparse cannot say: the core limits need --cores, timesteps the timeline."""
    if getattr(args, "cores", 0) is None:
        for option in ("--max-neurons-per-core", "--sram-bytes-per-core"):
            if getattr(args, option[2:].replace("-", "_")) is not None:
                args.usage_error(f"{option} needs --cores N")
    if getattr(args, "classic", False) and getattr(args, "timesteps", 1) != 1:
        args.usage_error("--timesteps draws the timeline; the --classic page has one timestep")


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


# --- commands ------------------------------------------------------------------------------


def _page(args: argparse.Namespace, source: Path, *others: tuple[str, Any]) -> Path:
    """The page to write for ``source``: -o or its default; never one of the inputs."""
    page = output.resolve_output(args.output, source)
    output.refuse_inputs(page, [("the input", source), *others])
    return page


def _wrote(out: IO[str], page: Path, extra: str = "") -> None:
    out.write(f"{page} ({output.format_size(page.stat().st_size)}{extra})\n")


def _write_with(page: Path, write: Callable[[Path], Any]) -> None:
    """``write(tmp)`` into a temporary file that replaces ``page`` once it succeeds."""
    try:
        with output.replacing(page) as tmp:
            write(tmp)
    except ValueError as exc:
        raise JobError(str(exc)) from None
    except OSError as exc:
        raise JobError(f"cannot write {page}: {_describe_os_error(exc)}") from None


def _graph_page(args: argparse.Namespace, doc: dict[str, Any], title: str, page: Path,
                progress: Progress, out: IO[str]) -> None:
    """The viewer page of ``doc`` with the weights asked for, and its size."""
    light = weights.lighten(doc, args.weights)
    if light.note:
        sys.stderr.write(f"{PROG}: note: {light.note}\n")
    progress.stage("rendering the page")
    html = _module("render").render_html(doc, title=title)
    progress.stage(f"writing {page}")
    output.write_text(page, html)
    n = light.left_out
    left = f"; payload{'s' if n > 1 else ''} of {n:,} array{'s' if n > 1 else ''} left out" \
        if n else ""
    _wrote(out, page, left)


def cmd_graph(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    source = _check_input(args.model)
    page = _page(args, source)
    serialize = _module("serialize")
    _module("render")
    from nivra.viz.importers import nir as nir_import

    if nir_import.looks_like_hdf5(args.model):
        doc, name = graph_pages.nir_document(args.model, not args.no_patterns, progress.stage,
                                             scopes=not args.no_scopes)
        title = args.title if args.title is not None else name
        note = graph_pages.problems_note(doc)
        if note:
            sys.stderr.write(f"{PROG}: warning: {args.model}: {note}\n")
    else:
        graph = graph_pages.read_graph(args.model, progress.stage)
        title = args.title if args.title is not None else graph_pages.graph_title(graph, args.model)
        progress.stage("serializing the graph" + ("" if args.no_patterns else
                                                  " and detecting patterns"))
        doc = serialize.graph_to_dict(graph, detect_patterns=not args.no_patterns)
        if not args.no_scopes:
            graph_pages.add_scopes(doc, graph)
    _graph_page(args, doc, title, page, progress, out)


def _partitioned_graph(args: argparse.Namespace, progress: Progress, out: IO[str]) -> Any:
    """The stored graph, partitioned here when --cores asks for it, else as stored."""
    graph = graph_pages.read_graph(args.model, progress.stage)
    if args.cores is not None:
        progress.stage(f"partitioning onto {args.cores} cores")
        result = graph_pages.partition_here(graph, args.model, args.cores,
                                            args.max_neurons_per_core, args.sram_bytes_per_core)
        out.write(f"{args.model}: {result}\n")
    graph_pages.require_partitioned(graph, args.model)
    return graph


def cmd_partition(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    source = _check_input(args.model)
    page = _page(args, source)
    graph = _partitioned_graph(args, progress, out)
    compiled = _module("compiled")
    title = args.title if args.title is not None else "Partitioned Graph"
    progress.stage("building the partition view")
    try:
        doc = compiled._partition_document(graph)
    except ValueError as exc:
        raise JobError(str(exc)) from None
    _graph_page(args, doc, title, page, progress, out)


def cmd_schedule(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    source = _check_input(args.model)
    page = _page(args, source, ("the profile", args.profile), ("--graph-page", args.graph_page))
    profile = read_profile(args.profile) if args.profile is not None else None
    graph = _partitioned_graph(args, progress, out)
    if profile is not None:
        unused = unknown_nodes_warning(profile, graph)
        if unused:
            sys.stderr.write(f"{PROG}: warning: {args.profile}: {unused}\n")
    title = args.title if args.title is not None else "Execution Schedule"
    progress.stage("building and writing the schedule page")
    if args.classic:
        compiled = _module("compiled")
        _write_with(page, lambda tmp: compiled.visualize_execution_schedule(
            graph, str(tmp), title=title, profile_result=profile))
    else:
        link = None if args.graph_page is None else \
            os.path.relpath(args.graph_page, page.resolve().parent)
        timeline = _module("timeline")
        try:
            _write_with(page, lambda tmp: timeline.write_timeline(
                graph, tmp, title=title, profile_result=profile, graph_page=link,
                timesteps=args.timesteps))
        except ValueError as exc:  # more runs than a page holds
            raise JobError(str(exc)) from None
    _wrote(out, page)


def cmd_events(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    path = _check_input(args.recording)
    page = _page(args, path)
    end = args.end
    if args.duration is not None:
        end = (args.start or 0) + args.duration
    if args.start is not None and end is not None and end <= args.start:
        raise JobError("the time window is empty: --end must be after --start")
    # A clear error before any reading when the module is not built; without Tonic, which
    # the page never bins through and which takes seconds to import.
    recording_page.import_spikes(tonic=False)
    try:
        with spike_progress(progress), output.replacing(page) as tmp:
            report = recording_page.make_page(
                path, tmp, start=args.start, end=end, time_unit=args.time_unit or "us",
                unit_given=args.time_unit is not None, array=args.array,
                sensor=tuple(args.sensor) if args.sensor else None, n_frames=args.frames,
                grid_bins=args.grid_bins, raster_bins=args.raster_bins,
                max_neurons=args.max_neurons, title=args.title, stage=progress.stage,
                sample=args.sample, allow_external=args.allow_external,
                hot_pixels=args.hot_pixels, raster=args.raster)
    except OSError as exc:
        raise JobError(f"cannot write {page}: {_describe_os_error(exc)}") from None
    except (ValueError, MemoryError) as exc:
        raise JobError(f"{path}: {type(exc).__name__}: {exc}") from None
    out.write(report.summary() + "\n")
    for text in report.warnings:
        sys.stderr.write(f"{PROG}: warning: {_one_line(text)}\n")
    for note in (report.hot_warning(), report.left_out_warning()):
        if note:
            sys.stderr.write(f"{PROG}: warning: {note}\n")
    progress.stage(f"wrote {page}")
    _wrote(out, page)
    if args.open and not output.open_in_browser(page):
        sys.stderr.write(f"{PROG}: warning: no web browser could be started; the page is "
                         f"{page}\n")


def cmd_frames(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    path = _check_input(args.frames)
    page = _page(args, path)
    progress.stage(f"reading {path}")
    notes: list[str] = []
    frames = load_frames(path, notes)
    spikes = _module("spikes")
    title = args.title if args.title is not None else path.name
    try:
        with spike_progress(progress), output.replacing(page) as tmp:
            spikes._write_frames_page(frames, tmp, title=title)
    except (ValueError, IndexError) as exc:
        raise JobError(f"{path}: {type(exc).__name__}: {exc}") from None
    except OSError as exc:
        raise JobError(f"cannot write {page}: {_describe_os_error(exc)}") from None
    for text in notes:
        sys.stderr.write(f"{PROG}: warning: {_one_line(text)}\n")
    progress.stage(f"wrote {page}")
    _wrote(out, page)


def cmd_view(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    from nivra.viz.view import ViewError, serve

    path = Path(args.recording)
    if not path.exists():
        raise JobError(f"{args.recording}: no such file or directory")
    _module("spikes")
    try:
        serve(path, port=args.port, host=args.host, sensor=tuple(args.sensor) if args.sensor
              else None, time_unit=args.time_unit, open_browser=not args.no_browser,
              out=out, stage=progress.stage)
    except (ViewError, ValueError) as exc:
        raise JobError(str(exc)) from None
    except OSError as exc:
        raise JobError(f"cannot serve: {_describe_os_error(exc)}") from None


def cmd_demo(args: argparse.Namespace, progress: Progress, out: IO[str]) -> None:
    for name in ("serialize", "render", "compiled", "spikes", "timeline"):
        _module(name)
    from nivra.viz import demo

    written = demo.write_demo(Path(args.output), progress)
    width = max(len(str(path)) for path, _ in written)
    for path, what in written:
        out.write(f"{str(path):<{width}}  {what}\n")


COMMANDS: dict[str, Callable[[argparse.Namespace, Progress, IO[str]], None]] = {
    "graph": cmd_graph,
    "partition": cmd_partition,
    "schedule": cmd_schedule,
    "events": cmd_events,
    "frames": cmd_frames,
    "view": cmd_view,
    "demo": cmd_demo,
}


def _one_line(text: str) -> str:
    """A message as one line: text from a file that it quotes cannot start another."""
    return escaped(text, 2000)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (0 ok, 1 failed job, 2 usage error)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        _check_args(args)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    progress = Progress(quiet=args.quiet)
    try:
        with unwinding_on_termination():
            COMMANDS[args.command](args, progress, sys.stdout)
    except USER_ERRORS as exc:
        sys.stdout.flush()
        sys.stderr.write(f"{PROG}: error: {_one_line(str(exc))}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except Terminated as exc:
        sys.stderr.write(f"{PROG}: stopped by {exc}\n")
        return exc.exit_status
    except MemoryError:
        sys.stderr.write(f"{PROG}: error: out of memory\n")
        return 1
    except Exception as exc:  # a fault of ours, still reported on one line
        sys.stderr.write(f"{PROG}: error: {args.command} failed: "
                         f"{type(exc).__name__}: {_one_line(str(exc))}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
