"""Lighter graph pages: the weights of a graph document kept whole, as statistics only, or
left out, chosen before the page is rendered.

    light = lighten(doc, None)   # "full" unless the payloads make a page of over ~50 MB
    light.mode, light.left_out, light.note

An encoded array (see ``nivra.viz.encode``) carries its shape, dtype, statistics and size
beside its payload, base64 text under ``data``. Leaving the payload out sets ``data`` to
None: the viewer still shows the shape, dtype and statistics, and says "payload left out"
where it would draw the histogram.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = ["MODES", "STATS_MAX_ELEMENTS", "FULL_PAGE_LIMIT", "Lightened", "encoded_arrays",
           "lighten"]

MODES = ("full", "stats", "none")
# With "stats", arrays up to this many elements keep their payload (small enough to matter
# little, and their histograms are what one looks at first).
STATS_MAX_ELEMENTS = 4096
# Without a mode given, payloads above this many bytes of base64 switch to "stats".
FULL_PAGE_LIMIT = 50_000_000

_ENCODED_KEYS = frozenset(("shape", "dtype", "data", "stats", "size"))


@dataclass
class Lightened:
    mode: str               # the mode applied
    left_out: int           # payloads left out
    payload_bytes: int      # base64 text kept in the document
    note: str | None = None  # why the mode was chosen, when it was not asked for


def encoded_arrays(doc: Any) -> list[dict[str, Any]]:
    """Every encoded array in a document (plain dicts and lists, as the serializers make
    them), found by its keys; a walk without recursion, so any nesting depth is fine."""
    found: list[dict[str, Any]] = []
    stack = [doc]
    pop, push = stack.pop, stack.append
    while stack:
        value = pop()
        kind = type(value)
        if kind is dict:
            if len(value) == 5 and value.keys() == _ENCODED_KEYS and type(value["data"]) is str:
                found.append(value)
                continue
            items = value.values()
        elif kind is list:
            items = value
        else:
            continue
        for v in items:
            kind = type(v)
            if kind is dict or kind is list:
                push(v)
    return found


def _size(array: dict[str, Any]) -> int:
    size = array.get("size")
    return size if isinstance(size, int) else len(array["data"]) * 3 // 4


def lighten(doc: Any, mode: str | None) -> Lightened:
    """Apply ``mode`` ("full", "stats", "none") to the document's encoded arrays, in place
    (a document the caller made, as graph_to_dict makes a new record for every array);
    None picks "full", or "stats" when the payloads would pass ``FULL_PAGE_LIMIT``."""
    if mode is not None and mode not in MODES:
        raise ValueError(f"weights mode must be one of {', '.join(MODES)}, got {mode!r}")
    arrays = encoded_arrays(doc)
    payload = sum(len(a["data"]) for a in arrays)
    note = None
    if mode is None:
        mode = "full"
        if payload > FULL_PAGE_LIMIT:
            mode = "stats"
            note = (f"the weights would make a page of about {payload / 1e6:,.0f} MB; "
                    f"payloads of arrays above {STATS_MAX_ELEMENTS:,} elements are left out "
                    f"(--weights full keeps them)")
    left_out = 0
    if mode != "full":
        for a in arrays:
            if mode == "none" or _size(a) > STATS_MAX_ELEMENTS:
                payload -= len(a["data"])
                a["data"] = None
                left_out += 1
    return Lightened(mode=mode, left_out=left_out, payload_bytes=payload, note=note)
