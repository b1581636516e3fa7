// viewer-view.js: view state, frame loop, zoom, minimap; relayout
const canvas = $("view"), ctx = canvas.getContext("2d"), stage = $("stage");
const S = {
  M: null, V: null, rankdir: "TB", theme: "light", collapsed: new Set(),
  vp: { tx: 0, ty: 0, k: 1, W: NIVRA_INITIAL_SIZE[0] || 1200, H: NIVRA_INITIAL_SIZE[1] || 800 },
  hover: -1, selected: null, core: null, coreUnits: null,
  search: { q: "", matches: [], cur: -1, units: new Set() },
  ready: false, dirty: true, raf: 0, pendingHover: null, minimap: null,
  timing: { layoutMs: 0, drawMs: 0, frameMs: 0, readyMs: 0, prepMs: 0, parseMs: 0, mode: "" }, lastFrame: null, layouts: 0,
};

function selectedUnit() {
  if (!S.selected || !S.V) return -1;
  return S.selected.kind === "node" ? S.V.unitOfNode[S.selected.ref] : S.V.unitOfGroup[S.selected.ref];
}

function schedule() { if (!S.raf) S.raf = requestAnimationFrame(tick); }
function redraw() { S.dirty = true; schedule(); }

function tick() {
  S.raf = 0;
  if (S.pendingHover) processHover();
  if (!S.dirty || !S.V) return;
  S.dirty = false;
  const t0 = now();
  const dpr = window.devicePixelRatio || 1;
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  const marks = { hover: S.hover, selected: selectedUnit(), matchUnits: S.search.units,
    group: S.selected && S.selected.kind === "group" ? S.selected.ref : -1,
    current: S.search.cur >= 0 ? S.V.unitOfNode[S.search.matches[S.search.cur]] : -1,
    core: S.core, coreUnits: S.coreUnits };
  S.lastFrame = drawScene(ctx, S.M, S.V, S.vp, PALETTES[S.theme], marks, true);
  S.timing.frameMs = now() - t0;
  drawMinimapView();
  $("zoom-tag").textContent = Math.round(S.vp.k * 100) + "%";
  if (S.onDrawn) { const f = S.onDrawn; S.onDrawn = null; f(S.timing.frameMs); }
}

function resize() {
  const r = stage.getBoundingClientRect();
  const W = r.width > 0 ? r.width : NIVRA_INITIAL_SIZE[0], H = r.height > 0 ? r.height : NIVRA_INITIAL_SIZE[1];
  const dpr = window.devicePixelRatio || 1;
  canvas.width = Math.round(W * dpr); canvas.height = Math.round(H * dpr);
  canvas.style.width = W + "px"; canvas.style.height = H + "px";
  // Panels opening or closing keep the point at the centre of the view in place.
  S.vp.tx += (W - S.vp.W) / 2; S.vp.ty += (H - S.vp.H) / 2;
  S.vp.W = W; S.vp.H = H;
  redraw();
}

