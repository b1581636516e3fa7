// viewer-model.js: the graph document read once; view units after collapsing groups
const ROUND_SHAPES = new Set(["ellipse", "circle", "oval", "diamond"]);
const HEADER_SHAPES = new Set(["rect", "box", "square", "round-rect", "roundrect", "rounded", "round_rect"]);

function readModel(doc) {
  if (doc == null || typeof doc !== "object" || Array.isArray(doc)) {
    throw new Error("The embedded graph document is missing or is not an object.");
  }
  if (!Array.isArray(doc.nodes)) throw new Error('The graph document has no "nodes" list.');
  const nodes = [], index = new Map();
  doc.nodes.forEach((rec, i) => {
    if (rec == null || typeof rec !== "object") throw new Error("Node record " + i + " is not an object.");
    const id = text(rec.id);
    const hw = rec.hardware != null && typeof rec.hardware === "object" ? rec.hardware : null;
    const node = {
      i, id, rec, type: rec.type == null ? "?" : text(rec.type),
      color: safeColor(rec.color, DEFAULT_COLOR),
      shape: typeof rec.shape === "string" ? rec.shape.toLowerCase() : "round-rect",
      border: rec.borderColor != null ? {
        color: safeColor(rec.borderColor, DEFAULT_COLOR),
        dashed: rec.borderStyle === "dashed", dotted: rec.borderStyle === "dotted",
        width: clamp(num(rec.borderWidth) || 2, 0.5, 8),
      } : null,
      core: coreKey(hw && hw.core_id),
      group: -1, search: null, fit: {},
    };
    sizeNode(node);
    nodes.push(node);
    if (!index.has(id)) index.set(id, i);
  });
  const edges = [];
  let skipped = 0;
  for (const e of Array.isArray(doc.edges) ? doc.edges : []) {
    const s = e == null ? undefined : index.get(text(e.source));
    const t = e == null ? undefined : index.get(text(e.target));
    if (s === undefined || t === undefined) { skipped++; continue; }
    // An edge the document marks as wrong (a shape mismatch, a missing end) says why.
    const warn = typeof e.problem === "string" && e.problem ? text(e.problem) : null;
    edges.push({ s, t, dashed: e.style === "dashed", cross: e.cross_core === true, warn });
  }
  const problems = readProblems(doc, index);
  const groups = [], groupIndex = new Map();
  for (const g of Array.isArray(doc.groups) ? doc.groups : []) {
    if (g == null || typeof g !== "object") continue;
    const gid = text(g.id);
    if (groupIndex.has(gid)) continue;
    const label = text(g.label != null ? g.label : g.type != null ? g.type : gid);
    const group = { gi: groups.length, id: gid, rec: g, label, subtitle: g.subtitle == null ? "" : text(g.subtitle),
      icon: g.icon == null || g.icon === "" ? "◫" : text(g.icon), color: safeColor(g.color, "#5C6BC0"),
      members: [], parent: -1, depth: 0, children: [], fit: {} };
    group.w = Math.round(clamp(Math.max(label.length * 7.6 + 30, group.subtitle.length * 6.4) + 40, 160, 270));
    group.h = 62;
    groupIndex.set(gid, group.gi);
    groups.push(group);
  }
  // A group holds the nodes its record lists and every node that names it as its group;
  // nesting follows from these sets (see nestGroups).
  const named = groups.map(() => []);
  const n2g = doc.node_to_group != null && typeof doc.node_to_group === "object" ? doc.node_to_group : {};
  for (const node of nodes) {
    const gid = hasOwn(n2g, node.id) ? n2g[node.id] : node.rec.group;
    if (gid == null) continue;
    const gi = groupIndex.get(text(gid));
    if (gi !== undefined) named[gi].push(node.i);
  }
  const lists = groups.map(() => []), stamp = new Int32Array(nodes.length).fill(-1);
  for (const g of groups) {
    const list = lists[g.gi], add = (ni) => { if (stamp[ni] !== g.gi) { stamp[ni] = g.gi; list.push(ni); } };
    if (Array.isArray(g.rec.nodes)) {
      for (const name of g.rec.nodes) {
        const ni = index.get(text(name));
        if (ni !== undefined) add(ni);
      }
    }
    for (const ni of named[g.gi]) add(ni);
  }
  const topDown = nestGroups(nodes, groups, lists);
  const metadata = doc.metadata != null && typeof doc.metadata === "object" ? doc.metadata : {};
  const version = readVersion(doc, metadata);
  const coreColors = new Map();
  if (Array.isArray(metadata.core_legend)) {
    for (const c of metadata.core_legend) if (c && c.core_id != null) coreColors.set(coreKey(c.core_id), safeColor(c.color, DEFAULT_COLOR));
  }
  return { doc, nodes, index, edges, skipped, groups, groupIndex, topDown, metadata, version, coreColors, problems,
    groupParent: Int32Array.from(groups, (g) => g.parent) };
}

// The document's problems list: each entry's message and the nodes it names (those the
// graph has); at most PROBLEMS_SHOWN are kept, the count of the rest in `more`.
const PROBLEMS_SHOWN = 500;
function readProblems(doc, index) {
  const list = Array.isArray(doc.problems) ? doc.problems.filter((p) => p != null && typeof p === "object") : [];
  const shown = list.slice(0, PROBLEMS_SHOWN).map((p) => ({
    kind: p.kind == null ? "" : text(p.kind),
    message: p.message == null ? text(p.kind) : text(p.message),
    nodes: (Array.isArray(p.nodes) ? p.nodes : []).map((n) => index.get(text(n))).filter((i) => i !== undefined),
  }));
  return { list: shown, total: list.length };
}

