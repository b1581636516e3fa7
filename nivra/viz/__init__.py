"""nivra.viz: self-contained HTML views of IR graphs, compiled graphs and event recordings.

Modules:
    encode     arrays and values to JSON-ready form
    serialize  IR graph to graph document
    render     graph document to the graph viewer page
    compiled   partition view and execution-schedule page
    spikes     event recordings to frames, grids, rasters and the spike page
    timeline   execution timeline of a partitioned graph (start and end of every node)
    notebook   ``show(obj)``: any of these pages inline in a Jupyter notebook
    importers  models of other toolkits (NIR graphs) for the graph viewer
    view       a local viewer of recordings that bins any time window on demand

``nivra.viz.show`` is ``nivra.viz.notebook.show`` and ``nivra.viz.view(path)`` starts a
viewer (``nivra.viz.view.view``), each imported on first use.
"""
from pkgutil import extend_path
from typing import TYPE_CHECKING, Any

__path__ = extend_path(__path__, __name__)
__version__ = "0.1.0"

if TYPE_CHECKING:
    from .notebook import show as show
    from .view import view as view


def __getattr__(name: str) -> Any:
    if name == "show":
        from .notebook import show

        return show
    if name == "view":
        import importlib

        # the package, which calls like its view function
        return importlib.import_module(".view", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
