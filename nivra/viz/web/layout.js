// layout.js: layered layout of a directed graph (also run in a Web Worker)
/* =========================================================================
 * Layout engine: layered drawing of a directed graph.
 *
 * Self-contained on purpose: the page runs it inside a Web Worker built from
 * this very function's source text, or on the main thread in time slices when
 * a worker cannot start. Everything works on a private layout object `L` in an
 * abstract frame: the rank axis ("along", top to bottom) and the order axis
 * ("cross", left to right); the page maps it to TB or LR afterwards.
 *
 * Phases, in order (the Sugiyama scheme):
 *   breakCycles    set aside the back edges found by a depth-first search (the edges
 *                  that close a cycle): ranks, order and positions follow the others,
 *                  and each back edge returns as a curve beside the ranks it spans
 *   assignRanks    longest-path layering, sources pulled down to their users
 *   insertDummies  an edge spanning k ranks becomes a chain of k-1 dummies
 *   orderLayers    barycenter sweeps (Sugiyama, Tagawa, Toda 1981), crossings
 *                  counted with an accumulator tree (Barth, Juenger, Mutzel
 *                  2002); members of one group, nested groups included, are
 *                  kept side by side
 *   assignPositions  alternating sweeps that pull each node to the weighted
 *                  mean of its neighbours, solved per layer exactly as an
 *                  isotonic regression with minimum gaps (pool adjacent
 *                  violators), so nodes never overlap; room is left for the
 *                  frames of (nested) groups
 *   routeEdges     polylines through the dummy slots, with spread ports
 * ========================================================================= */
