"""The viewer's requests and answers, apart from any socket: ``Routes.handle`` takes the
method, the path with its query and the token sent in a header, and gives a ``Reply``.

    GET /?token=T                         the page
    GET /api/list?token=T                 the recordings (one, or a directory's)
    GET /api/info?rec=N                   a recording opened: counts, sensor, activity step
    GET /api/activity?rec=N               ON then OFF counts per activity step (uint32)
    GET /api/hot?rec=N                    the hot pixels' flat indices (uint32)
    GET /api/frame?rec=N&start=US&window=US
                                          the frame [start, start + window): the pixels with
                                          events (uint32 indices), then their ON and OFF
                                          counts (uint8, 16 or 32 as X-Count-Bytes says)
    GET /api/spikes?rec=N&start=US&end=US the static spike page of that time range

Every request carries the token (query ``token`` or header ``X-Nivra-Token``). Failures
are a 4xx with a one-line JSON reason: {"error": "..."}.
"""
from __future__ import annotations

import hmac
import html
import json
import math
import re
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable
from urllib.parse import parse_qs, urlsplit

import numpy as np

from .catalog import Catalog, clean
from .recording import MAX_WINDOW_US, Frame, Recording, ViewError

TEMPLATE_NAME = "view.html"


@dataclass
class Reply:
    status: int
    body: bytes
    content_type: str = "application/json"
    headers: dict[str, str] = field(default_factory=dict)


def error(status: int, message: str) -> Reply:
    return Reply(status, (json.dumps({"error": clean(message)}) + "\n").encode())


def _json(value: Any) -> Reply:
    return Reply(200, json.dumps(value, allow_nan=False).encode())


