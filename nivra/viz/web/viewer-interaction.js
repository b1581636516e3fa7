// viewer-interaction.js: selection, search, pointer, wheel, keyboard, buttons
function select(sel, centre) {
  S.selected = sel;
  renderDetails();
  if (centre) focusSelection(); else redraw();
}
function focusSelection() {
  renderDetails();
  const u = selectedUnit();
  if (u >= 0) centreOn(S.V.units[u], 0.6);
  else if (S.selected && S.selected.kind === "group") {
    const f = S.V.frameOf.get(S.selected.ref);
    if (f) fitBox(f.x0, f.y0, f.x1, f.y1, Math.max(S.vp.k, 0.9));
  }
  redraw();
}
function selectNodeById(id, centre) {
  const i = S.M.index.get(String(id));
  if (i === undefined) return false;
  S.selected = { kind: "node", ref: i };
  const shown = expandAround(S.M.nodes[i].group);
  if (shown) { shown.then(() => focusSelection()); return true; }
  select({ kind: "node", ref: i }, centre);
  return true;
}

function searchText(node) {
  if (node.search == null) {
    const cfg = node.rec.config != null && typeof node.rec.config === "object" ? node.rec.config : {};
    const parts = [node.id, node.type];
    for (const k of Object.keys(cfg)) if (!isEncodedArray(cfg[k])) parts.push(k + "=" + valueText(cfg[k]));
    node.search = parts.join("\n").toLowerCase();
  }
  return node.search;
}
function runSearch(q) {
  q = String(q || "").trim().toLowerCase();
  const sr = S.search;
  sr.q = q; sr.matches = []; sr.cur = -1;
  if (q) {
    // Exact names first, then types, then anything else containing the text.
    const exact = [], type = [], other = [];
    for (const n of S.M.nodes) {
      if (n.id.toLowerCase() === q) exact.push(n.i);
      else if (n.type.toLowerCase() === q) type.push(n.i);
      else if (searchText(n).includes(q)) other.push(n.i);
    }
    sr.matches = exact.concat(type, other);
  }
  refreshSearchUnits();
  updateSearchCount();
  if (sr.matches.length) gotoMatch(0); else redraw();
}
function refreshSearchUnits() {
  const sr = S.search;
  sr.units = new Set();
  if (S.V) for (const i of sr.matches) sr.units.add(S.V.unitOfNode[i]);
}
function updateSearchCount() {
  const sr = S.search;
  $("search-count").textContent = !sr.q ? "" : sr.matches.length ? sr.cur + 1 + " of " + fmtInt(sr.matches.length) : "No matches";
  root.dataset.matches = String(sr.matches.length);
}
function gotoMatch(i) {
  const sr = S.search;
  if (!sr.matches.length) return;
  sr.cur = (i + sr.matches.length) % sr.matches.length;
  updateSearchCount();
  const ni = sr.matches[sr.cur];
  const g = collapsedAround(S.M.nodes[ni].group);
  S.selected = g >= 0 ? { kind: "group", ref: g } : { kind: "node", ref: ni };
  renderDetails();
  const u = S.V.unitOfNode[ni];
  centreOn(S.V.units[u], 0.7);
}

/* =========================================================================
 * Interaction: pointer, wheel, keyboard, buttons
 * ========================================================================= */
function toWorld(px, py) { return [(px - S.vp.tx) / S.vp.k, (py - S.vp.ty) / S.vp.k]; }
function localPoint(ev) { const r = canvas.getBoundingClientRect(); return [ev.clientX - r.left, ev.clientY - r.top]; }

function processHover() {
  const [px, py] = S.pendingHover;
  S.pendingHover = null;
  if (!S.V) return;
  const [wx, wy] = toWorld(px, py);
  const u = hitUnit(S.V, wx, wy);
  const header = u < 0 ? hitFrameHeader(S.V, wx, wy) : null;
  canvas.classList.toggle("pointer", u >= 0 || !!header);
  if (u < 0) {
    // Over a marked edge: why it is marked.
    const e = hitWarnEdge(S.V, wx, wy, 6 / S.vp.k);
    if (e >= 0) canvas.title = S.V.edges[e].warn;
    else if (S.hover < 0) canvas.title = "";
  }
  if (u !== S.hover) {
    S.hover = u; S.dirty = true;
    // Native tooltip: the full name, which the glyph may have shortened.
    const unit = u >= 0 ? S.V.units[u] : null;
    canvas.title = !unit ? "" : unit.kind === 1 ? S.M.groups[unit.ref].label + " (" + S.M.groups[unit.ref].members.length + " nodes)"
      : S.M.nodes[unit.ref].id + " (" + S.M.nodes[unit.ref].type + ")";
  }
}

