// timeline-panel.js: the summary panel (totals, notes, cores, critical path, selected node)
// and the link to the graph page. Every text goes in through textContent.
function stat(value, label, cls) {
  const d = el("div", "stat" + (cls ? " " + cls : ""));
  d.append(el("b", null, value), el("span", null, label));
  return d;
}
function section(title, id) {
  const s = el("section", "sec");
  if (id) s.id = id;
  s.append(el("h2", null, title));
  return s;
}
const latencyOf = (M, i) => M.end[i] - M.start[i];

function renderSummary() {
  const M = S.M, side = $("side");
  side.textContent = "";
  const span0 = M.interval != null ? M.interval : M.makespan - M.first;
  const busy = M.cores.reduce((a, c) => a + c.busy, 0);
  const util = span0 > 0 && M.cores.length ? Math.min(1, busy / (span0 * M.cores.length)) : 0;
  const many = M.T > 1;

  const top = section("Schedule");
  const stats = el("div", "stats");
  stats.append(
    stat(M.n ? fmtTime(M, M.critLength) : "\u2014", (many ? "critical path of timestep " + M.critStep + ", " : "critical path, ") + fmtInt(M.path.length) + " nodes", "crit"),
    stat(fmtInt(M.nodes), "scheduled nodes"),
    stat(fmtInt(M.cores.length), "cores"),
    stat(span0 > 0 ? Math.round(util * 100) + "%" : "\u2014", "mean core utilisation"),
  );
  if (many) {
    stats.append(stat(fmtInt(M.T), "timesteps"), stat(fmtTime(M, M.stepLatency), "first timestep, start to end"));
    if (M.interval != null) stats.append(stat(fmtTime(M, M.interval), "interval", "interval"), stat(fmtTime(M, M.makespan), "all timesteps"));
  }
  stats.querySelector(".crit b").id = "crit-length";
  top.append(stats);
  side.append(top);

  side.append(section("Selected node", "details"));

  const how = section("How the times were found");
  M.notes.forEach((t, k) => how.append(el("p", "note" + (k === 1 && M.placeholder ? " warn" : ""), t)));
  if (!M.notes.length) how.append(el("p", "note", "The document does not say how its times were found."));
  how.append(el("p", "note", fmtInt(M.depSrc.length) + (many ? " dependencies between runs on different cores" : " dependencies between cores") + "; the critical path crosses cores " + fmtInt(M.critHops) + " times."));
  side.append(how);

  const cores = section(many ? "Cores: busy share and resources" : "Cores: busy and idle", "cores");
  const rows = el("div", "rows");
  M.cores.forEach((core, c) => {
    const r = el("div", "row core");
    const chip = el("span", "chip"); chip.style.background = core.color;
    const share = core.share;
    const text = el("span", "k");
    text.append(el("b", null, core.label + (c === M.bottleneck && many ? " \u00b7 bottleneck" : "")),
      el("small", null, many ? "busy " + fmtTime(M, core.busy) + " per timestep" : "busy " + fmtTime(M, core.busy) + " \u00b7 idle " + fmtTime(M, core.idle)));
    r.append(chip, text, el("span", "v", span0 > 0 ? Math.round(share * 100) + "%" : ""));
    r.dataset.core = String(c);
    r.title = core.label + ": busy " + fmtTime(M, core.busy) + ", idle " + fmtTime(M, core.idle) + ", " + fmtInt(core.count) + " nodes";
    r.addEventListener("click", () => { scrollTo(c * S.laneH - (S.vp.H - AXIS_H - S.laneH) / 2); stage.focus(); });
    rows.append(r);
    const res = resourceBars(M, core, many);
    if (res) rows.append(res);
  });
  cores.append(el("p", "note", many ? "Busy share of the interval, and what each core holds against the partition's limits."
    : "Busy and idle time of each core within the critical path's length."), rows);
  side.append(cores);

  const types = section("Node types");
  const counts = new Array(M.types.length).fill(0);
  for (let i = 0; i < M.n; i++) counts[M.type[i]]++;
  const trows = el("div", "rows");
  M.types.forEach((t, k) => {
    if (!counts[k]) return;
    const r = el("div", "row");
    const chip = el("span", "chip"); chip.style.background = t.color;
    r.append(chip, el("span", "k", t.name), el("span", "v", fmtInt(counts[k])));
    r.title = "Search for " + t.name;
    r.addEventListener("click", () => { $("search").value = t.name; runSearch(t.name); });
    trows.append(r);
  });
  types.append(trows);

  const crit = section("Critical path");
  const list = el("div", "rows"), LIMIT = 200;
  for (const i of M.path.slice(0, LIMIT)) {
    const r = el("div", "row");
    const chip = el("span", "chip"); chip.style.background = M.types[M.type[i]].color;
    r.append(chip, el("span", "k", M.names[i]), el("span", "v", M.cores[M.core[i]].label + " \u00b7 " + fmtTime(M, latencyOf(M, i))));
    r.addEventListener("click", () => selectEntry(i, true));
    list.append(r);
  }
  crit.append(list);
  if (M.path.length > LIMIT) crit.append(el("div", "more", "\u2026 and " + fmtInt(M.path.length - LIMIT) + " more"));
  if (!M.path.length) crit.append(el("div", "empty", "Nothing is scheduled."));
  side.append(crit, types);
  renderDetails();
}

