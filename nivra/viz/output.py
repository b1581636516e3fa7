"""Where a page goes and how it gets there without losing anything.

    page = resolve_output(args.output, Path("rec.npy"))   # rec.html beside the input
    refuse_inputs(page, [("the input", Path("rec.npy"))])
    with replacing(page) as tmp:                          # a fresh file beside the page
        write_the_page(tmp)                               # renamed into place on success

A page is written to a temporary file in its own directory and renamed over the old one
only once it is complete, so a failed or interrupted job leaves the previous page as it
was and no half-written one. The temporary's name holds the writing process's id; one left
by a run that was killed outright (its process gone) is removed by the next run writing
the same page. (Not a lock on the file: HDF5 writers lock the files they create.) Failures the user can act on raise :class:`OutputError` with
a one-line message.
"""
from __future__ import annotations

import contextlib
import os
import re
import secrets
import stat
import webbrowser
from pathlib import Path
from typing import Iterator, Sequence

__all__ = ["OutputError", "resolve_output", "refuse_inputs", "replacing", "write_text",
           "format_size", "open_in_browser", "remove_stale_temporaries"]


class OutputError(Exception):
    """The page cannot be written where asked; the message is one line."""


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def resolve_output(given: str | os.PathLike[str] | None, source: Path,
                   suffix: str = ".html") -> Path:
    """The page for ``source``: ``given``, or inside it when it names a directory (an
    existing one, or any name ending in a separator), else ``source`` with ``suffix``
    beside it. Its directory must exist."""
    name = source.with_suffix(suffix).name
    if given is None:
        page = source.with_suffix(suffix)
    else:
        text = os.fspath(given)
        seps = tuple(s for s in (os.sep, os.altsep) if s)
        page = Path(text)
        if text.endswith(seps) or page.is_dir():
            if not page.is_dir():
                _check_directory(page, text)
            page = page / name
    _check_directory(page.parent, str(page))
    return page


def _check_directory(directory: Path, shown: str) -> None:
    """``directory`` exists and is one; else the error names the first part that is wrong."""
    if directory.is_dir():
        return
    for part in (directory, *directory.parents):
        if part.exists() or part.is_symlink():
            if not part.is_dir():
                raise OutputError(f"cannot write {shown}: {part} is not a directory")
            break
    raise OutputError(f"cannot write {shown}: directory {directory} does not exist")


def _same_file(a: Path, b: Path) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:  # either does not exist (yet)
        return False


def refuse_inputs(page: Path, inputs: Sequence[tuple[str, str | os.PathLike[str] | None]]) -> None:
    """Refuse a page that is the same file as one of ``inputs`` ((what, path) pairs; a path
    may be None), through links as well: writing it would destroy that input."""
    if page.is_dir():
        raise OutputError(f"cannot write {page}: it is a directory")
    for what, path in inputs:
        if path is not None and _same_file(page, Path(path)):
            raise OutputError(f"cannot write {page}: it is the same file as {what} {path}; "
                              f"nothing was written (choose another page with -o)")


def _temporary_name(final: Path) -> str:
    return f".{final.stem}-{os.getpid():x}-{secrets.token_hex(2)}.tmp{final.suffix}"


def _temporary_beside(final: Path) -> Path:
    """A new empty file in ``final``'s directory, made with the mode a new file gets (or the
    mode of the file it will replace), never one that existed before."""
    try:
        mode = stat.S_IMODE(final.stat().st_mode)
    except FileNotFoundError:
        mode = None
    for _ in range(100):
        tmp = final.with_name(_temporary_name(final))
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        try:
            if mode is not None:
                os.chmod(fd, mode)
        finally:
            os.close(fd)
        return tmp
    raise FileExistsError(f"no free temporary name beside {final}")


def remove_stale_temporaries(final: Path) -> list[Path]:
    """Remove the temporaries of ``final`` that runs killed outright left behind: files of
    our naming, owned by this user, whose writing process no longer exists. Returns what
    was removed."""
    pattern = re.compile(rf"\.{re.escape(final.stem)}-([0-9a-f]{{1,16}})-[0-9a-f]{{4}}"
                         rf"\.tmp{re.escape(final.suffix)}")
    removed = []
    with contextlib.suppress(OSError):
        for name in os.listdir(final.parent):
            match = pattern.fullmatch(name)
            path = final.parent / name
            if match and not _running(int(match.group(1), 16)) and _ours(path):
                with contextlib.suppress(OSError):
                    path.unlink()
                    removed.append(path)
    return removed


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError, OSError):
        return True  # another user's process, or not known: keep its file
    return True


def _ours(path: Path) -> bool:
    try:
        info = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISREG(info.st_mode) and (not hasattr(os, "getuid") or info.st_uid == os.getuid())


@contextlib.contextmanager
def replacing(page: Path) -> Iterator[Path]:
    """A temporary path beside ``page`` (through links, the file they lead to) for the block
    to write; when the block succeeds it is synced and renamed to ``page`` in one step, when
    it fails (or is interrupted) it is removed, ``page`` is left as it was and the block's
    exception propagates unchanged."""
    final = Path(os.path.realpath(page))
    if final.exists() and not os.access(final, os.W_OK):
        raise OutputError(f"cannot write {page}: permission denied")
    remove_stale_temporaries(final)
    try:
        tmp = _temporary_beside(final)
    except OSError as exc:
        raise OutputError(f"cannot write {page}: {_reason(exc)}") from None
    try:
        yield tmp
    except BaseException:
        _remove(tmp)
        raise
    try:
        fd = os.open(tmp, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, final)
    except OSError as exc:
        _remove(tmp)
        raise OutputError(f"cannot write {page}: {_reason(exc)}") from None


def _remove(path: Path) -> None:
    with contextlib.suppress(OSError):
        path.unlink()


def write_text(page: Path, text: str) -> None:
    """``text`` as UTF-8 in ``page``, replacing it whole or not at all."""
    try:
        with replacing(page) as tmp:
            tmp.write_text(text, encoding="utf-8")
    except OSError as exc:
        raise OutputError(f"cannot write {page}: {_reason(exc)}") from None


def format_size(n: int) -> str:
    """Bytes as people read them: 812 bytes, 14.2 kB, 39.1 MB (powers of 1,000)."""
    if n < 1000:
        return f"{n} byte" + ("" if n == 1 else "s")
    value = n / 1000
    for unit in ("kB", "MB"):
        if value < 999.95:
            return f"{value:.1f} {unit}"
        value /= 1000
    return f"{value:,.1f} GB"


def open_in_browser(page: Path) -> bool:
    """Ask the web browser to open ``page``; False when none could be started."""
    try:
        return webbrowser.open(Path(page).resolve().as_uri()) is not False
    except webbrowser.Error:
        return False
