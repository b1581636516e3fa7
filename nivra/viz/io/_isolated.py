"""A decoder that may take its process down, run in a child process of its own.

    for batch in isolated(decode_packets, path):   # items stream back over a pipe
        ...

Some compiled readers abort on a damaged file (a native panic that unwinds no further, or
a fault killed by a signal). In a child, such an end becomes :class:`ChildFailed` here, with
one line saying how the child ended, and the command goes on to report it. The child is
forked when this process runs a single thread (cheap: nothing to import again), else
spawned. It sends what the target yields, one item per message (a NumPy array as its raw
bytes, read straight into the parent's copy); when the consumer stops early, is
interrupted or the child is silent for too long, the child is killed.
"""
from __future__ import annotations

import contextlib
import faulthandler
import importlib
import os
import pickle
import select
import signal
import struct
import subprocess
import sys
import threading
from typing import Any, Callable, Iterator

import numpy as np

try:
    import fcntl
except ImportError:
    fcntl = None  # type: ignore[assignment]

# A decoder silent this long is taken to hang.
IDLE_SECONDS = 60.0
# Pipe buffer asked for (the most an unprivileged process may have by default).
PIPE_BYTES = 1 << 20


class ChildFailed(Exception):
    """The child raised (the message is "TypeName: first line"), or ended without
    finishing (the message says how)."""


def isolated(target: Callable[..., Iterator[Any]], *args: Any,
             idle_seconds: float = IDLE_SECONDS) -> Iterator[Any]:
    """The items ``target(*args)`` yields, computed in a child process. ``target`` must be
    a module-level function (a spawned child imports it by name)."""
    fd, write_fd = os.pipe()
    _widen(write_fd)
    try:
        child = _Child(write_fd, target, args)
    finally:
        os.close(write_fd)
    try:
        while True:
            try:
                kind, payload = _receive(fd, idle_seconds)
                if kind == _ARRAY:
                    descr, shape = pickle.loads(payload)
                    array = np.empty(shape, np.dtype(descr))
                    _read_into(fd, memoryview(array.view(np.uint8).reshape(-1)), idle_seconds)
                    yield array
                    continue
            except EOFError:
                raise ChildFailed(_how_it_ended(child.wait())) from None
            if kind == _ITEM:
                yield pickle.loads(payload)
            elif kind == _ERROR:
                raise ChildFailed(payload.decode("utf-8", "replace"))
            else:
                return
    finally:
        os.close(fd)
        child.stop()


class _Child:
    """The child process: forked when this process runs a single thread, else a new
    interpreter that imports the target by name."""

    def __init__(self, write_fd: int, target: Callable[..., Iterator[Any]],
                 args: tuple[Any, ...]) -> None:
        self.pid: int | None = None
        self.proc: subprocess.Popen[bytes] | None = None
        if hasattr(os, "fork") and threading.active_count() == 1:
            self.pid = os.fork()
            if self.pid == 0:
                try:
                    _serve(write_fd, target, args)
                finally:
                    os._exit(0)
            return
        self.proc = subprocess.Popen(
            [sys.executable, "-c", "from nivra.viz.io._isolated import _spawned; _spawned()"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(write_fd,))
        assert self.proc.stdin is not None
        with contextlib.suppress(OSError):
            self.proc.stdin.write(pickle.dumps((write_fd, target.__module__,
                                                target.__qualname__, args)))
        self.proc.stdin.close()

    def wait(self) -> int:
        """The exit status (minus the signal's number for a child a signal ended)."""
        if self.proc is not None:
            try:
                return self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                return self.proc.wait()
        assert self.pid is not None
        _, status = os.waitpid(self.pid, 0)
        self.pid = None
        return os.waitstatus_to_exitcode(status)

    def stop(self) -> None:
        """Kill the child if it still runs, and reap it."""
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.wait()
        elif self.pid is not None:
            with contextlib.suppress(OSError):
                os.kill(self.pid, signal.SIGKILL)
            with contextlib.suppress(ChildProcessError):
                os.waitpid(self.pid, 0)
            self.pid = None


# Messages: a kind byte and a payload length, then the payload. An array's message holds
# its dtype and shape; its raw bytes follow, read straight into the array.
_HEADER = struct.Struct("<cQ")
_ITEM, _ARRAY, _ERROR, _DONE = b"I", b"A", b"E", b"D"


def _send(fd: int, kind: bytes, payload: bytes | memoryview = b"") -> None:
    _write_all(fd, _HEADER.pack(kind, len(payload)))
    _write_all(fd, payload)


def _write_all(fd: int, data: bytes | memoryview) -> None:
    view = memoryview(data).cast("B")
    while len(view):
        view = view[os.write(fd, view):]


def _receive(fd: int, idle_seconds: float) -> tuple[bytes, bytes]:
    head = bytearray(_HEADER.size)
    _read_into(fd, memoryview(head), idle_seconds)
    kind, length = _HEADER.unpack(head)
    payload = bytearray(length)
    _read_into(fd, memoryview(payload), idle_seconds)
    return kind, bytes(payload)


def _read_into(fd: int, view: memoryview, idle_seconds: float) -> None:
    """Fills ``view`` from the pipe; EOFError when the child ends first."""
    done = 0
    while done < len(view):
        if not select.select([fd], [], [], idle_seconds)[0]:
            raise ChildFailed(f"the decoder gave nothing for {idle_seconds:.0f} s and was "
                              f"stopped")
        got = os.readv(fd, [view[done:]])
        if not got:
            raise EOFError
        done += got


def _widen(fd: int) -> None:
    """A larger pipe buffer (Linux): far fewer switches between the processes per event."""
    with contextlib.suppress(OSError, AttributeError):
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_BYTES)


def _how_it_ended(code: int | None) -> str:
    if code is None:
        return "the decoder stopped answering"
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"the decoder was killed by {name}"
    return f"the decoder ended with exit status {code}"


def _spawned() -> None:
    """A spawned child: the target named on stdin, its items written to the pipe."""
    write_fd, module, name, args = pickle.loads(sys.stdin.buffer.read())
    target = getattr(importlib.import_module(module), name)
    _serve(write_fd, target, args)


def _serve(fd: int, target: Callable[..., Iterator[Any]], args: tuple[Any, ...]) -> None:
    # Interrupts and terminations end the child at once: the parent reports them.
    for sig in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)):
        if sig is not None:
            signal.signal(sig, signal.SIG_DFL)
    # Panic reports, fault dumps and warnings of the decoder go nowhere; the parent says
    # one line.
    faulthandler.disable()
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    try:
        for item in target(*args):
            if isinstance(item, np.ndarray) and not item.dtype.hasobject:
                item = np.ascontiguousarray(item)
                _send(fd, _ARRAY, pickle.dumps((item.dtype.descr, item.shape)))
                _write_all(fd, item.view(np.uint8).reshape(-1).data)
            else:
                _send(fd, _ITEM, pickle.dumps(item))
        _send(fd, _DONE)
    except BaseException as exc:  # a native panic is a BaseException
        text = str(exc).splitlines()[0] if str(exc) else ""
        message = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
        with contextlib.suppress(OSError):
            _send(fd, _ERROR, message.encode("utf-8", "replace"))
    finally:
        os.close(fd)
