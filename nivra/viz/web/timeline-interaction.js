// timeline-interaction.js: selection, search, hover read-out, pointer, wheel, keys, buttons
function selectEntry(i, centre) {
  S.selected = i;
  root.dataset.selected = i >= 0 ? S.M.names[i] : "";
  renderDetails();
  updateGraphLink();
  if (centre && i >= 0) focusEntry(i); else redraw();
}

function runSearch(q) {
  const M = S.M, s = S.search;
  s.q = String(q || "").trim().toLowerCase();
  s.matches = []; s.cur = -1;
  if (!s.flags) s.flags = new Uint8Array(M.n); else s.flags.fill(0);
  if (s.q) {
    // matched per node, then every run of a matching node
    if (!M.search) M.search = Array.from(M.runOf.subarray(0, M.nodes), (r) => (r < 0 ? "" : (M.names[r] + "\n" + M.types[M.type[r]].name).toLowerCase()));
    const hit = M.search.map((text) => text.includes(s.q));
    for (let i = 0; i < M.n; i++) if (hit[M.node[i]]) { s.matches.push(i); s.flags[i] = 1; }
    // in time order, so next and previous walk along the schedule
    s.matches.sort((a, b) => M.start[a] - M.start[b] || M.core[a] - M.core[b]);
  }
  $("search-count").textContent = s.q ? (s.matches.length ? "0/" + fmtInt(s.matches.length) : "no match") : "";
  root.dataset.matches = String(s.matches.length);
  redraw();
}
function stepMatch(dir) {
  const s = S.search;
  if (!s.matches.length) return;
  s.cur = (s.cur + dir + s.matches.length) % s.matches.length;
  $("search-count").textContent = fmtInt(s.cur + 1) + "/" + fmtInt(s.matches.length);
  selectEntry(s.matches[s.cur], true);
}

// The hover read-out: node, type, precision, core, start, end, latency.
function showTip(i, x, y) {
  const tip = $("tip");
  if (i < 0) { tip.classList.add("hidden"); return; }
  const M = S.M;
  tip.textContent = "";
  tip.append(el("div", "n", M.names[i]));
  const dl = el("dl", "kv");
  for (const [k, v] of [["type", M.types[M.type[i]].name], ["precision", M.precision[i] || "\u2014"],
    ["core", M.cores[M.core[i]].label], ...(M.T > 1 ? [["timestep", String(M.step[i])]] : []),
    ["start", fmtTime(M, M.start[i], 6)], ["end", fmtTime(M, M.end[i], 6)],
    ["latency", fmtTime(M, M.end[i] - M.start[i], 6) + (M.placeholder ? " (placeholder)" : "")]]) {
    dl.append(el("dt", null, k), el("dd", null, v));
  }
  tip.append(dl);
  if (M.crit[i]) tip.append(el("div", "crit", "On the critical path"));
  tip.classList.remove("hidden");
  const w = tip.offsetWidth, h = tip.offsetHeight;
  tip.style.left = (x + 14 + w > S.vp.W ? Math.max(4, x - 14 - w) : x + 14) + "px";
  tip.style.top = (y + 14 + h > S.vp.H ? Math.max(4, y - 14 - h) : y + 14) + "px";
}

function setHover(i, x, y) {
  if (i !== S.hover) { S.hover = i; redraw(); }
  canvas.classList.toggle("pointer", i >= 0);
  showTip(i, x, y);
}

// Highlights the runs of timestep k (-1: all) and marks the critical path of that timestep
// (of the first, for all).
function setStep(k) {
  const M = S.M;
  S.step = Number.isInteger(k) && k >= 0 && k < M.T ? k : -1;
  setCriticalStep(M, Math.max(0, S.step));
  $("step-select").value = String(S.step);
  root.dataset.step = String(S.step);
  renderSummary();
  redraw();
}
function stepBy(d) { const M = S.M; if (M.T > 1) setStep(S.step < 0 ? (d > 0 ? 0 : M.T - 1) : (S.step + d + M.T) % M.T); }

