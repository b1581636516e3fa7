"""What a recording's page says about its events, one story everywhere: events read, in
the time window, drawn, and each reason some were left out (the summary line, the
warning and the page's cards tell the same numbers), hot pixels among them."""
from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from nivra.viz import hot_pixels

from .pixels import HotPixels

OUTSIDE_WINDOW = "outside the time window"
BAD_TIME = "with no valid time"
OUTSIDE_SENSOR = "outside the sensor"
AT_HOT_PIXELS = "at hot pixels"


def _events(n: int) -> str:
    return f"{n:,} event" + ("" if n == 1 else "s")


@dataclass
class PageReport:
    path: Path
    format: str
    fields: tuple[str | None, ...]
    read: int                             # events read from the file
    in_window: int | None                 # events in the time window (None: no window)
    drawn: int                            # events on the page's images
    sensor: tuple[int, int]
    sensor_from: str                      # "given", "from the file" or "detected"
    left_out: dict[str, int]              # reason -> events, every reason counted
    negative: int = 0                     # of those outside the sensor: at x or y < 0
    span_us: Any = 0                      # last minus first time drawn on, in us
    chunked: bool = False                 # read from the file chunk by chunk
    passes: int = 1                       # reads of the file
    warnings: list[str] = field(default_factory=list)
    not_drawn: dict[str, int] = field(default_factory=dict)  # records the reader skipped
    hot: HotPixels | None = None          # hot pixels left out (None: kept)
    raster_pixels: list[tuple[int, int]] | None = None  # (x, y) of each raster column

    @property
    def count(self) -> int:
        """The events the page's document counts: those of the window (or the file)."""
        return self.read if self.in_window is None else self.in_window

    def left_out_total(self) -> int:
        return sum(self.left_out.values())

    def _left_out_parts(self, worst: bool = True) -> list[str]:
        parts = []
        for reason, n in self.left_out.items():
            if n:
                text = f"{n:,} {reason}"
                if reason == OUTSIDE_SENSOR and self.negative:
                    text += f" ({self.negative:,} of them at negative coordinates)"
                if reason == AT_HOT_PIXELS and self.hot is not None:
                    text = f"{n:,} at {self._hot_pixels()}"
                    text += f" ({self._worst()})" if worst else ""
                parts.append(text)
        return parts

    def _hot_pixels(self) -> str:
        n = self.hot.count if self.hot else 0
        return f"{n:,} hot pixel" + ("" if n == 1 else "s")

    def _worst(self) -> str:
        if not self.hot or not self.hot.worst:
            return "none found"
        x, y, n = self.hot.worst[0]
        whole = " in the whole recording" if self.in_window is not None else ""
        return f"worst x {x} y {y}, {_events(n)}{whole}"

    def hot_warning(self) -> str | None:
        """The warning when hot pixels were left out: how many, their events, the worst,
        the rule and how to keep them."""
        if not self.hot or not self.hot.count:
            return None
        events = self.left_out.get(AT_HOT_PIXELS, 0)
        return (f"{self._hot_pixels()} left out ({_events(events)}; {self._worst()}). "
                f"{hot_pixels.RULE} --hot-pixels keep keeps them.")

    def summary(self) -> str:
        """One line: format, events read / in the window / drawn, fields, sensor and where
        it came from, what was left out and why."""
        counts = _events(self.read) + " read"
        if self.in_window is not None:
            counts += f", {self.in_window:,} in the time window"
        counts += f", {self.drawn:,} drawn"
        fields = " ".join(f"{role}={name or '(none)'}" for role, name in zip("xytp", self.fields))
        parts = self._left_out_parts()
        left = ("; left out " + ", ".join(parts)) if parts else "; none left out"
        if self.not_drawn:
            left += "; not drawn: " + ", ".join(f"{n:,} {why}" for why, n in self.not_drawn.items())
        return (f"{self.path}: {self.format}; {counts}; fields {fields}; "
                f"sensor {self.sensor[0]} x {self.sensor[1]} ({self.sensor_from}){left}")

    def left_out_warning(self) -> str | None:
        """The warning when any event was left out of the page."""
        total = self.left_out_total()
        if not total:
            return None
        return (f"{total:,} of {_events(self.read)} read left out of the page: "
                + ", ".join(self._left_out_parts(worst=False)))

    def document_key(self) -> dict[str, Any]:
        """What the page's cards show beside the event document's own numbers."""
        key: dict[str, Any] = {
            "events_read": self.read,
            "events_drawn": self.drawn,
            "left_out": [[reason, n] for reason, n in self.left_out.items() if n],
            "span_us": self.span_us,
        }
        if self.hot is not None:
            key["hot_pixels"] = {"count": self.hot.count,
                                 "events": self.left_out.get(AT_HOT_PIXELS, 0),
                                 "worst": [list(w) for w in self.hot.worst],
                                 "rule": hot_pixels.RULE}
        if self.raster_pixels is not None:
            key["raster_pixels"] = [list(p) for p in self.raster_pixels]
        return key
