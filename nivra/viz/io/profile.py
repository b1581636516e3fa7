"""Latency profiles from JSON files: node name -> microseconds, for the schedule pages."""
from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any

from ._base import ReaderError


class LatencyProfile:
    """The profile object the schedule pages read: latency per node, microseconds."""

    def __init__(self, per_node_latency: dict[str, float]) -> None:
        self.per_node_latency = per_node_latency


def read_profile(path: str | Path) -> LatencyProfile:
    """A JSON object mapping node names to latencies (or one holding such an object under
    ``per_node_latency``); every latency a finite number >= 0."""
    p = Path(path)
    if not p.exists():
        raise ReaderError(f"{path}: no such file")
    try:
        data = json.loads(p.read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ReaderError(f"{path}: not valid JSON ({exc})") from None
    except OSError as exc:
        raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None
    if isinstance(data, dict) and isinstance(data.get("per_node_latency"), dict):
        data = data["per_node_latency"]
    if not isinstance(data, dict):
        raise ReaderError(f"{path}: expected a JSON object mapping node names to latencies "
                          f"in microseconds, got a JSON {type(data).__name__}")
    latency: dict[str, float] = {}
    for name, value in data.items():
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value) or value < 0:
            raise ReaderError(f"{path}: latency of {name!r} must be a number of microseconds "
                              f">= 0, got {json.dumps(value)}")
        latency[name] = float(value)
    return LatencyProfile(latency)


def unknown_nodes_warning(profile: Any, graph: Any) -> str | None:
    """What a profile (any object with ``per_node_latency``) names that the graph lacks
    (those latencies go unused), or None."""
    nodes = getattr(graph, "nodes", None) or {}
    unknown = []
    for name in profile.per_node_latency:
        try:
            if name not in nodes:
                unknown.append(name)
        except TypeError:  # a name that cannot be a node's
            unknown.append(name)
    if not unknown:
        return None
    shown = ", ".join(repr(name) for name in unknown[:5]) + (" ..." if len(unknown) > 5 else "")
    one = len(unknown) == 1
    return (f"the profile names {len(unknown)} node{'' if one else 's'} the graph lacks "
            f"({shown}); {'its latency is' if one else 'their latencies are'} not used")
