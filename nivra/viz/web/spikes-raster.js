// spikes-raster.js: the spike raster: a heat map of counts, axes, readout, zoom and selection
// Colour ramps run from faint to strong against each theme's plot background.
const RAMPS = {
  light: [[168, 196, 252], [104, 146, 240], [58, 84, 214], [40, 24, 128], [20, 6, 60]],
  dark: [[34, 58, 110], [46, 118, 214], [96, 196, 255], [200, 240, 190], [255, 240, 140]],
};
function makeLut(stops) {
  const lut = new Uint8ClampedArray(256 * 3), last = stops.length - 1;
  for (let i = 0; i < 256; i++) {
    const p = i / 255 * last, k = min(last - 1, floor(p)), f = p - k;
    for (let c = 0; c < 3; c++) lut[i * 3 + c] = stops[k][c] + (stops[k + 1][c] - stops[k][c]) * f;
  }
  return lut;
}

function buildRaster(d) {
  const R = d.raster;
  if (!R.bins) {
    const e = emptyBox("No raster for this page", d.framesOnly
      ? "It was made from precomputed frames, which carry no per-neuron spike counts. The frames are shown above."
      : "The document holds no spike counts.");
    e.id = "no-raster";
    byId("raster-box").replaceWith(e);
    byId("reset-zoom").hidden = true;
    setText("raster-sub", "");
    return { draw() {}, layout() {} };
  }
  const plot = byId("plot"), canvas = byId("raster"), over = byId("raster-overlay");
  const ctx = canvas.getContext("2d"), octx = over.getContext("2d");
  const resetBtn = byId("reset-zoom"), readout = byId("readout");
  const timed = d.duration > 0, binUs = d.duration / R.bins;
  // the time unit of the axis as last drawn; the read-out uses the same
  let axisUnit = timeUnit(d.duration);
  const twoD = d.height > 1;
  // the pixel of each neuron: the recording's own list, else row order on the sensor
  const pixels = d.recording && d.recording.rasterPixels && d.recording.rasterPixels.length === R.neurons
    ? d.recording.rasterPixels : null;
  const pixelOf = (n) => pixels ? pixels[n] : [n % d.width, floor(n / d.width)];
  const peak = R.peak > 0 ? R.peak : 1;
  const MARGIN = { l: 58, r: 14, t: 10, b: 40 };
  if (pixels) MARGIN.l = 84;  // room for "1279, 719"
  let view = { t0: 0, t1: R.bins, n0: 0, n1: R.neurons };
  let size = { w: 0, h: 0, dpr: 1, pw: 0, ph: 0 };
  let cache = { key: "", runs: null, theme: "", image: null };
  let hover = null, drag = null, raf = 0;
  setText("raster-sub", fmtInt(R.bins) + " time bins \u00d7 " + fmtInt(R.neurons) + " neurons");
  rasterLimitNote(d);

  const theme = () => (getComputedStyle(root).colorScheme.indexOf("dark") >= 0 ? "dark" : "light");
  const cssVar = (name) => getComputedStyle(root).getPropertyValue(name).trim();

  function legend() {
    const stops = RAMPS[theme()];
    const parts = stops.map((c, i) => "rgb(" + c.join(",") + ") " + round(i / (stops.length - 1) * 100) + "%");
    byId("ramp").style.background = "linear-gradient(90deg, " + parts.join(", ") + ")";
    setText("legend-mid", fmtCount(peak / 2));
    setText("legend-max", fmtCount(peak));
  }

  function resize() {
    const w = plot.clientWidth, h = round(min(560, max(260, R.neurons * 2.2, w * 0.42)));
    const dpr = window.devicePixelRatio || 1;
    plot.style.height = h + "px";
    if (w === size.w && h === size.h && dpr === size.dpr) return false;
    size = { w, h, dpr, pw: max(10, w - MARGIN.l - MARGIN.r), ph: max(10, h - MARGIN.t - MARGIN.b) };
    // the plot area in CSS pixels (left top width height), for tools that point at cells
    plot.dataset.area = [MARGIN.l, MARGIN.t, size.pw, size.ph].join(" ");
    for (const c of [canvas, over]) {
      c.width = round(w * dpr); c.height = round(h * dpr);
      c.style.width = w + "px"; c.style.height = h + "px";
    }
    return true;
  }

  // The heat map is built in two cached stages. Stage one (kept until the
  // view or the plot size changes): neurons are reduced to pixel rows once
  // per visible bin, then pixel columns that cover the same bins are merged
  // into runs, and each run gets one colour index per pixel row (the largest
  // count it covers). Stage two (kept until the theme changes): each run is
  // painted as one stroke per pixel row with a native fill. Work follows the
  // pixel count, not the data size.
  function runs(W, H) {
    const key = [view.t0, view.t1, view.n0, view.n1, W, H].join(" ");
    if (cache.key === key) return cache.runs;
    const N = R.neurons, data = R.data;
    const b0 = floor(view.t0), b1 = min(R.bins, ceil(view.t1));
    const sy = (view.n1 - view.n0) / H, sx = (view.t1 - view.t0) / W;
    const rowLo = new Int32Array(H), rowHi = new Int32Array(H);
    for (let y = 0; y < H; y++) {
      const a = floor(view.n0 + y * sy), z = ceil(view.n0 + (y + 1) * sy) - 1;
      rowLo[y] = min(N - 1, a); rowHi[y] = min(N - 1, max(a, z));
    }
    const nb = b1 - b0, reduced = new Float32Array(nb * H);
    for (let b = 0; b < nb; b++) {
      const base = (b0 + b) * N, out = b * H;
      for (let y = 0; y < H; y++) {
        let m = 0;
        for (let n = rowLo[y]; n <= rowHi[y]; n++) { const v = data[base + n]; if (v > m) m = v; }
        reduced[out + y] = m;
      }
    }
    const list = [];
    let x = 0;
    while (x < W) {
      const lo = min(b1 - 1, floor(view.t0 + x * sx));
      const hi = min(b1 - 1, max(lo, ceil(view.t0 + (x + 1) * sx) - 1));
      let x1 = x + 1;
      while (x1 < W && min(b1 - 1, floor(view.t0 + x1 * sx)) === lo &&
             min(b1 - 1, max(lo, ceil(view.t0 + (x1 + 1) * sx) - 1)) === hi) x1++;
      const idx = new Uint8Array(H);
      for (let y = 0; y < H; y++) {
        let mm = 0;
        for (let k = lo; k <= hi; k++) { const u = reduced[(k - b0) * H + y]; if (u > mm) mm = u; }
        // index 0 is the background; any count above zero stays visible
        idx[y] = mm > 0 ? max(1, min(255, round(mm / peak * 255))) : 0;
      }
      list.push({ x0: x, x1, idx });
      x = x1;
    }
    cache = { key, runs: list, theme: "", image: cache.image };
    return list;
  }

  // 32-bit colours laid out in ImageData byte order (r, g, b, a), whatever the endianness
  function palette(th) {
    const lut = makeLut(RAMPS[th]), pal = new Uint32Array(256), bytes = new Uint8Array(pal.buffer);
    const bg = th === "dark" ? [15, 18, 24] : [255, 255, 255];
    for (let i = 0; i < 256; i++) {
      const c = i === 0 ? bg : [lut[i * 3], lut[i * 3 + 1], lut[i * 3 + 2]];
      bytes[i * 4] = c[0]; bytes[i * 4 + 1] = c[1]; bytes[i * 4 + 2] = c[2]; bytes[i * 4 + 3] = 255;
    }
    return pal;
  }

  function heatImage(W, H) {
    const list = runs(W, H), th = theme();
    if (cache.image && cache.theme === th) return cache.image;
    // the pixel buffer is reused while the plot keeps its size
    const img = cache.image && cache.image.width === W && cache.image.height === H ? cache.image : ctx.createImageData(W, H);
    const pal = palette(th), px = new Uint32Array(img.data.buffer);
    for (const run of list) {
      const idx = run.idx;
      for (let y = 0, row = 0; y < H; y++, row += W) px.fill(pal[idx[y]], row + run.x0, row + run.x1);
    }
    cache.theme = th; cache.image = img;
    return img;
  }

  function ticks(lo, hi, target) {
    const step = niceStep(hi - lo, target), values = [];
    for (let v = ceil(lo / step - 1e-9) * step; v <= hi + 1e-9; v += step) values.push(v);
    return { step, values };
  }

  function draw() {
    const started = performance.now();
    const dpr = size.dpr, W = round(size.pw * dpr), H = round(size.ph * dpr);
    const ox = round(MARGIN.l * dpr), oy = round(MARGIN.t * dpr);
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.clearRect(0, 0, canvas.width, canvas.height);
    ctx.putImageData(heatImage(W, H), ox, oy);

    const axis = cssVar("--axis"), text = cssVar("--muted"), gridLine = cssVar("--grid-line");
    const lw = max(1, round(dpr)), half = (lw % 2) / 2;
    ctx.lineWidth = lw;
    ctx.font = round(11 * dpr) + "px system-ui, -apple-system, Segoe UI, Roboto, sans-serif";
    ctx.fillStyle = text;

    // time axis: ticks in time units when the duration is known, else bin numbers
    let tt, tx, tlabel;
    if (timed) {
      const a = view.t0 * binUs, z = view.t1 * binUs, u = timeUnit(z - a);
      axisUnit = u;
      plot.dataset.timeUnit = u.name;
      tt = ticks(a / u.div, z / u.div, max(2, floor(size.pw / 90)));
      tx = (v) => (v * u.div / binUs - view.t0) / (view.t1 - view.t0);
      tlabel = "Time (" + u.name + ")";
    } else {
      tt = ticks(view.t0, view.t1, max(2, floor(size.pw / 90)));
      tt.step = max(1, tt.step);
      tt.values = tt.values.filter((v) => Number.isInteger(v));
      tx = (v) => (v - view.t0) / (view.t1 - view.t0);
      tlabel = "Time bin";
    }
    ctx.textAlign = "center"; ctx.textBaseline = "top";
    for (const v of tt.values) {
      const x = ox + round(tx(v) * W) + half;
      if (x < ox - 1 || x > ox + W + 1) continue;
      ctx.strokeStyle = gridLine; ctx.beginPath(); ctx.moveTo(x, oy); ctx.lineTo(x, oy + H); ctx.stroke();
      ctx.strokeStyle = axis; ctx.beginPath(); ctx.moveTo(x, oy + H); ctx.lineTo(x, oy + H + 5 * dpr); ctx.stroke();
      ctx.fillText(fmtTick(v, tt.step), x, oy + H + 7 * dpr);
    }
    ctx.fillText(tlabel, ox + W / 2, oy + H + 23 * dpr);

    // neuron axis
    const nt = ticks(view.n0, view.n1, max(2, floor(size.ph / 44)));
    nt.step = max(1, nt.step);
    ctx.textAlign = "right"; ctx.textBaseline = "middle";
    for (const v of nt.values) {
      if (!Number.isInteger(v) || (pixels && v >= R.neurons)) continue;
      // a tick marks the centre of its neuron's row
      const y = oy + round((v + 0.5 - view.n0) / (view.n1 - view.n0) * H) + half;
      if (y < oy - 1 || y > oy + H + 1) continue;
      ctx.strokeStyle = axis; ctx.beginPath(); ctx.moveTo(ox - 5 * dpr, y); ctx.lineTo(ox, y); ctx.stroke();
      ctx.fillText(pixels ? pixels[v][0] + ", " + pixels[v][1] : String(v), ox - 8 * dpr, y);
    }
    ctx.save();
    ctx.translate(14 * dpr, oy + H / 2); ctx.rotate(-Math.PI / 2);
    ctx.textAlign = "center"; ctx.textBaseline = "middle";
    ctx.fillText(pixels ? "Pixel (x, y)" : "Neuron", 0, 0);
    ctx.restore();

    ctx.strokeStyle = axis;
    ctx.strokeRect(ox - half - lw / 2, oy - half - lw / 2, W + lw, H + lw);
    resetBtn.disabled = view.t0 === 0 && view.n0 === 0 && view.t1 === R.bins && view.n1 === R.neurons;
    drawOverlay();
    if (DEBUG) console.log("raster: " + W + "x" + H + " device pixels drawn in " + (performance.now() - started).toFixed(1) + " ms");
  }

  // cell under a point in CSS pixels, or null outside the plot
  function cellAt(px, py) {
    const fx = (px - MARGIN.l) / size.pw, fy = (py - MARGIN.t) / size.ph;
    if (fx < 0 || fx >= 1 || fy < 0 || fy >= 1) return null;
    return {
      bin: min(R.bins - 1, floor(view.t0 + fx * (view.t1 - view.t0))),
      neuron: min(R.neurons - 1, floor(view.n0 + fy * (view.n1 - view.n0))),
    };
  }

  function drawOverlay() {
    const dpr = size.dpr;
    octx.setTransform(dpr, 0, 0, dpr, 0, 0);
    octx.clearRect(0, 0, size.w, size.h);
    if (drag && drag.moved) {
      const x0 = min(drag.x0, drag.x1), y0 = min(drag.y0, drag.y1);
      octx.fillStyle = cssVar("--select"); octx.strokeStyle = cssVar("--accent"); octx.lineWidth = 1;
      octx.fillRect(x0, y0, Math.abs(drag.x1 - drag.x0), Math.abs(drag.y1 - drag.y0));
      octx.strokeRect(x0 + 0.5, y0 + 0.5, Math.abs(drag.x1 - drag.x0), Math.abs(drag.y1 - drag.y0));
      return;
    }
    if (!hover) return;
    const cell = cellAt(hover.x, hover.y);
    if (!cell) return;
    const sx = size.pw / (view.t1 - view.t0), sy = size.ph / (view.n1 - view.n0);
    const cx = MARGIN.l + (cell.bin - view.t0) * sx, cy = MARGIN.t + (cell.neuron - view.n0) * sy;
    octx.save();
    octx.beginPath(); octx.rect(MARGIN.l, MARGIN.t, size.pw, size.ph); octx.clip();
    octx.strokeStyle = cssVar("--accent"); octx.globalAlpha = 0.35; octx.lineWidth = 1;
    octx.beginPath();
    octx.moveTo(cx + sx / 2, MARGIN.t); octx.lineTo(cx + sx / 2, MARGIN.t + size.ph);
    octx.moveTo(MARGIN.l, cy + sy / 2); octx.lineTo(MARGIN.l + size.pw, cy + sy / 2);
    octx.stroke();
    octx.globalAlpha = 1; octx.lineWidth = 1.5;
    octx.strokeRect(cx, cy, max(2, sx), max(2, sy));
    octx.restore();
  }

  const rBin = document.createElement("b"), rBinT = document.createTextNode("");
  const rNeu = document.createElement("b"), rNeuT = document.createTextNode("");
  const rCnt = document.createElement("b");
  function showReadout() {
    const cell = hover && !drag ? cellAt(hover.x, hover.y) : null;
    if (!cell) return;
    if (!rBin.parentNode) {
      readout.textContent = "";
      for (const node of [document.createTextNode("Bin "), rBin, rBinT, document.createTextNode(" \u00b7 Neuron "), rNeu, rNeuT,
        document.createTextNode(" \u00b7 Count "), rCnt]) readout.appendChild(node);
    }
    rBin.textContent = String(cell.bin);
    rBinT.nodeValue = timed ? " (" + fmtRange(cell.bin * binUs, (cell.bin + 1) * binUs, axisUnit) + ")" : "";
    rNeu.textContent = String(cell.neuron);
    const p = pixelOf(cell.neuron);
    rNeuT.nodeValue = twoD || pixels ? " (x " + p[0] + ", y " + p[1] + ")" : "";
    rCnt.textContent = fmtCount(R.data[cell.bin * R.neurons + cell.neuron]);
  }

  function update() {
    raf = 0;
    if (resize()) draw(); else drawOverlay();
    showReadout();
  }
  const schedule = () => { if (!raf) raf = requestAnimationFrame(update); };
  // a theme change recolours the cached runs; nothing else is recomputed
  const redraw = () => { cache.theme = ""; size.w = 0; schedule(); };

  // --- zoom ---
  function clampView(t0, t1, n0, n1) {
    const fit = (a, b, lim, least) => {
      const span = min(lim, max(least, b - a));
      a = max(0, min(lim - span, a));
      return [a, a + span];
    };
    const t = fit(t0, t1, R.bins, min(1, R.bins)), n = fit(n0, n1, R.neurons, min(1, R.neurons));
    view = { t0: t[0], t1: t[1], n0: n[0], n1: n[1] };
    // a view that fills the whole raster is exact so "reset" can be detected
    if (view.t1 - view.t0 >= R.bins) { view.t0 = 0; view.t1 = R.bins; }
    if (view.n1 - view.n0 >= R.neurons) { view.n0 = 0; view.n1 = R.neurons; }
    size.w = 0; schedule();
  }
  const resetZoom = () => clampView(0, R.bins, 0, R.neurons);
  const local = (ev) => {
    const r = over.getBoundingClientRect();
    return { x: ev.clientX - r.left, y: ev.clientY - r.top };
  };
  over.addEventListener("wheel", (ev) => {
    const p = local(ev), fx = (p.x - MARGIN.l) / size.pw, fy = (p.y - MARGIN.t) / size.ph;
    if (fx < 0 || fx > 1 || fy < 0 || fy > 1) return;
    ev.preventDefault();
    const f = Math.exp(max(-300, min(300, ev.deltaY)) * 0.002);
    const tc = view.t0 + fx * (view.t1 - view.t0), nc = view.n0 + fy * (view.n1 - view.n0);
    // Shift zooms time only, Alt zooms neurons only
    const ft = ev.altKey ? 1 : f, fn = ev.shiftKey ? 1 : f;
    clampView(tc - (tc - view.t0) * ft, tc + (view.t1 - tc) * ft, nc - (nc - view.n0) * fn, nc + (view.n1 - nc) * fn);
  }, { passive: false });
  over.addEventListener("pointerdown", (ev) => {
    if (ev.button !== 0) return;
    const p = local(ev);
    if (!cellAt(p.x, p.y)) return;
    drag = { x0: p.x, y0: p.y, x1: p.x, y1: p.y, moved: false };
    over.setPointerCapture(ev.pointerId);
  });
  over.addEventListener("pointermove", (ev) => {
    const p = local(ev);
    hover = p;
    if (drag) {
      drag.x1 = max(MARGIN.l, min(MARGIN.l + size.pw, p.x));
      drag.y1 = max(MARGIN.t, min(MARGIN.t + size.ph, p.y));
      drag.moved = drag.moved || Math.abs(drag.x1 - drag.x0) > 4 || Math.abs(drag.y1 - drag.y0) > 4;
    }
    schedule();
  });
  over.addEventListener("pointerup", () => {
    const g = drag;
    drag = null;
    if (g && g.moved) {
      const sx = (view.t1 - view.t0) / size.pw, sy = (view.n1 - view.n0) / size.ph;
      const dx = Math.abs(g.x1 - g.x0) > 4, dy = Math.abs(g.y1 - g.y0) > 4;
      const t0 = dx ? view.t0 + (min(g.x0, g.x1) - MARGIN.l) * sx : view.t0;
      const t1 = dx ? view.t0 + (max(g.x0, g.x1) - MARGIN.l) * sx : view.t1;
      const n0 = dy ? view.n0 + (min(g.y0, g.y1) - MARGIN.t) * sy : view.n0;
      const n1 = dy ? view.n0 + (max(g.y0, g.y1) - MARGIN.t) * sy : view.n1;
      clampView(t0, t1, n0, n1);
    }
    schedule();
  });
  over.addEventListener("pointerleave", () => { if (!drag) { hover = null; schedule(); } });
  over.addEventListener("dblclick", resetZoom);
  resetBtn.addEventListener("click", resetZoom);

  legend();
  return {
    draw() { resize(); draw(); },
    layout: schedule,
    retheme() { legend(); redraw(); },
  };
}

