// viewer-render.js: canvas drawing with level of detail and culling
const PALETTES = {
  light: {
    bg: "#fafbfc", edge: "#a3abb5", cross: "#e8590c", warn: "#e03131", back: "#7e57c2", inEdge: "#2f6feb", outEdge: "#d6336c",
    text: "#1f2328", muted: "#57606a", body: "#ffffff", bodyMix: 0.9, headerMix: 0, stroke: 0.18,
    select: "#2f6feb", match: "#f5b400", current: "#f76707", frameFill: 0.055, frameStroke: 0.5, shadow: "rgba(31,35,40,0.10)",
  },
  dark: {
    bg: "#12151a", edge: "#59636f", cross: "#ff8a3d", warn: "#ff6b6b", back: "#b39ddb", inEdge: "#5b9bff", outEdge: "#f06595",
    text: "#e6e8eb", muted: "#a2acb7", body: "#1c2027", bodyMix: 0.82, headerMix: 0.22, stroke: 0.1,
    select: "#5b9bff", match: "#ffd43b", current: "#ff922b", frameFill: 0.09, frameStroke: 0.55, shadow: "rgba(0,0,0,0.35)",
  },
};

function shapePath(ctx, shape, x, y, w, h) {
  switch (shape) {
    case "rect": case "box": case "square": ctx.rect(x, y, w, h); break;
    case "ellipse": case "circle": case "oval": ctx.ellipse(x + w / 2, y + h / 2, w / 2, h / 2, 0, 0, Math.PI * 2); break;
    case "diamond":
      ctx.moveTo(x + w / 2, y); ctx.lineTo(x + w, y + h / 2); ctx.lineTo(x + w / 2, y + h); ctx.lineTo(x, y + h / 2); ctx.closePath(); break;
    case "hexagon": case "octagon": {
      const d = Math.min(h / 2, 16);
      ctx.moveTo(x + d, y); ctx.lineTo(x + w - d, y); ctx.lineTo(x + w, y + h / 2);
      ctx.lineTo(x + w - d, y + h); ctx.lineTo(x + d, y + h); ctx.lineTo(x, y + h / 2); ctx.closePath(); break;
    }
    default: ctx.roundRect(x, y, w, h, 9);
  }
}

function fitText(ctx, text, maxW, cache, key) {
  const hit = cache[key], font = ctx.font;
  if (hit !== undefined && hit.w === maxW && hit.f === font) return hit.t;
  let t = text;
  if (ctx.measureText(t).width > maxW) {
    let lo = 0, hi = t.length;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (ctx.measureText(t.slice(0, mid) + "…").width <= maxW) lo = mid; else hi = mid - 1;
    }
    t = t.slice(0, lo) + "…";
  }
  cache[key] = { w: maxW, t, f: font };
  return t;
}

// Text lines of a unit's glyph: [text, font, colour-key, cache key].
function unitLines(M, u) {
  if (u.kind === 1) {
    const g = M.groups[u.ref];
    return [[g.icon + "  " + g.label, "600 12px", "head", "label"], [g.subtitle || g.members.length + " nodes", "11.5px", "text", "sub"],
      [g.members.length + " nodes · double-click to expand", "10.5px", "muted", "count"]];
  }
  const node = M.nodes[u.ref];
  const lines = [[node.type, "600 11.5px", "head", "type"], [node.id, "12px", "text", "name"]];
  if (node.line3) lines.push([node.line3, "10.5px mono", "muted", "line3"]);
  return lines;
}

function fontOf(font) {
  return font.endsWith(" mono") ? font.slice(0, -5) + " " + MONO : font + " " + SANS;
}

