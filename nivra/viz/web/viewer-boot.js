// viewer-boot.js: boot, failure and the automation hooks
function fail(err) {
  const msg = err && err.message ? err.message : String(err);
  root.dataset.state = "error";
  $("error-msg").textContent = msg;
  $("error").classList.remove("hidden");
  $("progress").classList.add("hidden");
}
window.addEventListener("error", (ev) => { if (!S.ready) fail(ev.error || ev.message); });

function boot() {
  const t0 = now();
  S.timing.bootMs = t0;
  const title = document.title || "nivra.viz";
  $("title").textContent = title;
  buildHelp();
  applyTheme(pageTheme.setup({ storageKey: KEY_THEME, onChange: applyTheme }));
  const dir = store.get(KEY_RANKDIR);
  S.rankdir = dir === "LR" ? "LR" : "TB";
  root.dataset.rankdir = S.rankdir;
  $("dir-tb").setAttribute("aria-pressed", String(S.rankdir === "TB"));
  $("dir-lr").setAttribute("aria-pressed", String(S.rankdir === "LR"));
  // In narrow windows the summary opens over the drawing (viewer.css): it starts closed there,
  // and closes or opens when the window crosses that width.
  const narrow = window.matchMedia ? window.matchMedia("(max-width: 980px)") : null;
  if (narrow) {
    $("side").classList.toggle("hidden", narrow.matches);
    narrow.addEventListener("change", () => { $("side").classList.toggle("hidden", narrow.matches); resizeSoon(); });
  }
  resize();
  if (typeof ResizeObserver !== "undefined") new ResizeObserver(() => resize()).observe(stage);
  else window.addEventListener("resize", resize);
  let doc;
  const tp = now();
  try { doc = readEmbeddedJson("nivra-data"); } catch (err) {
    throw new Error("The embedded graph document is not valid JSON (" + err.message + ").");
  }
  S.timing.parseMs = now() - tp;
  const M = readModel(doc);
  S.M = M;
  $("subtitle").textContent = fmtInt(M.nodes.length) + " nodes · " + fmtInt(M.edges.length) + " edges" +
    (M.version.header ? " · " + M.version.header : "");
  if (M.nodes.length > LARGE_GRAPH) S.collapsed = new Set(M.groups.filter((g) => g.members.length && g.parent < 0).map((g) => g.gi));
  renderSummary();
  showProblemBadge();
  S.timing.prepMs = now() - t0;
  relayout(null);
}

