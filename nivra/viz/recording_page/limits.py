"""What a recording's page costs to build, and what is refused before binning: detected
sensors no camera has (stray coordinates), pages that would not fit in memory, rasters
too large for the page to show."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any

# A detected sensor beyond these is taken for stray coordinates (judged at the default
# 25 images of RGB pixels).
MAX_DETECTED_SIDE = 8192
MAX_DETECTED_IMAGE_BYTES = 256 << 20
# Raster values the page can draw (its document holds them as JSON numbers).
MAX_RASTER_VALUES = 20_000_000
# Of the memory available now, what a page may take.
MEMORY_SHARE = 0.8


class PageError(Exception):
    """The page cannot be made as asked; the message is one line saying what to change."""


def memory_budget() -> int:
    """Bytes a page may take: a share of the memory available now (Linux: MemAvailable),
    else of the physical memory."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(int(line.split()[1]) * 1024 * MEMORY_SHARE)
    except (OSError, ValueError, IndexError):
        pass
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") * MEMORY_SHARE)
    except (OSError, ValueError, AttributeError):
        return 8 << 30


def page_bytes(width: int, height: int, images: int, raster_values: int,
               chunk_bytes: int = 0) -> int:
    """The most memory the page takes at once: while binning, the float32 ON/OFF counts
    of its images, the raster and the chunks being read; then the images' PNG text,
    held by the document, its JSON and the page (PNG files of RGB pixels at worst
    stored, one filter byte a row; base64 adds a third)."""
    pixels = width * height
    counts = images * 2 * pixels * 4 + raster_values * 4 + chunk_bytes
    png_text = images * ((pixels * 3 + height + 1024) * 4 // 3)
    raster_text = raster_values * 8
    return max(counts + png_text, 3 * (png_text + raster_text) + png_text)


def _number(n: float) -> str:
    return f"{n:,.0f}"


def stray(width: int, height: int) -> bool:
    """A detected sensor that no camera has."""
    return width > MAX_DETECTED_SIDE or height > MAX_DETECTED_SIDE or \
        25 * width * height * 3 > MAX_DETECTED_IMAGE_BYTES


def stray_error(path: Path, x_max: Any, y_max: Any, has_y: bool, size: tuple[int, int] | None) -> PageError:
    y_text = f" and y = {_number(y_max)}" if has_y and y_max is not None else ""
    made = f"a {size[0]} x {size[1]} sensor" if size else "no sensor"
    return PageError(f"{path}: the coordinates reach x = {_number(x_max)}{y_text}, which "
                     f"would make {made} (stray events?); give the sensor size with "
                     f"--sensor W H (events outside it are left out)")


def check_raster(path: Path, raster_bins: int, raster_neurons: int) -> None:
    if raster_bins * raster_neurons > MAX_RASTER_VALUES:
        raise PageError(f"{path}: the raster would hold {raster_bins} x {raster_neurons} = "
                        f"{_number(raster_bins * raster_neurons)} values; lower --raster-bins "
                        f"or --max-neurons")


def check_page(path: Path, size: tuple[int, int], sensor_from: str, images: int,
               raster_values: int, chunk_bytes: int, budget: int) -> None:
    """Refuses a page that would not fit in memory, naming what to lower."""
    width, height = size
    need = page_bytes(width, height, images, raster_values, chunk_bytes)
    if need > budget:
        raise PageError(f"{path}: the page would hold {images} images of {width} x {height} "
                        f"pixels and take about {need / 2**30:.1f} GiB to build, more than "
                        f"the {budget / 2**30:.1f} GiB of memory available; lower --frames or "
                        f"--grid-bins" + (" or the --sensor size" if sensor_from == "given" else ""))


def max_pixels(images: int, raster_values: int, chunk_bytes: int, budget: int) -> int:
    """The most pixels a detected sensor may have for the page to fit and not be stray."""
    cap = MAX_DETECTED_IMAGE_BYTES // (25 * 3)
    lo, hi = 0, cap
    while lo < hi:  # page_bytes grows with the pixels (taken square-ish: width = pixels)
        mid = (lo + hi + 1) // 2
        if page_bytes(mid, 1, images, raster_values, chunk_bytes) <= budget:
            lo = mid
        else:
            hi = mid - 1
    return lo
