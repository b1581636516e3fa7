"""Pages inline in Jupyter notebooks: ``show(obj)`` returns a ``Page`` that a notebook
displays as the right page for ``obj``.

The page goes into an ``<iframe srcdoc=...>`` sandboxed to "allow-scripts" only: it runs
with an opaque origin and cannot reach the notebook, its server or its cookies. Nothing
beyond plain HTML output is needed (no server extension, no widgets), so it works offline
in JupyterLab, the classic Notebook and VS Code. Below the frame, "Open in new tab" and
"Download" take the page out of the notebook; ``Page.save(path)`` writes it from Python.
Pages larger than ``INLINE_LIMIT`` are not put into the notebook: they are written to a
file and linked, with a message saying so.

A notebook opened untrusted (executed elsewhere, received from someone) shows outputs
without their scripts and frames. Each output therefore carries a plain-HTML fallback that
a small script of the output hides once it runs beside the frame: the page's title and
size, that it needs a trusted notebook and how to trust it, and "Open in new tab" and
"Download" as plain links to a copy of the page in "nivra-viz-pages" beside the notebook
(written when the output is shown; ``page_file=False`` leaves it out). Plain links to a
file are what such a notebook keeps: JupyterLab drops data: links, download attributes,
scripts, style elements and frames from untrusted outputs, and opens a linked file in its
HTML viewer, whose "Trust HTML" starts the page.

Building a page has no side effects: the views that only write files (the partition and
schedule views, the frame page) write into temporary files that are removed at once.
"""
from __future__ import annotations

import hashlib
import html as _html
import os
import re
import tempfile
import threading
import urllib.parse
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Mapping

import numpy as np

INLINE_LIMIT = 20 * 1024 * 1024  # bytes of page text shown inline; larger pages go to a file
LARGE_PAGE_DIR = "nivra-viz-pages"  # where page files go, under the working directory
SANDBOX = "allow-scripts"


# --- the views -----------------------------------------------------------------------------


def _graph_document(obj: Any, options: dict[str, Any]) -> dict[str, Any]:
    from nivra.viz import serialize
    from nivra.viz.importers import nir as nir_import

    detect = options.pop("detect_patterns", True)
    scopes = options.pop("scopes", True)
    if _is_document(obj):
        return dict(obj)
    if isinstance(obj, nir_import.NIRFile) or nir_import.is_nir_graph(obj):
        return nir_import.graph_document(obj, detect_patterns=detect, scopes=scopes)
    doc = serialize.graph_to_dict(obj, detect_patterns=detect)
    if scopes:
        from nivra.viz.scopes import add_scopes

        add_scopes(doc, obj)
    return doc


def _graph_page(obj: Any, title: str, options: dict[str, Any]) -> str:
    from nivra.viz import render

    doc = _graph_document(obj, options)
    _no_more(options, "graph")
    return render.render_html(doc, title=title)


def _written_page(write: Callable[[str], Any]) -> str:
    """The page a view writes to a file, read back from a temporary directory."""
    with tempfile.TemporaryDirectory(prefix="nivra-viz-") as tmp:
        path = os.path.join(tmp, "page.html")
        write(path)
        return Path(path).read_text(encoding="utf-8")


def _ir_graph(obj: Any, view: str) -> Any:
    if _is_document(obj) or not _is_graph(obj) or _is_nir(obj):
        raise TypeError(f"the {view} view needs a partitioned IR graph (nivra.ir.Graph after "
                        f"partition()), got {type(obj).__name__}")
    return obj


def _partition_page(obj: Any, title: str, options: dict[str, Any]) -> str:
    from nivra.viz import compiled

    graph = _ir_graph(obj, "partition")
    _no_more(options, "partition")
    return _written_page(lambda path: compiled.visualize_partitioned(graph, path, title=title))


def _classic_page(obj: Any, title: str, options: dict[str, Any]) -> str:
    from nivra.viz import compiled

    graph = _ir_graph(obj, "classic")
    profile = options.pop("profile_result", None)
    _no_more(options, "classic")
    return _written_page(lambda path: compiled.visualize_execution_schedule(
        graph, path, title=title, profile_result=profile))