function drawUnit(ctx, M, u, pal, detail, text) {
  const collapsed = u.kind === 1;
  const item = collapsed ? M.groups[u.ref] : M.nodes[u.ref];
  const color = item.color;
  const shape = collapsed ? "round-rect" : item.shape;
  const x = u.x - u.w / 2, y = u.y - u.h / 2, w = u.w, h = u.h;
  const header = HEADER_SHAPES.has(shape) || collapsed;
  const headColor = pal.headerMix ? mix(color, "#000000", pal.headerMix) : color;
  const body = mix(color, pal.body, pal.bodyMix);
  if (collapsed && detail) {
    // A stack of cards says "there is more inside".
    for (const off of [8, 4]) {
      ctx.beginPath(); ctx.roundRect(x + off, y - off, w, h, 9);
      ctx.fillStyle = mix(color, pal.body, 0.75); ctx.fill();
      ctx.strokeStyle = alpha(color, 0.6); ctx.lineWidth = 1; ctx.stroke();
    }
  }
  ctx.beginPath(); shapePath(ctx, shape, x, y, w, h);
  ctx.fillStyle = !detail ? mix(color, pal.body, pal.bodyMix - 0.35) : header ? body : mix(color, pal.body, pal.bodyMix - 0.12);
  ctx.fill();
  if (detail && header) {
    ctx.save(); ctx.clip();
    ctx.fillStyle = headColor; ctx.fillRect(x, y, w, 21);
    ctx.restore();
  }
  const b = !collapsed && item.border;
  ctx.beginPath(); shapePath(ctx, shape, x, y, w, h);
  if (b) {
    // Core outlines stay visible when zoomed out: at least ~2 screen pixels.
    const z = Math.max(1, 1 / ctx.getTransform().a * (window.devicePixelRatio || 1));
    ctx.strokeStyle = b.color; ctx.lineWidth = Math.max(b.width, 2.2 * z);
    if (b.dashed) ctx.setLineDash([7 * z, 4 * z]); else if (b.dotted) ctx.setLineDash([2 * z, 3 * z]);
    ctx.stroke(); ctx.setLineDash([]);
  } else {
    ctx.strokeStyle = header ? mix(color, "#000000", pal.stroke) : color;
    ctx.lineWidth = collapsed ? 1.6 : header ? 1 : 1.5;
    ctx.stroke();
  }
  if (!text) return;
  if (text === "label") {
    // Zoomed out: one large label says what the box is.
    const t = collapsed ? item.label : item.type;
    ctx.font = "600 " + Math.round(h * (collapsed ? 0.3 : 0.4)) + "px " + SANS;
    ctx.textAlign = "center"; ctx.textBaseline = "middle";
    ctx.fillStyle = pal.text;
    ctx.fillText(fitText(ctx, t, w - 16, item.fit, "label"), u.x, u.y + 1);
    return;
  }
  const lines = unitLines(M, u);
  const headText = header ? (isLight(headColor) ? "#1f2328" : "#ffffff") : pal.text;
  const inset = shape === "diamond" ? w * 0.22 : shape === "hexagon" || shape === "octagon" ? 18 : ROUND_SHAPES.has(shape) ? w * 0.12 : 10;
  ctx.textAlign = "center"; ctx.textBaseline = "middle";
  let ys;
  if (header) {
    const rest = lines.length - 1, bodyTop = y + 21, bodyH = h - 21;
    ys = [y + 11];
    for (let i = 0; i < rest; i++) ys.push(bodyTop + (bodyH * (i + 0.5)) / rest);
  } else {
    const step = 14;
    ys = lines.map((_, i) => u.y + (i - (lines.length - 1) / 2) * step);
  }
  lines.forEach(([t, font, tone, key], i) => {
    ctx.font = fontOf(font);
    ctx.fillStyle = tone === "head" ? headText : tone === "text" ? pal.text : pal.muted;
    ctx.fillText(fitText(ctx, t, w - 2 * inset, item.fit, key), u.x, ys[i]);
  });
}