window.__nivraViewer = {
  get state() { return root.dataset.state; },
  get layoutMs() { return S.timing.layoutMs; },
  get drawMs() { return S.timing.drawMs; },
  get readyMs() { return S.timing.readyMs; },
  get parseMs() { return S.timing.parseMs; },
  get prepMs() { return S.timing.prepMs; },
  get bootMs() { return S.timing.bootMs; },
  get frameMs() { return S.timing.frameMs; },
  get mode() { return S.timing.mode; },
  get nodes() { return S.M ? S.M.nodes.length : 0; },
  get units() { return S.V ? S.V.units.length : 0; },
  get edges() { return S.V ? S.V.edges.length : 0; },
  get lastFrame() { return S.lastFrame; },
  get layoutStats() { return S.V ? S.V.stats : null; },
  get animating() { return anim !== 0; },
  get collapsed() { return Array.from(S.collapsed).map((gi) => S.M.groups[gi].id); },
  get view() { return Object.assign({}, S.vp); },
  drawnNodeIds() {
    // Node ids whose glyph (or whose collapsed group) intersects the visible area.
    const V = S.V, { tx, ty, k, W, H } = S.vp, out = [];
    if (!V) return out;
    const x0 = -tx / k, y0 = -ty / k, x1 = (W - tx) / k, y1 = (H - ty) / k;
    for (const n of S.M.nodes) {
      const u = V.units[V.unitOfNode[n.i]];
      if (u.x + u.w / 2 >= x0 && u.x - u.w / 2 <= x1 && u.y + u.h / 2 >= y0 && u.y - u.h / 2 <= y1) out.push(n.id);
    }
    return out;
  },
  nodeBox(id) {
    const i = S.M.index.get(String(id));
    if (i === undefined || !S.V) return null;
    const u = S.V.units[S.V.unitOfNode[i]], r = canvas.getBoundingClientRect(), { tx, ty, k } = S.vp;
    return { x: r.left + (u.x - u.w / 2) * k + tx, y: r.top + (u.y - u.h / 2) * k + ty, width: u.w * k, height: u.h * k, group: u.kind === 1 };
  },
  groupBox(id) {
    const gi = S.M.groupIndex.get(String(id));
    if (gi === undefined || !S.V) return null;
    const r = canvas.getBoundingClientRect(), { tx, ty, k } = S.vp;
    const f = S.V.frameOf.get(gi);
    if (f) return { x: r.left + f.x0 * k + tx, y: r.top + f.y0 * k + ty, width: (f.x1 - f.x0) * k, height: (f.y1 - f.y0) * k, collapsed: false };
    const u = S.V.unitOfGroup[gi] >= 0 ? S.V.units[S.V.unitOfGroup[gi]] : null;
    return u && { x: r.left + (u.x - u.w / 2) * k + tx, y: r.top + (u.y - u.h / 2) * k + ty, width: u.w * k, height: u.h * k, collapsed: true };
  },
  // The drawn edges between units (node ids, or "group:" ids of collapsed groups): why an
  // edge is marked, whether it returns beside the ranks, and a screen point on its line.
  drawnEdges() {
    const V = S.V, M = S.M;
    if (!V) return [];
    const r = canvas.getBoundingClientRect(), { tx, ty, k } = S.vp;
    const name = (u) => (V.units[u].kind === 1 ? "group:" + M.groups[V.units[u].ref].id : M.nodes[V.units[u].ref].id);
    return V.edges.map((e, i) => {
      const p = V.ptStart[i], q = 2 * p;
      const x = e.back ? (V.pts[q] + 3 * V.pts[q + 2] + 3 * V.pts[q + 4] + V.pts[q + 6]) / 8 : (V.pts[q] + V.pts[q + 2]) / 2;
      const y = e.back ? (V.pts[q + 1] + 3 * V.pts[q + 3] + 3 * V.pts[q + 5] + V.pts[q + 7]) / 8 : (V.pts[q + 1] + V.pts[q + 3]) / 2;
      return { source: name(e.a), target: name(e.b), warn: e.warn || null, back: e.back,
        point: { x: r.left + x * k + tx, y: r.top + y * k + ty } };
    });
  },
  get hovered() {
    if (!S.V || S.hover < 0) return null;
    const u = S.V.units[S.hover];
    return u.kind === 1 ? "group:" + S.M.groups[u.ref].id : S.M.nodes[u.ref].id;
  },
  decode: (arr) => Array.from(decodeArray(arr)),
  select: (id) => selectNodeById(id, true),
  toggleGroup: (id, collapse) => { const gi = S.M.groupIndex.get(String(id)); return gi === undefined ? Promise.resolve() : toggleGroup(gi, collapse); },
  collapseAll: () => setAllGroups(true),
  expandAll: () => setAllGroups(false),
  setRankdir,
  search: (q) => { $("search").value = q; runSearch(q); return S.search.matches.map((i) => S.M.nodes[i].id); },
  fit: () => fit(false),
  zoomTo: (k) => zoomAt(S.vp.W / 2, S.vp.H / 2, k / S.vp.k),
  exportSVG,
  exportPNG: () => exportPNG().then((blob) => new Promise((resolve) => {
    const fr = new FileReader(); fr.onload = () => resolve(fr.result); fr.readAsDataURL(blob);
  })),
  // Pans and zooms for `count` animation frames, drawing each; resolves with the
  // frame intervals the browser achieved (drawing and rasterising included).
  benchPanZoom(count) {
    return new Promise((resolve) => {
      const start = Object.assign({}, S.vp), stamps = [];
      let i = 0;
      const step = (ts) => {
        stamps.push(ts);
        if (i++ >= count) {
          Object.assign(S.vp, start); redraw();
          const gaps = stamps.slice(2).map((t, j) => t - stamps[j + 1]).sort((a, b) => a - b);
          resolve({ mean: gaps.reduce((a, b) => a + b, 0) / gaps.length, p95: gaps[Math.floor(gaps.length * 0.95)], max: gaps[gaps.length - 1] });
          return;
        }
        const phase = Math.floor(i / 20) % 3;
        if (phase === 0) { S.vp.tx += 7; S.vp.ty += 11; } else zoomAt(S.vp.W / 2, S.vp.H / 2, phase === 1 ? 1.06 : 1 / 1.06);
        S.dirty = true; tick();
        requestAnimationFrame(step);
      };
      requestAnimationFrame(step);
    });
  },
  // Draws `count` frames while panning and zooming; returns the drawing time per frame.
  benchFrames(count) {
    const start = Object.assign({}, S.vp), times = [];
    const dpr = window.devicePixelRatio || 1;
    for (let i = 0; i < count; i++) {
      const t = i / Math.max(1, count - 1);
      S.vp.k = start.k * Math.pow(2, Math.sin(t * Math.PI * 2));
      S.vp.tx = start.tx + Math.cos(t * 6.28) * 300; S.vp.ty = start.ty + Math.sin(t * 6.28) * 300;
      const t0 = now();
      ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
      drawScene(ctx, S.M, S.V, S.vp, PALETTES[S.theme], { hover: -1, selected: -1, matchUnits: new Set(), current: -1, core: null, coreUnits: null }, true);
      times.push(now() - t0);
    }
    Object.assign(S.vp, start);
    redraw();
    times.sort((a, b) => a - b);
    return { mean: times.reduce((a, b) => a + b, 0) / times.length, median: times[times.length >> 1], max: times[times.length - 1] };
  },
};

try { boot(); } catch (err) { fail(err); }