def _timeline_page(obj: Any, title: str, options: dict[str, Any]) -> str:
    from nivra.viz import timeline

    graph = _ir_graph(obj, "schedule")
    profile = options.pop("profile_result", None)
    timesteps = options.pop("timesteps", 1)
    _no_more(options, "schedule")
    return timeline.timeline_html(graph, title=title, profile_result=profile,
                                  timesteps=timesteps)


def _events_page(obj: Any, title: str, options: dict[str, Any]) -> str:
    from nivra.viz import spikes

    sensor = options.pop("sensor_size", None)
    doc = spikes.serialize_events(obj, None if sensor is None else tuple(sensor), **options)
    return spikes._render_spike_html(doc, title=title)


class _NoBrowser:
    """Stands in for the spikes module's ``webbrowser`` while ``plot_frames`` runs."""

    @staticmethod
    def open(url: str, new: int = 0, autoraise: bool = True) -> bool:
        return True


# plot_frames is the one function that colours a frame stack into the page; it always
# writes a temporary file and opens a browser, so the browser is switched off meanwhile.
_FRAMES_LOCK = threading.Lock()


def _frames_page(obj: Any, title: str, options: dict[str, Any]) -> str:
    from nivra.viz import spikes

    _no_more(options, "frames")
    with _FRAMES_LOCK:
        saved = getattr(spikes, "webbrowser")
        setattr(spikes, "webbrowser", _NoBrowser())
        try:
            path = spikes.plot_frames(obj, title=title)
        finally:
            setattr(spikes, "webbrowser", saved)
    try:
        return Path(path).read_text(encoding="utf-8")
    finally:
        try:
            os.remove(path)
        except OSError:
            pass


@dataclass(frozen=True)
class View:
    """One kind of page ``show`` can make: what it is called, its default title and height
    in the notebook, and the function that builds its text from (object, title, options);
    the function takes the options it knows out of the dictionary."""

    label: str
    title: str
    height: int
    build: Callable[[Any, str, dict[str, Any]], str]


VIEWS: dict[str, View] = {
    "graph": View("graph viewer", "Graph", 640, _graph_page),
    "partition": View("partition view", "Partitioned Graph", 640, _partition_page),
    "schedule": View("execution timeline", "Execution Timeline", 560, _timeline_page),
    "timeline": View("execution timeline", "Execution Timeline", 560, _timeline_page),
    "classic": View("execution schedule", "Execution Schedule", 520, _classic_page),
    "events": View("spike page", "Spike Visualization", 780, _events_page),
    "frames": View("frame page", "Frame Visualization", 640, _frames_page),
}


def _no_more(options: dict[str, Any], view: str) -> None:
    if options:
        names = ", ".join(sorted(options))
        raise TypeError(f"show(): unexpected option{'s' if len(options) > 1 else ''} "
                        f"for the {view} view: {names}")


# --- what an object is ---------------------------------------------------------------------


def _is_document(obj: Any) -> bool:
    return isinstance(obj, Mapping) and isinstance(obj.get("nodes"), list) and "edges" in obj


def _is_graph(obj: Any) -> bool:
    return isinstance(getattr(obj, "nodes", None), Mapping) and hasattr(obj, "edges")


def _is_nir(obj: Any) -> bool:
    from nivra.viz.importers import nir as nir_import

    return isinstance(obj, nir_import.NIRFile) or nir_import.is_nir_graph(obj)


def _is_partitioned(graph: Any) -> bool:
    if getattr(graph, "partition_metadata", None):
        return True
    return any(getattr(node, "core_id", None) is not None for node in graph.nodes.values())


def _load(path: str | os.PathLike[str]) -> Any:
    from nivra import ir
    from nivra.viz.importers import nir as nir_import

    if nir_import.looks_like_hdf5(path):
        return nir_import.read(path)
    return ir.read(path)


def default_view(obj: Any) -> str:
    """The view ``show`` picks for ``obj``, or TypeError for an object it cannot show."""
    if isinstance(obj, np.ndarray):
        if obj.dtype.names:
            return "events"
        if obj.ndim in (3, 4) and (np.issubdtype(obj.dtype, np.number) or obj.dtype == np.bool_):
            return "frames"
    elif _is_document(obj) or _is_nir(obj):
        return "graph"
    elif _is_graph(obj):
        return "partition" if _is_partitioned(obj) else "graph"
    raise TypeError(
        "show() takes an IR graph, a NIR graph, a graph document, a stored graph or .nir "
        "file path, a structured event array or a frame stack (T, H, W) or (T, C, H, W); "
        f"got {_describe(obj)}")