const drag = { id: null, x: 0, y: 0, moved: false };
canvas.addEventListener("pointerdown", (ev) => {
  if (ev.button !== 0) return;
  stage.focus({ preventScroll: true });
  drag.id = ev.pointerId; drag.x = ev.clientX; drag.y = ev.clientY; drag.moved = false;
  canvas.setPointerCapture(ev.pointerId);
});
canvas.addEventListener("pointermove", (ev) => {
  if (drag.id === ev.pointerId) {
    const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
    if (!drag.moved && Math.hypot(dx, dy) < 4) return;
    if (!drag.moved) { drag.moved = true; canvas.classList.add("dragging"); }
    S.vp.tx += dx; S.vp.ty += dy; drag.x = ev.clientX; drag.y = ev.clientY;
    redraw();
    return;
  }
  S.pendingHover = localPoint(ev);
  schedule();
});
canvas.addEventListener("pointerup", (ev) => {
  if (drag.id !== ev.pointerId) return;
  drag.id = null;
  canvas.classList.remove("dragging");
  if (drag.moved || !S.V) return;
  const [wx, wy] = toWorld(...localPoint(ev));
  const u = hitUnit(S.V, wx, wy);
  if (u >= 0) {
    const unit = S.V.units[u];
    select(unit.kind === 1 ? { kind: "group", ref: unit.ref } : { kind: "node", ref: unit.ref });
    return;
  }
  const f = hitFrameHeader(S.V, wx, wy);
  if (f) {
    if (wx >= f.x1 - 28) toggleGroup(f.gi, true);
    else select({ kind: "group", ref: f.gi });
    return;
  }
  select(null);
});
canvas.addEventListener("pointerleave", () => { if (S.hover >= 0) { S.hover = -1; redraw(); } });
// A double-click acts on what the pair's first press hit: that first click may open the
// details panel, and the narrower drawing shifts the view before the second press lands.
let firstPress = null;
canvas.addEventListener("mousedown", (ev) => {
  if (ev.button !== 0 || ev.detail > 1 || !S.V) return;
  const [wx, wy] = toWorld(...localPoint(ev));
  const u = hitUnit(S.V, wx, wy);
  firstPress = { V: S.V, u, f: u < 0 ? hitFrameHeader(S.V, wx, wy) : null };
});
canvas.addEventListener("dblclick", (ev) => {
  if (!S.V) return;
  let hit = firstPress && firstPress.V === S.V ? firstPress : null;
  if (!hit) {
    const [wx, wy] = toWorld(...localPoint(ev));
    const u = hitUnit(S.V, wx, wy);
    hit = { u, f: u < 0 ? hitFrameHeader(S.V, wx, wy) : null };
  }
  firstPress = null;
  if (hit.u >= 0 && S.V.units[hit.u].kind === 1) toggleGroup(S.V.units[hit.u].ref, false);
  else if (hit.f) toggleGroup(hit.f.gi, true);
});
canvas.addEventListener("wheel", (ev) => {
  ev.preventDefault();
  const [px, py] = localPoint(ev);
  const scale = ev.deltaMode === 1 ? 16 : ev.deltaMode === 2 ? 400 : 1;
  if (ev.shiftKey && !ev.ctrlKey) { S.vp.tx -= ev.deltaY * scale; redraw(); return; }
  zoomAt(px, py, Math.exp(-ev.deltaY * scale * (ev.ctrlKey ? 0.01 : 0.0015)));
}, { passive: false });

function miniPan(ev) {
  if (!mini.base) return;
  const r = mini.canvas.getBoundingClientRect(), b = S.V.bounds;
  const wx = (ev.clientX - r.left - mini.ox) / mini.scale + b.x0, wy = (ev.clientY - r.top - mini.oy) / mini.scale + b.y0;
  S.vp.tx = S.vp.W / 2 - wx * S.vp.k; S.vp.ty = S.vp.H / 2 - wy * S.vp.k;
  redraw();
}
mini.canvas.addEventListener("pointerdown", (ev) => { mini.canvas.setPointerCapture(ev.pointerId); miniPan(ev); });
mini.canvas.addEventListener("pointermove", (ev) => { if (mini.canvas.hasPointerCapture(ev.pointerId)) miniPan(ev); });

const SHORTCUTS = [
  [["Ctrl", "F"], "Search (also /)"], [["Enter"], "Next match (Shift+Enter: previous)"], [["N", "Shift+N"], "Next / previous match"],
  [["F"], "Fit to screen"],
  [["+", "−"], "Zoom in / out"], [["0"], "Zoom to 100%"], [["←", "→", "↑", "↓"], "Pan"], [["L"], "Switch top-to-bottom / left-to-right"],
  [["C"], "Collapse all groups"], [["E"], "Expand all groups"], [["X"], "Collapse or expand the selected group"],
  [["T"], "Light / dark theme"], [["M"], "Show / hide the minimap"], [["S"], "Show / hide the summary panel"],
  [["P"], "Show the problems found in the graph"],
  [["?"], "This help"], [["Esc"], "Clear selection, close panels"],
];
function buildHelp() {
  const table = $("help-table");
  for (const [keys, what] of SHORTCUTS) {
    const tr = el("tr"), k = el("td"), w = el("td", null, what);
    for (const key of keys) k.appendChild(el("kbd", null, key));
    tr.appendChild(k); tr.appendChild(w); table.appendChild(tr);
  }
  $("help").addEventListener("click", () => $("help").classList.add("hidden"));
}
function toggleHelp(show) { $("help").classList.toggle("hidden", show == null ? undefined : !show); }