// The version shown in the header and the summary. NIR documents name their format and
// version in the metadata; those two keys are then not listed again with the rest.
function readVersion(doc, md) {
  if (hasOwn(md, "format") && md.format === "NIR") {
    const v = hasOwn(md, "nir_version") && md.nir_version != null ? text(md.nir_version)
      : doc.version != null ? text(doc.version).replace(/^NIR /, "") : "unknown";
    return { label: "NIR version", value: v, header: "NIR " + v, shownKeys: ["format", "nir_version"] };
  }
  const v = doc.version == null ? null : text(doc.version);
  return { label: "IR version", value: v == null ? "unknown" : v, header: v == null ? "" : "IR " + v, shownKeys: [] };
}

/* Nesting, by the rule the document's writer uses: a group whose node set lies wholly in
 * another's is inside the smallest such group. Each node then belongs to the smallest group
 * holding it (node.group) and to that group's ancestors; a group's `members` are all the
 * nodes inside it, nested ones included, in node order. Returns the groups outer first. */
function nestGroups(nodes, groups, lists) {
  const order = groups.map((g) => g.gi).sort((a, b) => lists[a].length - lists[b].length || a - b);
  const top = new Int32Array(nodes.length).fill(-1), count = new Int32Array(groups.length), seen = [];
  for (const k of order) {
    for (const ni of lists[k]) {
      const node = nodes[ni], t = top[ni];
      if (node.group < 0) node.group = k;
      if (t >= 0 && count[t]++ === 0) seen.push(t);
      top[ni] = k;
    }
    for (const t of seen) {
      if (count[t] === lists[t].length && groups[t].parent < 0) groups[t].parent = k;
      count[t] = 0;
    }
    seen.length = 0;
  }
  // A parent always comes later in `order`, so walking it backwards meets parents first.
  const topDown = order.slice().reverse();
  for (const gi of topDown) {
    const g = groups[gi];
    if (g.parent >= 0) { g.depth = groups[g.parent].depth + 1; groups[g.parent].children.push(gi); }
  }
  for (const g of groups) g.children.sort((a, b) => a - b);
  for (const node of nodes) for (let g = node.group; g >= 0; g = groups[g].parent) groups[g].members.push(node.i);
  return topDown;
}

// Cores are told apart by their id's text: a number and its digits name the same core.
function coreKey(v) { return v == null ? null : text(v); }

function sizeNode(node) {
  const rec = node.rec;
  const extra = [];
  const out = shapeShort(rec.output_shape);
  if (out) extra.push(out);
  if (Array.isArray(rec.display_params) && rec.config && typeof rec.config === "object") {
    for (const k of rec.display_params.slice(0, 3)) {
      const v = typeof k === "string" ? own(rec.config, k) : undefined;
      if (v === undefined) continue;
      const shown = Array.isArray(v) && v.length && v.every((x) => typeof x === "number") ? v.join("×") : valueText(v, 1);
      extra.push(k + "=" + shown.slice(0, 18));
    }
  }
  node.line3 = extra.join(" · ");
  let w = Math.max(node.type.length * 7.4, node.id.length * 6.6, node.line3.length * 6.2) + 30;
  w = clamp(w, 116, 230);
  if (ROUND_SHAPES.has(node.shape)) w *= 1.3;
  else if (node.shape === "hexagon" || node.shape === "octagon") w += 26;
  node.w = Math.round(w);
  node.h = node.line3 ? 56 : 46;
}

/* =========================================================================
 * View units: what is laid out once groups are collapsed
 * ========================================================================= */
function buildUnits(M, collapsed) {
  const units = [], unitOfNode = new Int32Array(M.nodes.length), unitOfGroup = new Int32Array(M.groups.length).fill(-1);
  // hiddenBy[g]: the outermost collapsed group around g (g itself included), or -1; its one
  // box stands for every node inside it, nested groups included.
  const hiddenBy = new Int32Array(M.groups.length).fill(-1);
  for (const gi of M.topDown) {
    const p = M.groups[gi].parent;
    hiddenBy[gi] = p >= 0 && hiddenBy[p] >= 0 ? hiddenBy[p] : collapsed.has(gi) ? gi : -1;
  }
  for (const node of M.nodes) {
    const g = node.group, h = g >= 0 ? hiddenBy[g] : -1;
    if (h >= 0) {
      if (unitOfGroup[h] < 0) {
        const grp = M.groups[h];
        unitOfGroup[h] = units.length;
        // A collapsed group is laid out as a member of the group around it.
        units.push({ kind: 1, ref: h, w: grp.w, h: grp.h, x: 0, y: 0, layoutGroup: grp.parent });
      }
      unitOfNode[node.i] = unitOfGroup[h];
    } else {
      unitOfNode[node.i] = units.length;
      units.push({ kind: 0, ref: node.i, w: node.w, h: node.h, x: 0, y: 0, layoutGroup: g });
    }
  }
  const edges = [], seen = new Map(), U = units.length;
  for (const e of M.edges) {
    const a = unitOfNode[e.s], b = unitOfNode[e.t];
    if (a === b) continue;
    const key = a * U + b;
    const at = seen.get(key);
    if (at !== undefined) {
      const x = edges[at];
      x.count++; x.dashed = x.dashed || e.dashed; x.cross = x.cross || e.cross;
      if (e.warn) x.warn = x.warn ? x.warn + "\n" + e.warn : e.warn;
      continue;
    }
    seen.set(key, edges.length);
    edges.push({ a, b, dashed: e.dashed, cross: e.cross, warn: e.warn, back: false, count: 1 });
  }
  return { units, unitOfNode, unitOfGroup, groupParent: M.groupParent, edges };
}

