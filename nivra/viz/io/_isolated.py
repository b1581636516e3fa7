"""A decoder that may take its process down, run in a child process of its own.

    for batch in isolated(decode_packets, path):   # items stream back over a pipe
        ...

Some compiled readers abort on a damaged file (a native panic that unwinds no further, or
a fault killed by a signal). In a child, such an end becomes :class:`ChildFailed` here, with
one line saying how the child ended, and the command goes on to report it. The child is
forked when this process runs a single thread (cheap: nothing to import again), else
spawned. It sends what the target yields, one item per message; when the consumer stops
early, is interrupted or the child is silent for too long, the child is killed.
"""
from __future__ import annotations

import faulthandler
import multiprocessing as mp
import os
import signal
import threading
from typing import Any, Callable, Iterator

# A decoder silent this long is taken to hang.
IDLE_SECONDS = 60.0


class ChildFailed(Exception):
    """The child raised (the message is "TypeName: first line"), or ended without
    finishing (the message says how)."""


def isolated(target: Callable[..., Iterator[Any]], *args: Any,
             idle_seconds: float = IDLE_SECONDS) -> Iterator[Any]:
    """The items ``target(*args)`` yields, computed in a child process. ``target`` must be
    a module-level function (a spawned child imports it by name)."""
    method = "fork" if hasattr(os, "fork") and threading.active_count() == 1 else "spawn"
    ctx = mp.get_context(method)
    receive, send = ctx.Pipe(duplex=False)
    child = ctx.Process(target=_run, args=(send, target, args), daemon=True)
    child.start()
    send.close()
    try:
        while True:
            if not receive.poll(idle_seconds):
                raise ChildFailed(f"the decoder gave nothing for {idle_seconds:.0f} s and "
                                  f"was stopped")
            try:
                kind, value = receive.recv()
            except EOFError:
                child.join(5)
                raise ChildFailed(_how_it_ended(child.exitcode)) from None
            if kind == "item":
                yield value
            elif kind == "error":
                raise ChildFailed(value)
            else:
                return
    finally:
        receive.close()
        if child.is_alive():
            child.kill()
        child.join()


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


def _run(send: Any, target: Callable[..., Iterator[Any]], args: tuple[Any, ...]) -> None:
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
            send.send(("item", item))
        send.send(("done", None))
    except BaseException as exc:  # a native panic is a BaseException
        text = str(exc).splitlines()[0] if str(exc) else ""
        send.send(("error", f"{type(exc).__name__}: {text}" if text else type(exc).__name__))
    finally:
        send.close()