// Bars of a core's busy share (several timesteps only), neurons and parameter bytes,
// against the partition's limits where the document names them; null when nothing is known.
function resourceBars(M, core, many) {
  const box = el("div", "res" + (core.over ? " over" : ""));
  const bar = (key, label, value, limit, text) => {
    const line = el("div", "res-line");
    line.dataset.key = key;
    const track = el("span", "track"), fill = el("span", "fill");
    const frac = limit > 0 ? value / limit : null, over = frac != null && frac > 1;
    fill.style.width = (frac == null ? 0 : Math.round(clamp(frac, 0, 1) * 100)) + "%";
    if (over) line.classList.add("over");
    track.append(fill);
    line.append(el("span", "rk", label), track, el("span", "rv", text + (over ? " \u2014 over the limit" : "")));
    box.append(line);
  };
  if (many) bar("busy", "busy", core.share, 1, Math.round(core.share * 100) + "% of the interval");
  if (core.neurons != null) bar("neurons", "neurons", core.neurons, M.limits.neurons,
    fmtInt(core.neurons) + (M.limits.neurons ? " / " + fmtInt(M.limits.neurons) : ""));
  if (core.paramBytes != null) bar("bytes", "parameters", core.paramBytes, M.limits.bytes,
    fmtBytes(core.paramBytes) + (M.limits.bytes ? " / " + fmtBytes(M.limits.bytes) : ""));
  return box.childNodes.length ? box : null;
}
const fmtBytes = (b) => (b >= 1 << 20 ? Number((b / (1 << 20)).toPrecision(3)) + " MiB" : b >= 1024 ? Number((b / 1024).toPrecision(3)) + " KiB" : fmtInt(b) + " B");

function renderDetails() {
  const M = S.M, box = $("details"), i = S.selected;
  if (!box) return;
  box.textContent = "";
  box.append(el("h2", null, "Selected node"));
  if (i < 0) { box.append(el("div", "empty", "Click a bar to see its node here.")); return; }
  const { ins, outs } = depsOf(M, i);
  const dl = el("dl", "kv");
  const rows = [
    ["node", M.names[i]], ["type", M.types[M.type[i]].name], ["precision", M.precision[i] || "\u2014"],
    ["core", M.cores[M.core[i]].label], ["stage", M.stage[i] >= 0 ? String(M.stage[i]) : "\u2014"],
    ...(M.T > 1 ? [["timestep", String(M.step[i])]] : []),
    ["start", fmtTime(M, M.start[i], 6)], ["end", fmtTime(M, M.end[i], 6)], ["latency", fmtTime(M, latencyOf(M, i), 6)],
    ["inputs from other cores", ins.length ? ins.slice(0, 8).map((k) => M.names[k]).join(", ") + (ins.length > 8 ? ", \u2026" : "") : "none"],
    ["outputs to other cores", outs.length ? outs.slice(0, 8).map((k) => M.names[k]).join(", ") + (outs.length > 8 ? ", \u2026" : "") : "none"],
  ];
  if (M.crit[i]) rows.push(["critical path", "on it"]);
  for (const [k, v] of rows) dl.append(el("dt", null, k), el("dd", null, v));
  box.append(dl);
  const href = graphLink(i);
  if (href) {
    const a = el("a", "btn", "Show in the graph view");
    a.href = href; a.id = "details-graph-link";
    box.append(a);
  }
}

// The graph page with `node` selected and a way back here, or null when the document names
// no graph page or the page is not a file or web page (a notebook's inline frame).
function graphLink(i) {
  const M = S.M;
  if (!M.graphPage) return null;
  let url;
  try { url = new URL(M.graphPage, location.href); } catch (e) { return null; }
  if (!/^(https?|file):$/.test(location.protocol) || url.protocol !== location.protocol) return null;
  const params = new URLSearchParams();
  if (i >= 0) params.set("node", M.names[i]);
  params.set("timeline", location.href.split("#")[0]);
  url.hash = params.toString();
  return url.href;
}
function updateGraphLink() {
  const a = $("graph-link"), href = graphLink(S.selected);
  a.classList.toggle("hidden", !href);
  if (href) a.href = href; else a.removeAttribute("href");
}
