"""``nivra-viz view``: start the viewer, say where it is, serve until Ctrl-C or SIGTERM."""
from __future__ import annotations

import signal
import sys
import threading
import time
from pathlib import Path
from typing import IO, Any, Callable

from .server import LOOPBACK, Viewer

PROG = "nivra-viz"
_LOOPBACK_NAMES = ("127.0.0.1", "localhost", "::1")


def serve(path: Path, *, port: int | None = None, host: str | None = None,
          sensor: tuple[int, int] | None = None, time_unit: str = "us",
          open_browser: bool = True, out: IO[str] = sys.stdout,
          stage: Callable[[str], Any] | None = None,
          stop: threading.Event | None = None) -> None:
    """Serves ``path`` until SIGINT or SIGTERM (or ``stop`` is set), then returns."""
    stage = stage or (lambda text: None)
    host = host or LOOPBACK
    if host not in _LOOPBACK_NAMES and not host.startswith("127."):
        sys.stderr.write(f"{PROG}: warning: serving on {host}, not only on this machine: "
                         f"anyone who can reach it and has the address with its token can "
                         f"read the recordings\n")
    if not path.is_dir():
        stage(f"opening {path}")
    began = time.perf_counter()
    viewer = Viewer(path, port=port, host=host, sensor=sensor, time_unit=time_unit)
    try:
        if viewer.note:
            sys.stderr.write(f"{PROG}: note: {viewer.note}\n")
        if not viewer.catalog.is_dir:
            rec = viewer.catalog.recording(0)
            s = rec.summary()
            out.write(f"{path}: {s.format}; {s.events:,} events over {_seconds(s.duration_us)}; "
                      f"sensor {s.sensor[0]} x {s.sensor[1]} ({rec.sensor_from}); opened in "
                      f"{time.perf_counter() - began:.1f} s\n")
            if not rec.sorted:
                sys.stderr.write(f"{PROG}: note: the events are not in time order; frames "
                                 f"are found by reading every part of the file that overlaps "
                                 f"them, which is slower\n")
        else:
            n = len(viewer.catalog.entries)
            more = " (the first ones)" if viewer.catalog.truncated else ""
            out.write(f"{path}: {n:,} recording{'s' if n != 1 else ''} listed{more}\n")
        stop = stop or threading.Event()
        restore = _on_signals(stop)       # before the address is out: a signal then stops
        out.write(f"Viewer at {viewer.url}\n")
        out.write("Press Ctrl-C to stop.\n")
        out.flush()
        if open_browser:
            import webbrowser

            try:
                opened = webbrowser.open(viewer.url)
            except Exception:
                opened = False
            if not opened:
                sys.stderr.write(f"{PROG}: note: no web browser could be started; open the "
                                 f"address above\n")
        try:
            while not stop.wait(0.25):
                pass
        finally:
            restore()
    finally:
        viewer.stop()
    out.write(f"{PROG}: viewer stopped\n")
    out.flush()


def _on_signals(stop: threading.Event) -> Callable[[], None]:
    """SIGINT and SIGTERM set ``stop`` (in the main thread); returns what puts the previous
    handlers back."""
    if threading.current_thread() is not threading.main_thread():
        return lambda: None
    previous = {sig: signal.signal(sig, lambda *_: stop.set())
                for sig in (signal.SIGINT, signal.SIGTERM)}

    def restore() -> None:
        for sig, handler in previous.items():
            signal.signal(sig, handler)

    return restore


def _seconds(us: float) -> str:
    if us >= 1e6:
        return f"{us / 1e6:,.2f} s"
    if us >= 1e3:
        return f"{us / 1e3:,.2f} ms"
    return f"{us:g} us"