// Traces an edge's route: curves between ranks, straight through rank bands.
function traceEdge(ctx, V, e, curves) {
  const pts = V.pts, a = V.ptStart[e], b = V.ptStart[e + 1];
  ctx.moveTo(pts[2 * a], pts[2 * a + 1]);
  if (V.edges[e].back && b - a === 4) {
    // a returning edge: its route is one cubic curve (start, two control points, end)
    if (curves) { ctx.bezierCurveTo(pts[2 * a + 2], pts[2 * a + 3], pts[2 * a + 4], pts[2 * a + 5], pts[2 * a + 6], pts[2 * a + 7]); return; }
  }
  for (let p = a + 1; p < b; p++) {
    const x0 = pts[2 * p - 2], y0 = pts[2 * p - 1], x1 = pts[2 * p], y1 = pts[2 * p + 1];
    if (!curves || (V.TB ? x0 === x1 : y0 === y1)) ctx.lineTo(x1, y1);
    else if (V.TB) { const d = (y1 - y0) / 2; ctx.bezierCurveTo(x0, y0 + d, x1, y1 - d, x1, y1); }
    else { const d = (x1 - x0) / 2; ctx.bezierCurveTo(x0 + d, y0, x1 - d, y1, x1, y1); }
  }
}
function arrowHead(ctx, V, e, size, curves) {
  const pts = V.pts, b = V.ptStart[e + 1] - 1;
  const x1 = pts[2 * b], y1 = pts[2 * b + 1], x0 = pts[2 * b - 2], y0 = pts[2 * b - 1];
  let dx, dy;
  if (curves && !V.edges[e].back) { if (V.TB) { dx = 0; dy = Math.sign(y1 - y0) || 1; } else { dx = Math.sign(x1 - x0) || 1; dy = 0; } }
  else { const l = Math.hypot(x1 - x0, y1 - y0) || 1; dx = (x1 - x0) / l; dy = (y1 - y0) / l; }
  ctx.moveTo(x1, y1);
  ctx.lineTo(x1 - dx * size - dy * size * 0.5, y1 - dy * size + dx * size * 0.5);
  ctx.lineTo(x1 - dx * size + dy * size * 0.5, y1 - dy * size - dx * size * 0.5);
  ctx.closePath();
}

const frameTitleColor = (g, pal) => (pal === PALETTES.dark ? mix(g.color, "#ffffff", 0.35) : mix(g.color, "#000000", 0.35));

function drawFrames(ctx, M, V, pal, vis, k, text, selectedGroup) {
  for (const f of V.frames) {
    if (vis && (f.x1 < vis.x0 || f.x0 > vis.x1 || f.y1 < vis.y0 || f.y0 > vis.y1)) continue;
    const g = M.groups[f.gi];
    ctx.beginPath(); ctx.roundRect(f.x0, f.y0, f.x1 - f.x0, f.y1 - f.y0, 12);
    ctx.fillStyle = alpha(g.color, pal.frameFill); ctx.fill();
    if (f.gi === selectedGroup) { ctx.strokeStyle = pal.select; ctx.lineWidth = Math.max(2.5, 2 / k); }
    else { ctx.strokeStyle = alpha(g.color, pal.frameStroke); ctx.lineWidth = Math.max(1.2, 0.8 / k); }
    ctx.stroke();
    if (text !== true) continue;
    const titleColor = frameTitleColor(g, pal);
    ctx.textAlign = "left"; ctx.textBaseline = "middle";
    ctx.font = "600 12px " + SANS; ctx.fillStyle = titleColor;
    const room = f.x1 - f.x0 - 44;
    const label = fitText(ctx, g.icon + "  " + g.label, room, g.fit, "frame");
    ctx.fillText(label, f.x0 + 12, f.y0 + 15);
    const used = ctx.measureText(label).width;
    if (g.subtitle && room - used > 40) {
      ctx.font = "11px " + SANS; ctx.fillStyle = pal.muted;
      ctx.fillText(fitText(ctx, g.subtitle, room - used - 12, g.fit, "frameSub"), f.x0 + 24 + used, f.y0 + 15);
    }
    // Collapse button.
    ctx.beginPath(); ctx.arc(f.x1 - 16, f.y0 + 15, 8, 0, Math.PI * 2);
    ctx.fillStyle = alpha(g.color, 0.16); ctx.fill();
    ctx.strokeStyle = titleColor; ctx.lineWidth = 1.5;
    ctx.beginPath(); ctx.moveTo(f.x1 - 20, f.y0 + 15); ctx.lineTo(f.x1 - 12, f.y0 + 15); ctx.stroke();
  }
  if (text === "label") drawFarLabels(ctx, M, V, pal, vis, k);
}

