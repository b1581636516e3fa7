// timeline-main.js: boot, failure and the automation hooks
function fail(err) {
  const msg = err && err.message ? err.message : String(err);
  root.dataset.state = "error";
  $("error-msg").textContent = msg;
  $("error").classList.remove("hidden");
}
window.addEventListener("error", (ev) => { if (!S.ready) fail(ev.error || ev.message); });

// "8 timesteps \u00b7 1.29 ms per timestep \u00b7 interval 0.60 ms (1,667 timesteps/s) \u00b7 bottleneck: core 2"
function pipelineHeader(M) {
  const u = M.unit === "us" ? timeUnit(M.stepLatency) : { div: 1, name: "units" };
  const inUnit = (t) => (t / u.div).toFixed(2) + " " + u.name;
  const parts = [fmtInt(M.T) + " timesteps", inUnit(M.stepLatency) + " per timestep"];
  if (M.interval != null) {
    const rate = M.interval > 0 ? (M.unit === "us" ? 1e6 : 1) / M.interval : Infinity;
    const per = M.unit === "us" ? "timesteps/s" : "timesteps/unit";
    parts.push("interval " + inUnit(M.interval) + " (" + (Number.isFinite(rate) ? (rate >= 100 ? fmtInt(Math.round(rate)) : String(Number(rate.toPrecision(3)))) : "\u221e") + " " + per + ")");
  }
  if (M.bottleneck >= 0) parts.push("bottleneck: " + M.cores[M.bottleneck].label.replace(/^Core /, "core "));
  return parts.join(" \u00b7 ");
}

function buildStepSelect() {
  const M = S.M, sel = $("step-select");
  if (M.T < 2) return;
  sel.append(el("option", null, "all"));
  sel.lastChild.value = "-1";
  for (let k = 0; k < M.T; k++) { const o = el("option", null, String(k)); o.value = String(k); sel.append(o); }
  sel.value = "-1";
  $("steps").classList.remove("hidden");
  root.dataset.step = "-1";
}

function boot() {
  const t0 = now();
  $("title").textContent = document.title || "Execution timeline";
  buildHelp();
  S.theme = pageTheme.setup({ storageKey: KEY_THEME, onChange: (t) => { S.theme = t; redraw(); } });
  let doc;
  try { doc = readEmbeddedJson("nivra-data"); } catch (err) {
    throw new Error("The embedded timeline document is not valid JSON (" + err.message + ").");
  }
  const M = readModel(doc);
  S.M = M;
  const sub = $("subtitle");
  sub.classList.toggle("pipeline", M.T > 1);
  sub.textContent = M.T > 1 ? pipelineHeader(M)
    : fmtInt(M.n) + " nodes \u00b7 " + fmtInt(M.cores.length) + " cores \u00b7 critical path " + fmtTime(M, M.critLength);
  if (M.placeholder && M.n) sub.append(el("span", "badge", "no profile: placeholder latencies"));
  root.dataset.deps = "on"; root.dataset.critical = "on"; root.dataset.selected = ""; root.dataset.matches = "0";
  buildStepSelect();
  renderSummary();
  wire();
  resize();
  if (typeof ResizeObserver !== "undefined") new ResizeObserver(() => resize()).observe(stage);
  else window.addEventListener("resize", resize);
  fit();
  if (!M.n) $("empty").classList.remove("hidden");
  selectFromHash();
  updateGraphLink();
  // the first drawing now, not at the next animation frame
  if (S.raf) { cancelAnimationFrame(S.raf); S.raf = 0; }
  frame();
  S.timing.bootMs = now() - t0;
  S.timing.readyMs = now();
  S.ready = true;
  root.dataset.state = "ready";
}

window.__nivraTimeline = {
  get state() { return root.dataset.state; },
  get timing() { return Object.assign({}, S.timing); },
  get lastFrame() { return S.lastFrame && Object.assign({}, S.lastFrame); },
  get nodes() { return S.M ? S.M.n : 0; },
  get cores() { return S.M ? S.M.cores.length : 0; },
  get window() { return { t0: S.vp.t0, t1: S.vp.t1, y: S.vp.y, laneH: S.laneH }; },
  get criticalPath() { return S.M ? Array.from(S.M.path, (i) => S.M.names[i]) : []; },
  get criticalLength() { return S.M ? S.M.critLength : 0; },
  get timesteps() { return S.M ? S.M.T : 0; },
  get step() { return S.step; },
  setStep: (k) => { setStep(k); frame(); },
  get hovered() { return S.M && S.hover >= 0 ? S.M.names[S.hover] : null; },
  get selected() { return S.M && S.selected >= 0 ? S.M.names[S.selected] : null; },
  // The box of a node's bar (its run at `step`, else its first) in page coordinates (as
  // drawn now), or null.
  barBox(name, step) {
    let i = S.M ? entryOf(S.M, name) : -1;
    if (i >= 0 && step > 0) i = step < S.M.T ? S.M.runOf[step * S.M.nodes + S.M.node[i]] : -1;
    if (i < 0) return null;
    const r = canvas.getBoundingClientRect(), a = xOf(S.M.start[i]), b = xOf(S.M.end[i]);
    return { x: r.left + a, y: r.top + laneTop(S.M.core[i]) + BAR_PAD, width: b - a, height: barHeight(S.laneH), core: S.M.core[i] };
  },
  select: (name) => { const i = entryOf(S.M, name); selectEntry(i, true); return i >= 0; },
  search: (q) => { $("search").value = q; runSearch(q); return S.search.matches.map((i) => S.M.names[i]); },
  setWindow: (t0, t1) => { setWindow(t0, t1); frame(); },
  fit: () => { fit(); frame(); },
  zoom: (factor) => { zoomAt(GUTTER + plotW() / 2, factor); frame(); },
  exportSVG,
  exportPNG: () => exportPNG().then((blob) => new Promise((resolve) => {
    const fr = new FileReader(); fr.onload = () => resolve(fr.result); fr.readAsDataURL(blob);
  })),
  // Draws `count` frames while panning and zooming; the drawing time per frame in ms.
  benchFrames(count) {
    const start = Object.assign({}, S.vp), times = [], dpr = window.devicePixelRatio || 1;
    for (let k = 0; k < count; k++) {
      const f = Math.pow(2, 6 * Math.sin((k / Math.max(1, count - 1)) * Math.PI));
      const w = (start.t1 - start.t0) / f, c = (start.t0 + start.t1) / 2 + Math.sin(k) * w;
      S.vp.t0 = c - w / 2; S.vp.t1 = c + w / 2; S.vp.y = (k * 37) % (maxScroll() + 1);
      const t = now();
      ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
      drawScene(canvasPainter(ctx), S.M, S.vp, S.laneH, PALETTES[S.theme], marks());
      times.push(now() - t);
    }
    Object.assign(S.vp, start);
    frame();
    times.sort((a, b) => a - b);
    return { mean: times.reduce((a, b) => a + b, 0) / times.length, median: times[times.length >> 1], max: times[times.length - 1] };
  },
};

try { boot(); } catch (err) { fail(err); }
