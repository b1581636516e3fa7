"""NIR graphs for the tests, built with nir itself."""
import nir
import numpy as np

NEURONS = ["LIF", "CubaLIF", "CubaLI", "LI", "IF", "I"]
SYNAPSES = ["Affine", "Linear", "Conv1d", "Conv2d", "Scale"]
NIR_TYPES = NEURONS + SYNAPSES + ["Threshold", "Flatten", "SumPool2d", "AvgPool2d", "Delay",
                                  "Input", "Output"]


def vec(n, value=1.0):
    return np.full(n, value, np.float32)


def weights(*shape):
    return np.random.default_rng(sum(shape)).standard_normal(shape).astype(np.float32)


def every_type_graph():
    """One graph holding every NIR node type, with a recurrent loop around `lif`."""
    n = 12
    nodes = {
        "image": nir.Input(np.array([2, 8, 8])),
        "conv2": nir.Conv2d(input_shape=(8, 8), weight=weights(4, 2, 3, 3), stride=1, padding=1,
                            dilation=1, groups=1, bias=vec(4, 0.0)),
        "avg": nir.AvgPool2d(kernel_size=np.array([2, 2]), stride=np.array([2, 2]),
                             padding=np.array([0, 0])),
        "sum": nir.SumPool2d(kernel_size=np.array([2, 2]), stride=np.array([2, 2]),
                             padding=np.array([0, 0])),
        "flat": nir.Flatten(input_type={"input": np.array([4, 2, 2])}, start_dim=0),
        "fc": nir.Affine(weight=weights(n, 16), bias=vec(n, 0.0)),
        "cuba": nir.CubaLIF(tau_syn=vec(n), tau_mem=vec(n), r=vec(n), v_leak=vec(n, 0),
                            v_threshold=vec(n), v_reset=vec(n, 0)),
        "lin": nir.Linear(weight=weights(n, n)),
        "audio": nir.Input(np.array([3, 10])),
        "conv1": nir.Conv1d(input_shape=10, weight=weights(2, 3, 3), stride=1, padding=1,
                            dilation=1, groups=1, bias=vec(2, 0.0)),
        "flat1": nir.Flatten(input_type={"input": np.array([2, 10])}, start_dim=0),
        "fc1": nir.Affine(weight=weights(n, 20), bias=vec(n, 0.0)),
        "lif": nir.LIF(tau=vec(n), r=vec(n), v_leak=vec(n, 0), v_threshold=vec(n), v_reset=vec(n, 0)),
        "rec": nir.Linear(weight=weights(n, n)),
        "scale": nir.Scale(scale=vec(n, 0.5)),
        "thr": nir.Threshold(threshold=vec(n)),
        "li": nir.LI(tau=vec(n), r=vec(n), v_leak=vec(n, 0)),
        "culi": nir.CubaLI(tau_syn=vec(n), tau_mem=vec(n), r=vec(n), v_leak=vec(n, 0)),
        "int": nir.I(r=vec(n)),
        "delay": nir.Delay(delay=vec(n, 2)),
        "ifn": nir.IF(r=vec(n), v_threshold=vec(n), v_reset=vec(n, 0)),
        "out": nir.Output(np.array([n])),
    }
    chain = ["image", "conv2", "avg", "sum", "flat", "fc", "cuba", "lin", "lif", "scale", "thr",
             "li", "culi", "int", "delay", "ifn", "out"]
    edges = list(zip(chain, chain[1:])) + [("audio", "conv1"), ("conv1", "flat1"),
                                           ("flat1", "fc1"), ("fc1", "lif"),
                                           ("lif", "rec"), ("rec", "lif")]
    return nir.NIRGraph(nodes=nodes, edges=edges, metadata={"name": "all types"})


def block(n, inner=None):
    """Input -> Affine -> LIF -> Output, optionally with a subgraph between LIF and Output."""
    nodes = {"input": nir.Input(np.array([n])), "fc": nir.Affine(weight=weights(n, n), bias=vec(n, 0)),
             "lif": nir.LIF(tau=vec(n), r=vec(n), v_leak=vec(n, 0), v_threshold=vec(n),
                            v_reset=vec(n, 0)),
             "output": nir.Output(np.array([n]))}
    edges = [("input", "fc"), ("fc", "lif"), ("lif", "output")]
    if inner is not None:
        nodes["inner"] = inner
        edges = [("input", "fc"), ("fc", "lif"), ("lif", "inner"), ("inner", "output")]
    return nir.NIRGraph(nodes=nodes, edges=edges, metadata={"name": "block"})


def nested_graph():
    """Two levels of subgraphs ("outer", "outer.inner") and a recurrent loop around one."""
    n = 6
    return nir.NIRGraph(
        nodes={"input": nir.Input(np.array([n])), "outer": block(n, inner=block(n)),
               "fb": nir.Linear(weight=weights(n, n)), "output": nir.Output(np.array([n]))},
        edges=[("input", "outer"), ("outer", "output"), ("outer", "fb"), ("fb", "outer")])
