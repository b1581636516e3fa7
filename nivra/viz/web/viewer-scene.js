// viewer-scene.js: the laid-out drawing: bounds, group frames, hit-test index
const CELL = 256;
// A group's frame around its members and the frames inside it (world units, per level).
const FRAME_PAD = { side: 14, top: 30, bottom: 12 };
const FRAME_HEADER = 26;   // the band at the top of a frame holding its label and button

function applyLayout(M, V, R, rankdir) {
  const TB = rankdir === "TB", n = V.units.length, m = V.edges.length;
  for (let i = 0; i < n; i++) {
    const u = V.units[i];
    u.x = TB ? R.x[i] : R.y[i];
    u.y = TB ? R.y[i] : R.x[i];
  }
  const pts = R.pts;
  if (!TB) for (let i = 0; i < pts.length; i += 2) { const t = pts[i]; pts[i] = pts[i + 1]; pts[i + 1] = t; }
  V.pts = pts; V.ptStart = R.ptStart; V.TB = TB;
  if (R.back) for (let e = 0; e < m; e++) V.edges[e].back = R.back[e] === 1;
  const ebox = new Float32Array(m * 4);
  for (let e = 0; e < m; e++) {
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (let p = R.ptStart[e]; p < R.ptStart[e + 1]; p++) {
      const x = pts[2 * p], y = pts[2 * p + 1];
      if (x < x0) x0 = x; if (x > x1) x1 = x; if (y < y0) y0 = y; if (y > y1) y1 = y;
    }
    ebox[4 * e] = x0; ebox[4 * e + 1] = y0; ebox[4 * e + 2] = x1; ebox[4 * e + 3] = y1;
  }
  V.ebox = ebox;
  // Frames of expanded groups, innermost first: each around its own units, then padded and
  // added to its parent's, so that nested frames sit inside one another.
  const frameOf = new Map(), levels = [];
  const frame = (gi) => {
    let f = frameOf.get(gi);
    if (!f) {
      const depth = M.groups[gi].depth;
      f = { gi, depth, x0: Infinity, y0: Infinity, x1: -Infinity, y1: -Infinity };
      frameOf.set(gi, f);
      (levels[depth] || (levels[depth] = [])).push(f);
    }
    return f;
  };
  for (const u of V.units) {
    if (u.layoutGroup < 0) continue;
    const f = frame(u.layoutGroup);
    f.x0 = Math.min(f.x0, u.x - u.w / 2); f.x1 = Math.max(f.x1, u.x + u.w / 2);
    f.y0 = Math.min(f.y0, u.y - u.h / 2); f.y1 = Math.max(f.y1, u.y + u.h / 2);
  }
  for (let d = levels.length - 1; d >= 0; d--) {
    for (const f of levels[d] || []) {
      f.x0 -= FRAME_PAD.side; f.x1 += FRAME_PAD.side; f.y0 -= FRAME_PAD.top; f.y1 += FRAME_PAD.bottom;
      const p = M.groups[f.gi].parent;
      if (p < 0) continue;
      const pf = frame(p);
      pf.x0 = Math.min(pf.x0, f.x0); pf.x1 = Math.max(pf.x1, f.x1); pf.y0 = Math.min(pf.y0, f.y0); pf.y1 = Math.max(pf.y1, f.y1);
    }
  }
  // Outer frames first, so that inner ones are drawn over them and hit first.
  const frames = Array.from(frameOf.values());
  frames.sort((a, b) => a.depth - b.depth || (b.x1 - b.x0) * (b.y1 - b.y0) - (a.x1 - a.x0) * (a.y1 - a.y0));
  for (const f of frames) { const p = M.groups[f.gi].parent; f.root = p < 0 ? f.gi : frameOf.get(p).root; }
  V.frames = frames; V.frameOf = frameOf;
  // Zoomed out, labels stand in one column per outermost frame, top to bottom.
  V.frameColumn = frames.slice().sort((a, b) => a.root - b.root || a.y0 - b.y0 || a.depth - b.depth);
  let bx0 = Infinity, by0 = Infinity, bx1 = -Infinity, by1 = -Infinity;
  for (const u of V.units) {
    bx0 = Math.min(bx0, u.x - u.w / 2); bx1 = Math.max(bx1, u.x + u.w / 2);
    by0 = Math.min(by0, u.y - u.h / 2); by1 = Math.max(by1, u.y + u.h / 2);
  }
  for (const f of frames) { bx0 = Math.min(bx0, f.x0); by0 = Math.min(by0, f.y0); bx1 = Math.max(bx1, f.x1); by1 = Math.max(by1, f.y1); }
  for (let e = 0; e < m; e++) {
    // the curves of returning edges run beside the drawing
    if (!V.edges[e].back) continue;
    bx0 = Math.min(bx0, ebox[4 * e]); by0 = Math.min(by0, ebox[4 * e + 1]);
    bx1 = Math.max(bx1, ebox[4 * e + 2]); by1 = Math.max(by1, ebox[4 * e + 3]);
  }
  if (!n) { bx0 = by0 = 0; bx1 = by1 = 1; }
  V.bounds = { x0: bx0, y0: by0, x1: bx1, y1: by1 };
  // Spatial hash for hit-testing.
  const grid = new Map();
  V.units.forEach((u, i) => {
    const cx0 = Math.floor((u.x - u.w / 2) / CELL), cx1 = Math.floor((u.x + u.w / 2) / CELL);
    const cy0 = Math.floor((u.y - u.h / 2) / CELL), cy1 = Math.floor((u.y + u.h / 2) / CELL);
    for (let cx = cx0; cx <= cx1; cx++) for (let cy = cy0; cy <= cy1; cy++) {
      const key = cx * 1048576 + cy;
      let list = grid.get(key);
      if (!list) grid.set(key, (list = []));
      list.push(i);
    }
  });
  V.grid = grid;
  // Edge lists per unit, for hover and details.
  V.inEdges = V.units.map(() => []); V.outEdges = V.units.map(() => []);
  V.edges.forEach((e, i) => { V.outEdges[e.a].push(i); V.inEdges[e.b].push(i); });
  V.stats = { ranks: R.ranks, dummies: R.dummies, crossings: R.crossings, timings: R.timings };
}

