"""Spike page with 100 animation frames of a 1280 x 720 sensor, in headless Chromium.

Prints the time from navigation to the "ready" state (every PNG decoded once and stored),
and the time to draw one frame while stepping through all of them, shown smaller than the
sensor (block maximum and contrast) and at sensor size. Baseline, measured in the same
page: drawing the same frames as decoded images onto a canvas (browser scaling, no
contrast), as the page did before. The first check: at sensor size with "linear"
contrast both give the same pixels.

Two recordings: "hot" (a few hundred active pixels per frame and five hot pixels) and
"dense" (every pixel active in every frame, the most work per frame).

Run: .venv/bin/python bench/spike_page.py
"""
from __future__ import annotations

import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "browser"))

import spikedocs  # noqa: E402
from playwright.sync_api import sync_playwright  # noqa: E402

READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"

# Steps through every frame with the page's own key, then draws the same frames as images
# (the baseline); each side's time is the median of three passes, per frame.
STEP = """async ([cssW, cssH]) => {
  const n = Number(document.getElementById('slider').max) + 1;
  const key = (k) => document.dispatchEvent(new KeyboardEvent('keydown', { key: k, bubbles: true }));
  const doc = JSON.parse(document.getElementById('nivra-data').textContent);
  const imgs = await Promise.all(doc.animation_frames.map((s) => {
    const i = new Image(); i.src = 'data:image/png;base64,' + s; return i.decode().then(() => i); }));
  const c = document.createElement('canvas'), dpr = window.devicePixelRatio || 1;
  c.width = Math.round(cssW * dpr); c.height = Math.round(cssH * dpr);
  const ctx = c.getContext('2d');
  const median = (a) => a.sort((x, y) => x - y)[1];
  const page = [], base = [];
  for (let pass = 0; pass < 3; pass++) {
    key('Home');
    let t0 = performance.now();
    for (let i = 1; i < n; i++) key('ArrowRight');
    page.push((performance.now() - t0) / (n - 1));
    t0 = performance.now();
    for (let i = 1; i < n; i++) { ctx.drawImage(imgs[i], 0, 0, c.width, c.height); ctx.getImageData(0, 0, 1, 1); }
    base.push((performance.now() - t0) / (n - 1));
  }
  return [median(page), median(base)];
}"""

# At sensor size and "linear", the player's canvas equals the stored frame drawn as an image.
SAME = """async () => {
  document.getElementById('contrast-linear').click();
  const doc = JSON.parse(document.getElementById('nivra-data').textContent);
  const f = document.getElementById('frame');
  const i = Number(f.ownerDocument.documentElement.dataset.frame);
  const img = new Image(); img.src = 'data:image/png;base64,' + doc.animation_frames[i]; await img.decode();
  const c = document.createElement('canvas'); c.width = img.naturalWidth; c.height = img.naturalHeight;
  const x = c.getContext('2d'); x.drawImage(img, 0, 0);
  const a = x.getImageData(0, 0, c.width, c.height).data, b = f.getContext('2d').getImageData(0, 0, f.width, f.height).data;
  if (f.width !== c.width || a.length !== b.length) return false;
  for (let k = 0; k < a.length; k++) if (a[k] !== b[k]) return false;
  document.getElementById('contrast-auto').click();
  return true;
}"""


def measure(browser, path: Path, dpr: float) -> dict:
    page = browser.new_page(viewport={"width": 1280, "height": 900}, device_scale_factor=dpr)
    t0 = time.perf_counter()
    page.goto(path.as_uri())
    page.wait_for_function(READY, timeout=180_000)
    ready = time.perf_counter() - t0
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    css = page.eval_on_selector("#frame", "c => [parseFloat(c.style.width), parseFloat(c.style.height)]")
    backing = page.eval_on_selector("#frame", "c => [c.width, c.height]")
    same = page.evaluate(SAME) if backing == [1280, 720] else None
    step, base = page.evaluate(STEP, css)
    page.close()
    return {"ready": ready, "css": css, "backing": backing, "same": same, "step": step, "base": base}


def main() -> None:
    chromium = shutil.which("chromium")
    if not chromium:
        sys.exit("chromium is not installed")
    cases = [("hot", lambda: spikedocs.make_sensor_doc("hot", n_frames=100)), ("dense", lambda: spikedocs.make_noise_doc(100))]
    print(f"{'recording':10} {'page MB':>8} {'dpr':>4} {'shown at':>12} {'ready s':>8} {'frame ms':>9} {'baseline ms':>12}")
    with tempfile.TemporaryDirectory() as tmp, sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        for label, make in cases:
            html = spikedocs.render_spike_page(make(), title=label)
            path = Path(tmp) / "bench.html"
            path.write_text(html, encoding="utf-8")
            for dpr in (1, 2):
                r = measure(browser, path, dpr)
                if r["same"] is False:
                    sys.exit(f"{label}: the page's linear drawing differs from the stored frame")
                shown = "x".join(str(v) for v in r["backing"])
                print(f"{label:10} {len(html) / 1e6:>8.1f} {dpr:>4} {shown:>12} {r['ready']:>8.2f} "
                      f"{r['step']:>9.2f} {r['base']:>12.2f}")
        browser.close()


if __name__ == "__main__":
    main()