// When the raster holds fewer neurons than the sensor has pixels, it holds the first ones in
// row order, that is the top rows of the sensor; say which, and how to get more.
function rasterLimitNote(d) {
  const N = d.raster.neurons, W = d.width, total = d.width * d.height, note = byId("raster-note");
  if (!d.raster.bins || N >= total) return;
  const busiest = d.recording && d.recording.rasterPixels;
  const oneD = d.height === 1, rows = floor(N / W), rest = N % W;
  let which;
  if (busiest) which = "the busiest over the recording, in row order, named (x, y) on the axis";
  else if (oneD) which = "channels 0\u2013" + fmtInt(N - 1);
  else if (rows === 0) which = "the first in row order: row 0 only, x 0\u2013" + fmtInt(rest - 1) + " of " + fmtInt(W);
  else {
    which = "the first in row order: " + (rows === 1 ? "row 0" : "rows 0\u2013" + fmtInt(rows - 1)) + " of " + fmtInt(d.height);
    if (rest) which += ", and row " + fmtInt(rows) + " up to x " + fmtInt(rest - 1);
  }
  const b = document.createElement("b");
  b.textContent = "The raster holds " + fmtInt(N) + " of the sensor\u2019s " + fmtInt(total) + (oneD ? " channels" : " pixels") + ": ";
  note.textContent = "";
  note.appendChild(b);
  const code = (text) => { const c = document.createElement("code"); c.textContent = text; return c; };
  for (const part of [which + ". Activity elsewhere is not in it. To hold more, raise ", code("--max-neurons"),
    " on the command line or ", code("max_raster_neurons"),
    " in Python (the page grows by a few bytes per neuron and time bin)."]) {
    note.appendChild(typeof part === "string" ? document.createTextNode(part) : part);
  }
  note.hidden = false;
}