function hitUnit(V, wx, wy) {
  const list = V.grid.get(Math.floor(wx / CELL) * 1048576 + Math.floor(wy / CELL));
  if (!list) return -1;
  for (let j = list.length - 1; j >= 0; j--) {
    const u = V.units[list[j]];
    if (Math.abs(wx - u.x) <= u.w / 2 && Math.abs(wy - u.y) <= u.h / 2) return list[j];
  }
  return -1;
}
// The marked (warn) edge passing within `tol` of a point, or -1; routes are sampled along
// the curves the renderer draws.
function hitWarnEdge(V, wx, wy, tol) {
  const pts = V.pts, eb = V.ebox;
  for (let e = 0; e < V.edges.length; e++) {
    if (!V.edges[e].warn) continue;
    if (wx < eb[4 * e] - tol || wx > eb[4 * e + 2] + tol || wy < eb[4 * e + 1] - tol || wy > eb[4 * e + 3] + tol) continue;
    const a = V.ptStart[e], b = V.ptStart[e + 1];
    for (let p = a + 1; p < b; p++) {
      const x0 = pts[2 * p - 2], y0 = pts[2 * p - 1], x1 = pts[2 * p], y1 = pts[2 * p + 1];
      for (let i = 0; i <= 8; i++) {
        const t = i / 8, s = t * t * (3 - 2 * t);   // the bezier's ease between ranks
        const x = V.TB ? x0 + (x1 - x0) * s : x0 + (x1 - x0) * t, y = V.TB ? y0 + (y1 - y0) * t : y0 + (y1 - y0) * s;
        if (Math.hypot(x - wx, y - wy) <= tol) return e;
      }
    }
  }
  return -1;
}
function hitFrameHeader(V, wx, wy) {
  for (let j = V.frames.length - 1; j >= 0; j--) {
    const f = V.frames[j];
    if (wx >= f.x0 && wx <= f.x1 && wy >= f.y0 && wy <= f.y0 + FRAME_HEADER) return f;
  }
  return null;
}

