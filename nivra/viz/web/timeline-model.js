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

  const M = {
    n, cores, types, names: new Array(n), precision: new Array(n),
    start: new Float64Array(n), end: new Float64Array(n), core: new Int32Array(n),
    type: new Int32Array(n), stage: new Int32Array(n), crit: new Uint8Array(n),
    unit: own(doc, "unit") === "us" ? "us" : "unit",
    placeholder: own(doc, "latency_source") !== "profile",
    notes: Array.isArray(own(doc, "notes")) ? own(doc, "notes").map(String) : [],
    graphPage: typeof own(doc, "graph_page") === "string" ? own(doc, "graph_page") : null,
    ignoredDeps: Number(own(doc, "ignored_deps")) || 0,
  };
  let makespan = 0, first = 0;
  for (let i = 0; i < n; i++) {
    M.names[i] = String(names[i]);
    const s = finite(cStart[i], "The start of node " + i), e = finite(cEnd[i], "The end of node " + i);
    M.start[i] = s;
    M.end[i] = Math.max(s, e);
    if (M.end[i] > makespan) makespan = M.end[i];
    if (s < first) first = s;
    M.core[i] = index(cCore[i], cores.length, "The core of node " + i);
    M.type[i] = cType ? index(cType[i], types.length, "The type of node " + i) : 0;
    M.precision[i] = cPrec && cPrec[i] != null ? String(cPrec[i]) : "";
    M.stage[i] = cStage && Number.isInteger(cStage[i]) ? cStage[i] : -1;
    cores[M.core[i]].count++;
  }
  M.makespan = makespan;
  M.first = first;   // 0, unless a hand-made document starts earlier

  // Lanes: entry ids of each core by start time, and the running largest end, which is
  // what the binary search of a visible window needs when bars of one core overlap.
  const order = Array.from({ length: cores.length }, () => []);
  for (let i = 0; i < n; i++) order[M.core[i]].push(i);
  M.lanes = order.map((ids) => {
    ids.sort((a, b) => M.start[a] - M.start[b] || a - b);
    const lane = Int32Array.from(ids), reach = new Float64Array(lane.length);
    let r = -Infinity;
    for (let j = 0; j < lane.length; j++) { r = Math.max(r, M.end[lane[j]]); reach[j] = r; }
    return { ids: lane, reach };
  });
  M.slot = new Int32Array(n);   // position of each entry inside its lane
  M.lanes.forEach((l) => l.ids.forEach((id, j) => { M.slot[id] = j; }));

  const deps = own(doc, "deps");
  const src = own(deps, "source") || [], dst = own(deps, "target") || [];
  if (!Array.isArray(src) || !Array.isArray(dst) || src.length !== dst.length) throw new Error('"deps.source" and "deps.target" must be lists of one length.');
  M.depSrc = new Int32Array(src.length); M.depDst = new Int32Array(src.length);
  for (let k = 0; k < src.length; k++) {
    M.depSrc[k] = index(src[k], n, "A dependency's source");
    M.depDst[k] = index(dst[k], n, "A dependency's target");
  }
  const path = own(doc, "critical_path") || [];
  if (!Array.isArray(path)) throw new Error('"critical_path" must be a list.');
  M.path = Int32Array.from(path.map((v) => index(v, n, "A node of the critical path")));
  for (const i of M.path) M.crit[i] = 1;
  M.critLength = M.path.length ? M.end[M.path[M.path.length - 1]] - M.start[M.path[0]] : 0;
  M.critHops = 0;
  for (let k = 1; k < M.path.length; k++) if (M.core[M.path[k]] !== M.core[M.path[k - 1]]) M.critHops++;
  M.byName = null;   // name -> first entry, built on first use
  M.search = null;   // lower-case "name\ntype" per entry, built on first search
  return M;
}

function entryOf(M, name) {
  if (!M.byName) {
    M.byName = new Map();
    for (let i = M.n - 1; i >= 0; i--) M.byName.set(M.names[i], i);
  }
  const i = M.byName.get(String(name));
  return i === undefined ? -1 : i;
}

// Inputs and outputs of an entry among the dependencies between cores.
function depsOf(M, i) {
  const ins = [], outs = [];
  for (let k = 0; k < M.depSrc.length; k++) {
    if (M.depDst[k] === i) ins.push(M.depSrc[k]);
    if (M.depSrc[k] === i) outs.push(M.depDst[k]);
  }
  return { ins, outs };
}