// Zoomed out: the labels alone, at a constant 11px on screen, in a column beside the
// outermost frame so that they never cover the nodes inside; nested groups' labels are
// indented, and left out where they would run into the label above.
function drawFarLabels(ctx, M, V, pal, vis, k) {
  ctx.font = "600 " + 11 / k + "px " + SANS; ctx.textAlign = "left"; ctx.textBaseline = "middle";
  ctx.strokeStyle = pal.bg; ctx.lineWidth = 3 / k; ctx.lineJoin = "round";
  let root = null, bottom = -Infinity;
  for (const f of V.frameColumn) {
    const r = V.frameOf.get(f.root);
    if (r !== root) { root = r; bottom = -Infinity; }
    const y = f.y0 + 8 / k;
    if (y - 7 / k < bottom) continue;
    bottom = y + 7 / k;
    const x = r.x1 + (6 + 12 * f.depth) / k;
    if (vis && (y < vis.y0 || y > vis.y1 || x > vis.x1 || x + 170 / k < vis.x0)) continue;
    const g = M.groups[f.gi];
    const label = fitText(ctx, g.icon + " " + g.label, 160 / k, g.fit, "frameFar");
    ctx.fillStyle = frameTitleColor(g, pal);
    ctx.strokeText(label, x, y);
    ctx.fillText(label, x, y);
  }
}

/* One function draws the screen, the PNG export and the benchmarks.
 * vp = {tx, ty, k, W, H} in CSS pixels; marks = hover/selection/search state. */