def _describe(obj: Any) -> str:
    if isinstance(obj, np.ndarray):
        return f"an array of dtype {obj.dtype} and shape {tuple(obj.shape)}"
    return type(obj).__name__


def _default_title(obj: Any, view: View) -> str:
    from nivra.viz.importers import nir as nir_import

    if _is_document(obj):
        meta = obj.get("metadata")
        name = meta.get("name") if isinstance(meta, Mapping) else None
        return name if isinstance(name, str) and name else view.title
    if _is_nir(obj):
        return nir_import.title_of(obj, "NIR graph")
    if _is_graph(obj) and view.title == "Graph":
        return nir_import.title_of(obj, view.title)
    return view.title


# --- escaping ------------------------------------------------------------------------------


def srcdoc_escape(text: str) -> str:
    """``text`` as the value of a double-quoted HTML attribute, which the browser turns back
    into ``text`` itself. Carriage returns are written as references because the parser
    would turn them into line feeds; NUL, which HTML cannot carry in any form, becomes
    U+FFFD here, as the parser would make it."""
    return (text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
            .replace(">", "&gt;").replace("\r", "&#13;").replace("\0", "\ufffd"))


def _text(text: str) -> str:
    """``text`` escaped for HTML text and attributes; NUL becomes U+FFFD as in the frame
    (in text, the parser would drop it instead)."""
    return _html.escape(text).replace("\0", "\ufffd")


def _slug(title: str) -> str:
    slug = re.sub(r"[^A-Za-z0-9._-]+", "-", title).strip("-.")[:60]
    return slug or "page"


def _size_text(n: int) -> str:
    return f"{n / 1e6:.1f} MB" if n >= 100_000 else f"{n / 1e3:.0f} kB"


# Handlers of the two buttons under the frame. They read the page back from the frame's
# srcdoc; "Open" puts it into a sandboxed frame of a new tab (downloads allowed there, so
# the page's own exports work), "Download" saves it as a file. Inline handlers resolve
# names on the element and the document first (document.URL!), hence window.URL.
_JS_FRAME = "var f=this.parentNode.parentNode.querySelector('iframe');"
_JS_OPEN = _JS_FRAME + (
    "var e=function(s){return s.replace(/&/g,'&amp;').replace(/\"/g,'&quot;')"
    ".replace(/</g,'&lt;').replace(/\\r/g,'&#13;')};"
    "var w='<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>'+e(f.title)+"
    "'</title><style>html,body{margin:0;height:100%}iframe{display:block;border:0;"
    "width:100%;height:100%}</style></head><body><iframe sandbox=\"allow-scripts "
    "allow-downloads\" srcdoc=\"'+e(f.srcdoc)+'\"></iframe></body></html>';"
    "var u=window.URL.createObjectURL(new Blob([w],{type:'text/html'}));"
    "window.open(u,'_blank');setTimeout(function(){window.URL.revokeObjectURL(u)},60000);")
_JS_DOWNLOAD = _JS_FRAME + (
    "var a=document.createElement('a');"
    "a.href=window.URL.createObjectURL(new Blob([f.srcdoc],{type:'text/html'}));"
    "a.download=this.getAttribute('data-file');document.body.appendChild(a);a.click();"
    "a.remove();setTimeout(function(){window.URL.revokeObjectURL(a.href)},60000);")
_BUTTON_STYLE = ("font:inherit;color:inherit;background:none;border:1px solid "
                 "rgba(127,127,127,.45);border-radius:4px;padding:1px 8px;cursor:pointer")
_BOX_STYLE = ("font:13px/1.5 system-ui,sans-serif;padding:8px 10px;"
              "border:1px solid rgba(127,127,127,.35);border-radius:4px")
# Runs only where the output's scripts run (a trusted notebook): with the frame there, the
# buttons replace the fallback. The output is found through its own script element, or by
# its class where a front end runs the script detached.
_JS_TRUSTED = (
    "(function(s,c){var all=s&&s.parentNode?[s.parentNode]:document.querySelectorAll('.'+c);"
    "Array.prototype.forEach.call(all,function(o){if(!o.querySelector('iframe'))return;"
    "o.querySelector('.nivra-viz-bar').style.display='';"
    "var f=o.querySelector('.nivra-viz-fallback');if(f)f.style.display='none';});})"
    "(document.currentScript,'%s');")