class BadRequest(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


_INT = re.compile(r"^[0-9]{1,9}$")
_NUMBER = re.compile(r"^[0-9]{1,15}(\.[0-9]{1,9})?$")


def _page_template() -> str:
    from nivra.viz import render

    return (Path(render.TEMPLATES_DIR) / TEMPLATE_NAME).read_text(encoding="utf-8")


class Routes:
    def __init__(self, catalog: Catalog, token: str, title: str | None = None) -> None:
        self.catalog = catalog
        self.token = token
        self.title = title
        self.table: dict[str, Callable[[dict[str, str]], Reply]] = {
            "/": self.page,
            "/api/list": self.list,
            "/api/info": self.info,
            "/api/activity": self.activity,
            "/api/hot": self.hot,
            "/api/frame": self.frame,
            "/api/spikes": self.spikes,
        }

    # --- dispatch -------------------------------------------------------------------------

    def handle(self, method: str, target: str, header_token: str | None = None) -> Reply:
        try:
            parts = urlsplit(target)
            query = self._query(parts.query)
            given = query.pop("token", None) or header_token
            if not given:
                return error(401, "this viewer needs the token of its address (?token=...)")
            if not hmac.compare_digest(given.encode("utf-8", "replace"), self.token.encode()):
                return error(403, "wrong token")
            route = self.table.get(parts.path)
            if route is None:
                return error(404, f"no such page or request: {parts.path[:200]}")
            if method not in ("GET", "HEAD"):
                reply = error(405, f"{method[:20]} is not served; only GET")
                reply.headers["Allow"] = "GET, HEAD"
                return reply
            return route(query)
        except BadRequest as exc:
            return error(exc.status, str(exc))
        except ViewError as exc:
            return error(422, str(exc))

    @staticmethod
    def _query(text: str) -> dict[str, str]:
        try:
            raw = parse_qs(text, keep_blank_values=True, strict_parsing=False,
                           max_num_fields=20)
        except ValueError:
            raise BadRequest(400, "too many query fields") from None
        out = {}
        for key, values in raw.items():
            if len(values) != 1:
                raise BadRequest(400, f"{key[:40]} is given more than once")
            out[key] = values[0]
        return out

    # --- parameters -----------------------------------------------------------------------

    def _rec_id(self, query: dict[str, str]) -> int:
        text = query.get("rec")
        if text is None:
            if self.catalog.is_dir:
                raise BadRequest(400, "rec (the recording's number in the list) is missing")
            return 0
        if not _INT.match(text) or int(text) >= len(self.catalog.entries):
            raise BadRequest(404, f"no recording number {text[:40]!s} (the list has "
                                  f"{len(self.catalog.entries)})")
        return int(text)

    def _recording(self, query: dict[str, str]) -> Recording:
        return self.catalog.recording(self._rec_id(query))

    @staticmethod
    def _time(query: dict[str, str], name: str, lo: float, hi: float, what: str) -> float:
        text = query.get(name)
        if text is None:
            raise BadRequest(400, f"{name} is missing ({what})")
        if not _NUMBER.match(text):
            raise BadRequest(400, f"{name} must be a number of microseconds, got "
                                  f"{text[:40]!r}")
        value = float(text)
        if not (math.isfinite(value) and lo <= value <= hi):
            raise BadRequest(400, f"{name} must be between {_us(lo)} and {_us(hi)} "
                                  f"({what}), got {text[:40]}")
        return int(value) if value.is_integer() else value

    # --- routes ---------------------------------------------------------------------------

    def page(self, query: dict[str, str]) -> Reply:
        title = self.title or self.catalog.root.name or str(self.catalog.root)
        text = _page_template().replace("{{TITLE}}", html.escape(clean(title)))
        # no referrer: the address holds the token
        return Reply(200, text.encode("utf-8"), "text/html; charset=utf-8",
                     {"Referrer-Policy": "no-referrer"})

    def list(self, query: dict[str, str]) -> Reply:
        return _json(self.catalog.listing())

    def info(self, query: dict[str, str]) -> Reply:
        rec_id = self._rec_id(query)
        info = self.catalog.recording(rec_id).info()
        info["id"] = rec_id
        return _json(info)

    def activity(self, query: dict[str, str]) -> Reply:
        rec = self._recording(query)
        return Reply(200, rec.activity_bytes(), "application/octet-stream")

    def hot(self, query: dict[str, str]) -> Reply:
        return Reply(200, self._recording(query).hot_bytes(), "application/octet-stream")

    def frame(self, query: dict[str, str]) -> Reply:
        rec = self._recording(query)
        start = self._time(query, "start", 0, rec.duration_us, "microseconds after the "
                           "first event, within the recording")
        window = self._time(query, "window", 1, MAX_WINDOW_US, "microseconds")
        frame = rec.frame(start, window)
        body, width = encode_frame(frame)
        return Reply(200, body, "application/octet-stream", {
            "X-Frame-Start": str(start), "X-Frame-Window": str(window),
            "X-Frame-Events": str(frame.events), "X-Count-Bytes": str(width)})

    def spikes(self, query: dict[str, str]) -> Reply:
        from nivra.viz import recording_page

        rec = self._recording(query)
        start = self._time(query, "start", 0, rec.duration_us, "microseconds after the "
                           "first event")
        end = self._time(query, "end", 0, rec.duration_us + 1, "microseconds after the "
                         "first event")
        if end <= start:
            raise BadRequest(400, "end must be after start")
        lo, hi = rec.window_bounds(start, end - start)
        # make_page counts windows from the earliest event, as the viewer does
        with tempfile.TemporaryDirectory(prefix="nivra-view-") as tmp:
            out = Path(tmp) / "page.html"
            try:
                recording_page.make_page(
                    rec.path, out, start=_diff(lo, rec.t_min), end=_diff(hi, rec.t_min),
                    time_unit=rec.time_unit, unit_given=True, sensor=rec.sensor,
                    title=f"{rec.path.name} {_us(start)}\u2013{_us(end)}")
            except (recording_page.PageError, recording_page.ReaderError) as exc:
                raise BadRequest(422, str(exc)) from None
            except MemoryError:
                raise BadRequest(422, "out of memory: choose a shorter time range") from None
            body = out.read_bytes()
        name = re.sub(r"[^A-Za-z0-9._-]+", "-", rec.path.stem)[:60] or "recording"
        return Reply(200, body, "text/html; charset=utf-8", {
            "Content-Disposition": f'attachment; filename="{name}-{start}-{end}us.html"'})


def _diff(a: Any, b: Any) -> Any:
    d = a - b
    return d if isinstance(d, int) else float(d)


def _us(v: float) -> str:
    return f"{v:,.0f} us" if float(v).is_integer() else f"{v:,} us"


def encode_frame(frame: Frame) -> tuple[bytes, int]:
    """The pixels with events of a frame: their flat indices (uint32), then the ON counts,
    then the OFF counts, each as narrow an unsigned type as the largest count allows."""
    peak = max(float(frame.on.max(initial=0)), float(frame.off.max(initial=0)))
    dtype, width = ("<u1", 1) if peak < 256 else ("<u2", 2) if peak < 65536 else ("<u4", 4)
    body = b"".join((frame.idx.astype("<u4").tobytes(), frame.on.astype(dtype).tobytes(),
                     frame.off.astype(dtype).tobytes()))
    return body, width