function drawScene(ctx, M, V, vp, pal, marks, cull) {
  const { tx, ty, k, W, H } = vp;
  ctx.fillStyle = pal.bg; ctx.fillRect(0, 0, W, H);
  ctx.save(); ctx.translate(tx, ty); ctx.scale(k, k);
  const margin = 40 / k;
  const vis = cull ? { x0: -tx / k - margin, y0: -ty / k - margin, x1: (W - tx) / k + margin, y1: (H - ty) / k + margin } : null;
  const stats = { nodes: 0, edges: 0, borders: 0, crossCore: 0, frames: 0 };
  const focus = marks ? (marks.hover >= 0 ? marks.hover : marks.selected) : -1;
  const dimmed = marks && marks.core != null ? marks.coreUnits : null;
  drawFrames(ctx, M, V, pal, vis, k, !cull || k * 12 >= 6 ? true : k >= 0.15 ? "label" : false, marks ? marks.group : -1);
  // Edges, batched by style.
  const curves = !cull || k >= 0.16;
  const buckets = { plain: [], dashed: [], cross: [], inE: [], outE: [], warn: [], back: [] };
  const eb = V.ebox;
  for (let e = 0; e < V.edges.length; e++) {
    if (vis && (eb[4 * e + 2] < vis.x0 || eb[4 * e] > vis.x1 || eb[4 * e + 3] < vis.y0 || eb[4 * e + 1] > vis.y1)) continue;
    const ed = V.edges[e];
    stats.edges++;
    if (focus >= 0 && ed.b === focus) buckets.inE.push(e);
    else if (focus >= 0 && ed.a === focus) buckets.outE.push(e);
    else if (ed.warn) buckets.warn.push(e);
    else if (ed.cross) { buckets.cross.push(e); stats.crossCore++; }
    else if (ed.back) buckets.back.push(e);
    else if (ed.dashed) buckets.dashed.push(e);
    else buckets.plain.push(e);
  }
  const lw = Math.max(1.25, 0.9 / k);
  const strokeBucket = (list, color, width, dash, arrows) => {
    if (!list.length) return;
    ctx.beginPath();
    for (const e of list) traceEdge(ctx, V, e, curves);
    ctx.strokeStyle = color; ctx.lineWidth = width;
    ctx.setLineDash(dash ? dash.map((d) => d * Math.max(1, 1 / k)) : []);
    ctx.stroke(); ctx.setLineDash([]);
    if (arrows && (!cull || k >= 0.3)) {
      ctx.beginPath();
      for (const e of list) arrowHead(ctx, V, e, 3.5 + width * 2.2, curves);
      ctx.fillStyle = color; ctx.fill();
    }
  };
  if (dimmed) ctx.globalAlpha = 0.35;
  strokeBucket(buckets.plain, pal.edge, lw, null, true);
  strokeBucket(buckets.dashed, pal.edge, lw, [6, 4], true);
  strokeBucket(buckets.back, pal.back, lw * 1.3, null, true);
  ctx.globalAlpha = 1;
  strokeBucket(buckets.warn, pal.warn, Math.max(2.4, 1.8 / k), [8, 3], true);
  strokeBucket(buckets.cross, pal.cross, Math.max(2.2, 1.6 / k), [7, 4], true);
  strokeBucket(buckets.inE, pal.inEdge, Math.max(2.4, 1.6 / k), null, true);
  strokeBucket(buckets.outE, pal.outEdge, Math.max(2.4, 1.6 / k), null, true);
  // Nodes.
  const tiny = cull && 40 * k < 4, detail = !cull || k >= 0.4;
  const text = !cull || k * 11 >= 6 ? true : k * 19 >= 6 ? "label" : false;
  const batches = tiny ? new Map() : null;
  for (let i = 0; i < V.units.length; i++) {
    const u = V.units[i];
    if (vis && (u.x + u.w / 2 < vis.x0 || u.x - u.w / 2 > vis.x1 || u.y + u.h / 2 < vis.y0 || u.y - u.h / 2 > vis.y1)) continue;
    stats.nodes++;
    const item = u.kind === 1 ? M.groups[u.ref] : M.nodes[u.ref];
    if (u.kind === 0 && item.border) stats.borders++;
    if (dimmed) ctx.globalAlpha = dimmed.has(i) ? 1 : 0.22;
    if (tiny) {
      const c = u.kind === 0 && item.border ? item.border.color : item.color;
      let list = batches.get(c);
      if (!list) batches.set(c, (list = []));
      list.push(u);
    } else drawUnit(ctx, M, u, pal, detail, text);
  }
  if (tiny) {
    for (const [c, list] of batches) {
      ctx.fillStyle = c;
      for (const u of list) ctx.fillRect(u.x - u.w / 2, u.y - u.h / 2, u.w, u.h);
    }
  }
  ctx.globalAlpha = 1;
  if (marks) drawMarks(ctx, V, pal, marks, k, focus);
  ctx.restore();
  stats.frames = V.frames.length;
  return stats;
}

function ring(ctx, u, pad, color, width) {
  ctx.beginPath(); ctx.roundRect(u.x - u.w / 2 - pad, u.y - u.h / 2 - pad, u.w + 2 * pad, u.h + 2 * pad, 11 + pad / 2);
  ctx.strokeStyle = color; ctx.lineWidth = width; ctx.stroke();
}
function drawMarks(ctx, V, pal, marks, k, focus) {
  const w = Math.max(2.5, 2 / k);
  for (const i of marks.matchUnits) ring(ctx, V.units[i], 5, pal.match, w);
  if (marks.current >= 0) ring(ctx, V.units[marks.current], 5, pal.current, w * 1.3);
  if (focus >= 0) {
    for (const e of V.inEdges[focus]) ring(ctx, V.units[V.edges[e].a], 3, pal.inEdge, Math.max(1.8, 1.5 / k));
    for (const e of V.outEdges[focus]) ring(ctx, V.units[V.edges[e].b], 3, pal.outEdge, Math.max(1.8, 1.5 / k));
  }
  if (marks.selected >= 0) ring(ctx, V.units[marks.selected], 4, pal.select, w);
}

