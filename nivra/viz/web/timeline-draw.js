// timeline-draw.js: the scene (lanes, axis, bars, arrows, critical path) through a painter
// One drawing routine serves the screen, the PNG and the SVG export: it calls a painter,
// either a canvas context's or the SVG writer's. Only what meets the window is visited:
// lanes outside the height are skipped, and each lane is entered by binary search.
const DEP_DETAIL = 1500;   // more visible arrows than this are drawn as plain thin lines,
const DEP_MAX = 6000;      // and more than this not at all (zoom in to see them)
const HOP_DETAIL = 80;     // more critical-path hops in view than this are drawn thin
const ARROW_BATCH = 64;    // arrows per stroked path
const bend = (x0, x1) => Math.max(12, Math.abs(x1 - x0) / 2);

function canvasPainter(c) {
  let fill = null;
  const setFill = (f) => { if (f !== fill) { c.fillStyle = f; fill = f; } };
  const batches = new Map();   // "colour" or "colour|alpha" -> the bars to fill with it
  return {
    probe: c,
    alpha(a) { c.globalAlpha = a; },
    rect(x, y, w, h, f) { setFill(f); c.fillRect(x, y, w, h); },
    // Bars are gathered per colour and filled at once by flushBars: one fill of a path of
    // thousands of rectangles costs far less than as many fillRect calls.
    bar(x, y, w, h, f, a) {
      const key = a < 1 ? f + "|" + a : f;
      let path = batches.get(key);
      if (!path) batches.set(key, (path = new Path2D()));
      path.rect(x, y, w, h);
    },
    flushBars() {
      for (const [key, path] of batches) {
        const cut = key.indexOf("|");
        if (cut > 0) c.globalAlpha = Number(key.slice(cut + 1));
        setFill(cut > 0 ? key.slice(0, cut) : key);
        c.fill(path);
        if (cut > 0) c.globalAlpha = 1;
      }
      batches.clear();
    },
    frame(x, y, w, h, stroke, lw) { c.strokeStyle = stroke; c.lineWidth = lw; c.strokeRect(x + lw / 2, y + lw / 2, Math.max(0, w - lw), Math.max(0, h - lw)); },
    line(x0, y0, x1, y1, stroke, lw, dash) {
      c.strokeStyle = stroke; c.lineWidth = lw; if (dash) c.setLineDash(dash);
      c.beginPath(); c.moveTo(x0, y0); c.lineTo(x1, y1); c.stroke(); if (dash) c.setLineDash([]);
    },
    // Arrows of one colour, stroked and filled once for all.
    // Arrows of one colour, stroked in paths of at most ARROW_BATCH: a single path of
    // thousands of crossing strokes can take the rasteriser seconds.
    arrows(stroke, lw) {
      let lines = new Path2D(), count = 0;
      const heads = new Path2D();
      const full = () => {
        if (++count < ARROW_BATCH) return;
        c.strokeStyle = stroke; c.lineWidth = lw; c.stroke(lines);
        lines = new Path2D(); count = 0;
      };
      return {
        curve(x0, y0, x1, y1) { const h = bend(x0, x1); lines.moveTo(x0, y0); lines.bezierCurveTo(x0 + h, y0, x1 - h, y1, x1, y1); full(); },
        line(x0, y0, x1, y1) { lines.moveTo(x0, y0); lines.lineTo(x1, y1); full(); },
        head(x, y, s) { heads.moveTo(x, y); heads.lineTo(x - s, y - s * 0.55); heads.lineTo(x - s, y + s * 0.55); heads.closePath(); },
        done() { c.strokeStyle = stroke; c.lineWidth = lw; c.stroke(lines); setFill(stroke); c.fill(heads); },
      };
    },
    text(t, x, y, font, f, align) { c.font = font; setFill(f); c.textAlign = align || "left"; c.textBaseline = "middle"; c.fillText(t, x, y); },
    clip(x, y, w, h) { c.save(); c.beginPath(); c.rect(x, y, w, h); c.clip(); },
    unclip() { c.restore(); fill = null; },
  };
}

const fontOf = (size, weight) => (weight ? weight + " " : "") + size + "px " + SANS;

