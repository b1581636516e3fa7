"""``nivra-viz view``: a local server that shows a recording (or every recording under a
directory) in a browser page, binning any time window on demand.

    viewer = nivra.viz.view("drive.raw")     # a running viewer
    viewer.url                               # http://127.0.0.1:8765/?token=...
    viewer.stop()

The package itself can be called like its ``view`` function, so ``nivra.viz.view(path)``
works whether ``nivra.viz.view`` was reached as the package or as the function.
"""
from __future__ import annotations

import sys
from types import ModuleType
from typing import Any

from .command import serve
from .recording import ViewError
from .server import DEFAULT_PORT, Viewer, view

__all__ = ["view", "serve", "Viewer", "ViewError", "DEFAULT_PORT"]


class _CallableModule(ModuleType):
    def __call__(self, *args: Any, **kwargs: Any) -> Viewer:
        return view(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
