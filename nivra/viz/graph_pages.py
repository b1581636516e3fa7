"""Stored graphs for the graph pages of the command line: reading them (IR files and NIR
graphs), partitioning them on the spot, and refusing partition and schedule pages of a graph
that was never partitioned.

    graph = read_graph("model.nvir")
    print(partition_here(graph, "model.nvir", cores=4))  # "partitioned onto 3 of 4 cores; ..."
    require_partitioned(graph, "model.nvir")

Failures the user can act on raise :class:`GraphInputError` (one line).
"""
from __future__ import annotations

from pathlib import Path
from typing import Any, Callable

__all__ = ["GraphInputError", "read_graph", "graph_title", "nir_document", "problems_note",
           "add_scopes", "partition_here", "require_partitioned"]


class GraphInputError(Exception):
    """A graph cannot be read or drawn as asked; the message is one line."""


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def read_graph(path: str | Path, stage: Callable[[str], None] = lambda text: None) -> Any:
    """The IR graph stored in ``path`` (a NIR file is named as such)."""
    from nivra import ir
    from nivra.viz.importers import nir as nir_import

    if nir_import.looks_like_hdf5(path):
        raise GraphInputError(f"{path}: an HDF5 file (NIR?), not a stored IR graph; "
                              f"'nivra-viz graph' draws NIR graphs")
    stage(f"reading {path}")
    try:
        return ir.read(path)
    except ir.IRFormatError as exc:
        raise GraphInputError(str(exc)) from None
    except OSError as exc:
        raise GraphInputError(f"{path}: cannot read: {_reason(exc)}") from None


def graph_title(graph: Any, path: str | Path) -> str:
    """The graph's name from its metadata, else the file name."""
    metadata = getattr(graph, "metadata", None)
    name = metadata.get("name") if isinstance(metadata, dict) else None
    return name if isinstance(name, str) and name else Path(path).name


def nir_document(path: str | Path, detect: bool,
                 stage: Callable[[str], None] = lambda text: None,
                 scopes: bool = True) -> tuple[dict[str, Any], str]:
    """The graph document of a NIR file and its title."""
    from nivra.viz.importers import nir as nir_import

    stage(f"reading {path} (NIR)")
    try:
        graph = nir_import.read(path)
    except (ImportError, ValueError) as exc:
        raise GraphInputError(str(exc)) from None
    stage("flattening the NIR graph" + (" and detecting patterns" if detect else ""))
    doc = nir_import.graph_document(graph, detect_patterns=detect, scopes=scopes)
    return doc, nir_import.title_of(graph, Path(path).name)


def problems_note(doc: dict[str, Any]) -> str | None:
    """One line on the problems a graph document lists, or None without any."""
    problems = doc.get("problems") or []
    if not problems:
        return None
    first = " ".join(str(problems[0]["message"]).split())
    first = first if len(first) <= 160 else first[:157] + "..."
    count = len(problems)
    return (f"{count:,} problem{'' if count == 1 else 's'} listed on the page "
            f"(the first: {first})")


def add_scopes(doc: dict[str, Any], graph: Any) -> dict[str, Any]:
    """The name scopes of a stored IR graph added to its document as groups."""
    from nivra.viz import scopes

    return scopes.add_scopes(doc, graph)


def partition_here(graph: Any, source: str | Path, cores: int,
                   max_neurons_per_core: int | None = None,
                   sram_bytes_per_core: int | None = None) -> str:
    """Partition ``graph`` (read from ``source``) onto ``cores`` cores, with the partitioner's
    defaults for the limits not given; returns what came of it, as a phrase."""
    limits = {k: v for k, v in (("max_neurons_per_core", max_neurons_per_core),
                                ("sram_bytes_per_core", sram_bytes_per_core)) if v is not None}
    try:
        metadata = graph.partition(num_cores=cores, **limits)
    except ValueError as exc:
        limit = getattr(exc, "limit", None)
        hint = f"raise --{limit.replace('_', '-')}" if isinstance(limit, str) else \
            "raise --cores, --max-neurons-per-core or --sram-bytes-per-core"
        raise GraphInputError(f"{source}: cannot partition: {exc} ({hint})") from None
    used = metadata.get("num_cores_used", 0)
    cross = len(metadata.get("cross_core_edges") or ())
    return (f"partitioned onto {used} of {cores} core" + ("" if cores == 1 else "s")
            + f"; {cross} cross-core edge" + ("" if cross == 1 else "s"))


def require_partitioned(graph: Any, path: str | Path) -> None:
    """Refuse a graph with neither partition metadata nor an execution schedule."""
    if not getattr(graph, "partition_metadata", None) \
            and not getattr(graph, "execution_schedule", None):
        raise GraphInputError(f"{path} has not been partitioned; give --cores N to "
                              f"partition it here")
