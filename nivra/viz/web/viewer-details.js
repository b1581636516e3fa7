// viewer-details.js: summary panel and the details of the selection
function section(parent, title, extra) {
  const s = el("section", "sec"), h = el("h2", null, title);
  if (extra) h.appendChild(extra);
  s.appendChild(h);
  parent.appendChild(s);
  return s;
}
function kvList(parent, pairs) {
  const dl = el("dl", "kv");
  for (const [k, v] of pairs) { dl.appendChild(el("dt", null, k)); dl.appendChild(el("dd", null, v)); }
  parent.appendChild(dl);
  return dl;
}
function row(parent, opts) {
  const r = el("div", "row" + (opts.onClick ? " click" : ""));
  if (opts.chip) {
    const c = el("span", "chip" + (opts.ring ? " ring" : ""));
    if (opts.ring) c.style.borderColor = opts.chip; else c.style.background = opts.chip;
    r.appendChild(c);
  }
  r.appendChild(el("span", "k", opts.k));
  if (opts.v != null) r.appendChild(el("span", "v" + (opts.mono ? " mono" : ""), opts.v));
  if (opts.onClick) { r.addEventListener("click", opts.onClick); r.tabIndex = 0; r.addEventListener("keydown", (ev) => { if (ev.key === "Enter") opts.onClick(); }); }
  if (opts.title) r.title = opts.title;
  parent.appendChild(r);
  return r;
}
function stat(parent, value, label, title) {
  const d = el("div", "stat");
  d.appendChild(el("b", null, value));
  d.appendChild(el("span", null, label));
  if (title) d.title = title;
  parent.appendChild(d);
}

// Under a core of the legend: its neurons and parameter bytes as bars against the
// partition's limits (as plain figures where no limit is known); a core over one is flagged.
function coreBars(parent, c, partition) {
  const box = el("div", "core-bars");
  const bar = (key, label, value, limit, fmt) => {
    if (!(Number.isFinite(value) && value >= 0)) return;
    const line = el("div", "core-bar"), track = el("span", "track"), fill = el("span", "fill");
    const over = limit > 0 && value > limit;
    line.dataset.key = key;
    fill.style.width = (limit > 0 ? Math.round(Math.min(1, value / limit) * 100) : 0) + "%";
    if (over) line.classList.add("over");
    track.appendChild(fill);
    line.append(el("span", "bk", label), track, el("span", "bv", fmt(value) + (limit > 0 ? " / " + fmt(limit) : "") + (over ? " \u2014 over the limit" : "")));
    box.appendChild(line);
  };
  const limits = partition != null && typeof partition === "object" ? partition : {};
  const bytes = (b) => (b >= 1 << 20 ? Number((b / (1 << 20)).toPrecision(3)) + " MiB" : b >= 1024 ? Number((b / 1024).toPrecision(3)) + " KiB" : fmtInt(b) + " B");
  bar("neurons", "neurons", num(c.neurons), num(limits.max_neurons_per_core), fmtInt);
  bar("bytes", "parameters", num(c.param_bytes), num(limits.sram_bytes_per_core), bytes);
  if (box.childNodes.length) parent.appendChild(box);
}

