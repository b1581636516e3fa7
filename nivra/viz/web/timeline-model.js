// timeline-model.js: the timeline document read into typed arrays, one sorted lane per core
// Only own properties of the document are read, and every value is checked, so a damaged
// or hand-made document gives a message instead of a broken drawing.
const own = (o, k) => (o != null && typeof o === "object" && Object.prototype.hasOwnProperty.call(o, k) ? o[k] : undefined);

function column(table, key, n, required) {
  const v = own(table, key);
  if (v === undefined && !required) return null;
  if (!Array.isArray(v)) throw new Error('The timeline document has no list "nodes.' + key + '".');
  if (n >= 0 && v.length !== n) throw new Error('"nodes.' + key + '" holds ' + v.length + " values for " + n + " nodes.");
  return v;
}
function finite(v, what) {
  const x = Number(v);
  if (typeof v !== "number" || !Number.isFinite(x)) throw new Error(what + " is not a finite number: " + String(v).slice(0, 40));
  return x;
}
function index(v, size, what) {
  if (!Number.isInteger(v) || v < 0 || v >= size) throw new Error(what + " is out of range: " + String(v).slice(0, 40));
  return v;
}

function readModel(doc) {
  if (doc == null || typeof doc !== "object" || Array.isArray(doc)) {
    throw new Error("The embedded document is not a timeline document (an object was expected).");
  }
  const coreList = own(doc, "cores") === undefined ? [] : own(doc, "cores");
  const typeList = own(doc, "types") === undefined ? [] : own(doc, "types");
  if (!Array.isArray(coreList) || !Array.isArray(typeList)) throw new Error('"cores" and "types" must be lists.');
  const cores = coreList.map((c, i) => ({
    label: own(c, "label") != null ? String(own(c, "label")) : "Core " + i,
    color: /^#[0-9a-f]{3,8}$/i.test(own(c, "color")) ? own(c, "color") : DEFAULT_COLOR,
    busy: Number(own(c, "busy")) || 0, idle: Number(own(c, "idle")) || 0, count: 0,
  }));
  const types = typeList.map((t) => ({
    name: own(t, "name") != null ? String(own(t, "name")) : "?",
    color: /^#[0-9a-f]{3,8}$/i.test(own(t, "color")) ? own(t, "color") : DEFAULT_COLOR,
  }));
  if (!types.length) types.push({ name: "?", color: DEFAULT_COLOR });

  const table = own(doc, "nodes") === undefined ? {} : own(doc, "nodes");
  const names = column(table, "name", -1, own(doc, "nodes") !== undefined) || [];
  const n = names.length;
  const cStart = column(table, "start", n, n > 0) || [], cEnd = column(table, "end", n, n > 0) || [];
  const cCore = column(table, "core", n, n > 0) || [], cType = column(table, "type", n, false);
  const cPrec = column(table, "precision", n, false), cStage = column(table, "stage", n, false);
  if (n > 0 && !cores.length) throw new Error("The timeline document has nodes but no cores.");

  // Runs: node i at timestep k. A document without runs has one run per node.
  const runTable = own(doc, "runs");
  const rNode = runTable !== undefined && n > 0 ? column(runTable, "node", -1, true) : null;
  const m = rNode ? rNode.length : n;
  // as many timesteps as the runs can fill, whatever the document claims
  const given = own(doc, "timesteps");
  const T = rNode && Number.isInteger(given) && given >= 1 ? Math.min(given, Math.max(1, Math.ceil(m / n))) : 1;
  const rStep = rNode ? column(runTable, "timestep", m, true) : null;
  const rStart = rNode ? column(runTable, "start", m, true) : cStart, rEnd = rNode ? column(runTable, "end", m, true) : cEnd;
  const rVia = rNode ? column(runTable, "via", m, false) : null;

  const M = {
    n: m, nodes: n, T, cores, types, names: new Array(m), precision: new Array(m),
    start: new Float64Array(m), end: new Float64Array(m), core: new Int32Array(m),
    type: new Int32Array(m), stage: new Int32Array(m), crit: new Uint8Array(m),
    node: new Int32Array(m), step: new Int32Array(m), via: new Int32Array(m).fill(-1),
    unit: own(doc, "unit") === "us" ? "us" : "unit",
    placeholder: own(doc, "latency_source") !== "profile",
    notes: Array.isArray(own(doc, "notes")) ? own(doc, "notes").map(String) : [],
    graphPage: typeof own(doc, "graph_page") === "string" ? own(doc, "graph_page") : null,
    ignoredDeps: Number(own(doc, "ignored_deps")) || 0,
  };
  const nodeCore = new Int32Array(n), nodeType = new Int32Array(n), nodeName = new Array(n), nodePrec = new Array(n), nodeStage = new Int32Array(n);
  for (let i = 0; i < n; i++) {
    nodeName[i] = String(names[i]);
    finite(cStart[i], "The start of node " + i); finite(cEnd[i], "The end of node " + i);
    nodeCore[i] = index(cCore[i], cores.length, "The core of node " + i);
    nodeType[i] = cType ? index(cType[i], types.length, "The type of node " + i) : 0;
    nodePrec[i] = cPrec && cPrec[i] != null ? String(cPrec[i]) : "";
    nodeStage[i] = cStage && Number.isInteger(cStage[i]) ? cStage[i] : -1;
    cores[nodeCore[i]].count++;
  }
  const runOf = new Int32Array(n * T).fill(-1);   // (timestep, node) -> run
  let makespan = 0, first = 0;
  for (let r = 0; r < m; r++) {
    const i = rNode ? index(rNode[r], n, "The node of run " + r) : r;
    const k = rStep ? index(rStep[r], T, "The timestep of run " + r) : 0;
    const s = finite(rStart[r], "The start of run " + r), e = finite(rEnd[r], "The end of run " + r);
    M.node[r] = i; M.step[r] = k; M.start[r] = s; M.end[r] = Math.max(s, e);
    if (M.end[r] > makespan) makespan = M.end[r];
    if (s < first) first = s;
    M.names[r] = nodeName[i]; M.core[r] = nodeCore[i]; M.type[r] = nodeType[i];
    M.precision[r] = nodePrec[i]; M.stage[r] = nodeStage[i];
    if (rVia && Number.isInteger(rVia[r]) && rVia[r] >= 0 && rVia[r] < m) M.via[r] = rVia[r];
    runOf[k * n + i] = r;
  }
  M.runOf = runOf;
  M.makespan = makespan;
  M.first = first;   // 0, unless a hand-made document starts earlier
  M.completion = new Float64Array(T);
  for (let r = 0; r < m; r++) if (M.end[r] > M.completion[M.step[r]]) M.completion[M.step[r]] = M.end[r];
  const interval = Number(own(doc, "interval"));
  M.interval = T > 1 && Number.isFinite(interval) && interval >= 0 ? interval : null;
  const stepLatency = Number(own(doc, "timestep_latency"));
  M.stepLatency = Number.isFinite(stepLatency) ? stepLatency : M.completion[0] || 0;
  const bottleneck = own(doc, "bottleneck_core");
  M.bottleneck = bottleneck == null ? -1 : coreList.findIndex((c) => own(c, "id") === bottleneck);
  const limits = own(doc, "limits");
  M.limits = { neurons: Number(own(limits, "max_neurons_per_core")) || 0, bytes: Number(own(limits, "sram_bytes_per_core")) || 0 };
  const span0 = makespan - first;
  coreList.forEach((c, k) => {
    const core = cores[k], given = Number(own(c, "busy_share"));
    core.share = clamp(M.interval != null && Number.isFinite(given) ? given : span0 > 0 ? core.busy / span0 : 0, 0, 1);
    const nn = Number(own(c, "neurons")), pb = Number(own(c, "param_bytes"));
    core.neurons = Number.isFinite(nn) && nn >= 0 && own(c, "neurons") != null ? nn : null;
    core.paramBytes = Number.isFinite(pb) && pb >= 0 && own(c, "param_bytes") != null ? pb : null;
    core.over = (M.limits.neurons > 0 && core.neurons != null && core.neurons > M.limits.neurons) ||
      (M.limits.bytes > 0 && core.paramBytes != null && core.paramBytes > M.limits.bytes);
  });
  // odd timesteps are drawn a shade lighter, so that neighbouring timesteps stand apart
  for (const t of types) t.shade = mix(t.color, "#ffffff", 0.38);

  // Lanes: run ids of each core by start time, and the running largest end, which is
  // what the binary search of a visible window needs when bars of one core overlap.
  const order = Array.from({ length: cores.length }, () => []);
  for (let r = 0; r < m; r++) order[M.core[r]].push(r);
  M.lanes = order.map((ids) => {
    ids.sort((a, b) => M.start[a] - M.start[b] || a - b);
    const lane = Int32Array.from(ids), reach = new Float64Array(lane.length);
    let x = -Infinity;
    for (let j = 0; j < lane.length; j++) { x = Math.max(x, M.end[lane[j]]); reach[j] = x; }
    return { ids: lane, reach };
  });
  M.slot = new Int32Array(m);   // position of each run inside its lane
  M.lanes.forEach((l) => l.ids.forEach((id, j) => { M.slot[id] = j; }));

  // Dependencies between runs: one per timestep, from the source's run of the same
  // timestep, or of the one before for a recurrent dependency (lag 1).
  const deps = own(doc, "deps");
  const src = own(deps, "source") || [], dst = own(deps, "target") || [], lag = own(deps, "lag") || [];
  if (!Array.isArray(src) || !Array.isArray(dst) || src.length !== dst.length) throw new Error('"deps.source" and "deps.target" must be lists of one length.');
  const ds = [], dd = [], dl = [];
  for (let k = 0; k < src.length; k++) {
    const a = index(src[k], n, "A dependency's source"), b = index(dst[k], n, "A dependency's target");
    const l = Array.isArray(lag) && lag[k] === 1 ? 1 : 0;
    for (let t = l; t < T; t++) {
      const ra = runOf[(t - l) * n + a], rb = runOf[t * n + b];
      if (ra >= 0 && rb >= 0) { ds.push(ra); dd.push(rb); dl.push(l); }
    }
  }
  M.depSrc = Int32Array.from(ds); M.depDst = Int32Array.from(dd); M.depLag = Uint8Array.from(dl);
  // The arrows by the end of their source, with the running latest start of their target:
  // a window is entered by binary search, as a lane is (see firstReaching).
  const byEnd = Array.from(M.depSrc.keys()).sort((a, b) => M.end[M.depSrc[a]] - M.end[M.depSrc[b]] || a - b);
  const depReach = new Float64Array(byEnd.length);
  let far = -Infinity;
  for (let j = 0; j < byEnd.length; j++) { far = Math.max(far, M.start[M.depDst[byEnd[j]]]); depReach[j] = far; }
  M.depLane = { ids: Int32Array.from(byEnd), reach: depReach };
  M.depAt = null;   // per run, the arrows that start or end at it, built on first use
  const path = own(doc, "critical_path") || [];
  if (!Array.isArray(path)) throw new Error('"critical_path" must be a list.');
  M.firstPath = path.map((v) => index(v, n, "A node of the critical path")).map((i) => runOf[i]).filter((r) => r >= 0);
  setCriticalStep(M, 0);
  M.byName = null;   // name -> first entry, built on first use
  M.search = null;   // lower-case "name\ntype" per entry, built on first search
  return M;
}