function fit(animate) {
  if (!S.V) return;
  const b = S.V.bounds, pad = 36;
  const k = clamp(Math.min((S.vp.W - 2 * pad) / (b.x1 - b.x0), (S.vp.H - 2 * pad) / (b.y1 - b.y0)), 0.005, 1.1);
  const target = { k, cx: (b.x0 + b.x1) / 2, cy: (b.y0 + b.y1) / 2 };
  if (animate) animateTo(target); else setView(target);
}
function fitBox(x0, y0, x1, y1, maxK) {
  const pad = 60;
  const k = clamp(Math.min((S.vp.W - 2 * pad) / Math.max(1, x1 - x0), (S.vp.H - 2 * pad) / Math.max(1, y1 - y0)), 0.005, maxK);
  animateTo({ k, cx: (x0 + x1) / 2, cy: (y0 + y1) / 2 });
}
// Views are given as a zoom and the world point to show at the centre.
function setView(v) {
  S.vp.k = v.k; S.vp.tx = S.vp.W / 2 - v.cx * v.k; S.vp.ty = S.vp.H / 2 - v.cy * v.k;
  redraw();
}
// First view: the whole graph when it stays readable, else the top of it at a
// readable zoom (the minimap shows the rest).
function initialView() {
  if (!S.V) return;
  const b = S.V.bounds, pad = 36, W = S.vp.W, H = S.vp.H;
  const fitW = (W - 2 * pad) / (b.x1 - b.x0), fitH = (H - 2 * pad) / (b.y1 - b.y0);
  if (Math.min(fitW, fitH) >= 0.6) { fit(false); return; }
  const k = clamp(fitW, 0.6, 0.9);
  const first = S.V.units.reduce((best, u) => (S.rankdir === "TB" ? u.y < best.y : u.x < best.x) ? u : best, S.V.units[0]);
  if (S.rankdir === "TB") {
    S.vp.k = k;
    S.vp.tx = (b.x1 - b.x0) * k <= W - 2 * pad ? (W - (b.x1 - b.x0) * k) / 2 - b.x0 * k : W / 2 - first.x * k;
    S.vp.ty = pad - b.y0 * k;
  } else {
    const kk = clamp(fitH, 0.6, 0.9);
    S.vp.k = kk;
    S.vp.ty = (b.y1 - b.y0) * kk <= H - 2 * pad ? (H - (b.y1 - b.y0) * kk) / 2 - b.y0 * kk : H / 2 - first.y * kk;
    S.vp.tx = pad - b.x0 * kk;
  }
  redraw();
}
function zoomAt(px, py, factor) {
  const k = clamp(S.vp.k * factor, 0.005, 4);
  const f = k / S.vp.k;
  S.vp.tx = px - (px - S.vp.tx) * f; S.vp.ty = py - (py - S.vp.ty) * f; S.vp.k = k;
  redraw();
}
function centreOn(u, minK) {
  animateTo({ k: Math.max(S.vp.k, minK || 0), cx: u.x, cy: u.y });
}
let anim = 0;
function animateTo(target) {
  cancelAnimationFrame(anim);
  const from = { tx: S.vp.tx, ty: S.vp.ty, k: S.vp.k }, t0 = now(), dur = 260;
  const step = () => {
    const t = clamp((now() - t0) / dur, 0, 1), e = 1 - Math.pow(1 - t, 3);
    // Interpolate the zoom geometrically, the view centre linearly.
    const k = from.k * Math.pow(target.k / from.k, e);
    const cx0 = (S.vp.W / 2 - from.tx) / from.k, cy0 = (S.vp.H / 2 - from.ty) / from.k;
    setView({ k, cx: cx0 + (target.cx - cx0) * e, cy: cy0 + (target.cy - cy0) * e });
    anim = t < 1 ? requestAnimationFrame(step) : 0;
  };
  step();
}

