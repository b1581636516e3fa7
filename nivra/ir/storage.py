"""Stored graphs: a zip archive holding a JSON manifest and one ``.npy`` file per array.

Loading never runs code: node classes are looked up by name in ``NODE_CLASSES`` only, and
arrays are read with ``allow_pickle=False``.

Values that round-trip exactly (in node fields, hardware annotations, metadata, partition
metadata and the execution schedule): ``None``, ``bool``, ``int``, ``float`` (NaN and
infinities included), ``complex``, ``str``, ``bytes``, ``list``, ``tuple``, ``dict`` (any
keys that are themselves storable and hashable, insertion order kept), NumPy arrays of any
non-object dtype (bit-exact, shape, dtype, byte order and memory order kept) and NumPy
scalars (type and bits kept). Array subclasses come back as plain ``ndarray``; an array
referenced twice is stored, and comes back, as two arrays. Anything else (sets, object
arrays, arbitrary objects) is refused when writing with a ``TypeError``.
"""
from __future__ import annotations

import base64
import io
import json
import math
import os
import zipfile
from dataclasses import fields
from typing import Any

import numpy as np

from .graph import Graph
from .nodes import NODE_CLASSES, Node

FORMAT_NAME = "nivra-ir-graph"
FORMAT_VERSION = 1
MANIFEST = "manifest.json"
HARDWARE_ATTRS = ("precision", "core_id", "hardware_hints")


class IRFormatError(ValueError):
    """The file is not a stored graph this version can read, or it is damaged."""


PathArg = str | bytes | os.PathLike


def write(graph: Graph, path: PathArg) -> str:
    """Store ``graph`` at ``path`` (replacing any file there); returns the path as ``str``."""
    from . import __version__

    path = os.fsdecode(path)
    arrays: dict[str, np.ndarray] = {}
    enc = _Encoder(arrays)
    manifest: dict[str, Any] = {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "ir_version": __version__,
        "nodes": [],
        "edges": [[s, t] for s, t in graph.edges],
        "metadata": enc.value(getattr(graph, "metadata", None) or {}, "metadata"),
        "partition_metadata": enc.value(getattr(graph, "partition_metadata", None), "partition"),
        "execution_schedule": enc.value(getattr(graph, "execution_schedule", None), "schedule"),
    }
    for name, node in graph.nodes.items():
        cls = type(node).__name__
        if NODE_CLASSES.get(cls) is not type(node):
            raise TypeError(f"node {name!r}: class {cls} is not an IR node class that can be stored")
        where = f"node {name!r}"
        manifest["nodes"].append({
            "name": name,
            "class": cls,
            "fields": {f.name: enc.value(getattr(node, f.name), f"{where} field {f.name!r}")
                       for f in fields(node) if f.init},
            "hardware": {a: enc.value(getattr(node, a, None), f"{where} {a}") for a in HARDWARE_ATTRS},
        })
    text = json.dumps(manifest, allow_nan=False, ensure_ascii=False)
    tmp = path + ".tmp"
    try:
        with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_STORED) as zf:
            zf.writestr(MANIFEST, text.encode("utf-8"))
            for member, arr in arrays.items():
                buf = io.BytesIO()
                np.save(buf, arr, allow_pickle=False)
                zf.writestr(member, buf.getvalue())
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)
    return path


