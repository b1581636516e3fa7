// viewer-scene.js: the laid-out drawing: bounds, group frames, hit-test index
const CELL = 256;

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
  // Frames of expanded groups around their members.
  const frames = [];
  const acc = new Map();
  for (const u of V.units) {
    if (u.kind !== 0 || u.layoutGroup < 0) continue;
    let f = acc.get(u.layoutGroup);
    if (!f) { f = { gi: u.layoutGroup, x0: Infinity, y0: Infinity, x1: -Infinity, y1: -Infinity }; acc.set(u.layoutGroup, f); frames.push(f); }
    f.x0 = Math.min(f.x0, u.x - u.w / 2); f.x1 = Math.max(f.x1, u.x + u.w / 2);
    f.y0 = Math.min(f.y0, u.y - u.h / 2); f.y1 = Math.max(f.y1, u.y + u.h / 2);
  }
  for (const f of frames) { f.x0 -= 14; f.x1 += 14; f.y0 -= 30; f.y1 += 12; }
  frames.sort((a, b) => (b.x1 - b.x0) * (b.y1 - b.y0) - (a.x1 - a.x0) * (a.y1 - a.y0));
  V.frames = frames;
  let bx0 = Infinity, by0 = Infinity, bx1 = -Infinity, by1 = -Infinity;
  for (const u of V.units) {
    bx0 = Math.min(bx0, u.x - u.w / 2); bx1 = Math.max(bx1, u.x + u.w / 2);
    by0 = Math.min(by0, u.y - u.h / 2); by1 = Math.max(by1, u.y + u.h / 2);
  }
  for (const f of frames) { bx0 = Math.min(bx0, f.x0); by0 = Math.min(by0, f.y0); bx1 = Math.max(bx1, f.x1); by1 = Math.max(by1, f.y1); }
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
function hitFrameHeader(V, wx, wy) {
  for (let j = V.frames.length - 1; j >= 0; j--) {
    const f = V.frames[j];
    if (wx >= f.x0 && wx <= f.x1 && wy >= f.y0 && wy <= f.y0 + 26) return f;
  }
  return null;
}

