"""NIR files read straight from their HDF5 layout, for the files ``nir.read`` refuses.

Exporters of every NIR version write the same shape of file: a "node" group holding a
"type" string, its attributes as datasets (or small groups such as "metadata"), and for a
graph a "nodes" group of member groups and an "edges" dataset of (source, target) pairs.
``read_tree`` turns that into plain dictionaries without interpreting anything (the same
dictionaries nir builds before making its nodes), making sure as it goes that reading
takes only this file, in bounded memory: external storage, virtual datasets and external
or soft links are refused, as are datasets declaring more than ``MAX_DATASET_BYTES`` and
nesting deeper than ``MAX_DEPTH``.
``build_graph`` then makes a drawable graph of the tree: nodes ``nir`` knows become its
own node objects, the rest generic nodes of the same type name with all their attributes.

``run_bounded`` runs a read in a child process with a time and an address-space limit, so a
file that makes the HDF5 library loop or allocate without end cannot take the command with
it.
"""
from __future__ import annotations

import dataclasses
import keyword
import os
import pickle
import select
import signal
import subprocess
import sys
import threading
import time
from typing import Any, Callable, Mapping

import numpy as np

MAX_DEPTH = 32
MAX_DATASET_BYTES = 1 << 30
MAX_ITEMS = 200_000
READ_SECONDS = 20.0
READ_MEMORY_BYTES = 4 << 30


class LayoutError(ValueError):
    """The file is HDF5 but not a NIR graph this viewer may read; the message is one line."""


def _clean(text: str) -> str:
    """A name from the file as it may appear in a one-line message."""
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)[:200]


def _check_dataset(item: Any, where: str) -> None:
    plist = item.id.get_create_plist()
    if plist.get_external_count() or plist.get_layout() == h5d_virtual():
        raise LayoutError(f"dataset {_clean(where)} keeps its data in other files; refused")
    size = int(np.prod(item.shape, dtype=np.float64)) if item.shape else 1
    if size * max(item.dtype.itemsize, 1) > MAX_DATASET_BYTES:
        raise LayoutError(f"dataset {_clean(where)} declares {size:,} elements, more than a "
                          f"graph holds")


def h5d_virtual() -> int:
    from h5py import h5d  # type: ignore[import-untyped]

    return int(getattr(h5d, "VIRTUAL", -1))


def _value(item: Any) -> Any:
    value = item[()]
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray) and value.dtype.kind in "OS":
        return np.vectorize(lambda v: v.decode("utf-8", "replace") if isinstance(v, bytes)
                            else str(v), otypes=[object])(value)
    return value


def read_tree(path: str) -> tuple[str, dict[str, Any]]:
    """The version string of a NIR file ("" when it has none) and its "node" group as
    nested dictionaries, datasets read as they are (nir's own layout of a graph as a
    dictionary). Every link is checked before it is followed and every dataset before it
    is read (see the module's doc); LayoutError says what was refused."""
    import h5py
    from h5py import h5l

    count = 0

    def hard(group: Any, name: str, where: str) -> Any:
        nonlocal count
        count += 1
        if count > MAX_ITEMS:
            raise LayoutError(f"more than {MAX_ITEMS:,} objects")
        if group.id.links.get_info(name.encode()).type != h5l.TYPE_HARD:
            raise LayoutError(f"{_clean(where)} is a link to elsewhere; refused")
        return group[name]

    def walk(group: Any, where: str, depth: int) -> dict[str, Any]:
        if depth > MAX_DEPTH:
            raise LayoutError(f"nested deeper than {MAX_DEPTH} groups at {_clean(where)}")
        out: dict[str, Any] = {}
        for name in group:
            path_of = f"{where}/{name}"
            item = hard(group, name, path_of)
            if isinstance(item, h5py.Group):
                out[str(name)] = walk(item, path_of, depth + 1)
            else:
                _check_dataset(item, path_of)
                out[str(name)] = _value(item)
        return out

    with h5py.File(path, "r") as f:
        if "node" not in f:
            raise LayoutError("an HDF5 file, but not a NIR graph (no 'node' group)")
        node = hard(f, "node", "/node")
        if not isinstance(node, h5py.Group) or "type" not in node:
            raise LayoutError("an HDF5 file, but not a NIR graph (no 'node' group with a 'type')")
        version = ""
        if "version" in f:
            item = hard(f, "version", "/version")
            if isinstance(item, h5py.Dataset):
                _check_dataset(item, "/version")
                version = str(_value(item))
        return version, walk(node, "/node", 1)


