"""CSV and whitespace-separated text: a header line naming the fields, then one event a line.

A leading unnamed column (the index pandas writes) is left out; True/False read as 1/0.
"""
from __future__ import annotations

import csv
import io
import re
import warnings
from pathlib import Path
from typing import Any

import numpy as np

from ._base import ArraySource, ReaderError, time_field

_BOOL_WORDS = re.compile(r"\b(?:true|false)\b", re.IGNORECASE)


def _sniff_delimiter(header: str) -> str | None:
    for delimiter in (",", "\t", ";"):
        if delimiter in header:
            return delimiter
    return None  # whitespace


def _column_dtype(values: np.ndarray) -> np.dtype[Any]:
    """int64 for columns of whole numbers, else float64."""
    if values.size == 0:
        return np.dtype(np.int64)
    finite = np.isfinite(values)
    if finite.all() and np.all(values == np.round(values)) and np.abs(values).max() < 2.0 ** 53:
        return np.dtype(np.int64)
    return np.dtype(np.float64)


def _number(text: str) -> float:
    word = text.strip().strip('"').lower()
    if word in ("true", "false"):
        return 1.0 if word == "true" else 0.0
    return float(word)


def _first_bad_value(path: Path, body: str, first_line: int, delimiter: str | None,
                     width: int) -> str:
    """Where the body first fails to read, as an editor counts: line and column from 1."""
    for offset, line in enumerate(body.splitlines()):
        row = line.split("#", 1)[0]
        if not row.strip():
            continue
        values = next(csv.reader([row], delimiter=delimiter)) if delimiter else row.split()
        if len(values) != width:
            return (f"line {first_line + offset}: {len(values)} values where the header names "
                    f"{width} fields")
        for col, value in enumerate(values, start=1):
            try:
                _number(value)
            except ValueError:
                return (f"line {first_line + offset}, column {col}: cannot read "
                        f"{value.strip()[:40]!r} as a number")
    return "unreadable values"


def read_csv(path: Path) -> np.ndarray:
    """The file as a structured array: whole-number columns int64, the others float64."""
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            header = f.readline()
            header_line = 1
            while header and not header.strip():
                header = f.readline()
                header_line += 1
            body = f.read()
    except UnicodeDecodeError:
        raise ReaderError(f"{path}: not a text file, and not a recording format known by its "
                          f"name or first bytes (.npy, .npz, .raw, .dat, .aedat4, .h5, "
                          f"CSV/text)") from None
    except OSError as exc:
        raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None
    header = header.strip().lstrip("#").strip()
    if not header:
        raise ReaderError(f"{path}: empty file; expected a header line naming the fields, "
                          f"e.g. x,y,t,p")
    delimiter = _sniff_delimiter(header)
    if delimiter is None:
        names = header.split()
    else:
        names = [n.strip().strip('"').strip() for n in next(csv.reader([header],
                                                                      delimiter=delimiter))]
    skip_first = len(names) > 1 and names[0] in ("", "Unnamed: 0")  # a pandas index
    fields = names[1:] if skip_first else names
    bad = [n for n in fields if not n or not n.replace("_", "a").isalnum() or n[0].isdigit()]
    if bad or not fields:
        raise ReaderError(f"{path}: the first line must name the fields (for example x,y,t,p), "
                          f"found {header[:60]!r}")
    if len(set(fields)) != len(fields):
        raise ReaderError(f"{path}: repeated field name in the header {header[:60]!r}")
    text = body
    if _BOOL_WORDS.search(text):
        text = _BOOL_WORDS.sub(lambda m: "1" if m.group(0).lower() == "true" else "0", text)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # "input contained no data" for a header only
            values = np.loadtxt(io.StringIO(text), delimiter=delimiter, dtype=np.float64,
                                ndmin=2, comments="#", quotechar='"')
    except ValueError:
        where = _first_bad_value(path, body, header_line + 1, delimiter, len(names))
        raise ReaderError(f"{path}: bad CSV data: {where}") from None
    if values.size == 0:
        values = values.reshape(0, len(names))
    if values.shape[1] != len(names):
        raise ReaderError(f"{path}: the header names {len(names)} fields but the rows have "
                          f"{values.shape[1]} values")
    if skip_first:
        values = values[:, 1:]
    dtype = np.dtype([(n, _column_dtype(values[:, i])) for i, n in enumerate(fields)])
    events = np.empty(values.shape[0], dtype)
    for i, n in enumerate(fields):
        events[n] = values[:, i]
    return events


class TextSource(ArraySource):
    format = "CSV/text"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self.events = read_csv(path)
        self.t_field = time_field(self.events.dtype)