function renderSummary() {
  const M = S.M, doc = M.doc, side = $("side");
  side.textContent = "";
  renderProblems(side);
  const sum = doc.summary != null && typeof doc.summary === "object" ? doc.summary : {};
  const total = typeof sum.total_params === "number" ? sum.total_params : M.nodes.reduce((a, n) => a + (num(n.rec.param_count) || 0), 0);
  const g = section(side, "Graph");
  const grid = el("div", "stats"); g.appendChild(grid);
  stat(grid, fmtInt(M.nodes.length), "nodes");
  stat(grid, fmtInt(M.edges.length), "edges");
  stat(grid, fmtCompact(total), "parameters", fmtInt(total) + " parameters");
  stat(grid, fmtInt(M.groups.length), "groups");
  const meta = el("div", "rows"); meta.style.marginTop = "10px"; g.appendChild(meta);
  row(meta, { k: M.version.label, v: M.version.value, mono: true });
  row(meta, { k: "Parameters", v: fmtInt(total), mono: true });
  if (M.skipped) row(meta, { k: "Edges to unknown nodes", v: fmtInt(M.skipped), mono: true });
  for (const [key, title] of [["inputs", "Inputs"], ["outputs", "Outputs"]]) {
    const list = Array.isArray(sum[key]) ? sum[key] : [];
    if (!list.length) continue;
    const s = section(side, title), rows = el("div", "rows"); s.appendChild(rows);
    for (const p of list.slice(0, 200)) {
      if (p == null) continue;
      const id = text(p.id);
      row(rows, { k: id, v: shapeText(p.shape), mono: true, onClick: () => selectNodeById(id, true) });
    }
  }
  const md = M.metadata;
  if (md.partition != null && typeof md.partition === "object") {
    const p = md.partition, s = section(side, "Partition"), grid2 = el("div", "stats"); s.appendChild(grid2);
    stat(grid2, valueText(p.num_cores_used), "cores used");
    stat(grid2, valueText(p.cross_core_edges), "cross-core edges");
    const rows = el("div", "rows"); rows.style.marginTop = "10px"; s.appendChild(rows);
    row(rows, { k: "Algorithm", v: valueText(p.algorithm), mono: true });
  }
  if (Array.isArray(md.core_legend) && md.core_legend.length) {
    const s = section(side, "Cores"), rows = el("div", "rows"); s.appendChild(rows);
    for (const c of md.core_legend) {
      if (c == null) continue;
      const cid = coreKey(c.core_id);
      const r = row(rows, { k: c.label != null ? text(c.label) : "Core " + cid, v: fmtInt(num(c.node_count) || 0) + " nodes",
        chip: safeColor(c.color, DEFAULT_COLOR), ring: true, title: "Highlight the nodes on this core",
        onClick: () => setCore(S.core === cid ? null : cid) });
      r.dataset.coreId = String(cid);
      coreBars(rows, c, md.partition);
    }
  }
  const counts = sum.node_counts != null && typeof sum.node_counts === "object" ? sum.node_counts : null;
  const byType = new Map();
  for (const n of M.nodes) { const e = byType.get(n.type); if (e) e.count++; else byType.set(n.type, { count: 1, color: n.color }); }
  const legend = Array.isArray(md.type_legend) && md.type_legend.length
    ? md.type_legend.filter((t) => t != null).map((t) => [text(t.type), safeColor(t.color, DEFAULT_COLOR)])
    : Array.from(byType.entries()).sort((a, b) => b[1].count - a[1].count).map(([t, e]) => [t, e.color]);
  if (legend.length) {
    const s = section(side, "Node types"), rows = el("div", "rows"); s.appendChild(rows);
    for (const [t, color] of legend) {
      const given = own(counts, t);
      const cnt = typeof given === "number" ? given : byType.has(t) ? byType.get(t).count : 0;
      row(rows, { k: t, v: fmtInt(cnt), chip: color, onClick: () => { $("search").value = t; runSearch(t); } });
    }
  }
  if (M.groups.length) {
    // Nested groups under the group around them, indented.
    const s = section(side, "Groups"), rows = el("div", "rows"); s.appendChild(rows);
    const tree = [], stack = M.groups.filter((g) => g.parent < 0).reverse();
    while (stack.length && tree.length < 300) {
      const grp = stack.pop();
      tree.push(grp);
      for (let c = grp.children.length - 1; c >= 0; c--) stack.push(M.groups[grp.children[c]]);
    }
    for (const grp of tree) {
      if (!grp.members.length) continue;
      const r = row(rows, { k: grp.icon + "  " + grp.label, v: fmtInt(grp.members.length), chip: grp.color, title: grp.subtitle,
        onClick: () => {
          S.selected = { kind: "group", ref: grp.gi };
          const shown = expandAround(grp.parent);
          if (shown) shown.then(focusSelection); else focusSelection();
        } });
      if (grp.depth) r.style.paddingLeft = 6 + 14 * Math.min(grp.depth, 8) + "px";
    }
    if (M.groups.length > tree.length) rows.appendChild(el("div", "empty", "… " + fmtInt(M.groups.length - tree.length) + " more"));
  }
  const shown = ["partition", "core_legend", "type_legend"].concat(M.version.shownKeys);
  const rest = Object.keys(md).filter((k) => !shown.includes(k));
  if (rest.length) {
    const s = section(side, "Metadata");
    kvList(s, rest.slice(0, 60).map((k) => [k, valueText(md[k])]));
  }
}

