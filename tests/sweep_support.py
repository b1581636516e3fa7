"""Objects shared by the leak, hostile-input and property sweeps: misbehaving user objects,
small graphs and event arrays, and the per-module import used to skip a module's rows."""
import dataclasses
import importlib
import json

import numpy as np


def module(name):
    """nivra.viz.<name>, or None when it does not import (not built on this branch yet)."""
    try:
        return importlib.import_module(f"nivra.viz.{name}")
    except ImportError:
        return None


class Boom(Exception):
    """Raised by the misbehaving objects below, so tests can tell it from our own errors."""


def boom(*_args, **_kwargs):
    raise Boom("user code failed")


class BadAttr:
    """Every attribute read fails with a non-AttributeError."""

    def __getattr__(self, name):
        raise Boom(f"attribute {name}")


class BadLen(list):
    def __len__(self):
        raise Boom("len")


class BadIter(list):
    def __iter__(self):
        raise Boom("iter")


class BadItems(dict):
    def items(self):
        raise Boom("items")

    def get(self, *args):
        raise Boom("get")


class BadNumber:
    """Passes the number test (has __index__/__int__/__float__) but every conversion fails."""

    def __index__(self):
        raise Boom("index")

    __int__ = __index__

    def __float__(self):
        raise Boom("float")


class BadBool:
    def __bool__(self):
        raise Boom("bool")


class BadArray:
    """A duck-typed array whose conversion fails."""

    def __array__(self, dtype=None, copy=None):
        raise Boom("__array__")


class BadArrayInterface:
    @property
    def __array_interface__(self):
        raise Boom("__array_interface__")


class BadToList(np.ndarray):
    def tolist(self):
        raise Boom("tolist")


class BadScalar(np.int64):
    def item(self, *args):
        raise Boom("item")


def failing_iterator(good=3):
    """A generator that yields a few items and then raises."""
    yield from range(good)
    raise Boom("next")


class FailingIterable:
    """Each iteration yields a few items and then raises."""

    def __iter__(self):
        return failing_iterator()


def self_list():
    a = []
    a.append(a)
    return a


def self_dict():
    d = {}
    d["me"] = d
    return d


def self_tuple_in_list():
    a = []
    a.append((1, a))
    return a


class StrSub(str):
    pass


class IntSub(int):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


# --- graphs -----------------------------------------------------------------

@dataclasses.dataclass
class DataNode:
    weight: np.ndarray = None
    bias: np.ndarray = None
    stride: int = 1
    extra: dict = dataclasses.field(default_factory=dict)
    precision: str = None
    core_id: int = None
    hardware_hints: dict = None


class Input:
    def __init__(self, shape):
        self.input_type = {"input": np.array(shape)}


class Output:
    def __init__(self, shape):
        self.output_type = {"output": np.array(shape)}


class Graph:
    def __init__(self, nodes=(), edges=(), metadata=None):
        self.nodes = {} if nodes == () else nodes
        self.edges = [] if edges == () else edges
        self.metadata = metadata


def small_graph():
    rng = np.random.default_rng(0)
    nodes = {
        "in": Input([8]),
        "fc": DataNode(weight=rng.standard_normal((8, 4)).astype(np.float32),
                       bias=np.zeros(4, np.float32), precision="int8", core_id=0,
                       hardware_hints={"lanes": np.int64(4)}),
        "out": Output([4]),
    }
    return Graph(nodes, [("in", "fc"), ("fc", "out")], {"name": "small", "scale": np.float32(0.5)})


class Pattern:
    def __init__(self, pattern_type, metadata=None, nodes=("a", "b")):
        self.group_id = "group_0"
        self.pattern_type = pattern_type
        self.nodes = list(nodes)
        self.entry_nodes = [self.nodes[0]]
        self.exit_nodes = [self.nodes[-1]]
        self.metadata = metadata if metadata is not None else {}


PATTERNS = [
    Pattern("RepConv", {"branches": [{"type": "a"}, {"type": "b"}]}),
    Pattern("SPP", {"num_scales": 2, "pool_kernels": [(5, 5), ()]}),
    Pattern("SPPF", {"chain_depth": 3, "kernel_size": (5, 5)}),
    Pattern("SkipConnection", {"processing_depth": 2, "path_types": ["Conv2d", "LIF"]}),
    Pattern("Other", nodes=("a", "b", "c")),
]

# --- events -----------------------------------------------------------------

EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "i1")])


def events(n=200, width=16, height=12, seed=1):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, EVENT_DTYPE)
    ev["x"] = rng.integers(0, width, n)
    ev["y"] = rng.integers(0, height, n)
    ev["t"] = np.sort(rng.integers(0, 10_000, n))
    ev["p"] = rng.integers(0, 2, n)
    return ev


# --- page renderers, written plainly -----------------------------------------

def model_escape_html(text):
    for a, b in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("'", "&#x27;")):
        text = text.replace(a, b)
    return text


def model_script_json(data_json):
    """JSON text as the viewer page embeds it: inside a <script> element it must not end
    the element or the line, so < > & U+2028 U+2029 become \\u escapes, and no placeholder
    may occur in it, so every { inside a string literal becomes \\u007b. A string opens and
    closes at a quote no backslash escapes; a backslash escapes the next character unless
    it is escaped itself (read so for any text, JSON or not)."""
    out, inside, escaped = [], False, False
    for ch in data_json:
        out.append("\\u%04x" % ord(ch) if ch in "<>&\u2028\u2029" or (ch == "{" and inside) else ch)
        if escaped:
            escaped = False
        elif ch == "\\":
            escaped = True
        elif ch == '"':
            inside = not inside
    return "".join(out)


KEPT = "\ue000"  # stands for a {{DATA_JSON}} of the title that stays text


def model_title(escaped_title):
    """The title as the first step inserts it: it brings the document in at its first
    {{DATA_JSON}} only; later ones are KEPT, to be put back after the last step."""
    head, mark, rest = escaped_title.partition("{{DATA_JSON}}")
    return head + mark + rest.replace("{{DATA_JSON}}", KEPT)


def model_render_html(template, data, title, width, height):
    html = template.replace("{{TITLE}}", model_title(model_escape_html(title)))
    html = html.replace("{{DATA_JSON}}", model_script_json(json.dumps(data, ensure_ascii=False)))
    html = html.replace("{{WIDTH}}", str(int(width)))
    return html.replace("{{HEIGHT}}", str(int(height))).replace(KEPT, "{{DATA_JSON}}")
