"""The viewer's HTTP server: the standard library's threading server on 127.0.0.1 (another
address only when asked), a random token in its address, one thread per request.

The standard library serves one local user well and adds no dependency; requests are short
(a frame is milliseconds of work), and a thread per request keeps a slow one (a long
window, a spike page being made) from holding up the others.
"""
from __future__ import annotations

import errno
import http.server
import secrets
import socket
import sys
import threading
from pathlib import Path
from typing import Any

from .catalog import Catalog, endings
from .routes import Reply, Routes, error

DEFAULT_PORT = 8765
LOOPBACK = "127.0.0.1"
# Requests whose line or headers are longer than this are refused by the handler.
MAX_LINE = 8192


class _Handler(http.server.BaseHTTPRequestHandler):
    server: "_Server"
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True   # headers and body leave at once, not 40 ms apart
    server_version = "nivra-viz"
    sys_version = ""

    def _serve(self, method: str) -> None:
        if len(self.path) > MAX_LINE:
            reply = error(414, "the request is too long")
        else:
            try:
                reply = self.server.routes.handle(method, self.path,
                                                  self.headers.get("X-Nivra-Token"))
            except MemoryError:
                reply = error(503, "out of memory")
            except Exception as exc:  # a fault of ours: answered, reported on one line
                self.server.report(f"{method} {self.path.split('?')[0][:80]} failed: "
                                   f"{type(exc).__name__}: {exc}")
                reply = error(500, f"internal error: {type(exc).__name__}: {exc}")
        self._send(reply, body=method != "HEAD")

    def _send(self, reply: Reply, body: bool = True) -> None:
        try:
            self.send_response(reply.status)
            self.send_header("Content-Type", reply.content_type)
            self.send_header("Content-Length", str(len(reply.body)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            for k, v in reply.headers.items():
                self.send_header(k, v)
            self.end_headers()
            if body:
                self.wfile.write(reply.body)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, TimeoutError):
            self.close_connection = True  # the browser went away: nothing to do

    def do_GET(self) -> None:
        self._serve("GET")

    def do_HEAD(self) -> None:
        self._serve("HEAD")

    def _refuse(self) -> None:
        self._serve(self.command)

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # malformed requests (bad request line, headers too long): one-line JSON as well
        self.close_connection = True
        self.request_version = "HTTP/1.1"  # a status line even for what looked like HTTP/0.9
        self._send(error(code, message or "bad request"))

    def log_message(self, format: str, *args: Any) -> None:
        pass  # quiet: a viewer's requests are not news


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False     # a port in use must be found busy, not shared
    request_queue_size = 64

    def __init__(self, address: tuple[str, int], routes: Routes, family: int) -> None:
        self.address_family = family
        self.routes = routes
        self._connections: set[socket.socket] = set()
        self._connections_lock = threading.Lock()
        super().__init__(address, _Handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._connections_lock:
            self._connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._connections_lock:
            self._connections.discard(request)
        super().shutdown_request(request)

    def close_connections(self) -> None:
        """Ends the connections still open (kept alive by browsers), so that a stopped
        viewer answers nothing more."""
        with self._connections_lock:
            open_now = list(self._connections)
        for conn in open_now:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def report(self, text: str) -> None:
        sys.stderr.write(f"nivra-viz: {text}\n")

    def handle_error(self, request: Any, client_address: Any) -> None:
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, TimeoutError, OSError)):
            return  # a connection that broke: the browser closed a tab or stopped a fetch
        self.report(f"request failed: {type(exc).__name__}: {exc}")


def _family(host: str) -> int:
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _bind(host: str, port: int | None, routes: Routes) -> tuple[_Server, str | None]:
    """The server on ``port`` (default 8765), or on a free port when that one is busy; and
    the note to print when it fell back."""
    family = _family(host)
    wanted = DEFAULT_PORT if port is None else port
    try:
        return _Server((host, wanted), routes, family), None
    except OSError as exc:
        if exc.errno not in (errno.EADDRINUSE, errno.EACCES) or wanted == 0:
            raise
    server = _Server((host, 0), routes, family)
    return server, f"port {wanted} is busy; serving on port {server.server_address[1]} instead"


def _url_host(host: str) -> str:
    if host in ("", "0.0.0.0", "::"):
        return socket.gethostname()
    return f"[{host}]" if ":" in host else host


class Viewer:
    """A running viewer: ``url`` opens it, ``stop()`` ends it. In a notebook cell it shows
    itself in a frame."""

    def __init__(self, path: str | Path, *, port: int | None = None, host: str = LOOPBACK,
                 sensor: tuple[int, int] | None = None, time_unit: str = "us",
                 title: str | None = None) -> None:
        path = Path(path)
        if not path.exists():
            raise FileNotFoundError(f"{path}: no such file or directory")
        self.catalog = Catalog(path, sensor, time_unit)
        if not self.catalog.entries:
            raise ValueError(f"{path}: no recordings in this directory (looked for "
                             f"{', '.join(sorted(endings()))})")
        if not self.catalog.is_dir:
            self.catalog.recording(0)      # the opening pass, so that errors surface here
        self.token = secrets.token_urlsafe(24)
        routes = Routes(self.catalog, self.token, title)
        self._server, self.note = _bind(host, port, routes)
        self.host = host
        self.port = int(self._server.server_address[1])
        self.url = f"http://{_url_host(host)}:{self.port}/?token={self.token}"
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.2},
                                        name="nivra-viz viewer", daemon=True)
        self._thread.start()
        self._survey: threading.Thread | None = None
        if self.catalog.is_dir:
            self._survey = threading.Thread(target=self.catalog.survey,
                                            name="nivra-viz listing", daemon=True)
            self._survey.start()
        self.stopped = False

    def stop(self) -> None:
        """Stops serving and closes the port (waits for requests in progress)."""
        if self.stopped:
            return
        self.stopped = True
        self.catalog.stop()
        self._server.shutdown()
        self._server.server_close()
        self._server.close_connections()
        self._thread.join(timeout=5)

    def __enter__(self) -> "Viewer":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "stopped" if self.stopped else "serving"
        return f"<nivra.viz viewer of {self.catalog.root} ({state}) at {self.url}>"

    def _repr_html_(self) -> str:
        import html

        url = html.escape(self.url, quote=True)
        if self.stopped:
            return f"<p>nivra.viz viewer of {html.escape(str(self.catalog.root))}: stopped</p>"
        return (f'<iframe src="{url}" style="width:100%;height:760px;border:0" '
                f'title="nivra.viz viewer"></iframe>'
                f'<p><a href="{url}" target="_blank" rel="noopener">Open the viewer in a '
                f'new tab</a></p>')


def view(path: str | Path, *, port: int | None = None, host: str = LOOPBACK,
         sensor: tuple[int, int] | None = None, time_unit: str = "us",
         title: str | None = None, open_browser: bool = False) -> Viewer:
    """Serves the recording (or every recording under a directory) to a browser page that
    plays it with any accumulation window, and returns the running :class:`Viewer`.

    Binds 127.0.0.1 unless ``host`` says otherwise; ``port`` defaults to 8765 and falls back
    to a free port when that one is busy (``viewer.note`` says so). ``sensor`` overrides the
    file's sensor size; ``time_unit`` is the unit of the file's timestamps.
    """
    viewer = Viewer(path, port=port, host=host, sensor=sensor, time_unit=time_unit,
                    title=title)
    if open_browser:
        import webbrowser

        webbrowser.open(viewer.url)
    return viewer


__all__ = ["view", "Viewer", "DEFAULT_PORT"]