function setToggle(id, on) { $(id).setAttribute("aria-pressed", String(on)); }
function toggleDeps() { S.showDeps = !S.showDeps; setToggle("deps-btn", S.showDeps); root.dataset.deps = S.showDeps ? "on" : "off"; redraw(); }
function toggleCrit() { S.showCrit = !S.showCrit; setToggle("crit-btn", S.showCrit); root.dataset.critical = S.showCrit ? "on" : "off"; redraw(); }

const HELP = [
  ["Wheel, W / S, + / -", "zoom the time axis at the pointer"],
  ["Drag, A / D, \u2190 / \u2192", "pan in time (drag also scrolls the lanes)"],
  ["Shift+wheel, \u2191 / \u2193, PgUp / PgDn", "scroll the lanes"],
  ["F or 0", "the whole schedule"],
  ["Click", "select a node (Esc clears)"],
  ["Ctrl+F or /", "search; Enter / Shift+Enter next and previous"],
  ["X", "dependency arrows on or off"],
  ["P", "critical path highlight on or off"],
  ["G", "the selected node in the graph view"],
  ["[ / ]", "highlight the previous or next timestep"],
  ["T", "light or dark theme"],
];
function buildHelp() {
  const t = $("help-table");
  for (const [k, v] of HELP) {
    const tr = el("tr"), a = el("td"), b = el("td", null, v);
    for (const part of k.split(", ")) a.append(el("kbd", null, part));
    tr.append(a, b); t.append(tr);
  }
}
const toggleHelp = (show) => $("help").classList.toggle("hidden", show === undefined ? undefined : !show);

