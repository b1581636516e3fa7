// timeline-view.js: the view state: visible time window, lane scroll, zoom, pan and hit tests
const S = {
  M: null, ready: false, theme: "light",
  vp: { t0: 0, t1: 1, y: 0, W: 0, H: 0 },   // time window, lane scroll (px), stage size
  laneH: 30,
  showDeps: true, showCrit: true,
  step: -1,   // the timestep highlighted, -1 for all
  hover: -1, selected: -1,
  search: { q: "", matches: [], cur: -1, flags: null },
  raf: 0, timing: {}, lastFrame: null,
};
const stage = $("stage"), canvas = $("view"), ctx = canvas.getContext("2d");

const plotW = () => Math.max(1, S.vp.W - GUTTER);
const span = () => S.vp.t1 - S.vp.t0;
const xOf = (t) => GUTTER + ((t - S.vp.t0) * plotW()) / span();
const tOf = (x) => S.vp.t0 + ((x - GUTTER) * span()) / plotW();
const contentH = () => (S.M ? S.M.cores.length * S.laneH : 0);
const maxScroll = () => Math.max(0, contentH() - (S.vp.H - AXIS_H));
const laneTop = (c) => AXIS_H + c * S.laneH - S.vp.y;

// The range of times worth showing, and how far in one may zoom.
function extent() {
  const M = S.M, lo = M.first, hi = Math.max(M.makespan, lo);
  return { lo, hi, len: hi - lo > 0 ? hi - lo : 1 };
}
function setWindow(t0, t1) {
  const e = extent();
  let w = clamp(t1 - t0, e.len * 1e-7, e.len * 4);
  if (!(w > 0)) w = e.len;
  let a = t0 + (t1 - t0 - w) / 2;
  a = clamp(a, e.lo - w * 0.9, e.hi - w * 0.1);
  S.vp.t0 = a; S.vp.t1 = a + w;
  redraw();
}
function zoomAt(x, factor) {
  const f = (clamp(x, GUTTER, S.vp.W) - GUTTER) / plotW(), tc = S.vp.t0 + f * span(), w = span() / factor;
  setWindow(tc - f * w, tc - f * w + w);
}
function panBy(dx) { const dt = (dx * span()) / plotW(); setWindow(S.vp.t0 - dt, S.vp.t1 - dt); }
function scrollTo(y) { S.vp.y = clamp(y, 0, maxScroll()); redraw(); }
function fit() {
  const e = extent();
  setWindow(e.lo - e.len * 0.01, e.hi + e.len * 0.02);
}

// Brings entry i into view: its lane scrolled in, and the window moved (and zoomed in when
// the bar would be thinner than a few pixels) so that the bar sits in the middle.
function focusEntry(i) {
  const M = S.M, c = M.core[i], top = c * S.laneH, room = S.vp.H - AXIS_H;
  if (top < S.vp.y || top + S.laneH > S.vp.y + room) S.vp.y = clamp(top - room / 2 + S.laneH / 2, 0, maxScroll());
  const len = M.end[i] - M.start[i], mid = (M.start[i] + M.end[i]) / 2;
  let w = span();
  if (len > 0 && (len * plotW()) / w < 24) w = (len * plotW()) / 24;
  if (len > w * 0.8) w = len / 0.6;
  const inside = M.start[i] >= S.vp.t0 && M.end[i] <= S.vp.t1 && w === span();
  if (!inside) setWindow(mid - w / 2, mid + w / 2); else redraw();
}

// Lanes (first, last) that meet the visible height.
function visibleLanes(vp, laneH, nCores) {
  const c0 = Math.max(0, Math.floor(vp.y / laneH)), c1 = Math.min(nCores - 1, Math.floor((vp.y + vp.H - AXIS_H) / laneH));
  return [c0, c1];
}

// The first slot of a lane whose bar may reach time t (bars before it all end earlier).
function firstReaching(lane, t) {
  let lo = 0, hi = lane.ids.length;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (lane.reach[mid] < t) lo = mid + 1; else hi = mid; }
  return lo;
}