// The critical path of timestep k: from its last end back along the runs that fixed each
// start, as long as they belong to timestep k. The first timestep's is the document's own.
function setCriticalStep(M, k) {
  let path = M.firstPath;
  if (k > 0 && k < M.T) {
    let last = -1;
    for (let r = 0; r < M.n; r++) if (M.step[r] === k && (last < 0 || M.end[r] > M.end[last])) last = r;
    path = [];
    for (let r = last; r >= 0 && M.step[r] === k; r = M.via[r]) path.push(r);
    path.reverse();
  }
  M.critStep = k;
  M.path = Int32Array.from(path);
  M.crit.fill(0);
  for (const i of M.path) M.crit[i] = 1;
  M.critLength = M.path.length ? M.end[M.path[M.path.length - 1]] - M.start[M.path[0]] : 0;
  M.critEnd = M.path.length ? M.end[M.path[M.path.length - 1]] : M.makespan;
  M.critHops = 0;
  for (let j = 1; j < M.path.length; j++) if (M.core[M.path[j]] !== M.core[M.path[j - 1]]) M.critHops++;
}

function entryOf(M, name) {
  if (!M.byName) {
    M.byName = new Map();
    for (let i = M.n - 1; i >= 0; i--) M.byName.set(M.names[i], i);   // the first timestep's run
  }
  const i = M.byName.get(String(name));
  return i === undefined ? -1 : i;
}

// The arrows that start or end at run i (indices into depSrc / depDst).
function depsAt(M, i) {
  if (!M.depAt) {
    const count = new Int32Array(M.n + 1), k2 = M.depSrc.length;
    for (let k = 0; k < k2; k++) { count[M.depSrc[k] + 1]++; count[M.depDst[k] + 1]++; }
    for (let r = 0; r < M.n; r++) count[r + 1] += count[r];
    const list = new Int32Array(2 * k2), fill = count.slice(0, M.n);
    for (let k = 0; k < k2; k++) { list[fill[M.depSrc[k]]++] = k; list[fill[M.depDst[k]]++] = k; }
    M.depAt = { start: count, list };
  }
  return M.depAt.list.subarray(M.depAt.start[i], M.depAt.start[i + 1]);
}

// Inputs and outputs of an entry among the dependencies between cores.
function depsOf(M, i) {
  const ins = [], outs = [];
  for (const k of depsAt(M, i)) {
    if (M.depDst[k] === i) ins.push(M.depSrc[k]);
    if (M.depSrc[k] === i) outs.push(M.depDst[k]);
  }
  return { ins, outs };
}
