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
    const id = String(rec.id);
    const hw = rec.hardware != null && typeof rec.hardware === "object" ? rec.hardware : null;
    const node = {
      i, id, rec, type: rec.type == null ? "?" : String(rec.type),
      color: safeColor(rec.color, DEFAULT_COLOR),
      shape: typeof rec.shape === "string" ? rec.shape.toLowerCase() : "round-rect",
      border: rec.borderColor != null ? {
        color: safeColor(rec.borderColor, DEFAULT_COLOR),
        dashed: rec.borderStyle === "dashed", dotted: rec.borderStyle === "dotted",
        width: clamp(Number(rec.borderWidth) || 2, 0.5, 8),
      } : null,
      core: hw && hw.core_id != null ? hw.core_id : null,
      group: -1, search: null, fit: {},
    };
    sizeNode(node);
    nodes.push(node);
    if (!index.has(id)) index.set(id, i);
  });
  const edges = [];
  let skipped = 0;
  for (const e of Array.isArray(doc.edges) ? doc.edges : []) {
    const s = e == null ? undefined : index.get(String(e.source));
    const t = e == null ? undefined : index.get(String(e.target));
    if (s === undefined || t === undefined) { skipped++; continue; }
    edges.push({ s, t, dashed: e.style === "dashed", cross: e.cross_core === true });
  }
  const groups = [], groupIndex = new Map();
  for (const g of Array.isArray(doc.groups) ? doc.groups : []) {
    if (g == null || typeof g !== "object") continue;
    const gid = String(g.id);
    if (groupIndex.has(gid)) continue;
    const label = String(g.label != null ? g.label : g.type != null ? g.type : gid);
    const group = { gi: groups.length, id: gid, rec: g, label, subtitle: g.subtitle == null ? "" : String(g.subtitle),
      icon: g.icon == null || g.icon === "" ? "◫" : String(g.icon), color: safeColor(g.color, "#5C6BC0"), members: [], fit: {} };
    group.w = Math.round(clamp(Math.max(label.length * 7.6 + 30, group.subtitle.length * 6.4) + 40, 160, 270));
    group.h = 62;
    groupIndex.set(gid, group.gi);
    groups.push(group);
  }
  const n2g = doc.node_to_group != null && typeof doc.node_to_group === "object" ? doc.node_to_group : {};
  for (const node of nodes) {
    let gid = Object.prototype.hasOwnProperty.call(n2g, node.id) ? n2g[node.id] : node.rec.group;
    if (gid == null) continue;
    const gi = groupIndex.get(String(gid));
    if (gi !== undefined) node.group = gi;
  }
  for (const g of groups) {
    if (!Array.isArray(g.rec.nodes)) continue;
    for (const name of g.rec.nodes) {
      const ni = index.get(String(name));
      if (ni !== undefined && nodes[ni].group < 0) nodes[ni].group = g.gi;
    }
  }
  for (const node of nodes) if (node.group >= 0) groups[node.group].members.push(node.i);
  const metadata = doc.metadata != null && typeof doc.metadata === "object" ? doc.metadata : {};
  const version = readVersion(doc, metadata);
  const coreColors = new Map();
  if (Array.isArray(metadata.core_legend)) {
    for (const c of metadata.core_legend) if (c && c.core_id != null) coreColors.set(String(c.core_id), safeColor(c.color, DEFAULT_COLOR));
  }
  return { doc, nodes, index, edges, skipped, groups, groupIndex, metadata, version, coreColors };
}

// The version shown in the header and the summary. NIR documents name their format and
// version in the metadata; those two keys are then not listed again with the rest.
function readVersion(doc, md) {
  const own = (key) => Object.prototype.hasOwnProperty.call(md, key);
  if (own("format") && md.format === "NIR") {
    const v = own("nir_version") && md.nir_version != null ? String(md.nir_version)
      : doc.version != null ? String(doc.version).replace(/^NIR /, "") : "unknown";
    return { label: "NIR version", value: v, header: "NIR " + v, shownKeys: ["format", "nir_version"] };
  }
  const v = doc.version == null ? null : String(doc.version);
  return { label: "IR version", value: v == null ? "unknown" : v, header: v == null ? "" : "IR " + v, shownKeys: [] };
}

function sizeNode(node) {
  const rec = node.rec;
  const extra = [];
  const out = shapeShort(rec.output_shape);
  if (out) extra.push(out);
  if (Array.isArray(rec.display_params) && rec.config && typeof rec.config === "object") {
    for (const k of rec.display_params.slice(0, 3)) {
      const v = rec.config[k];
      if (typeof k !== "string" || v === undefined) continue;
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
  for (const node of M.nodes) {
    const g = node.group;
    if (g >= 0 && collapsed.has(g)) {
      if (unitOfGroup[g] < 0) {
        const grp = M.groups[g];
        unitOfGroup[g] = units.length;
        units.push({ kind: 1, ref: g, w: grp.w, h: grp.h, x: 0, y: 0, layoutGroup: -1 });
      }
      unitOfNode[node.i] = unitOfGroup[g];
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
      continue;
    }
    seen.set(key, edges.length);
    edges.push({ a, b, dashed: e.dashed, cross: e.cross, count: 1 });
  }
  return { units, unitOfNode, unitOfGroup, edges };
}