def read(path: PathArg) -> Graph:
    """Load a graph stored by ``write``.

    Raises ``FileNotFoundError`` when there is no file, ``IRFormatError`` (a ``ValueError``)
    when the file is not a stored graph, is damaged, or names an unknown node class.
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be str, bytes or a path object, got {type(path).__name__}")
    path = os.fsdecode(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no stored graph at {path!r}")
    try:
        with zipfile.ZipFile(path) as zf:
            return _load(zf, path)
    except zipfile.BadZipFile as exc:  # also raised for bad CRCs while reading members
        raise IRFormatError(f"{path!r} is not a stored IR graph or is damaged: {exc}") from None
    except (EOFError, zipfile.LargeZipFile, NotImplementedError) as exc:
        raise IRFormatError(f"{path!r} is damaged: {exc}") from None


def _load(zf: zipfile.ZipFile, path: str) -> Graph:
    try:
        raw = zf.read(MANIFEST)
    except KeyError:
        raise IRFormatError(f"{path!r} is not a stored IR graph (no {MANIFEST})") from None
    try:
        manifest = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise IRFormatError(f"{path!r}: damaged manifest ({exc})") from None
    except RecursionError:
        raise IRFormatError(f"{path!r}: damaged manifest (nested too deeply)") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        found = manifest.get("format") if isinstance(manifest, dict) else None
        raise IRFormatError(f"{path!r} holds format {found!r}, expected {FORMAT_NAME!r}")
    version = manifest.get("format_version")
    if not isinstance(version, int) or not 1 <= version <= FORMAT_VERSION:
        raise IRFormatError(
            f"{path!r} uses format version {version!r}; this reader knows 1..{FORMAT_VERSION}")
    dec = _Decoder(zf, path)
    try:
        graph = Graph(metadata=dec.value(manifest.get("metadata", {})))
        for entry in manifest["nodes"]:
            name, cls_name = entry["name"], entry["class"]
            cls = NODE_CLASSES.get(cls_name) if isinstance(cls_name, str) else None
            if cls is None:
                raise IRFormatError(f"{path!r}: node {name!r} has unknown node class {cls_name!r}")
            known = {f.name for f in fields(cls) if f.init}
            values = {k: dec.value(v) for k, v in entry["fields"].items()}
            extra = set(values) - known
            if extra:
                raise IRFormatError(
                    f"{path!r}: node {name!r} ({cls_name}) has unknown fields {sorted(extra)}")
            try:
                node = cls(**values)
            except (TypeError, ValueError) as exc:
                raise IRFormatError(f"{path!r}: node {name!r} ({cls_name}): {exc}") from None
            for attr, value in entry.get("hardware", {}).items():
                if attr in HARDWARE_ATTRS and (v := dec.value(value)) is not None:
                    setattr(node, attr, v)
            graph.add_node(name, node)
        for source, target in manifest["edges"]:
            graph.add_edge(source, target)
        graph.partition_metadata = dec.value(manifest.get("partition_metadata"))
        graph.execution_schedule = dec.value(manifest.get("execution_schedule"))
    except IRFormatError:
        raise
    except RecursionError:
        raise IRFormatError(f"{path!r}: damaged manifest (nested too deeply)") from None
    except (KeyError, TypeError, ValueError, AttributeError) as exc:
        raise IRFormatError(f"{path!r}: damaged manifest ({type(exc).__name__}: {exc})") from None
    return graph


class _Encoder:
    """Python values to JSON values; containers and NumPy values are tagged objects."""

    def __init__(self, arrays: dict[str, np.ndarray]) -> None:
        self.arrays = arrays

    def _array(self, arr: np.ndarray, where: str) -> str:
        if arr.dtype.hasobject:
            raise TypeError(f"{where}: arrays of Python objects cannot be stored")
        member = f"arrays/{len(self.arrays):06d}.npy"
        self.arrays[member] = np.asarray(arr)
        return member

    def value(self, v: Any, where: str) -> Any:
        if v is None or isinstance(v, (bool, str)):
            return v
        if isinstance(v, int) and type(v) is int:
            return v
        if type(v) is float:
            return v if math.isfinite(v) else {"$float": repr(v)}
        if isinstance(v, np.ndarray):
            return {"$array": self._array(v, where)}
        if isinstance(v, np.generic):
            return {"$scalar": self._array(np.asarray(v), where)}
        if type(v) is complex:
            return {"$complex": [self.value(v.real, where), self.value(v.imag, where)]}
        if type(v) is bytes:
            return {"$bytes": base64.b64encode(v).decode("ascii")}
        if type(v) is list:
            return [self.value(x, where) for x in v]
        if type(v) is tuple:
            return {"$tuple": [self.value(x, where) for x in v]}
        if type(v) is dict:
            return {"$dict": [[self.value(k, where), self.value(x, where)] for k, x in v.items()]}
        raise TypeError(f"{where}: values of type {type(v).__name__} cannot be stored")


class _Decoder:
    def __init__(self, zf: zipfile.ZipFile, path: str) -> None:
        self.zf = zf
        self.path = path
        self.names = set(zf.namelist())

    def _array(self, member: Any) -> np.ndarray:
        if not isinstance(member, str) or member not in self.names:
            raise IRFormatError(f"{self.path!r}: missing array member {member!r}")
        try:
            return np.load(io.BytesIO(self.zf.read(member)), allow_pickle=False)
        except zipfile.BadZipFile:
            raise
        except (ValueError, OSError, EOFError) as exc:
            raise IRFormatError(f"{self.path!r}: damaged array {member!r} ({exc})") from None

    def value(self, v: Any) -> Any:
        if isinstance(v, list):
            return [self.value(x) for x in v]
        if not isinstance(v, dict):
            return v
        if len(v) != 1:
            raise IRFormatError(f"{self.path!r}: damaged manifest (untagged object {list(v)[:3]})")
        (tag, body), = v.items()
        if tag == "$array":
            return self._array(body)
        if tag == "$scalar":
            return self._array(body)[()]
        if tag == "$tuple":
            return tuple(self.value(x) for x in body)
        if tag == "$dict":
            return {self.value(k): self.value(x) for k, x in body}
        if tag == "$float":
            return float(body)
        if tag == "$complex":
            return complex(self.value(body[0]), self.value(body[1]))
        if tag == "$bytes":
            return base64.b64decode(body, validate=True)
        raise IRFormatError(f"{self.path!r}: damaged manifest (unknown tag {tag!r})")
