"""serialize_events end to end against the same steps written plainly with NumPy and Pillow.

2 and 10 million events of a 346x260 sensor (x, y: uint16; t: int64 sorted; p: bool),
default arguments (20 animation frames, 5 grid bins, 100 x 1000 raster). The documents
are compared first (every image decodes to the same pixels; the PNG bytes differ, the
module writing its own); then each stage is timed on both sides (best of a few runs):
grid, frames, colouring, PNG encoding (25 images), raster (with tolist), and the
json.dumps of the document that the page rendering does.

Each size runs once on the array path (TONIC_AVAILABLE rebound to False, both sides)
and once as installed: with Tonic, the frames of the grid and the animation come from
the module's own Tonic path (Tonic's ToFrame) on both sides, so that stage costs the
same on both and the others are compared.

Last, the size of the spike page with the module's PNG images next to the same page
with Pillow's, on the sample recording, on a sparse 1280x720 one and on the above.
"""
import base64
import io
import json
import sys
import time

import numpy as np
from PIL import Image

from nivra.viz import samples, spikes

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from spikes_binning import frames_numpy, grid_from_frames, make  # noqa: E402  (the plain NumPy steps)

# Stage times are CPU times of this thread (Pillow's encoder and our kernels run in it
# with the interpreter lock released): the machine is shared, and wall times swing
# with the load of other users. The wall time of each whole document is printed too.
clock = time.thread_time

SIZES = (2_000_000, 10_000_000)
W, H = 346, 260
REPEAT = 2


# --- the baseline: the steps, written plainly ----------------------------------

def encode_png(img):
    if img.dtype != np.uint8:
        img = (img * 255).astype(np.uint8)
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode("utf-8")


def pixels(text):
    return np.asarray(Image.open(io.BytesIO(base64.b64decode(text))))


def same_document(a, b):
    """Equal documents, images compared by their decoded pixels."""
    images = ("grid_frames", "animation_frames")
    if list(a) != list(b) or any(a[k] != b[k] for k in a if k not in images):
        return False
    return all(len(a[k]) == len(b[k]) and all(np.array_equal(pixels(x), pixels(y)) for x, y in zip(a[k], b[k]))
               for k in images)


def page_size(doc):
    return len(spikes._render_spike_html(doc).encode("utf-8"))


def with_pillow_images(doc):
    """The same document with every image written by Pillow."""
    return dict(doc, grid_frames=[encode_png(pixels(t)) for t in doc["grid_frames"]],
                animation_frames=[encode_png(pixels(t)) for t in doc["animation_frames"]])


def frames_plain(events, size, n, tonic_path):
    if tonic_path:
        return spikes._events_to_frames_tonic(events, size, n)
    return frames_numpy(events, size, n)


def grid_plain(frames, size, n_bins):
    return grid_from_frames(frames, size)


def colour_plain(frames, size, n_frames):
    on_all, off_all = frames[:, 0], frames[:, 1]
    all_rgb = np.zeros((n_frames, size[1], size[0], 3), dtype=np.uint8)
    max_on = np.maximum(on_all.max(axis=(1, 2), keepdims=True), 1)
    max_off = np.maximum(off_all.max(axis=(1, 2), keepdims=True), 1)
    max_val = np.maximum(max_on, max_off)
    all_rgb[:, :, :, 2] = np.clip(on_all / max_val * 255, 0, 255).astype(np.uint8)
    all_rgb[:, :, :, 0] = np.clip(off_all / max_val * 255, 0, 255).astype(np.uint8)
    return all_rgb


def raster_plain(events, n_neurons, time_bins):
    width = int(events["x"].max()) + 1
    t_vals = events["t"].astype(np.float64)
    x_vals = events["x"].astype(np.int32)
    y_vals = events["y"].astype(np.int32)
    t_min, t_max = t_vals.min(), t_vals.max()
    t_range = max(t_max - t_min, 1e-9)
    time_idx = np.clip(((t_vals - t_min) / t_range * (time_bins - 0.001)).astype(np.int32), 0, time_bins - 1)
    neuron_idx = y_vals * width + x_vals
    valid = (neuron_idx >= 0) & (neuron_idx < n_neurons)
    raster = np.zeros((time_bins, n_neurons), dtype=np.float32)
    np.add.at(raster, (time_idx[valid], neuron_idx[valid]), 1)
    return raster


def baseline_stages(ev, tonic_path):
    size = (int(ev["x"].max()) + 1, int(ev["y"].max()) + 1)
    stages = {}
    t0 = clock()
    duration = int(ev["t"].max() - ev["t"].min())
    grid = grid_plain(frames_plain(ev, size, 5, tonic_path), size, 5)
    t1 = clock(); stages["grid"] = t1 - t0
    frames = frames_plain(ev, size, 20, tonic_path)
    t2 = clock(); stages["frames"] = t2 - t1
    rgb = colour_plain(frames, size, 20)
    t3 = clock(); stages["colouring"] = t3 - t2
    grid_frames = [encode_png(f) for f in grid]
    animation = [encode_png(rgb[i]) for i in range(20)]
    t4 = clock(); stages["PNG (25 images)"] = t4 - t3
    raster = raster_plain(ev, min(size[0] * size[1], 1000), 100).tolist()
    t5 = clock(); stages["raster + tolist"] = t5 - t4
    doc = {"event_count": len(ev), "duration_us": duration, "sensor_size": size, "grid_frames": grid_frames,
           "animation_frames": animation, "raster": raster}
    text = json.dumps(doc)
    stages["json.dumps"] = clock() - t5
    return doc, stages, len(text)