def plain_copy(tree: Mapping[str, Any]) -> dict[str, Any]:
    """A copy of a tree's dictionaries (the arrays shared), for readers that change them."""
    return {k: plain_copy(v) if isinstance(v, Mapping) else v for k, v in tree.items()}


# --- running a read in a bounded child ----------------------------------------------------


def run_bounded(fn: Callable[..., Any], *args: Any, seconds: float = READ_SECONDS,
                memory: int = READ_MEMORY_BYTES) -> Any:
    """``fn(*args)`` run in a child process; its result (or its exception) comes back
    pickled. The child is forked when this process runs one thread; with other threads
    running (a notebook kernel), a lock one of them holds would stay held in a forked
    child, so a new interpreter is started instead, which imports ``fn`` by name (a
    module-level function; anything else is forked all the same).
    Raises LayoutError when the child runs out of time or memory or dies."""
    if not hasattr(os, "fork"):
        return fn(*args)
    read_end, write_end = os.pipe()
    try:
        if threading.active_count() > 1 and _importable(fn):
            child = _spawn(write_end, fn, args, memory)
        else:
            child = _fork(write_end, fn, args, memory)
    except BaseException:
        os.close(read_end)
        raise
    finally:
        os.close(write_end)
    chunks: list[bytes] = []
    deadline = time.monotonic() + seconds
    try:
        with os.fdopen(read_end, "rb") as pipe:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise LayoutError(f"reading took longer than {seconds:g} s; given up")
                ready, _, _ = select.select([pipe], [], [], left)
                if not ready:
                    continue
                chunk = os.read(pipe.fileno(), 1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
    finally:
        status = child.end()
    if not chunks:
        how = (f"was killed by signal {-status}" if status < 0
               else "ended without an answer (out of memory?)")
        raise LayoutError(f"the HDF5 reader {how}")
    ok, result = pickle.loads(b"".join(chunks))
    if not ok:
        raise LayoutError(str(result).splitlines()[0] if result else "cannot read")
    return result


class _Forked:
    def __init__(self, pid: int) -> None:
        self.pid = pid

    def end(self) -> int:
        """Kill the child if it still runs; its exit code (minus the signal that ended it)."""
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        _, status = os.waitpid(self.pid, 0)
        return os.waitstatus_to_exitcode(status)


class _Spawned:
    def __init__(self, proc: subprocess.Popen[bytes]) -> None:
        self.proc = proc

    def end(self) -> int:
        if self.proc.poll() is None:
            self.proc.kill()
        return self.proc.wait()


def _importable(fn: Callable[..., Any]) -> bool:
    module = sys.modules.get(getattr(fn, "__module__", "") or "")
    return module is not None and getattr(module, fn.__qualname__, None) is fn


def _fork(write_end: int, fn: Callable[..., Any], args: tuple[Any, ...],
          memory: int) -> _Forked:
    pid = os.fork()
    if pid == 0:  # the child: never returns into the caller's code
        code = 1
        try:
            code = _answer(write_end, fn, args, memory)
        finally:
            os._exit(code)
    return _Forked(pid)


def _spawn(write_end: int, fn: Callable[..., Any], args: tuple[Any, ...],
           memory: int) -> _Spawned:
    proc = subprocess.Popen(
        [sys.executable, "-c", "from nivra.viz.importers.nir_h5 import _spawned; _spawned()"],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        pass_fds=(write_end,))
    assert proc.stdin is not None
    try:
        proc.stdin.write(pickle.dumps((write_end, fn.__module__, fn.__qualname__, args,
                                       memory)))
        proc.stdin.close()
    except OSError:  # the child is gone already: the parent sees no answer
        pass
    return _Spawned(proc)


def _spawned() -> None:
    """The started interpreter's side of ``_spawn``: the call comes on stdin."""
    import importlib

    write_end, module, name, args, memory = pickle.loads(sys.stdin.buffer.read())
    fn = getattr(importlib.import_module(module), name)
    sys.exit(_answer(write_end, fn, args, memory))


def _answer(write_end: int, fn: Callable[..., Any], args: tuple[Any, ...],
            memory: int) -> int:
    """The child's work: limit the address space, call ``fn``, send its result; the
    exit code."""
    try:
        try:  # room for the read on top of what the process already maps
            import resource
            with open("/proc/self/statm") as statm:
                mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            resource.setrlimit(resource.RLIMIT_AS, (mapped + memory, mapped + memory))
        except (ImportError, ValueError, OSError):
            pass
        try:
            payload = pickle.dumps((True, fn(*args)))
        except BaseException as exc:  # noqa: BLE001 - sent back to the parent
            payload = pickle.dumps((False, f"{type(exc).__name__}: {exc}"))
        with os.fdopen(write_end, "wb") as out:
            out.write(payload)
    except BaseException:  # noqa: BLE001
        return 1
    return 0


# --- a drawable graph of the tree ---------------------------------------------------------


class NIRGraph:
    """A NIR graph as written in the file: ``nodes`` (name -> node), ``edges`` as written
    (dangling ones included) and ``metadata``. Named like nir's own so that it is drawn
    and flattened the same way."""

    def __init__(self, nodes: dict[str, Any], edges: list[tuple[str, str]],
                 metadata: dict[str, Any]) -> None:
        self.nodes = nodes
        self.edges = edges
        self.metadata = metadata
        self.input_type = None
        self.output_type = None


_GENERIC: dict[tuple[str, tuple[str, ...]], type] = {}


def _field_name(key: str) -> str:
    name = "".join(c if c.isalnum() or c == "_" else "_" for c in key) or "_"
    if name[0].isdigit() or keyword.iskeyword(name):
        name = "f_" + name
    return name


def generic_node(type_name: str, attrs: Mapping[str, Any]) -> Any:
    """A node of a type nir does not know (or would not build): a dataclass named after the
    type, holding every attribute the file stored."""
    values: dict[str, Any] = {}
    for key, value in attrs.items():
        name = _field_name(key)
        while name in values or name in ("input_type", "output_type"):
            name += "_"
        values[name] = value
    kind = (type_name, tuple(values))
    cls = _GENERIC.get(kind)
    if cls is None:
        cls = dataclasses.make_dataclass(
            "Node", [(n, Any) for n in values] + [("input_type", Any, None),
                                                   ("output_type", Any, None)])
        cls.__name__ = cls.__qualname__ = type_name
        _GENERIC[kind] = cls
    node = cls(**values)
    ports = _ports(type_name, attrs)
    node.input_type, node.output_type = ports
    return node


def _shape(value: Any) -> Any:
    if isinstance(value, np.ndarray) and value.ndim <= 1 and value.dtype.kind in "iu":
        return value.astype(np.int64)
    if isinstance(value, (int, np.integer)):
        return np.array([int(value)])
    return None


def _ports(type_name: str, attrs: Mapping[str, Any]) -> tuple[Any, Any]:
    """Port types of a generic node: those it stored, else older layouts' "shape" on
    Input and Output, else what its weights say."""
    def port(key: str, name: str) -> Any:
        value = attrs.get(key)
        if isinstance(value, Mapping) and name in value:
            shape = _shape(value[name])
            return {name: shape} if shape is not None else None
        return None

    inp, out = port("input_type", "input"), port("output_type", "output")
    shape = _shape(attrs.get("shape"))
    if type_name in ("Input", "Output") and shape is not None:
        inp = inp or {"input": shape}
        out = out or {"output": shape}
    weight = attrs.get("weight")
    if isinstance(weight, np.ndarray) and weight.ndim == 2 and type_name in ("Affine", "Linear"):
        inp = inp or {"input": np.array([weight.shape[1]])}
        out = out or {"output": np.array([weight.shape[0]])}
    return inp, out


def _nir_node(nir: Any, type_name: str, attrs: dict[str, Any]) -> Any:
    """The node built by nir itself, or None when nir does not know or accept it."""
    if nir is None:
        return None
    tries = [dict(attrs)]
    # The port shape of Input and Output: "shape" in some versions, the port types in others.
    port = {"Input": ("input_type", "input"), "Output": ("output_type", "output")}.get(type_name)
    if port is not None:
        other = dict(attrs)
        if "shape" in other:
            other[port[0]] = {port[1]: other.pop("shape")}
        elif isinstance(other.get(port[0]), Mapping) and port[1] in other[port[0]]:
            other["shape"] = other.pop(port[0])[port[1]]
        tries.append(other)
    for fields in tries:
        try:
            return nir.dict2NIRNode({**fields, "type": type_name})
        except Exception:  # noqa: BLE001 - an unknown type or fields of another version
            continue
    return None


def _edge_list(value: Any) -> tuple[list[tuple[str, str]], int]:
    """The (source, target) pairs of an "edges" dataset, and how many items were not pairs."""
    arr = np.asarray(value, dtype=object) if value is not None else np.empty((0, 2), object)
    if arr.ndim == 1 and arr.size == 0:
        return [], 0
    if arr.ndim != 2 or arr.shape[1] != 2:
        return [], int(arr.shape[0]) if arr.ndim else 1
    edges = []
    for a, b in arr:
        a = a.decode("utf-8", "replace") if isinstance(a, bytes) else str(a)
        b = b.decode("utf-8", "replace") if isinstance(b, bytes) else str(b)
        edges.append((a, b))
    return edges, 0


def build_graph(tree: Mapping[str, Any], nir: Any, notes: list[str],
                path: str = "") -> Any:
    """A drawable node (a graph for "NIRGraph" trees) of one tree; ``notes`` collects what
    could not be taken as written."""
    type_name = str(tree.get("type", "?"))
    attrs = {k: v for k, v in tree.items() if k != "type"}
    if type_name == "NIRGraph" or isinstance(attrs.get("nodes"), Mapping):
        found = attrs.get("nodes")
        members: Mapping[str, Any] = found if isinstance(found, Mapping) else {}
        nodes: dict[str, Any] = {}
        for name, sub in members.items():
            if isinstance(sub, Mapping):
                nodes[name] = build_graph(sub, nir, notes, f"{path}{name}.")
            else:
                notes.append(f"{_clean(path + name)}: not a node group; left out")
        edges, bad = _edge_list(attrs.get("edges"))
        if bad:
            notes.append(f"{_clean(path) or 'the graph'}: {bad} edge items that are not "
                         f"(source, target) pairs; left out")
        metadata = attrs.get("metadata")
        return NIRGraph(nodes, edges, dict(metadata) if isinstance(metadata, Mapping) else {})
    node = _nir_node(nir, type_name, attrs)
    if node is not None:
        return node
    if nir is not None:
        known = hasattr(nir, type_name) and type_name[:1].isupper()
        notes.append(f"{_clean(path.rstrip('.')) or 'the node'}: "
                     + (f"a {_clean(type_name)} that nir does not accept as stored"
                        if known else f"node type {_clean(type_name)!r} unknown to nir")
                     + "; drawn with all its stored attributes")
    return generic_node(type_name, attrs)