// The problems panel: what the document says is wrong, each entry selecting what it names.
function renderProblems(side) {
  const P = S.M.problems;
  if (!P.total) return;
  const s = section(side, "Problems");
  s.id = "problems"; s.classList.add("problems");
  const rows = el("div", "rows"); s.appendChild(rows);
  for (const p of P.list) {
    const first = p.nodes.length ? S.M.nodes[p.nodes[0]].id : null;
    const r = row(rows, { k: p.message, chip: "var(--warn)",
      title: first == null ? p.message : p.message + " (select " + first + ")",
      onClick: first == null ? null : () => selectNodeById(first, true) });
    r.classList.add("problem");
    r.dataset.kind = p.kind;
  }
  if (P.total > P.list.length) rows.appendChild(el("div", "empty", "… " + fmtInt(P.total - P.list.length) + " more"));
}

function showProblemBadge() {
  const n = S.M.problems.total, btn = $("problems-btn");
  btn.classList.toggle("hidden", !n);
  if (!n) return;
  $("problems-count").textContent = fmtInt(n);
  btn.title = fmtInt(n) + " problem" + (n === 1 ? "" : "s") + " found in this graph (P)";
}

function openProblems() {
  const panel = $("problems");
  if (!panel) return;
  if ($("side").classList.contains("hidden")) toggleSidebar();
  panel.scrollIntoView({ block: "start" });
  panel.classList.remove("flash"); void panel.offsetWidth; panel.classList.add("flash");
}

// cid: a core's key (coreKey), or null for none.
function setCore(cid) {
  S.core = cid;
  if (cid != null && S.V) {
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (const n of S.M.nodes) {
      if (n.core !== cid) continue;
      const u = S.V.units[S.V.unitOfNode[n.i]];
      x0 = Math.min(x0, u.x - u.w / 2); x1 = Math.max(x1, u.x + u.w / 2);
      y0 = Math.min(y0, u.y - u.h / 2); y1 = Math.max(y1, u.y + u.h / 2);
    }
    if (x0 < x1) fitBox(x0, y0, x1, y1, Math.max(S.vp.k, 0.6));
  }
  for (const r of document.querySelectorAll("[data-core-id]")) r.classList.toggle("on", cid != null && r.dataset.coreId === cid);
  root.dataset.core = cid == null ? "" : cid;
  refreshCoreUnits();
  redraw();
}
function refreshCoreUnits() {
  if (S.core == null || !S.V) { S.coreUnits = null; return; }
  const set = new Set();
  for (const n of S.M.nodes) if (n.core === S.core) set.add(S.V.unitOfNode[n.i]);
  S.coreUnits = set;
}

function renderDetails() {
  const panel = $("details");
  const sel = S.selected;
  panel.textContent = "";
  panel.classList.toggle("hidden", !sel);
  root.dataset.selected = sel ? (sel.kind === "node" ? S.M.nodes[sel.ref].id : "group:" + S.M.groups[sel.ref].id) : "";
  if (!sel) { resizeSoon(); return; }
  if (sel.kind === "node") nodeDetails(panel, S.M.nodes[sel.ref]); else groupDetails(panel, S.M.groups[sel.ref]);
  resizeSoon();
}
function resizeSoon() { requestAnimationFrame(resize); }

function detailsHead(panel, color, letter, small, big) {
  const h = el("div", "d-head");
  const sw = el("div", "swatch", letter); sw.style.background = color; if (isLight(color)) sw.style.color = "#1f2328";
  const names = el("div", "names");
  names.appendChild(el("div", "t", small)); names.appendChild(el("div", "n", big));
  const close = el("button", "btn ghost small", "✕"); close.title = "Close (Esc)"; close.setAttribute("aria-label", "Close details");
  close.addEventListener("click", () => select(null));
  h.appendChild(sw); h.appendChild(names); h.appendChild(close);
  panel.appendChild(h);
}