const mini = { canvas: $("minimap-canvas"), base: null, scale: 1, W: 0, H: 0, ox: 0, oy: 0, user: null };
function buildMinimap() {
  const V = S.V, b = V.bounds;
  const fitK = Math.min(S.vp.W / (b.x1 - b.x0), S.vp.H / (b.y1 - b.y0));
  const show = mini.user != null ? mini.user : V.units.length >= 40 || fitK < 0.6;
  $("minimap").classList.toggle("hidden", !show);
  if (!show) { mini.base = null; return; }
  const bw = b.x1 - b.x0, bh = b.y1 - b.y0;
  const scale = Math.min(220 / bw, 160 / bh);
  // A very tall or wide graph still gets a usable box, its drawing centred in it.
  mini.W = Math.max(120, Math.round(bw * scale)); mini.H = Math.max(80, Math.round(bh * scale)); mini.scale = scale;
  mini.ox = (mini.W - bw * scale) / 2; mini.oy = (mini.H - bh * scale) / 2;
  const dpr = window.devicePixelRatio || 1;
  const base = document.createElement("canvas");
  base.width = mini.W * dpr; base.height = mini.H * dpr;
  const c = base.getContext("2d");
  const pal = PALETTES[S.theme];
  c.fillStyle = pal.bg; c.fillRect(0, 0, base.width, base.height);
  c.setTransform(dpr * scale, 0, 0, dpr * scale, (mini.ox - b.x0 * scale) * dpr, (mini.oy - b.y0 * scale) * dpr);
  for (const f of V.frames) { c.fillStyle = alpha(S.M.groups[f.gi].color, 0.12); c.fillRect(f.x0, f.y0, f.x1 - f.x0, f.y1 - f.y0); }
  const minSize = 1.2 / scale;
  for (const u of V.units) {
    const item = u.kind === 1 ? S.M.groups[u.ref] : S.M.nodes[u.ref];
    c.fillStyle = item.color;
    c.fillRect(u.x - u.w / 2, u.y - u.h / 2, Math.max(u.w, minSize), Math.max(u.h, minSize));
  }
  mini.base = base;
  mini.canvas.width = mini.W * dpr; mini.canvas.height = mini.H * dpr;
  mini.canvas.style.width = mini.W + "px"; mini.canvas.style.height = mini.H + "px";
}
function drawMinimapView() {
  if (!mini.base) return;
  const c = mini.canvas.getContext("2d"), dpr = window.devicePixelRatio || 1, b = S.V.bounds, s = mini.scale;
  c.setTransform(1, 0, 0, 1, 0, 0);
  c.clearRect(0, 0, mini.canvas.width, mini.canvas.height);
  c.drawImage(mini.base, 0, 0);
  c.setTransform(dpr, 0, 0, dpr, 0, 0);
  const vx = mini.ox + (-S.vp.tx / S.vp.k - b.x0) * s, vy = mini.oy + (-S.vp.ty / S.vp.k - b.y0) * s;
  const vw = (S.vp.W / S.vp.k) * s, vh = (S.vp.H / S.vp.k) * s;
  c.fillStyle = "rgba(47,111,235,0.10)"; c.fillRect(vx, vy, vw, vh);
  c.strokeStyle = PALETTES[S.theme].select; c.lineWidth = 1.5; c.strokeRect(vx, vy, vw, vh);
}

/* =========================================================================
 * Relayout: collapse state or direction changed
 * ========================================================================= */
let layoutSeq = 0, progressTimer = 0;

function showProgress(p) {
  const names = { acyclic: "Breaking cycles", rank: "Assigning ranks", normalize: "Routing long edges",
    order: "Reducing crossings", position: "Placing nodes", route: "Routing edges" };
  $("progress-bar").style.width = Math.round(clamp(p.fraction || 0, 0, 1) * 100) + "%";
  $("progress-msg").textContent = (names[p.phase] || "Working") + " · " + fmtInt(S.pendingUnits || 0) + " items";
}