function wire() {
  // pointer: drag pans, a click without movement selects
  let drag = null;
  canvas.addEventListener("pointerdown", (ev) => {
    stage.focus({ preventScroll: true });
    drag = { x: ev.clientX, y: ev.clientY, moved: false, id: ev.pointerId };
    canvas.setPointerCapture(ev.pointerId);
  });
  canvas.addEventListener("pointermove", (ev) => {
    const r = canvas.getBoundingClientRect(), x = ev.clientX - r.left, y = ev.clientY - r.top;
    if (drag) {
      const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
      if (drag.moved || Math.abs(dx) + Math.abs(dy) > 3) {
        drag.moved = true; canvas.classList.add("dragging");
        panBy(dx); S.vp.y = clamp(S.vp.y - dy, 0, maxScroll());
        drag.x = ev.clientX; drag.y = ev.clientY;
        setHover(-1);
        return;
      }
    }
    setHover(hitTest(x, y), x, y);
  });
  const end = (ev) => {
    if (!drag) return;
    const r = canvas.getBoundingClientRect();
    if (!drag.moved && ev.type === "pointerup") selectEntry(hitTest(ev.clientX - r.left, ev.clientY - r.top), false);
    drag = null; canvas.classList.remove("dragging");
  };
  canvas.addEventListener("pointerup", end);
  canvas.addEventListener("pointercancel", end);
  canvas.addEventListener("pointerleave", () => { if (!drag) setHover(-1); });
  canvas.addEventListener("wheel", (ev) => {
    ev.preventDefault();
    const r = canvas.getBoundingClientRect(), scale = ev.deltaMode === 1 ? 16 : ev.deltaMode === 2 ? S.vp.H : 1;
    const dx = ev.deltaX * scale, dy = ev.deltaY * scale;
    if (ev.shiftKey) scrollTo(S.vp.y + (dy || dx));
    else if (Math.abs(dx) > Math.abs(dy)) panBy(-dx);
    else zoomAt(ev.clientX - r.left, Math.exp(-dy * (ev.ctrlKey ? 0.01 : 0.0015)));
    setHover(-1);
  }, { passive: false });

  // the lane scroll bar
  const thumb = $("vthumb");
  let grab = null;
  thumb.addEventListener("pointerdown", (ev) => { grab = { y: ev.clientY, top: S.vp.y }; thumb.setPointerCapture(ev.pointerId); ev.stopPropagation(); });
  thumb.addEventListener("pointermove", (ev) => {
    if (!grab) return;
    const room = S.vp.H - AXIS_H, h = thumb.offsetHeight;
    scrollTo(grab.top + ((ev.clientY - grab.y) * maxScroll()) / Math.max(1, room - h));
  });
  thumb.addEventListener("pointerup", () => { grab = null; });

  // buttons
  $("zoom-in").addEventListener("click", () => zoomAt(GUTTER + plotW() / 2, 1.6));
  $("zoom-out").addEventListener("click", () => zoomAt(GUTTER + plotW() / 2, 1 / 1.6));
  $("zoom-fit").addEventListener("click", fit);
  $("deps-btn").addEventListener("click", toggleDeps);
  $("step-select").addEventListener("change", (ev) => setStep(Number(ev.target.value)));
  $("crit-btn").addEventListener("click", toggleCrit);
  $("theme-btn").addEventListener("click", () => pageTheme.toggle());
  $("help-btn").addEventListener("click", () => toggleHelp());
  $("help").addEventListener("click", () => toggleHelp(false));
  const menu = $("export-menu");
  $("export-btn").addEventListener("click", (ev) => { ev.stopPropagation(); menu.classList.toggle("hidden"); });
  document.addEventListener("click", () => menu.classList.add("hidden"));
  $("export-svg").addEventListener("click", () => download(fileBase() + ".svg", new Blob([exportSVG()], { type: "image/svg+xml" })));
  $("export-png").addEventListener("click", () => exportPNG().then((b) => download(fileBase() + ".png", b)));

  // search
  const input = $("search");
  input.addEventListener("input", () => runSearch(input.value));
  input.addEventListener("keydown", (ev) => {
    if (ev.key === "Enter") { ev.preventDefault(); stepMatch(ev.shiftKey ? -1 : 1); }
    else if (ev.key === "Escape") { input.value = ""; runSearch(""); stage.focus(); }
  });
  $("search-next").addEventListener("click", (ev) => { ev.preventDefault(); stepMatch(1); });
  $("search-prev").addEventListener("click", (ev) => { ev.preventDefault(); stepMatch(-1); });

  // keys
  document.addEventListener("keydown", (ev) => {
    if ((ev.ctrlKey || ev.metaKey) && ev.key.toLowerCase() === "f") { ev.preventDefault(); input.focus(); input.select(); return; }
    const t = ev.target;
    if (ev.ctrlKey || ev.metaKey || ev.altKey || (t && (t.tagName === "INPUT" || t.tagName === "TEXTAREA" || t.tagName === "SELECT"))) return;
    const k = ev.key, mid = GUTTER + plotW() / 2, page = S.vp.H - AXIS_H - S.laneH;
    const act = {
      w: () => zoomAt(mid, 1.4), "+": () => zoomAt(mid, 1.4), "=": () => zoomAt(mid, 1.4),
      s: () => zoomAt(mid, 1 / 1.4), "-": () => zoomAt(mid, 1 / 1.4),
      a: () => panBy(plotW() / 5), ArrowLeft: () => panBy(plotW() / 5),
      d: () => panBy(-plotW() / 5), ArrowRight: () => panBy(-plotW() / 5),
      ArrowUp: () => scrollTo(S.vp.y - S.laneH), ArrowDown: () => scrollTo(S.vp.y + S.laneH),
      PageUp: () => scrollTo(S.vp.y - page), PageDown: () => scrollTo(S.vp.y + page),
      f: fit, "0": fit, Home: fit, x: toggleDeps, p: toggleCrit, t: () => pageTheme.toggle(),
      g: () => { const a = $("graph-link"); if (a.href && !a.classList.contains("hidden")) location.href = a.href; },
      "/": () => { input.focus(); input.select(); }, "?": () => toggleHelp(),
      "[": () => stepBy(-1), "]": () => stepBy(1),
      Escape: () => { toggleHelp(false); menu.classList.add("hidden"); selectEntry(-1, false); },
    }[k.length === 1 ? k.toLowerCase() : k];
    if (act) { ev.preventDefault(); act(); }
  });

  // arriving from the graph page with #node=NAME
  window.addEventListener("hashchange", selectFromHash);
}

function selectFromHash() {
  let name = null;
  try { name = new URLSearchParams(location.hash.slice(1)).get("node"); } catch (e) { name = null; }
  if (name == null) return;
  const i = entryOf(S.M, name);
  if (i >= 0) selectEntry(i, true);
}