function nivraLayoutModule() {
  "use strict";
  const clock = () => (typeof performance !== "undefined" ? performance.now() : Date.now());

  // input.group[v]: the innermost group of node v, or -1; input.groupParent[g]: the group
  // around group g, or -1 (absent: groups do not nest). opts.framePad: the room a group's
  // frame takes per level, [before, after] on the order axis then on the rank axis.
  function createLayout(input) {
    const opts = Object.assign({ nodeSep: 28, rankSep: 44, dummySep: 12, orderSweeps: 0, positionSweeps: 0, framePad: null }, input.opts || {});
    const L = { n: input.n, cross: input.cross, along: input.along, src: input.src, dst: input.dst, opts, timings: {} };
    nestGroups(L, input.group, input.groupParent);
    return L;
  }

  /* --- groups ------------------------------------------------------------ */
  // Checks the group input once: out-of-range ids become -1, and a parent link that would
  // close a loop is dropped. Sets L.group (per node), L.parent and L.depth.
  function nestGroups(L, group, groupParent) {
    const n = L.n, g = new Int32Array(n).fill(-1);
    let G = groupParent ? groupParent.length : 0, grouped = false;
    if (group && groupParent) {
      for (let v = 0; v < n; v++) { const k = group[v]; if (k >= 0 && k < G) { g[v] = k; grouped = true; } }
    } else if (group) {
      // Flat groups under any ids: numbered 0, 1, ... here.
      const ids = new Map();
      for (let v = 0; v < n; v++) {
        const k = group[v];
        if (k < 0) continue;
        if (!ids.has(k)) ids.set(k, ids.size);
        g[v] = ids.get(k); grouped = true;
      }
      G = ids.size;
    }
    const parent = new Int32Array(G).fill(-1), depth = new Int32Array(G).fill(-1), path = [];
    if (groupParent) for (let k = 0; k < G; k++) { const p = groupParent[k]; if (p >= 0 && p < G && p !== k) parent[k] = p; }
    for (let k = 0; k < G; k++) {
      let p = k;
      while (p >= 0 && depth[p] === -1) { depth[p] = -2; path.push(p); p = parent[p]; }
      if (p >= 0 && depth[p] === -2) { parent[path[path.length - 1]] = -1; p = -1; }
      let d = p >= 0 ? depth[p] + 1 : 0;
      for (let i = path.length - 1; i >= 0; i--) depth[path[i]] = d++;
      path.length = 0;
    }
    L.group = g; L.grouped = grouped; L.G = G; L.parent = parent; L.depth = depth;
  }

  // The innermost group holding both a and b (group ids), or -1.
  function commonGroup(L, a, b) {
    if (a < 0 || b < 0) return -1;
    const parent = L.parent, depth = L.depth;
    while (depth[a] > depth[b]) a = parent[a];
    while (depth[b] > depth[a]) b = parent[b];
    while (a !== b) { a = parent[a]; b = parent[b]; }
    return a;
  }
  const levels = (L, g) => (g < 0 ? 0 : L.depth[g] + 1);

  // Compressed adjacency (CSR) of `count` nodes from parallel endpoint arrays.
  function csr(count, from, to, m) {
    const start = new Int32Array(count + 1);
    for (let e = 0; e < m; e++) start[from[e] + 1]++;
    for (let i = 0; i < count; i++) start[i + 1] += start[i];
    const fill = start.slice(0, count), list = new Int32Array(m), edge = new Int32Array(m);
    for (let e = 0; e < m; e++) { const p = fill[from[e]]++; list[p] = to[e]; edge[p] = e; }
    return { start, list, edge };
  }

  /* --- phase 1: acyclic -------------------------------------------------- */
  function breakCycles(L) {
    const n = L.n, m = L.src.length, src = L.src, dst = L.dst;
    const out = csr(n, src, dst, m);
    const indeg = new Int32Array(n);
    for (let e = 0; e < m; e++) indeg[dst[e]]++;
    const state = new Uint8Array(n), reversed = new Uint8Array(m);
    const stack = new Int32Array(n), cursor = new Int32Array(n);
    const visit = (root) => {
      let sp = 0; stack[sp++] = root; state[root] = 1; cursor[root] = out.start[root];
      while (sp > 0) {
        const v = stack[sp - 1];
        if (cursor[v] < out.start[v + 1]) {
          const p = cursor[v]++, w = out.list[p];
          if (state[w] === 1) reversed[out.edge[p]] = 1;
          else if (state[w] === 0) { state[w] = 1; cursor[w] = out.start[w]; stack[sp++] = w; }
        } else { state[v] = 2; sp--; }
      }
    };
    for (let v = 0; v < n; v++) if (indeg[v] === 0 && state[v] === 0) visit(v);
    for (let v = 0; v < n; v++) if (state[v] === 0) visit(v);
    let f = 0;
    for (let e = 0; e < m; e++) if (!reversed[e]) f++;
    // eu/ev: the forward edges; fwd maps them to the input's edge numbers.
    const eu = new Int32Array(f), ev = new Int32Array(f), fwd = new Int32Array(f);
    f = 0;
    for (let e = 0; e < m; e++) if (!reversed[e]) { eu[f] = src[e]; ev[f] = dst[e]; fwd[f++] = e; }
    L.back = reversed; L.eu = eu; L.ev = ev; L.fwd = fwd;
  }

  /* --- phase 2: ranks ---------------------------------------------------- */
  function assignRanks(L) {
    const n = L.n, m = L.eu.length;
    const out = csr(n, L.eu, L.ev, m), inn = csr(n, L.ev, L.eu, m);
    const indeg = new Int32Array(n), rank = new Int32Array(n), topo = new Int32Array(n);
    for (let e = 0; e < m; e++) indeg[L.ev[e]]++;
    let head = 0, tail = 0;
    for (let v = 0; v < n; v++) if (indeg[v] === 0) topo[tail++] = v;
    while (head < tail) {
      const v = topo[head++];
      for (let p = out.start[v]; p < out.start[v + 1]; p++) {
        const w = out.list[p];
        if (rank[v] + 1 > rank[w]) rank[w] = rank[v] + 1;
        if (--indeg[w] === 0) topo[tail++] = w;
      }
    }
    // Sources feeding deep into the graph (a second input, a constant) sit
    // right above their first user instead of on the top rank.
    for (let i = n - 1; i >= 0; i--) {
      const v = topo[i];
      if (inn.start[v + 1] > inn.start[v] || out.start[v + 1] === out.start[v]) continue;
      let best = Infinity;
      for (let p = out.start[v]; p < out.start[v + 1]; p++) best = Math.min(best, rank[out.list[p]]);
      if (best - 1 > rank[v]) rank[v] = best - 1;
    }
    // A node without edges in a group sits at the top of its group's members, not on the
    // top rank where the group's frame would have to reach for it.
    const top = new Map();
    for (let v = 0; v < n; v++) {
      const g = L.group[v];
      if (g >= 0 && out.start[v + 1] + inn.start[v + 1] > out.start[v] + inn.start[v]) top.set(g, Math.min(top.has(g) ? top.get(g) : Infinity, rank[v]));
    }
    for (let v = 0; v < n; v++) {
      if (out.start[v + 1] > out.start[v] || inn.start[v + 1] > inn.start[v] || !top.has(L.group[v])) continue;
      rank[v] = top.get(L.group[v]);
    }
    let maxRank = 0;
    for (let v = 0; v < n; v++) if (rank[v] > maxRank) maxRank = rank[v];
    L.rank = rank; L.numRanks = n ? maxRank + 1 : 0;
  }

  /* --- phase 3: normalize ------------------------------------------------ */
  function insertDummies(L) {
    const n = L.n, m = L.eu.length, rank = L.rank;
    let extra = 0;
    for (let e = 0; e < m; e++) extra += Math.max(0, rank[L.ev[e]] - rank[L.eu[e]] - 1);
    const N = n + extra;
    const nodeRank = new Int32Array(N), crossSize = new Float64Array(N), alongSize = new Float64Array(N);
    const group = new Int32Array(N).fill(-1);
    for (let v = 0; v < n; v++) {
      nodeRank[v] = rank[v]; crossSize[v] = L.cross[v]; alongSize[v] = L.along[v];
      group[v] = L.group[v];
    }
    const segCount = m + extra;
    const su = new Int32Array(segCount), sv = new Int32Array(segCount), sw = new Float64Array(segCount);
    const chainStart = new Int32Array(m + 1), chain = new Int32Array(extra);
    let next = n, s = 0, c = 0;
    for (let e = 0; e < m; e++) {
      chainStart[e] = c;
      const u = L.eu[e], v = L.ev[e];
      let prev = u;
      const gu = group[u], gv = group[v];
      for (let r = rank[u] + 1; r < rank[v]; r++) {
        const d = next++;
        nodeRank[d] = r; crossSize[d] = L.opts.dummySep; alongSize[d] = 0;
        group[d] = gu === gv ? gu : commonGroup(L, gu, gv);   // the slot runs inside both ends' groups
        chain[c++] = d;
        su[s] = prev; sv[s] = d; sw[s] = prev >= n ? 8 : 2; s++;
        prev = d;
      }
      su[s] = prev; sv[s] = v; sw[s] = prev >= n ? 2 : 1; s++;
    }
    chainStart[m] = c;
    L.N = N; L.nodeRank = nodeRank; L.crossSize = crossSize; L.alongSize = alongSize; L.groupOf = group;
    L.su = su; L.sv = sv; L.sw = sw; L.chainStart = chainStart; L.chain = chain;
    L.down = csr(N, su, sv, segCount); L.up = csr(N, sv, su, segCount);
  }

  /* --- phase 4: order ---------------------------------------------------- */
  function initialOrder(L) {
    // Depth-first from the top: children land next to their parents.
    const N = L.N, R = L.numRanks, down = L.down;
    const layers = Array.from({ length: R }, () => []);
    const seen = new Uint8Array(N), stack = [];
    const roots = [];
    for (let v = 0; v < N; v++) if (L.up.start[v + 1] === L.up.start[v]) roots.push(v);
    roots.sort((a, b) => L.nodeRank[a] - L.nodeRank[b] || a - b);
    const push = (v) => { seen[v] = 1; stack.push(v); };
    for (const root of roots.concat(Array.from({ length: N }, (_, i) => i))) {
      if (seen[root]) continue;
      push(root);
      while (stack.length) {
        const v = stack.pop();
        layers[L.nodeRank[v]].push(v);
        for (let p = down.start[v + 1] - 1; p >= down.start[v]; p--) { const w = down.list[p]; if (!seen[w]) push(w); }
      }
    }
    return layers;
  }

  function crossingsBetween(L, upper, lower, pos) {
    // Accumulator tree over the lower layer's positions.
    const down = L.down;
    const edges = [];
    for (let i = 0; i < upper.length; i++) {
      const v = upper[i];
      const tmp = [];
      for (let p = down.start[v]; p < down.start[v + 1]; p++) tmp.push(pos[down.list[p]]);
      tmp.sort((a, b) => a - b);
      for (const t of tmp) edges.push(t);
    }
    let first = 1; while (first < lower.length) first <<= 1;
    const tree = new Int32Array(2 * first);
    let count = 0;
    for (const t of edges) {
      let idx = t + first;
      tree[idx]++;
      while (idx > 1) {
        if (idx % 2 === 0) count += tree[idx + 1];
        idx = idx >> 1; tree[idx]++;
      }
    }
    return count;
  }

  function countCrossings(L, layers, pos) {
    let total = 0;
    for (let r = 0; r + 1 < layers.length; r++) total += crossingsBetween(L, layers[r], layers[r + 1], pos);
    return total;
  }

  function sortLayer(L, layer, pos, adj, refLen, key, scratch) {
    const len = layer.length;
    if (len < 2) return;
    for (let i = 0; i < len; i++) {
      const v = layer[i];
      let sum = 0, cnt = 0;
      for (let p = adj.start[v]; p < adj.start[v + 1]; p++) { sum += (pos[adj.list[p]] + 0.5) / refLen; cnt++; }
      key[v] = cnt ? sum / cnt : (i + 0.5) / len;
    }
    arrange(L, layer, pos, key, scratch);
  }

  // Sorts a layer by key[], keeping the members of each group side by side, nested groups
  // included. Two nodes compare by the two different groups (or nodes) just below their
  // innermost common group; a group by its members' mean key, then by its leftmost member's
  // place. That orders the layer as a tree, so every group at every level stays in one piece.
  function arrange(L, layer, pos, key, sc) {
    const len = layer.length;
    if (!L.grouped) layer.sort((a, b) => key[a] - key[b] || pos[a] - pos[b]);
    else {
      const groupOf = L.groupOf, parent = L.parent, depth = L.depth;
      const { gsum, gcnt, gkey, gtag, touched } = sc;
      for (const v of layer) {
        for (let g = groupOf[v]; g >= 0; g = parent[g]) {
          if (gcnt[g]++ === 0) { touched.push(g); gsum[g] = 0; gtag[g] = pos[v]; }
          gsum[g] += key[v];
          if (pos[v] < gtag[g]) gtag[g] = pos[v];
        }
      }
      for (const g of touched) gkey[g] = gsum[g] / gcnt[g];
      layer.sort((a, b) => {
        let x = groupOf[a], y = groupOf[b];
        if (x === y) return key[a] - key[b] || pos[a] - pos[b];
        let lx = x < 0 ? 0 : depth[x] + 1, ly = y < 0 ? 0 : depth[y] + 1, xs = -1, ys = -1;
        while (lx > ly) { xs = x; x = parent[x]; lx--; }
        while (ly > lx) { ys = y; y = parent[y]; ly--; }
        while (x !== y) { xs = x; x = parent[x]; ys = y; y = parent[y]; }
        const ka = xs >= 0 ? gkey[xs] : key[a], kb = ys >= 0 ? gkey[ys] : key[b];
        return ka - kb || (xs >= 0 ? gtag[xs] : pos[a]) - (ys >= 0 ? gtag[ys] : pos[b]);
      });
      for (const g of touched) gcnt[g] = 0;
      touched.length = 0;
    }
    for (let i = 0; i < len; i++) pos[layer[i]] = i;
  }

  // Adjacent exchange: swap neighbours in a layer while that removes
  // crossings with the layers above and below (members of different groups
  // are not swapped, so groups stay contiguous).
  function pairCrossings(v, w, pos, adj) {
    let c = 0;
    for (let p = adj.start[v]; p < adj.start[v + 1]; p++) {
      const a = pos[adj.list[p]];
      for (let q = adj.start[w]; q < adj.start[w + 1]; q++) if (pos[adj.list[q]] < a) c++;
    }
    return c;
  }
  function transpose(L, layers, pos) {
    const groupOf = L.groupOf;
    for (let round = 0, improved = true; improved && round < 4; round++) {
      improved = false;
      for (const layer of layers) {
        for (let i = 0; i + 1 < layer.length; i++) {
          const v = layer[i], w = layer[i + 1];
          if (groupOf[v] !== groupOf[w]) continue;
          const keep = pairCrossings(v, w, pos, L.up) + pairCrossings(v, w, pos, L.down);
          const swap = pairCrossings(w, v, pos, L.up) + pairCrossings(w, v, pos, L.down);
          if (swap < keep) { layer[i] = w; layer[i + 1] = v; pos[w] = i; pos[v] = i + 1; improved = true; }
        }
      }
    }
  }

  function* orderLayers(L) {
    const N = L.N, R = L.numRanks;
    const layers = initialOrder(L);
    const pos = new Int32Array(N), key = new Float64Array(N);
    for (const layer of layers) layer.forEach((v, i) => { pos[v] = i; });
    const G = L.grouped ? L.G : 0;
    const scratch = { gsum: new Float64Array(G), gcnt: new Int32Array(G), gkey: new Float64Array(G), gtag: new Int32Array(G), touched: [] };
    if (L.grouped) {
      // The depth-first order may split groups: gather them first, in that order.
      for (const layer of layers) { for (const v of layer) key[v] = pos[v]; arrange(L, layer, pos, key, scratch); }
    }
    const sweeps = L.opts.orderSweeps || (N > 60000 ? 3 : N > 15000 ? 5 : N > 3000 ? 8 : 16);
    const measure = N <= 120000;
    let best = measure ? countCrossings(L, layers, pos) : Infinity;
    let bestLayers = layers.map((l) => l.slice()), stale = 0;
    for (let it = 0; it < sweeps && best > 0; it++) {
      if (it % 2 === 0) for (let r = 1; r < R; r++) sortLayer(L, layers[r], pos, L.up, layers[r - 1].length, key, scratch);
      else for (let r = R - 2; r >= 0; r--) sortLayer(L, layers[r], pos, L.down, layers[r + 1].length, key, scratch);
      if (N <= 5000) transpose(L, layers, pos);
      if (measure) {
        const c = countCrossings(L, layers, pos);
        if (c < best) { best = c; bestLayers = layers.map((l) => l.slice()); stale = 0; }
        else if (++stale >= 4) break;
      } else bestLayers = layers;
      yield { phase: "order", fraction: (it + 1) / sweeps };
    }
    L.layers = bestLayers;
    L.pos = new Int32Array(N);
    for (const layer of bestLayers) layer.forEach((v, i) => { L.pos[v] = i; });
    L.crossings = best;
  }

  /* --- phase 5: position ------------------------------------------------- */
  // Weighted isotonic regression with minimum gaps: minimise sum w_i (x_i - t_i)^2
  // subject to x_{i+1} - x_i >= gap_i; solved by pooling adjacent violators.
  function placeLayer(layer, target, weight, gap, x, bs, bw, bc) {
    const len = layer.length;
    let off = 0, top = 0;
    for (let i = 0; i < len; i++) {
      if (i > 0) off += gap[i - 1];
      const v = layer[i];
      bs[top] = weight[v] * (target[v] - off); bw[top] = weight[v]; bc[top] = 1; top++;
      while (top > 1 && bs[top - 2] / bw[top - 2] > bs[top - 1] / bw[top - 1]) {
        bs[top - 2] += bs[top - 1]; bw[top - 2] += bw[top - 1]; bc[top - 2] += bc[top - 1]; top--;
      }
    }
    off = 0;
    let i = 0;
    for (let b = 0; b < top; b++) {
      const mean = bs[b] / bw[b];
      for (let k = 0; k < bc[b]; k++, i++) { if (i > 0) off += gap[i - 1]; x[layer[i]] = mean + off; }
    }
  }

  function* assignPositions(L) {
    const N = L.N, n = L.n, R = L.numRanks, layers = L.layers, cs = L.crossSize;
    const { nodeSep, dummySep, rankSep } = L.opts;
    const x = new Float64Array(N), target = new Float64Array(N), weight = new Float64Array(N);
    let widest = 1;
    for (const layer of layers) widest = Math.max(widest, layer.length);
    const bs = new Float64Array(widest), bw = new Float64Array(widest), bc = new Int32Array(widest);
    const pad = L.grouped ? L.opts.framePad : null, groupOf = L.groupOf;
    const gaps = layers.map((layer) => {
      const g = new Float64Array(Math.max(0, layer.length - 1));
      for (let i = 0; i + 1 < layer.length; i++) {
        const a = layer[i], b = layer[i + 1];
        const sep = a < n && b < n ? nodeSep : a < n || b < n ? (nodeSep + dummySep) / 2 : dummySep;
        g[i] = (cs[a] + cs[b]) / 2 + sep;
        if (pad && groupOf[a] !== groupOf[b]) {
          // Between them, the frames of the groups left and of the groups entered.
          const c = levels(L, commonGroup(L, groupOf[a], groupOf[b]));
          g[i] += (levels(L, groupOf[a]) - c) * pad[1] + (levels(L, groupOf[b]) - c) * pad[0];
        }
      }
      return g;
    });
    for (let r = 0; r < R; r++) {
      const layer = layers[r], g = gaps[r];
      let acc = 0;
      for (let i = 0; i < layer.length; i++) { if (i > 0) acc += g[i - 1]; x[layer[i]] = acc; }
      const shift = acc / 2;
      for (const v of layer) x[v] -= shift;
    }
    const pull = (r, adjs) => {
      const layer = layers[r], g = gaps[r];
      for (let i = 0; i < layer.length; i++) {
        const v = layer[i];
        let s = 0, w = 0;
        for (const adj of adjs) {
          for (let p = adj.start[v]; p < adj.start[v + 1]; p++) {
            const sw = L.sw[adj.edge[p]];
            s += sw * x[adj.list[p]]; w += sw;
          }
        }
        if (w > 0) { target[v] = s / w; weight[v] = w; continue; }
        // Nothing pulls this node: keep it next to its neighbour in the layer
        // rather than where the others drifted away from.
        target[v] = i > 0 ? x[layer[i - 1]] + g[i - 1] : i + 1 < layer.length ? x[layer[i + 1]] - g[i] : x[v];
        weight[v] = 1e-3;
      }
      placeLayer(layer, target, weight, gaps[r], x, bs, bw, bc);
    };
    const rounds = L.opts.positionSweeps || (N > 40000 ? 4 : N > 8000 ? 6 : 10);
    for (let it = 0; it < rounds; it++) {
      for (let r = 1; r < R; r++) pull(r, [L.up]);
      for (let r = R - 2; r >= 0; r--) pull(r, [L.down]);
      yield { phase: "position", fraction: (it + 1) / (rounds + 1) };
    }
    for (let r = 0; r < R; r++) pull(r, [L.up, L.down]);
    for (let r = 1; r < R; r++) pull(r, [L.up]);
    if (pad) separateFrames(L, x, pad);
    let minX = Infinity;
    for (let v = 0; v < N; v++) minX = Math.min(minX, x[v] - cs[v] / 2);
    if (!isFinite(minX)) minX = 0;
    for (let v = 0; v < N; v++) x[v] -= minX;
    // Rank axis: each rank is as thick as its thickest node, with room before it for the
    // frames of the groups starting there and after it for those ending there.
    const thick = new Float64Array(R), centre = new Float64Array(R);
    for (let v = 0; v < N; v++) thick[L.nodeRank[v]] = Math.max(thick[L.nodeRank[v]], L.alongSize[v]);
    const before = new Float64Array(R), after = new Float64Array(R);
    if (pad) frameRoom(L, pad, before, after);
    let acc = 0;
    for (let r = 0; r < R; r++) { acc += before[r]; centre[r] = acc + thick[r] / 2; acc += thick[r] + after[r] + rankSep; }
    const y = new Float64Array(N);
    for (let v = 0; v < N; v++) y[v] = centre[L.nodeRank[v]];
    L.x = x; L.y = y; L.rankThick = thick;
  }

  // A frame spans every rank of its group, while placement keeps it clear of its neighbours
  // only rank by rank. Where a frame still overlaps a neighbour in some rank (a node, an
  // edge's slot, another frame), the two move apart, each as one piece, half the overlap
  // each; repeated until nothing overlaps, or the rounds run out (when two groups swap sides
  // from one rank to another, no shift separates them).
  function separateFrames(L, x, pad) {
    const n = L.n, N = L.N, G = L.G, cs = L.crossSize, groupOf = L.groupOf, parent = L.parent, depth = L.depth;
    const { nodeSep, dummySep } = L.opts;
    const lo = new Float64Array(G), hi = new Float64Array(G);
    const right = new Float64Array(N + G), left = new Float64Array(N + G);   // shifts: items, then groups
    const inward = Array.from({ length: G }, (_, g) => g).sort((a, b) => depth[b] - depth[a]);
    const rounds = N > 20000 ? 8 : 40;
    for (let round = 0; round < rounds; round++) {
      lo.fill(Infinity); hi.fill(-Infinity);
      for (let v = 0; v < n; v++) {
        const g = groupOf[v];
        if (g < 0) continue;
        if (x[v] - cs[v] / 2 < lo[g]) lo[g] = x[v] - cs[v] / 2;
        if (x[v] + cs[v] / 2 > hi[g]) hi[g] = x[v] + cs[v] / 2;
      }
      for (const g of inward) {
        if (lo[g] > hi[g]) continue;
        lo[g] -= pad[0]; hi[g] += pad[1];
        const p = parent[g];
        if (p >= 0) { if (lo[g] < lo[p]) lo[p] = lo[g]; if (hi[g] > hi[p]) hi[p] = hi[g]; }
      }
      let worst = 0;
      for (const layer of L.layers) {
        for (let i = 0; i + 1 < layer.length; i++) {
          const a = layer[i], b = layer[i + 1];
          // The pieces that meet here: the groups (or nodes) just inside their common group.
          let p = groupOf[a], q = groupOf[b], ps = -1, qs = -1;
          let lp = p < 0 ? 0 : depth[p] + 1, lq = q < 0 ? 0 : depth[q] + 1;
          while (lp > lq) { ps = p; p = parent[p]; lp--; }
          while (lq > lp) { qs = q; q = parent[q]; lq--; }
          while (p !== q) { ps = p; p = parent[p]; qs = q; q = parent[q]; }
          const solidA = ps >= 0 || a < n, solidB = qs >= 0 || b < n;
          const sep = solidA && solidB ? nodeSep : solidA || solidB ? (nodeSep + dummySep) / 2 : dummySep;
          const over = (ps >= 0 ? hi[ps] : x[a] + cs[a] / 2) + sep - (qs >= 0 ? lo[qs] : x[b] - cs[b] / 2);
          if (over <= 0.5) continue;
          const A = ps >= 0 ? N + ps : a, B = qs >= 0 ? N + qs : b;
          if (over / 2 > left[A]) left[A] = over / 2;
          if (over / 2 > right[B]) right[B] = over / 2;
          if (over > worst) worst = over;
        }
      }
      if (!worst) break;
      for (let v = 0; v < N; v++) {
        let shift = right[v] - left[v];
        for (let g = groupOf[v]; g >= 0; g = parent[g]) shift += right[N + g] - left[N + g];
        x[v] += shift;
      }
      right.fill(0); left.fill(0);
    }
  }

  // Per rank, the frames that open (close) there around one node, the most of any node.
  function frameRoom(L, pad, before, after) {
    const n = L.n, R = L.numRanks, rank = L.rank, groupOf = L.groupOf, parent = L.parent;
    const first = new Int32Array(L.G).fill(R), last = new Int32Array(L.G).fill(-1);
    for (let v = 0; v < n; v++) {
      for (let g = groupOf[v]; g >= 0; g = parent[g]) { if (rank[v] < first[g]) first[g] = rank[v]; if (rank[v] > last[g]) last[g] = rank[v]; }
    }
    for (let v = 0; v < n; v++) {
      const r = rank[v];
      let opens = 0, closes = 0;
      for (let g = groupOf[v]; g >= 0; g = parent[g]) { if (first[g] === r) opens++; if (last[g] === r) closes++; }
      if (opens * pad[2] > before[r]) before[r] = opens * pad[2];
      if (closes * pad[3] > after[r]) after[r] = closes * pad[3];
    }
  }

  /* --- phase 6: route ---------------------------------------------------- */
  function routeEdges(L) {
    const n = L.n, m = L.eu.length, x = L.x, y = L.y, thick = L.rankThick;
    // Ports: the edges leaving (entering) a node are spread along its side,
    // ordered by where they go, so fans do not start from one point.
    const firstX = new Float64Array(m), lastX = new Float64Array(m);
    for (let e = 0; e < m; e++) {
      const a = L.chainStart[e], b = L.chainStart[e + 1];
      firstX[e] = a < b ? x[L.chain[a]] : x[L.ev[e]];
      lastX[e] = a < b ? x[L.chain[b - 1]] : x[L.eu[e]];
    }
    const outPort = new Float64Array(m), inPort = new Float64Array(m);
    const spread = (adj, ref, port) => {
      for (let v = 0; v < n; v++) {
        const k = adj.start[v + 1] - adj.start[v];
        if (k < 2) continue;
        const es = Array.from(adj.edge.subarray(adj.start[v], adj.start[v + 1]));
        es.sort((a, b) => ref[a] - ref[b]);
        const width = Math.min(L.cross[v] * 0.6, (k - 1) * 14);
        es.forEach((e, i) => { port[e] = -width / 2 + (width * i) / (k - 1); });
      }
    };
    spread(csr(n, L.eu, L.ev, m), firstX, outPort);
    spread(csr(n, L.ev, L.eu, m), lastX, inPort);
    const M = L.src.length, routes = new Array(M);
    for (let e = 0; e < m; e++) {
      const u = L.eu[e], v = L.ev[e], a = L.chainStart[e], b = L.chainStart[e + 1];
      const seq = [x[u] + outPort[e], y[u] + L.along[u] / 2];
      for (let c = a; c < b; c++) {
        const d = L.chain[c], h = thick[L.nodeRank[d]] / 2;
        seq.push(x[d], y[d] - h, x[d], y[d] + h);
      }
      seq.push(x[v] + inPort[e], y[v] - L.along[v] / 2);
      routes[L.fwd[e]] = seq;
    }
    returnRoutes(L, routes);
    for (let e = 0; e < M; e++) if (!routes[e]) routes[e] = [];
    let total = 0;
    for (let e = 0; e < M; e++) total += routes[e].length;
    const pts = new Float32Array(total), ptStart = new Int32Array(M + 1);
    let q = 0;
    for (let e = 0; e < M; e++) {
      ptStart[e] = q / 2;
      pts.set(routes[e], q); q += routes[e].length;
    }
    ptStart[M] = q / 2;
    L.pts = pts; L.ptStart = ptStart;
  }

  // A back edge leaves its source's side, passes beside everything on the ranks between
  // its ends and enters its target's side: one cubic curve, its four points the route. It
  // takes the side with fewer neighbours of its ends in the way; back edges over the same
  // ranks take lanes further out, one after another.
  function returnRoutes(L, routes) {
    const x = L.x, y = L.y, R = L.numRanks;
    const outer = [new Float64Array(R).fill(Infinity), new Float64Array(R).fill(-Infinity)];
    const lanes = [new Int32Array(R), new Int32Array(R)];
    for (let v = 0; v < L.N; v++) {
      const r = L.nodeRank[v], half = L.crossSize[v] / 2;
      if (x[v] - half < outer[0][r]) outer[0][r] = x[v] - half;
      if (x[v] + half > outer[1][r]) outer[1][r] = x[v] + half;
    }
    for (let e = 0; e < L.src.length; e++) {
      if (!L.back[e]) continue;
      const u = L.src[e], v = L.dst[e], r0 = Math.min(L.rank[u], L.rank[v]), r1 = Math.max(L.rank[u], L.rank[v]);
      const leftOf = L.pos[u] + L.pos[v];
      const rightOf = L.layers[L.rank[u]].length + L.layers[L.rank[v]].length - 2 - leftOf;
      const side = leftOf < rightOf ? 0 : 1, sign = side ? 1 : -1, bound = outer[side], lane = lanes[side];
      let far = side ? -Infinity : Infinity, k = 0;
      for (let r = r0; r <= r1; r++) { far = side ? Math.max(far, bound[r]) : Math.min(far, bound[r]); k = Math.max(k, lane[r]); }
      for (let r = r0; r <= r1; r++) lane[r] = k + 1;
      const xs = x[u] + sign * L.cross[u] / 2, xe = x[v] + sign * L.cross[v] / 2, ys = y[u], ye = y[v];
      const peak = far + sign * (22 + 14 * k);
      // the curve's middle reaches (xs + xe) / 8 plus 3/4 of the control points' offset
      const reach = (peak - (xs + xe) / 8) / 0.75, c = side ? Math.max(peak, reach) : Math.min(peak, reach);
      const bend = ys === ye ? L.along[u] : 0;   // ends on one rank: a loop out and back
      routes[e] = [xs, ys, c, ys + bend, c, ye - bend, xe, ye];
    }
  }

  function result(L) {
    const n = L.n;
    return { x: Float64Array.from(L.x.subarray(0, n)), y: Float64Array.from(L.y.subarray(0, n)),
      pts: L.pts, ptStart: L.ptStart, back: L.back, ranks: L.numRanks, dummies: L.N - n,
      crossings: L.crossings, timings: L.timings };
  }

  const PHASES = [
    ["acyclic", breakCycles, 0.04], ["rank", assignRanks, 0.08], ["normalize", insertDummies, 0.14],
    ["order", orderLayers, 0.62], ["position", assignPositions, 0.92], ["route", routeEdges, 1.0],
  ];

  // Runs the phases one after another; yields progress so a caller can slice
  // the work or report it.
  function* layoutSteps(input) {
    const L = createLayout(input);
    let done = 0;
    for (const [name, phase, upTo] of PHASES) {
      const t0 = clock();
      const r = phase(L);
      if (r && typeof r.next === "function") {
        for (const step of r) yield { phase: name, fraction: done + (upTo - done) * step.fraction };
      }
      L.timings[name] = clock() - t0;
      done = upTo;
      yield { phase: name, fraction: done };
    }
    return result(L);
  }

  function runLayout(input) {
    const it = layoutSteps(input);
    let s = it.next();
    while (!s.done) s = it.next();
    return s.value;
  }

  return { layoutSteps, runLayout };
}
