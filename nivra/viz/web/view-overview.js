// view-overview.js: the activity of the whole recording (ON and OFF events per second), zoomable; click or drag to jump
// The counts come from the server's opening pass, one pair per time step (1 ms, longer for
// long recordings). Each screen column shows the mean rate of the steps it covers, from
// running sums, so drawing costs the same at any zoom.
function buildOverview(onJump) {
  const canvas = byId("overview"), ctx = canvas.getContext("2d"), readout = byId("overview-readout");
  const M = { l: 62, r: 12, t: 8, b: 20 };
  let act = null, cumOn = null, cumOff = null, duration = 1, span = [0, 1];
  let cursor = { start: 0, window: 0 }, hover = -1, size = { w: 0, h: 0, dpr: 1 }, raf = 0;

  function resize() {
    const w = canvas.clientWidth, h = 110, dpr = window.devicePixelRatio || 1;
    if (w === size.w && h === size.h && dpr === size.dpr) return;
    size = { w, h, dpr };
    canvas.width = max(1, round(w * dpr)); canvas.height = round(h * dpr);
  }
  const plotW = () => max(1, size.w - M.l - M.r);
  const xOf = (us) => M.l + (us - span[0]) / (span[1] - span[0]) * plotW();
  const usOf = (px) => span[0] + (px - M.l) / plotW() * (span[1] - span[0]);

  // events per second over [a, b) us, from the running sums (partial steps pro rata)
  function rate(cum, a, b) {
    const s = act.step, k0 = (a - act.start) / s, k1 = (b - act.start) / s;
    const at = (k) => {
      const kc = clamp(k, 0, act.bins), i = floor(kc), f = kc - i;
      return cum[i] + (i < act.bins ? f * (cum[i + 1] - cum[i]) : 0);
    };
    return b > a ? (at(k1) - at(k0)) / ((b - a) / 1e6) : 0;
  }

  function draw() {
    raf = 0;
    resize();
    const { w, h, dpr } = size, pw = plotW(), ph = h - M.t - M.b;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, h);
    if (!act || pw <= 1) return;
    const cols = max(1, floor(pw)), on = new Float64Array(cols), off = new Float64Array(cols);
    let peak = 1;
    const showOn = display.polarity !== "off", showOff = display.polarity !== "on";
    for (let c = 0; c < cols; c++) {
      const a = usOf(M.l + c), b = usOf(M.l + c + 1);
      on[c] = rate(cumOn, a, b); off[c] = rate(cumOff, a, b);
      if (showOn) peak = max(peak, on[c]);
      if (showOff) peak = max(peak, off[c]);
    }
    const y = (v) => M.t + ph - v / peak * ph;
    // the frame shown: its window, at least two pixels wide, and its start
    const x0 = xOf(cursor.start), x1 = max(x0 + 2, xOf(cursor.start + cursor.window));
    ctx.fillStyle = cssVar("--accent-soft");
    ctx.fillRect(x0, M.t, x1 - x0, ph);
    if (hover >= 0) { ctx.fillStyle = cssVar("--select"); ctx.fillRect(hover, M.t, 1, ph); }
    const series = [];
    if (showOn) series.push([on, cssVar("--on"), true]);
    if (showOff) series.push([off, cssVar("--off"), false]);
    for (const [vals, colour, filled] of series) {
      ctx.beginPath();
      ctx.moveTo(M.l, y(vals[0]));
      for (let c = 0; c < cols; c++) ctx.lineTo(M.l + c + 0.5, y(vals[c]));
      ctx.strokeStyle = colour; ctx.lineWidth = 1.25; ctx.lineJoin = "round";
      ctx.stroke();
      if (filled) {
        ctx.lineTo(M.l + cols, y(0)); ctx.lineTo(M.l, y(0)); ctx.closePath();
        ctx.globalAlpha = 0.2; ctx.fillStyle = colour; ctx.fill(); ctx.globalAlpha = 1;
      }
    }
    ctx.strokeStyle = cssVar("--accent"); ctx.lineWidth = 1.5;
    ctx.beginPath(); ctx.moveTo(round(x0) + 0.5, M.t); ctx.lineTo(round(x0) + 0.5, M.t + ph); ctx.stroke();
    // axes: rate at the top and zero; time ticks
    ctx.strokeStyle = cssVar("--axis"); ctx.lineWidth = 1;
    ctx.beginPath(); ctx.moveTo(M.l - 0.5, M.t); ctx.lineTo(M.l - 0.5, M.t + ph + 0.5); ctx.lineTo(M.l + pw, M.t + ph + 0.5); ctx.stroke();
    ctx.fillStyle = cssVar("--muted");
    ctx.font = "11px system-ui, -apple-system, Segoe UI, Roboto, sans-serif";
    ctx.textAlign = "right"; ctx.textBaseline = "middle";
    ctx.fillText(fmtCompact(round(peak)) + " ev/s", M.l - 6, M.t + 4);
    ctx.fillText("0", M.l - 6, M.t + ph);
    const len = span[1] - span[0], unit = timeUnit(span[1]), step = niceStep(len / unit.div, max(2, floor(pw / 90))) * unit.div;
    ctx.textBaseline = "top"; ctx.textAlign = "center";
    for (let v = ceil(span[0] / step) * step; v <= span[1] + 1e-9; v += step) {
      const px = xOf(v);
      ctx.fillRect(round(px), M.t + ph, 1, 4);
      ctx.fillText(fmtTick(v / unit.div, step / unit.div) + " " + unit.name, clamp(px, M.l + 20, M.l + pw - 20), M.t + ph + 6);
    }
  }
  const schedule = () => { if (!raf) raf = requestAnimationFrame(draw); };

  function setSpan(a, b) {
    const minSpan = act ? max(10 * act.step, 1000) : 1;
    let len = clamp(b - a, minSpan, duration);
    a = clamp(a, 0, duration - len);
    span = [a, a + len];
    byId("overview-reset").disabled = span[0] <= 0 && span[1] >= duration;
    setText("overview-sub", span[0] <= 0 && span[1] >= duration ? "whole recording" : fmtTime(span[0], span[1]) + " \u2013 " + fmtTime(span[1], span[1]));
    schedule();
  }
  function showReadout(px) {
    if (!act) return;
    const a = usOf(px), b = usOf(px + 1);
    readout.replaceChildren();
    const parts = [["", fmtTime(max(0, a), span[1])], [" \u00b7 ON ", fmtCompact(round(rate(cumOn, a, b))) + " ev/s"],
      [" \u00b7 OFF ", fmtCompact(round(rate(cumOff, a, b))) + " ev/s"]];
    for (const [text, value] of parts) {
      readout.appendChild(document.createTextNode(text));
      const el = document.createElement("b"); el.textContent = value; readout.appendChild(el);
    }
  }

  const local = (ev) => ev.clientX - canvas.getBoundingClientRect().left;
  let dragging = false;
  const jump = (ev) => { const px = clamp(local(ev), M.l, M.l + plotW()); onJump(clamp(usOf(px), 0, duration)); };
  canvas.addEventListener("pointerdown", (ev) => {
    if (!act || ev.button !== 0) return;
    dragging = true;
    canvas.setPointerCapture(ev.pointerId);
    jump(ev);
  });
  canvas.addEventListener("pointermove", (ev) => {
    if (!act) return;
    const px = local(ev);
    hover = px >= M.l && px <= M.l + plotW() ? px : -1;
    if (dragging) jump(ev);
    if (hover >= 0) showReadout(px);
    schedule();
  });
  const stop = () => { dragging = false; };
  canvas.addEventListener("pointerup", stop);
  canvas.addEventListener("pointercancel", stop);
  canvas.addEventListener("pointerleave", () => { hover = -1; schedule(); });
  canvas.addEventListener("wheel", (ev) => {
    if (!act) return;
    ev.preventDefault();
    const len = span[1] - span[0];
    if (ev.shiftKey || Math.abs(ev.deltaX) > Math.abs(ev.deltaY)) {
      const d = (ev.shiftKey ? ev.deltaY : ev.deltaX) / plotW() * len;
      setSpan(span[0] + d, span[1] + d);
      return;
    }
    const at = usOf(clamp(local(ev), M.l, M.l + plotW())), f = Math.pow(1.002, ev.deltaY * (ev.deltaMode === 1 ? 33 : 1));
    setSpan(at - (at - span[0]) * f, at + (span[1] - at) * f);
  }, { passive: false });
  canvas.addEventListener("dblclick", () => setSpan(0, duration));
  byId("overview-reset").addEventListener("click", () => setSpan(0, duration));
  onDisplayChange(schedule);

  return {
    // counts: Uint32Array of ON counts then OFF counts, `info` as the server describes them
    load(counts, info, durationUs) {
      act = { start: info.start_us, step: info.step_us, bins: info.bins };
      duration = max(1, durationUs);
      cumOn = new Float64Array(act.bins + 1); cumOff = new Float64Array(act.bins + 1);
      for (let k = 0; k < act.bins; k++) {
        cumOn[k + 1] = cumOn[k] + counts[k];
        cumOff[k + 1] = cumOff[k] + counts[act.bins + k];
      }
      setSpan(0, duration);
      readout.textContent = "Hover to read the rate \u00b7 click or drag to jump \u00b7 wheel to zoom, Shift+wheel to pan \u00b7 double-click for the whole recording";
    },
    // the frame shown; the view follows it when it leaves the span shown
    mark(start, win) {
      cursor = { start, window: win };
      const len = span[1] - span[0];
      if (act && (start < span[0] || start > span[1])) setSpan(start - len * 0.1, start + len * 0.9);
      schedule();
    },
    get span() { return span.slice(); },
    layout: schedule,
    retheme: schedule,
  };
}