function nodeDetails(panel, node) {
  const rec = node.rec;
  detailsHead(panel, node.color, (node.type[0] || "?").toUpperCase(), node.type, node.id);
  const sh = section(panel, "Tensor shapes");
  kvList(sh, [["input", shapeText(rec.input_shape)], ["output", shapeText(rec.output_shape)]]);
  if (rec.hardware != null && typeof rec.hardware === "object") {
    const s = section(panel, "Hardware");
    const pairs = Object.keys(rec.hardware).map((k) => [k, valueText(rec.hardware[k])]);
    const dl = kvList(s, pairs);
    if (node.core != null && S.M.coreColors.has(node.core)) {
      const dd = dl.children[Object.keys(rec.hardware).indexOf("core_id") * 2 + 1];
      if (dd) { const c = el("span", "chip ring"); c.style.borderColor = S.M.coreColors.get(node.core); c.style.display = "inline-block"; c.style.verticalAlign = "-2px"; c.style.marginRight = "6px"; dd.prepend(c); }
    }
  }
  if (node.group >= 0) {
    // The node's group and the groups around it, outermost first.
    const s = section(panel, "Group"), rows = el("div", "rows"); s.appendChild(rows);
    const chain = [];
    for (let g = node.group; g >= 0; g = S.M.groups[g].parent) chain.unshift(S.M.groups[g]);
    for (const g of chain) {
      const r = row(rows, { k: g.icon + "  " + g.label, v: "collapse", chip: g.color, onClick: () => toggleGroup(g.gi, true) });
      if (g.depth) r.style.paddingLeft = 6 + 14 * Math.min(g.depth, 8) + "px";
    }
  }
  const cfg = rec.config != null && typeof rec.config === "object" ? rec.config : {};
  const keys = Object.keys(cfg);
  const cs = section(panel, "Config");
  if (keys.length) kvList(cs, keys.map((k) => [k, valueText(cfg[k])])); else cs.appendChild(el("div", "empty", "No configuration values"));
  const params = rec.params != null && typeof rec.params === "object" ? rec.params : {};
  const pkeys = Object.keys(params);
  const ps = section(panel, "Parameters", el("span", null, fmtInt(num(rec.param_count) || 0)));
  if (!pkeys.length) ps.appendChild(el("div", "empty", "No parameter arrays"));
  for (const k of pkeys) paramCard(ps, k, params[k]);
  const conn = section(panel, "Connections"), rows = el("div", "rows"); conn.appendChild(rows);
  const ins = S.M.edges.filter((e) => e.t === node.i), outs = S.M.edges.filter((e) => e.s === node.i);
  for (const e of ins.slice(0, 100)) { const o = S.M.nodes[e.s]; row(rows, { k: "← " + o.id, v: o.type, chip: PALETTES[S.theme].inEdge, onClick: () => selectNodeById(o.id, true) }); }
  for (const e of outs.slice(0, 100)) { const o = S.M.nodes[e.t]; row(rows, { k: "→ " + o.id, v: o.type, chip: PALETTES[S.theme].outEdge, onClick: () => selectNodeById(o.id, true) }); }
  if (!ins.length && !outs.length) rows.appendChild(el("div", "empty", "Not connected"));
}

function groupDetails(panel, g) {
  detailsHead(panel, g.color, g.icon, "Group · " + (g.rec.type == null ? "" : text(g.rec.type)), g.label);
  const s = section(panel, "Pattern");
  kvList(s, [["id", g.id], ["subtitle", g.subtitle || "—"], ["nodes", fmtInt(g.members.length)],
    ["inside", g.parent >= 0 ? S.M.groups[g.parent].label : "—"],
    ["entry", valueText(g.rec.entry_nodes)], ["exit", valueText(g.rec.exit_nodes)]]);
  const bar = el("div"); bar.style.marginTop = "10px";
  const collapsed = S.collapsed.has(g.gi);
  const b = el("button", "btn", collapsed ? "Expand group" : "Collapse group");
  b.addEventListener("click", () => toggleGroup(g.gi));
  bar.appendChild(b); s.appendChild(bar);
  if (g.rec.metadata != null && typeof g.rec.metadata === "object" && Object.keys(g.rec.metadata).length) {
    const ms = section(panel, "Metadata");
    kvList(ms, Object.keys(g.rec.metadata).map((k) => [k, valueText(g.rec.metadata[k])]));
  }
  if (g.children.length) {
    const ns = section(panel, "Nested groups"), nrows = el("div", "rows"); ns.appendChild(nrows);
    for (const ci of g.children.slice(0, 200)) {
      const c = S.M.groups[ci];
      row(nrows, { k: c.icon + "  " + c.label, v: fmtInt(c.members.length), chip: c.color,
        onClick: () => {
          S.selected = { kind: "group", ref: ci };
          const shown = expandAround(g.gi);
          if (shown) shown.then(focusSelection); else focusSelection();
        } });
    }
  }
  const mem = section(panel, "Members"), rows = el("div", "rows members"); mem.appendChild(rows);
  for (const ni of g.members.slice(0, 500)) {
    const n = S.M.nodes[ni];
    row(rows, { k: n.id, v: n.type, chip: n.color, onClick: () => selectNodeById(n.id, true) });
  }
}