window.addEventListener("keydown", (ev) => {
  const inField = ev.target instanceof HTMLInputElement;
  if ((ev.ctrlKey || ev.metaKey) && ev.key.toLowerCase() === "f") { ev.preventDefault(); $("search").focus(); $("search").select(); return; }
  if (ev.key === "Escape") {
    if (!$("help").classList.contains("hidden")) { toggleHelp(false); return; }
    $("export-menu").classList.add("hidden");
    if (inField) { ev.target.value = ""; runSearch(""); ev.target.blur(); return; }
    if (S.core != null) setCore(null);
    select(null);
    return;
  }
  if (inField || ev.ctrlKey || ev.metaKey || ev.altKey || !S.V) return;
  const pan = 80;
  const actions = {
    "/": () => { $("search").focus(); }, "f": () => fit(true), "+": () => zoomAt(S.vp.W / 2, S.vp.H / 2, 1.25),
    "=": () => zoomAt(S.vp.W / 2, S.vp.H / 2, 1.25), "-": () => zoomAt(S.vp.W / 2, S.vp.H / 2, 0.8),
    "0": () => zoomAt(S.vp.W / 2, S.vp.H / 2, 1 / S.vp.k), "l": () => setRankdir(S.rankdir === "TB" ? "LR" : "TB"),
    "c": () => setAllGroups(true), "e": () => setAllGroups(false), "t": () => toggleTheme(),
    "m": () => { mini.user = $("minimap").classList.contains("hidden"); buildMinimap(); redraw(); },
    "s": () => toggleSidebar(), "p": () => openProblems(), "?": () => toggleHelp(), "n": () => gotoMatch(S.search.cur + 1), "N": () => gotoMatch(S.search.cur - 1),
    "x": () => {
      const sel = S.selected;
      if (sel && sel.kind === "group") toggleGroup(sel.ref);
      else if (sel && sel.kind === "node" && S.M.nodes[sel.ref].group >= 0) toggleGroup(S.M.nodes[sel.ref].group, true);
    },
    "ArrowLeft": () => { S.vp.tx += pan; redraw(); }, "ArrowRight": () => { S.vp.tx -= pan; redraw(); },
    "ArrowUp": () => { S.vp.ty += pan; redraw(); }, "ArrowDown": () => { S.vp.ty -= pan; redraw(); },
  };
  const act = actions[ev.key] || actions[ev.key.toLowerCase()];
  if (act) { ev.preventDefault(); act(); }
});

let searchTimer = 0;
$("search").addEventListener("input", (ev) => { clearTimeout(searchTimer); searchTimer = setTimeout(() => runSearch(ev.target.value), 140); });
$("search").addEventListener("keydown", (ev) => {
  if (ev.key !== "Enter") return;
  ev.preventDefault();
  clearTimeout(searchTimer);
  const q = ev.target.value.trim().toLowerCase();
  if (q !== S.search.q) runSearch(q); else gotoMatch(S.search.cur + (ev.shiftKey ? -1 : 1));
});
$("search-next").addEventListener("click", (ev) => { ev.preventDefault(); gotoMatch(S.search.cur + 1); });
$("search-prev").addEventListener("click", (ev) => { ev.preventDefault(); gotoMatch(S.search.cur - 1); });
$("zoom-in").addEventListener("click", () => zoomAt(S.vp.W / 2, S.vp.H / 2, 1.25));
$("zoom-out").addEventListener("click", () => zoomAt(S.vp.W / 2, S.vp.H / 2, 0.8));
$("zoom-fit").addEventListener("click", () => fit(true));
$("dir-tb").addEventListener("click", () => setRankdir("TB"));
$("dir-lr").addEventListener("click", () => setRankdir("LR"));
$("collapse-all").addEventListener("click", () => setAllGroups(true));
$("expand-all").addEventListener("click", () => setAllGroups(false));
$("theme-btn").addEventListener("click", () => toggleTheme());
$("help-btn").addEventListener("click", () => toggleHelp());
$("sidebar-btn").addEventListener("click", () => toggleSidebar());
$("problems-btn").addEventListener("click", () => openProblems());
$("export-btn").addEventListener("click", (ev) => { ev.stopPropagation(); $("export-menu").classList.toggle("hidden"); });
document.addEventListener("click", () => $("export-menu").classList.add("hidden"));
$("export-svg").addEventListener("click", () => download(fileBase() + ".svg", new Blob([exportSVG()], { type: "image/svg+xml" })));
$("export-png").addEventListener("click", () => exportPNG().then((blob) => download(fileBase() + ".png", blob)));

function toggleSidebar() { $("side").classList.toggle("hidden"); resizeSoon(); }

/* Theme (theme.js): follows the system until the user picks one; the pick is remembered. */
function applyTheme(theme) {
  S.theme = theme === "dark" ? "dark" : "light";
  if (S.V) { buildMinimap(); redraw(); renderDetails(); }
}
function toggleTheme() { pageTheme.toggle(); }