// The entry under the point (x, y) of the stage, or -1: nearest bar within 3 pixels.
function hitTest(x, y) {
  const M = S.M;
  if (!M || x < GUTTER || y < AXIS_H) return -1;
  const c = Math.floor((y - AXIS_H + S.vp.y) / S.laneH);
  if (c < 0 || c >= M.cores.length) return -1;
  const t = tOf(x), tol = (3 * span()) / plotW(), lane = M.lanes[c];
  let best = -1, bestD = Infinity;
  for (let j = firstReaching(lane, t - tol); j < lane.ids.length; j++) {
    const i = lane.ids[j];
    if (M.start[i] > t + tol) break;
    const d = t < M.start[i] ? M.start[i] - t : t > M.end[i] ? t - M.end[i] : -1 / (1 + M.end[i] - M.start[i]);
    if (d <= tol && d < bestD) { best = i; bestD = d; }
  }
  return best;
}

function resize() {
  const r = stage.getBoundingClientRect(), dpr = window.devicePixelRatio || 1;
  S.vp.W = Math.max(GUTTER + 50, Math.floor(r.width));
  S.vp.H = Math.max(AXIS_H + 40, Math.floor(r.height));
  canvas.width = Math.round(S.vp.W * dpr); canvas.height = Math.round(S.vp.H * dpr);
  canvas.style.width = S.vp.W + "px"; canvas.style.height = S.vp.H + "px";
  if (S.M) {
    const n = Math.max(1, S.M.cores.length);
    S.laneH = clamp(Math.floor((S.vp.H - AXIS_H - 4) / n), LANE_MIN, LANE_MAX);
    S.vp.y = clamp(S.vp.y, 0, maxScroll());
  }
  redraw();
}

function redraw() { if (!S.raf) S.raf = requestAnimationFrame(frame); }
function frame() {
  S.raf = 0;
  if (!S.M) return;
  const t0 = now(), dpr = window.devicePixelRatio || 1;
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  const stats = drawScene(canvasPainter(ctx), S.M, S.vp, S.laneH, PALETTES[S.theme], marks());
  S.lastFrame = Object.assign(stats, { ms: now() - t0 });
  updateChrome();
}

// What the drawing highlights, from the view state.
function marks() {
  return { hover: S.hover, selected: S.selected, deps: S.showDeps, crit: S.showCrit,
    match: S.search.flags, searching: S.search.q !== "", step: S.step };
}

// The scroll bar and the zoom read-out follow the view.
function updateChrome() {
  const bar = $("vscroll"), thumb = $("vthumb"), room = S.vp.H - AXIS_H, total = contentH();
  if (total > room + 1) {
    bar.classList.remove("hidden");
    bar.style.top = AXIS_H + "px"; bar.style.height = room + "px";
    const h = Math.max(24, (room * room) / total);
    thumb.style.height = h + "px";
    thumb.style.top = ((room - h) * S.vp.y) / Math.max(1, maxScroll()) + "px";
  } else bar.classList.add("hidden");
  const u = unitFor(S.M, span());
  $("zoom-tag").textContent = "window " + fmtIn(span(), u, 3).replace(/\.?0+$/, "") + " " + u.name +
    (S.lastFrame && S.lastFrame.depsHidden ? " \u00b7 too many arrows in view: zoom in to see them" : "");
}

// The time unit for a span: \u00b5s, ms or s for profiled times, "units" for placeholders.
function unitFor(M, w) {
  return M.unit === "us" ? timeUnit(w) : { div: 1, name: w === 1 ? "unit" : "units" };
}
// A time in four (or `digits`) significant digits and the unit that suits it: 349.3 \u00b5s,
// 1.285 ms. Read-outs of one node use six, so that start and end stay apart on long runs.
function fmtTime(M, t, digits) {
  const d = digits || 4;
  if (M.unit !== "us") return String(Number(t.toPrecision(d))) + (t === 1 ? " unit" : " units");
  const u = timeUnit(Math.abs(t)), v = t / u.div;
  return String(Number(v.toPrecision(d))) + " " + u.name;
}
// The height of a bar in a lane: the space under it holds the critical path's strip.
const barHeight = (laneH) => Math.max(4, laneH - 2 * BAR_PAD - 1);