function relayout(anchor) {
  const my = ++layoutSeq;
  root.dataset.layout = "busy";
  const t0 = now();
  const V = buildUnits(S.M, S.collapsed);
  const input = layoutInput(V, S.rankdir);
  S.pendingUnits = V.units.length;
  clearTimeout(progressTimer);
  progressTimer = setTimeout(() => { if (my === layoutSeq) { $("progress").classList.remove("hidden"); showProgress({ fraction: 0 }); } }, 120);
  const before = anchor && S.V ? anchorPoint(anchor) : null;
  return computeLayout(input, (p) => { if (my === layoutSeq) showProgress(p); }).then(({ result, mode }) => {
    if (my !== layoutSeq) return;
    applyLayout(S.M, V, result, S.rankdir);
    S.V = V;
    S.hover = -1;
    refreshCoreUnits();
    refreshSearchUnits();
    S.timing.layoutMs = now() - t0;
    S.timing.mode = mode;
    S.layouts++;
    if (before) {
      const after = anchorPoint(anchor);
      if (after) { S.vp.tx += before.sx - (after.x * S.vp.k + S.vp.tx); S.vp.ty += before.sy - (after.y * S.vp.k + S.vp.ty); }
    } else initialView();
    buildMinimap();
    clearTimeout(progressTimer);
    $("progress").classList.add("hidden");
    const t1 = now();
    S.onDrawn = () => {
      S.timing.drawMs = now() - t1;
      root.dataset.layout = "idle";
      if (!S.ready) {
        S.ready = true;
        S.timing.readyMs = now();
        root.dataset.state = "ready";
      }
      if (DEBUG) console.log("nivra.viz layout", JSON.stringify({ mode, units: V.units.length, layoutMs: S.timing.layoutMs,
        drawMs: S.timing.drawMs, ...V.stats.timings, ranks: V.stats.ranks, dummies: V.stats.dummies, crossings: V.stats.crossings }));
    };
    redraw();
    renderDetails();
  }).catch(fail);
}
// Keeps the clicked group where it was on screen across a relayout.
function anchorPoint(anchor) {
  const V = S.V;
  let u = -1;
  if (anchor.group != null) {
    u = V.unitOfGroup[anchor.group];
    if (u < 0) {
      const g = S.M.groups[anchor.group];
      if (g.members.length) u = V.unitOfNode[g.members[0]];
    }
  }
  if (u < 0) return null;
  const unit = V.units[u];
  return { x: unit.x, y: unit.y, sx: unit.x * S.vp.k + S.vp.tx, sy: unit.y * S.vp.k + S.vp.ty };
}

// The outermost collapsed group around group gi (gi itself included), or -1.
function collapsedAround(gi) {
  let top = -1;
  for (let g = gi; g >= 0; g = S.M.groups[g].parent) if (S.collapsed.has(g)) top = g;
  return top;
}
// After a collapse, a selection inside a collapsed group moves to that group's box.
function keepSelectionVisible() {
  const sel = S.selected;
  if (!sel) return;
  const top = collapsedAround(sel.kind === "node" ? S.M.nodes[sel.ref].group : S.M.groups[sel.ref].parent);
  if (top >= 0) S.selected = { kind: "group", ref: top };
}
// Groups nested in a collapsed group keep their own state, which expanding it shows again.
function toggleGroup(gi, collapse) {
  const want = collapse == null ? !S.collapsed.has(gi) : collapse;
  if (want === S.collapsed.has(gi)) return Promise.resolve();
  if (want) S.collapsed.add(gi); else S.collapsed.delete(gi);
  if (!want && S.selected && S.selected.kind === "group" && S.selected.ref === gi) S.selected = null;
  keepSelectionVisible();
  return relayout({ group: gi });
}
// Expands group gi and every group around it; null when none was collapsed.
function expandAround(gi) {
  let anchor = -1;
  for (let g = gi; g >= 0; g = S.M.groups[g].parent) if (S.collapsed.delete(g)) anchor = g;
  return anchor < 0 ? null : relayout({ group: anchor });
}
function setAllGroups(collapse) {
  S.collapsed = new Set(collapse ? S.M.groups.filter((g) => g.members.length).map((g) => g.gi) : []);
  if (collapse) keepSelectionVisible();
  else if (S.selected && S.selected.kind === "group") S.selected = null;
  return relayout(null);
}
function setRankdir(dir) {
  if (dir !== "TB" && dir !== "LR") return Promise.resolve();
  S.rankdir = dir;
  store.set(KEY_RANKDIR, dir);
  root.dataset.rankdir = dir;
  $("dir-tb").setAttribute("aria-pressed", String(dir === "TB"));
  $("dir-lr").setAttribute("aria-pressed", String(dir === "LR"));
  return S.M ? relayout(null) : Promise.resolve();
}

