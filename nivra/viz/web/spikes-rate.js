// spikes-rate.js: the activity chart: ON and OFF pixels active in each frame, a cursor, click to jump
// Event counts cannot be read back from the frame images (each is scaled to its own peak and
// the peak is not stored), and the raster may hold only part of the sensor and no polarity.
// So the chart counts what the frames do hold: the pixels whose stored ON (OFF) value is
// above zero, in every animation frame. Its caption says so.
function buildRate(d, player) {
  const n = d.frames.length;
  if (!n) return { load() {}, draw() {}, layout() {} };
  const canvas = byId("rate"), ctx = canvas.getContext("2d"), readout = byId("rate-readout");
  const unit = timeUnit(d.duration), timed = d.duration > 0;
  const M = { l: 58, r: 14, t: 8, b: 20 };
  let on = null, off = null, peak = 1, size = { w: 0, h: 0, dpr: 1 }, hover = -1, raf = 0;
  setText("rate-sub", "Pixels with ON or OFF activity in each animation frame, counted from the frame images " +
    "(pixels under 1/255 of a frame\u2019s brightest are stored as zero and not counted)");

  const cssVar = (name) => getComputedStyle(root).getPropertyValue(name).trim();
  const frameAt = (px) => {
    const f = (px - M.l) / (size.w - M.l - M.r);
    return f < 0 || f >= 1 ? -1 : min(n - 1, floor(f * n));
  };

  function resize() {
    const w = canvas.clientWidth, h = 96, dpr = window.devicePixelRatio || 1;
    if (w === size.w && h === size.h && dpr === size.dpr) return;
    size = { w, h, dpr };
    canvas.width = max(1, round(w * dpr)); canvas.height = round(h * dpr);
    canvas.style.height = h + "px";
  }

  function draw() {
    resize();
    const { w, h, dpr } = size, pw = w - M.l - M.r, ph = h - M.t - M.b;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, h);
    if (!on || pw <= 0) return;
    const x = (i) => M.l + i / n * pw, y = (v) => M.t + ph - v / peak * ph;
    // the frame in the player, and the one under the pointer
    ctx.fillStyle = cssVar("--accent-soft");
    ctx.fillRect(x(player.current), M.t, max(2, pw / n), ph);
    if (hover >= 0) { ctx.fillStyle = cssVar("--select"); ctx.fillRect(x(hover), M.t, max(2, pw / n), ph); }
    ctx.strokeStyle = cssVar("--accent"); ctx.lineWidth = 1.5;
    const cx = round(x(player.current + 0.5)) + 0.5;
    ctx.beginPath(); ctx.moveTo(cx, M.t); ctx.lineTo(cx, M.t + ph); ctx.stroke();
    // one step line per polarity shown, ON filled beneath
    const series = [];
    if (display.polarity !== "off") series.push([on, cssVar("--on"), true]);
    if (display.polarity !== "on") series.push([off, cssVar("--off"), false]);
    for (const [vals, colour, filled] of series) {
      ctx.beginPath();
      ctx.moveTo(x(0), y(vals[0]));
      for (let i = 0; i < n; i++) { ctx.lineTo(x(i), y(vals[i])); ctx.lineTo(x(i + 1), y(vals[i])); }
      ctx.strokeStyle = colour; ctx.lineWidth = 1.5; ctx.lineJoin = "round";
      ctx.stroke();
      if (filled) {
        ctx.lineTo(x(n), y(0)); ctx.lineTo(x(0), y(0)); ctx.closePath();
        ctx.globalAlpha = 0.18; ctx.fillStyle = colour; ctx.fill(); ctx.globalAlpha = 1;
      }
    }
    // axes: the largest count, zero, and the time span
    ctx.strokeStyle = cssVar("--axis"); ctx.lineWidth = 1;
    ctx.beginPath(); ctx.moveTo(M.l - 0.5, M.t); ctx.lineTo(M.l - 0.5, M.t + ph + 0.5); ctx.lineTo(M.l + pw, M.t + ph + 0.5); ctx.stroke();
    ctx.fillStyle = cssVar("--muted");
    ctx.font = "11px system-ui, -apple-system, Segoe UI, Roboto, sans-serif";
    ctx.textAlign = "right"; ctx.textBaseline = "middle";
    ctx.fillText(fmtCompact(peak), M.l - 6, M.t + 4);
    ctx.fillText("0", M.l - 6, M.t + ph);
    ctx.textBaseline = "top";
    ctx.textAlign = "left"; ctx.fillText(timed ? fmtIn(0, unit) + " " + unit.name : "frame 1", M.l, M.t + ph + 5);
    ctx.textAlign = "right"; ctx.fillText(timed ? fmtDuration(d.duration) : "frame " + n, M.l + pw, M.t + ph + 5);
  }

  const rFrame = document.createElement("b"), rTime = document.createTextNode("");
  const rOn = document.createElement("b"), rOff = document.createElement("b");
  function showReadout(i) {
    if (!rFrame.parentNode) {
      for (const node of [document.createTextNode("Frame "), rFrame, rTime, document.createTextNode(" \u00b7 ON "), rOn,
        document.createTextNode(" \u00b7 OFF "), rOff, document.createTextNode(" active pixels")]) readout.appendChild(node);
    }
    rFrame.textContent = String(i + 1);
    rTime.nodeValue = timed ? " (" + fmtRange(d.duration * i / n, d.duration * (i + 1) / n, unit) + ")" : "";
    rOn.textContent = fmtInt(on[i]);
    rOff.textContent = fmtInt(off[i]);
  }

  const schedule = () => { if (!raf) raf = requestAnimationFrame(() => { raf = 0; draw(); }); };
  const local = (ev) => ev.clientX - canvas.getBoundingClientRect().left;
  canvas.addEventListener("pointermove", (ev) => {
    const i = on ? frameAt(local(ev)) : -1;
    if (i !== hover) { hover = i; schedule(); }
    if (i >= 0) showReadout(i);
  });
  canvas.addEventListener("pointerleave", () => { hover = -1; schedule(); if (on) showReadout(player.current); });
  canvas.addEventListener("click", (ev) => {
    const i = on ? frameAt(local(ev)) : -1;
    if (i >= 0) player.seek(i);
  });
  player.onShow((i) => { if (on) { if (hover < 0) showReadout(i); schedule(); } });
  onDisplayChange(schedule);

  return {
    // the counts come from the decoded frames
    load(images) {
      on = new Float64Array(n); off = new Float64Array(n);
      images.forEach((img, i) => {
        on[i] = img.activeOn; off[i] = img.activeOff;
        peak = max(peak, on[i], off[i]);
      });
      showReadout(player.current);
      draw();
    },
    draw,
    layout: schedule,
    retheme: schedule,
  };
}