# --- the page ------------------------------------------------------------------------------


class Page:
    """A page built by ``show``: displayed inline by a notebook, saved with ``save``.

    ``html`` is the whole page (the same text ``save`` writes), ``view`` the name of its
    view in ``VIEWS``, ``title`` its title and ``height`` the frame's height in pixels.
    """

    def __init__(self, html: str, *, view: str, title: str, height: int,
                 inline_limit: int = INLINE_LIMIT,
                 large_page_dir: str | os.PathLike[str] | None = None,
                 page_file: bool = True) -> None:
        self.html = html
        self.view = view
        self.title = title
        self.height = height
        self.inline_limit = inline_limit
        self.large_page_dir = large_page_dir
        self.page_file = page_file
        self._nbytes: int | None = None
        self._file: Path | None = None

    @property
    def nbytes(self) -> int:
        """Size of the page in bytes (UTF-8)."""
        if self._nbytes is None:
            self._nbytes = len(self.html.encode("utf-8", "surrogatepass"))
        return self._nbytes

    def __repr__(self) -> str:
        label = VIEWS[self.view].label if self.view in VIEWS else self.view
        return (f"<nivra.viz page: {label}, {self.title!r}, {_size_text(self.nbytes)}; "
                f".save(path) writes it>")

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Write the page to ``path`` (UTF-8, replacing any file there); returns the path."""
        out = Path(path)
        out.write_text(self.html, encoding="utf-8")
        return out

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, str]:
        return {"text/html": self._repr_html_(), "text/plain": repr(self)}

    def _repr_html_(self) -> str:
        if self.nbytes > self.inline_limit:
            return self._linked()
        esc = _text
        file_name = esc(_slug(self.title) + ".html")
        token = "nivra-viz-" + self._digest()
        return (
            f'<div class="nivra-viz {token}" style="width:100%">'
            f'<iframe srcdoc="{srcdoc_escape(self.html)}" sandbox="{SANDBOX}" '
            f'title="{esc(self.title)}" referrerpolicy="no-referrer" '
            f'style="display:block;box-sizing:border-box;width:100%;height:{self.height}px;'
            'border:1px solid rgba(127,127,127,.35);border-radius:4px;background:#fff">'
            '</iframe>'
            '<div class="nivra-viz-bar" style="display:none;font:12px/1.5 system-ui,sans-serif;'
            'margin-top:4px;opacity:.85">'
            f'<button type="button" style="{_BUTTON_STYLE}" onclick="{esc(_JS_OPEN)}">'
            'Open in new tab</button> '
            f'<button type="button" style="{_BUTTON_STYLE}" data-file="{file_name}" '
            f'onclick="{esc(_JS_DOWNLOAD)}">Download</button> '
            f'<span style="margin-left:6px">{esc(self.title)} · '
            f'{_size_text(self.nbytes)}</span>'
            '</div>'
            f'{self._fallback()}'
            f'<script>{_JS_TRUSTED % token}</script>'
            '</div>')

    def _fallback(self) -> str:
        """What an output shown without scripts says and links to."""
        esc = _text
        label = VIEWS[self.view].label if self.view in VIEWS else self.view
        links = ""
        if self.page_file:
            try:
                href = esc(self._href())
                name = esc(_slug(self.title) + ".html")
                links = (
                    f'<br><a href="{href}" target="_blank" rel="noopener">Open in new tab</a> | '
                    f'<a href="{href}?download=1" download="{name}">Download</a> '
                    f'<span style="opacity:.75">(its copy in {esc(str(self.large_file().parent.name))}/ '
                    'beside the notebook; JupyterLab opens it in its HTML viewer, where '
                    '"Trust HTML" starts it)</span>')
            except OSError as exc:
                links = (f'<br><span style="opacity:.75">No copy of the page could be written '
                         f'beside the notebook ({esc(exc.strerror or str(exc))}).</span>')
        return (
            f'<div class="nivra-viz-fallback" style="{_BOX_STYLE}">'
            f'<b>{esc(self.title)}</b> · {_size_text(self.nbytes)} · {esc(label)} (nivra.viz)'
            '<br>This interactive page needs a trusted notebook: this one shows its outputs '
            'without their scripts. To see the page here, trust the notebook (JupyterLab: '
            'Command Palette, "Trust Notebook"; classic Notebook: File, Trust Notebook) or '
            f'run the cell again.{links}</div>')

    def _digest(self) -> str:
        return hashlib.sha1(self.html.encode("utf-8", "surrogatepass")).hexdigest()[:10]

    def _href(self) -> str:
        """The link to the page's file: relative to the working directory (the notebook's
        own, in Jupyter) where the file is under it, else a file: URL."""
        path = self.large_file().resolve()
        try:
            return urllib.parse.quote(path.relative_to(Path.cwd().resolve()).as_posix())
        except ValueError:
            return path.as_uri()

    def large_file(self) -> Path:
        """The file the page is written to (once), under ``large_page_dir`` (default:
        "nivra-viz-pages" in the working directory): a page too large to show inline, and
        the copy that the links of an output shown without scripts open."""
        if self._file is None:
            folder = Path(self.large_page_dir if self.large_page_dir is not None
                          else Path.cwd() / LARGE_PAGE_DIR)
            folder.mkdir(parents=True, exist_ok=True)
            self._file = self.save(folder / f"{_slug(self.title)}-{self._digest()}.html")
        return self._file

    def _linked(self) -> str:
        esc = _text
        href = self._href()
        return (
            f'<div class="nivra-viz" style="{_BOX_STYLE}">'
            f'<b>{esc(self.title)}</b>: this page is {_size_text(self.nbytes)}, too large to '
            f'show inside the notebook (the limit is {_size_text(self.inline_limit)}). '
            f'It was written to <a href="{esc(href)}" target="_blank" rel="noopener">'
            f'<code>{esc(str(self.large_file().resolve()))}</code></a>; open it in a web browser.</div>')


def show(obj: Any, *, title: str | None = None, height: int | None = None,
         view: str | None = None, inline_limit: int = INLINE_LIMIT,
         large_page_dir: str | os.PathLike[str] | None = None, page_file: bool = True,
         **options: Any) -> Page:
    """The page for ``obj``, for display in a notebook (the last expression of a cell, or
    ``display(show(obj))``).

    ``obj`` is an IR graph (``nivra.ir.Graph``; a partitioned one gets the partition view),
    a NIR graph (``nir.NIRGraph``), a graph document (``graph_to_dict``'s result), the path
    of a stored graph or ``.nir`` file, a structured event array or a frame stack (T, H, W)
    or (T, C, H, W). ``view`` picks another view from ``VIEWS`` ("schedule", or its
    other name "timeline", for the interactive execution timeline of a partitioned graph,
    "classic" for the earlier static schedule page). ``title`` names the page, ``height`` is
    the frame's height in pixels. Further options go to the view: ``detect_patterns`` and
    ``scopes`` (grouping by dotted name prefixes; graph), ``profile_result`` (schedule,
    classic), ``timesteps`` (schedule), ``sensor_size``, ``n_frames``, ``n_grid_bins``,
    ``raster_time_bins``, ``max_raster_neurons`` (events).

    Pages larger than ``inline_limit`` bytes are written to a file in ``large_page_dir``
    (default: "nivra-viz-pages" in the working directory) when displayed, and linked. A
    page shown inline is written there too, for the links that an untrusted notebook shows
    in its place; ``page_file=False`` writes no such copy.
    """
    if isinstance(obj, (str, os.PathLike)):
        obj = _load(obj)
    name = default_view(obj) if view is None else view
    if name not in VIEWS:
        raise ValueError(f"unknown view {name!r}; the views are {', '.join(VIEWS)}")
    chosen = VIEWS[name]
    if title is None:
        title = _default_title(obj, chosen)
    elif not isinstance(title, str):
        raise TypeError(f"title must be a str, got {type(title).__name__}")
    if height is None:
        height = chosen.height
    elif isinstance(height, bool) or not isinstance(height, int) or height < 1:
        raise ValueError(f"height must be a whole number of pixels >= 1, got {height!r}")
    page = chosen.build(obj, title, dict(options))
    return Page(page, view=name, title=title, height=height, inline_limit=inline_limit,
                large_page_dir=large_page_dir, page_file=page_file)