def ours_stages(ev):
    stages = {}
    t0 = clock()
    doc = spikes.serialize_events(ev)
    t1 = clock()
    stages["total serialize_events"] = t1 - t0
    json.dumps(doc)
    stages["json.dumps"] = clock() - t1
    # The stages one by one, through the module's own functions.
    size = doc["sensor_size"]
    t = clock()
    grid = spikes.events_to_grid(ev, size)
    stages["grid"] = clock() - t
    t = clock()
    frames = spikes.events_to_frames(ev, size, n_frames=20)
    stages["frames"] = clock() - t
    # The colouring kernel, timed through events_to_grid on this very frame stack.
    saved = spikes.events_to_frames
    spikes.events_to_frames = lambda e, s, n_frames: frames
    try:
        t = clock()
        spikes.events_to_grid(None, size, 20)
        stages["colouring"] = clock() - t
    finally:
        spikes.events_to_frames = saved
    rgb = colour_plain(frames, size, 20)  # the same images as the document's
    t = clock()
    for img in list(grid) + list(rgb):
        spikes._encode_image_base64(img)
    stages["PNG (25 images)"] = clock() - t
    t = clock()
    spikes.events_to_raster(ev, n_neurons=1000, time_bins=100).tolist()
    stages["raster + tolist"] = clock() - t
    del frames, rgb
    return doc, stages


def best_of(fn):
    best = None
    for _ in range(REPEAT):
        out = fn()
        stages = out[1]
        if best is None:
            best = (out, dict(stages))
        else:
            for k, v in stages.items():
                best[1][k] = min(best[1][k], v)
    return best


def wall(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def report(label, ev, tonic_path):
    n = len(ev)
    print(f"\n== {label}")
    base_wall = wall(lambda: baseline_stages(ev, tonic_path))
    ours_wall = wall(lambda: spikes.serialize_events(ev))
    (doc_b, _, json_len), base = best_of(lambda: baseline_stages(ev, tonic_path))
    (doc_o, _), ours = best_of(lambda: ours_stages(ev))
    if not same_document(doc_b, doc_o):
        sys.exit("serialize_events: document differs from the baseline's")
    base_total = sum(v for k, v in base.items() if k != "json.dumps")
    ours_total = ours["total serialize_events"]
    pb, po = page_size(doc_b), page_size(doc_o)
    print(f"  documents equal ({json_len / 2**20:.1f} MiB of JSON); page {po / 1024:,.0f} KB, "
          f"with Pillow's images {pb / 1024:,.0f} KB ({po / pb - 1:+.1%})")
    print(f"  {'stage (cpu time)':<26}{'baseline':>12}{'share':>8}{'nivra':>12}{'share':>8}")
    for k in ("grid", "frames", "colouring", "PNG (25 images)", "raster + tolist"):
        o = ours[k]
        print(f"  {k:<26}{base[k] * 1e3:10.1f}ms{base[k] / base_total:8.0%}{o * 1e3:10.1f}ms"
              f"{o / ours_total:8.0%}")
    print(f"  {'serialize_events total':<26}{base_total * 1e3:10.1f}ms{'':8}{ours_total * 1e3:10.1f}ms"
          f"   x{base_total / ours_total:.1f}  ({n / ours_total / 1e6:.0f} Mev/s)")
    print(f"  {'wall time, one run':<26}{base_wall * 1e3:10.1f}ms{'':8}{ours_wall * 1e3:10.1f}ms"
          f"   x{base_wall / ours_wall:.1f}")
    print(f"  {'json.dumps (page render)':<26}{base['json.dumps'] * 1e3:10.1f}ms{'':8}"
          f"{ours['json.dumps'] * 1e3:10.1f}ms")


def sparse_hd_recording():
    """The sample's motion (a rotating bar, dots, noise) on a 1280x720 sensor: sparse frames."""
    ev = samples.sample_events(300_000)
    out = ev.copy()
    out["x"] = (ev["x"] * (1279 / 127)).astype(np.uint16)
    out["y"] = (ev["y"] * (719 / 127)).astype(np.uint16)
    return out


def page_sizes():
    print("\n== spike page size, PNG images by the module and by Pillow (defaults), array path")
    recordings = [("sample recording (200k events, 128x128)", samples.sample_events()),
                  ("sparse recording (300k events, 1280x720)", sparse_hd_recording())]
    recordings += [(f"synthetic ({n / 1e6:.0f}M events, {W}x{H})", make(n, "?")) for n in SIZES]
    for label, ev in recordings:
        doc = spikes.serialize_events(ev)
        ours, pillow = page_size(doc), page_size(with_pillow_images(doc))
        print(f"  {label:<42}{ours / 1024:10,.0f} KB {pillow / 1024:10,.0f} KB  {ours / pillow - 1:+.1%}")


def main():
    saved = spikes.TONIC_AVAILABLE
    for n in SIZES:
        ev = make(n, "?")
        print(f"\n{n:,} events, sensor {W}x{H}, default arguments; best of {REPEAT}")
        spikes.TONIC_AVAILABLE = False
        try:
            report("array path (no Tonic)", ev, tonic_path=False)
        finally:
            spikes.TONIC_AVAILABLE = saved
        if saved:
            report("as installed: frames from Tonic's ToFrame on both sides", ev, tonic_path=True)
        del ev
    spikes.TONIC_AVAILABLE = False
    try:
        page_sizes()
    finally:
        spikes.TONIC_AVAILABLE = saved


if __name__ == "__main__":
    main()