// Draws the scene for view `vp` with lanes `laneH` high; `mk` says what to highlight (null
// for none). Returns counts of what was drawn.
function drawScene(p, M, vp, laneH, pal, mk) {
  mk = mk || { hover: -1, selected: -1, deps: true, crit: true, match: null, searching: false, step: -1 };
  const many = M.T > 1, onlyStep = many && mk.step >= 0 ? mk.step : -1;
  const W = vp.W, H = vp.H, pw = Math.max(1, W - GUTTER), w = vp.t1 - vp.t0;
  const X = (t) => GUTTER + ((t - vp.t0) * pw) / w;
  const nC = M.cores.length, [c0, c1] = visibleLanes(vp, laneH, nC);
  const top = (c) => AXIS_H + c * laneH - vp.y;
  const stats = { bars: 0, runs: 0, deps: 0, lanes: Math.max(0, c1 - c0 + 1) };

  p.alpha(1);
  p.rect(0, 0, W, H, pal.bg);
  for (let c = c0; c <= c1; c++) p.rect(GUTTER, top(c), pw, laneH, c % 2 ? pal.laneB : pal.laneA);

  // grid
  const u = unitFor(M, w), step = niceStep(w, pw / 110);
  const ticks = [];
  for (let k = Math.ceil(vp.t0 / step); k * step <= vp.t1 && ticks.length < 200; k++) ticks.push(k * step);
  p.clip(GUTTER, AXIS_H, pw, H - AXIS_H);
  for (const t of ticks) p.rect(Math.round(X(t)), AXIS_H, 1, H - AXIS_H, pal.grid);

  // bars, lane by lane; their labels and outlines go on top once all bars are filled
  const barH = barHeight(laneH), labels = [], outlines = [];
  p.probe.font = fontOf(11);
  for (let c = c0; c <= c1; c++) {
    const lane = M.lanes[c], y = top(c) + BAR_PAD;
    let runA = 0, runB = -1, runColor = null, runFaded = false, critA = 0, critB = -1;
    const critFlush = () => { if (critB >= critA) p.bar(critA, y + barH + 1, Math.max(2, critB - critA), BAR_PAD - 1, pal.crit, 1); critB = -1; };
    const flush = () => {
      if (runB < runA) return;
      p.bar(runA, y, Math.max(1, runB - runA), barH, runColor, runFaded ? pal.fade : 1);
      stats.runs++;
      runB = -1;
    };
    for (let j = firstReaching(lane, vp.t0); j < lane.ids.length; j++) {
      const i = lane.ids[j];
      if (M.start[i] > vp.t1) break;
      const a = X(M.start[i]), b = X(M.end[i]), ty = M.types[M.type[i]], color = M.step[i] & 1 ? ty.shade : ty.color;
      const crit = mk.crit && M.crit[i] === 1, matched = mk.match ? mk.match[i] === 1 : false;
      const special = matched || i === mk.selected || i === mk.hover;
      if (crit) {
        // the critical path: a strip under its bars, merged like the bars
        if (critB >= critA && a <= critB + 1) critB = Math.max(critB, b);
        else { critFlush(); critA = a; critB = Math.max(b, a + 2); }
      }
      const faded = (mk.searching && !matched) || (onlyStep >= 0 && M.step[i] !== onlyStep);
      if (b - a < 1.2 && !special) {
        // bars thinner than a pixel merge into one run per stretch of touching pixels
        if (runB >= runA && a <= runB + 0.5 && faded === runFaded) { runB = Math.max(runB, b); continue; }
        flush(); runA = a; runB = Math.max(b, a + 1); runColor = color; runFaded = faded;
        continue;
      }
      flush();
      const x0 = Math.max(a, GUTTER - 2), x1 = Math.min(Math.max(b, a + (special ? 3 : 1)), W + 2);
      p.bar(x0, y, x1 - x0 > 4 ? x1 - x0 - 1 : x1 - x0, barH, color, faded ? pal.fade : 1);   // a pixel apart from the next
      if (x1 - x0 >= LABEL_MIN_W && barH >= 12) {
        const txt = fitText(p.probe, many ? "t" + M.step[i] + " " + M.names[i] : M.names[i], x1 - x0 - 8);
        if (txt) labels.push([txt, x0 + 4, y + barH / 2 + 0.5, isLight(color) ? pal.barText : pal.barTextOnDark, faded]);
      }
      if (matched) outlines.push([x0 - 1, y - 1, x1 - x0 + 2, barH + 2, pal.match, 2]);
      if (i === mk.selected) outlines.push([x0 - 2, y - 2, x1 - x0 + 4, barH + 4, pal.select, 2.5]);
      else if (i === mk.hover) outlines.push([x0 - 1, y - 1, x1 - x0 + 2, barH + 2, pal.select, 1.5]);
      stats.bars++;
    }
    flush();
    critFlush();
  }
  p.flushBars();
  for (const [txt, x, y, f, faded] of labels) {
    if (faded) p.alpha(pal.fade);
    p.text(txt, x, y, fontOf(11), f);
    if (faded) p.alpha(1);
  }
  for (const o of outlines) p.frame(...o);

  // arrows: dependencies between cores, then the critical path's hops over them
  const mid = (i) => top(M.core[i]) + laneH / 2;
  const focus = mk.selected >= 0 ? mk.selected : mk.hover;
  // An arrow from the end of run s to the start of run d: a curve with a head, or a plain
  // line when `size` is 0. One that reaches far outside the view is cut to a straight line
  // at the view's sides: strokes tens of thousands of pixels long are slow to rasterise.
  const lo = GUTTER - W, hi = 2 * W;
  const arrow = (a, s, d, size) => {
    const xa = X(M.end[s]), xb = X(M.start[d]), ya = mid(s), yb = mid(d);
    if (xa >= lo && xb <= hi) {
      if (size) { a.curve(xa, ya, xb - size + 2, yb); a.head(xb, yb, size); } else a.line(xa, ya, xb, yb);
      return;
    }
    const at = (x) => ya + ((yb - ya) * (x - xa)) / (xb - xa || 1);
    const x0 = Math.max(xa, lo), x1 = Math.min(xb, hi);
    a.line(x0, at(x0), x1, at(x1));
    if (size && xb <= hi) a.head(xb, yb, size);
  };
  if (mk.deps && M.depSrc.length) {
    const vis = [], lane = M.depLane;
    for (let j = firstReaching(lane, vp.t0); j < lane.ids.length && vis.length <= DEP_MAX; j++) {
      const k = lane.ids[j], s = M.depSrc[k], d = M.depDst[k], cs = M.core[s], cd = M.core[d];
      if (M.end[s] > vp.t1) break;
      if ((cs < c0 && cd < c0) || (cs > c1 && cd > c1) || s === focus || d === focus) continue;
      const xa = X(M.end[s]), xb = X(M.start[d]);
      if (Math.max(xa, xb) < GUTTER || Math.min(xa, xb) > W) continue;
      vis.push(k);
    }
    if (vis.length > DEP_MAX) stats.depsHidden = true;
    else {
      const detailed = vis.length <= DEP_DETAIL, a = p.arrows(pal.dep, detailed ? 1.2 : 0.6);
      for (const k of vis) {
        const s = M.depSrc[k], d = M.depDst[k];
        arrow(a, s, d, detailed ? 6 : 0);
      }
      a.done();
      stats.deps = vis.length;
    }
  }
  if (mk.deps && focus >= 0) {
    const a = p.arrows(pal.depHi, 2);
    for (const k of depsAt(M, focus)) arrow(a, M.depSrc[k], M.depDst[k], 8);
    a.done();
  }
  if (mk.crit) {
    const hops = [];
    for (let k = 1; k < M.path.length; k++) {
      const s = M.path[k - 1], d = M.path[k];
      if (M.core[s] === M.core[d]) continue;
      const xa = X(M.end[s]), xb = X(M.start[d]);
      if (Math.max(xa, xb) < GUTTER || Math.min(xa, xb) > W) continue;
      hops.push(k);
    }
    const detailed = hops.length <= HOP_DETAIL, a = p.arrows(pal.crit, detailed ? 2 : 1);
    for (const k of hops) {
      const s = M.path[k - 1], d = M.path[k];
      arrow(a, s, d, detailed ? 8 : 0);
    }
    a.done();
    const xe = X(M.critEnd);
    if (xe >= GUTTER && xe <= W) p.line(xe, AXIS_H, xe, H, pal.crit, 1, [4, 4]);
  }
  // the completion of every timestep; the steady-state interval is their spacing
  if (many) for (let k = 0; k < M.T; k++) {
    const x = X(M.completion[k]);
    if (x >= GUTTER && x <= W && !(mk.crit && M.completion[k] === M.critEnd)) p.line(x, AXIS_H, x, H, pal.axis, 1, [2, 3]);
  }
  p.unclip();

  // time axis
  p.rect(0, 0, W, AXIS_H, pal.gutter);
  p.rect(0, AXIS_H - 1, W, 1, pal.border);
  p.clip(GUTTER, 0, pw, AXIS_H);
  for (const t of ticks) {
    const x = Math.round(X(t));
    p.rect(x, AXIS_H - 6, 1, 5, pal.axis);
    p.text(fmtTick(t / u.div, step / u.div), x + 3, AXIS_H / 2 - 1, fontOf(10.5), pal.muted);
  }
  if (many && M.interval != null) {
    // a bracket over the last two completions, labelled with the interval
    const xa = X(M.completion[M.T - 2]), xb = X(M.completion[M.T - 1]), yb = AXIS_H - 4;
    if (xb >= GUTTER && xa <= W) {
      p.rect(xa, yb, Math.max(1, xb - xa), 2, pal.select);
      p.rect(xa, yb - 4, 1.5, 6, pal.select); p.rect(xb - 1.5, yb - 4, 1.5, 6, pal.select);
      const label = "interval " + fmtTime(M, M.interval);
      p.probe.font = fontOf(10.5, 600);
      const tw = p.probe.measureText(label).width;
      // inside the bracket when it fits, else just before it
      const xl = xb - xa > tw + 8 ? (xa + xb) / 2 - tw / 2 : xa - tw - 6;
      p.rect(xl - 3, 3, tw + 6, AXIS_H - 12, pal.gutter);
      p.text(label, xl, AXIS_H / 2 - 2, fontOf(10.5, 600), pal.select);
    }
  }
  if (mk.crit && M.n) {
    const xe = X(M.critEnd);
    if (xe >= GUTTER && xe <= W) {
      const label = (many ? "t" + M.critStep + " " : "") + "critical path " + fmtTime(M, M.critLength) + " \u25bc";
      p.probe.font = fontOf(10.5, 600);
      const tw = p.probe.measureText(label).width + 8;
      p.rect(xe - tw + 4, 3, tw, AXIS_H - 10, pal.gutter);
      p.text(label, xe + 4, AXIS_H / 2 - 1, fontOf(10.5, 600), pal.crit, "right");
    }
  }
  p.unclip();
  p.text("time (" + u.name + ")", 12, AXIS_H / 2, fontOf(11, 600), pal.muted);

  // lane labels: core, busy and idle totals, utilisation
  p.clip(0, AXIS_H, GUTTER, H - AXIS_H);
  p.rect(0, AXIS_H, GUTTER, H - AXIS_H, pal.gutter);
  const span0 = M.interval != null ? M.interval : M.makespan > M.first ? M.makespan - M.first : 0;
  for (let c = c0; c <= c1; c++) {
    const core = M.cores[c], y = top(c), two = laneH >= 32, cy = two ? y + laneH / 2 - 7 : y + laneH / 2;
    const share = core.share;
    p.rect(0, y, 4, laneH - 1, core.color);
    if (core.over) p.rect(4, y, 3, laneH - 1, pal.match);
    p.rect(0, y + laneH - 1, GUTTER, 1, pal.border);
    p.probe.font = fontOf(12, 600);
    p.text(fitText(p.probe, core.label, GUTTER - 90), 12, cy, fontOf(12, 600), pal.text);
    // utilisation: the busy share of the critical path's length, or of the interval
    p.rect(GUTTER - 80, cy - 3, 40, 6, pal.border);
    p.rect(GUTTER - 80, cy - 3, Math.round(40 * share), 6, core.color);
    if (span0 > 0) p.text(Math.round(share * 100) + "%", GUTTER - 8, cy, fontOf(10.5), pal.muted, "right");
    if (two) {
      p.probe.font = fontOf(10.5);
      const sub = many ? "busy " + fmtTime(M, core.busy) + " per timestep" + (c === M.bottleneck ? " \u00b7 bottleneck" : "")
        : "busy " + fmtTime(M, core.busy) + " \u00b7 idle " + fmtTime(M, core.idle);
      p.text(fitText(p.probe, sub, GUTTER - 20), 12, y + laneH / 2 + 8, fontOf(10.5), pal.muted);
    }
  }
  p.unclip();
  p.rect(GUTTER - 1, 0, 1, H, pal.border);
  return stats;
}
