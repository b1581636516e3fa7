"""NIR files written with h5py the way exporters of the NIR 0.2 era wrote them: a "version"
string, a "node" group of type "NIRGraph" with a "nodes" group and an "edges" dataset of
byte-string pairs; Input and Output nodes keep their port shape in "shape"."""
import h5py
import numpy as np


def node(type_name, **attrs):
    return {"type": type_name, **attrs}


def graph(nodes, edges, **attrs):
    return {"type": "NIRGraph", "nodes": nodes, "edges": edges, **attrs}


def _write(group, tree):
    for key, value in tree.items():
        if key == "edges":
            pairs = np.array([[a.encode(), b.encode()] for a, b in value], dtype=object)
            group.create_dataset("edges", data=pairs if len(pairs) else np.empty((0, 2), "S1"),
                                 dtype=h5py.string_dtype() if len(pairs) else None)
        elif isinstance(value, dict):
            _write(group.create_group(key), value)
        elif isinstance(value, str):
            group.create_dataset(key, data=value, dtype=h5py.string_dtype())
        else:
            group.create_dataset(key, data=value)


def write_old(path, tree, version="0.2.0"):
    with h5py.File(path, "w") as f:
        f.create_dataset("version", data=version, dtype=h5py.string_dtype())
        _write(f.create_group("node"), tree)


def lif(n, tau=0.02):
    return node("LIF", tau=np.full(n, tau, np.float32), r=np.ones(n, np.float32),
                v_leak=np.zeros(n, np.float32), v_threshold=np.ones(n, np.float32))


def affine(n_out, n_in):
    return node("Affine", weight=np.ones((n_out, n_in), np.float32),
                bias=np.zeros(n_out, np.float32))


def braille_rnn(dangling=True):
    """A recurrent braille reader: input -> fc1 -> subgraph lif1 (LIF with a recurrent
    Linear) -> fc2 -> output. With ``dangling`` the subgraph's edges name "lif" while its
    LIF member is stored as "lif_neuron", as one exporter wrote it; ``fc2`` expects 40
    inputs where lif1 gives 38."""
    inner = graph({"input": node("Input", shape=np.array([38])),
                   "lif_neuron" if dangling else "lif": lif(38),
                   "w_rec": node("Linear", weight=np.ones((38, 38), np.float32)),
                   "output": node("Output", shape=np.array([38]))},
                  [("input", "lif"), ("lif", "w_rec"), ("w_rec", "lif"), ("lif", "output")])
    return graph({"input": node("Input", shape=np.array([12])), "fc1": affine(38, 12),
                  "lif1": inner, "fc2": affine(7, 40), "lif2": lif(7),
                  "output": node("Output", shape=np.array([7]))},
                 [("input", "fc1"), ("fc1", "lif1"), ("lif1", "fc2"), ("fc2", "lif2"),
                  ("lif2", "output")])


def flattened_rnn():
    """The same reader with its subgraph flattened into dotted names, and a node type of a
    later NIR (unknown to the installed one) at the end."""
    return graph({"input": node("Input", shape=np.array([12])), "fc1": affine(38, 12),
                  "lif1.lif": lif(38),
                  "lif1.w_rec": node("Linear", weight=np.ones((38, 38), np.float32)),
                  "fc2": affine(7, 38), "readout": node("SpikeCount", window=np.int64(20),
                                                        gain=np.full(7, 0.5, np.float32)),
                  "output": node("Output", shape=np.array([7]))},
                 [("input", "fc1"), ("fc1", "lif1.lif"), ("lif1.lif", "lif1.w_rec"),
                  ("lif1.w_rec", "lif1.lif"), ("lif1.lif", "fc2"), ("fc2", "readout"),
                  ("readout", "output")])
