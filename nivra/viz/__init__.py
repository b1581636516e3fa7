"""nivra.viz: self-contained HTML views of IR graphs, compiled graphs and event recordings.

Modules:
    encode     arrays and values to JSON-ready form
    serialize  IR graph to graph document
    render     graph document to the graph viewer page
    compiled   partition view and execution-schedule page
    spikes     event recordings to frames, grids, rasters and the spike page
    timeline   execution timeline of a partitioned graph (start and end of every node)
"""
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
__version__ = "0.1.0"
