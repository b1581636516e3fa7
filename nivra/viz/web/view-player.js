// view-player.js: the frame [t, t + window): requests, playback in real time, stepping, scrubbing, hot pixels
// One frame request is in flight at a time; while it is, only the newest wish is kept, so
// scrubbing and fast playback never queue up stale frames. Playback follows the clock:
// at speed s, one second of the page's time shows s seconds of the recording.
const WINDOWS_US = [100, 200, 500, 1e3, 2e3, 5e3, 1e4, 2e4, 5e4, 1e5, 2e5, 5e5, 1e6, 2e6, 5e6, 1e7];
const SPEEDS = [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100];
const fmtSpeed = (s) => "\u00d7" + (s < 1 ? "1/" + round(1 / s) : String(s));

function buildPlayer(stage, overview, controls) {
  const scrub = byId("scrub"), windowSel = byId("window"), speedSel = byId("speed"), loop = byId("loop");
  const playBtn = byId("play"), hotBox = byId("hot"), timeText = byId("time-readout"), pixel = byId("pixel-readout");
  let rec = null, generation = 0, hidden = null;
  let t = 0, win = 1e4, frame = null, shown = null;
  let wanted = null, busy = false, waiters = [];
  let playing = false, anchor = null, raf = 0, lastFetchMs = 0, scrubbing = false;

  for (const s of SPEEDS) {
    const o = document.createElement("option");
    o.value = String(s); o.textContent = fmtSpeed(s);
    if (s === 1) o.selected = true;
    speedSel.appendChild(o);
  }
  function fillWindows(info) {
    windowSel.replaceChildren();
    const list = WINDOWS_US.slice();
    if (!list.includes(info.default_window_us)) list.push(info.default_window_us);
    list.sort((a, b) => a - b);
    for (const us of list) {
      const o = document.createElement("option");
      o.value = String(us);
      o.textContent = us === info.default_window_us && !WINDOWS_US.includes(us) ? "whole (" + fmtDuration(us) + ")" : fmtDuration(us);
      windowSel.appendChild(o);
    }
    windowSel.value = String(info.default_window_us);
  }

  // the window menu shows the window drawn, also one asked for from a script
  function syncWindow(us) {
    if (windowSel.value === String(us)) return;
    if (!Array.from(windowSel.options).some((o) => o.value === String(us))) {
      const o = document.createElement("option");
      o.value = String(us); o.textContent = fmtDuration(us);
      const after = Array.from(windowSel.options).find((x) => Number(x.value) > us);
      windowSel.insertBefore(o, after || null);
    }
    windowSel.value = String(us);
  }
  const duration = () => (rec ? rec.duration_us : 0);
  const settle = (list, fn) => { for (const w of list) fn(w); };

  // asks for the frame at (start, window); resolves once a frame asked for at or after this
  // call is on screen
  function request(start, w) {
    const s = clamp(round(start), 0, floor(duration())), ww = clamp(round(w), 1, rec ? rec.max_window_us : 1e7);
    t = s; win = ww;
    wanted = { start: s, window: ww };
    const done = new Promise((resolve, reject) => waiters.push({ resolve, reject }));
    pump();
    return done;
  }
  async function pump() {
    if (busy || !wanted || !rec) return;
    const ask = wanted, gen = generation, mine = waiters;
    wanted = null; waiters = [];
    busy = true;
    const began = performance.now();
    let got = null;
    try {
      got = await fetchFrame(rec.id, ask.start, ask.window);
    } catch (err) {
      busy = false;
      if (gen !== generation) return;
      stageMessage("This frame could not be read: " + err.message);
      setPlaying(false);
      settle(mine, (w) => w.reject(err));
      pump();
      return;
    }
    busy = false;
    if (gen !== generation) return;
    lastFetchMs = performance.now() - began;
    frame = got;
    draw();
    stage.flush();
    requestAnimationFrame(() => {
      settle(mine, (w) => w.resolve({ start: got.start, window: got.window, events: got.events }));
      if (root.dataset.state === "loading") root.dataset.state = "ready";
    });
    pump();
  }

  function stageMessage(text) {
    const el = byId("stage-msg");
    el.hidden = !text;
    el.textContent = text || "";
  }

  function draw() {
    if (!frame || !rec) return;
    const w = rec.sensor[0], h = rec.sensor[1];
    shown = countsImage(frame, w, h, hotBox.checked ? hidden : null);
    stageMessage("");
    stage.show(shown);
    controls.showing(shown.gains);
    root.dataset.frameStart = String(frame.start);
    root.dataset.frameWindow = String(frame.window);
    root.dataset.frameEvents = String(frame.events);
    let inHot = 0;
    if (hotBox.checked && hidden) for (let k = 0; k < frame.n; k++) if (hidden[frame.idx[k]]) inHot += frame.on[k] + frame.off[k];
    const d = duration();
    timeText.replaceChildren();
    const b = document.createElement("b");
    b.textContent = fmtTime(frame.start, d) + " \u2013 " + fmtTime(frame.start + frame.window, d);
    timeText.appendChild(b);
    timeText.appendChild(document.createTextNode(" \u00b7 " + fmtInt(frame.events) + " events" +
      (inHot ? " (" + fmtInt(inHot) + " in hidden hot pixels)" : "") + " \u00b7 " + round(lastFetchMs) + " ms"));
    if (!scrubbing) scrub.value = String(frame.start);
    syncWindow(frame.window);
    overview.mark(frame.start, frame.window);
  }

  function hover(p) {
    if (!p || !frame || !rec) { pixel.textContent = ""; return; }
    const [on, off] = countsAt(frame, p[1] * rec.sensor[0] + p[0]);
    const hot = hidden && hidden[p[1] * rec.sensor[0] + p[0]] ? " \u00b7 hot pixel" : "";
    pixel.textContent = "x " + p[0] + ", y " + p[1] + " \u00b7 ON " + fmtInt(on) + " \u00b7 OFF " + fmtInt(off) + hot;
  }

  // --- playback -------------------------------------------------------------------------
  const speed = () => Number(speedSel.value) || 1;
  function setPlaying(on) {
    playing = on && !!rec;
    byId("play-icon").setAttribute("d", playing ? "M6 5h4v14H6zM14 5h4v14h-4z" : "M7 5v14l12-7z");
    playBtn.setAttribute("aria-label", playing ? "Pause" : "Play");
    playBtn.title = playing ? "Pause (Space)" : "Play (Space)";
    root.dataset.playing = String(playing);
    if (playing) {
      if (t >= duration() && !loop.checked) t = 0;
      anchor = { t, at: performance.now() };
      if (!raf) raf = requestAnimationFrame(tick);
    }
  }
  function tick(now) {
    raf = 0;
    if (!playing) return;
    let target = anchor.t + (now - anchor.at) * 1000 * speed();
    if (target > duration()) {
      if (loop.checked) { anchor = { t: 0, at: now }; target = 0; } else { request(duration(), win); setPlaying(false); return; }
    }
    if (!busy && !wanted) request(target, win).catch(() => {});
    raf = requestAnimationFrame(tick);
  }
  const reanchor = () => { if (playing) anchor = { t, at: performance.now() }; };
  const toggle = () => setPlaying(!playing);
  const go = (start) => { setPlaying(false); return request(start, win).catch(() => {}); };

  playBtn.addEventListener("click", toggle);
  byId("prev").addEventListener("click", () => go(t - win));
  byId("next").addEventListener("click", () => go(t + win));
  byId("first").addEventListener("click", () => go(0));
  byId("last").addEventListener("click", () => go(duration()));
  scrub.addEventListener("input", () => { scrubbing = true; request(Number(scrub.value), win).catch(() => {}); reanchor(); });
  scrub.addEventListener("change", () => { scrubbing = false; });
  windowSel.addEventListener("change", () => { request(t, Number(windowSel.value)).catch(() => {}); });
  speedSel.addEventListener("change", reanchor);
  hotBox.addEventListener("change", () => { draw(); root.dataset.hotHidden = String(hotBox.checked); });
  function nudgeWindow(dir) {
    const opts = Array.from(windowSel.options).map((o) => Number(o.value));
    const i = clamp(opts.indexOf(Number(windowSel.value)) + dir, 0, opts.length - 1);
    windowSel.value = String(opts[i]);
    request(t, opts[i]).catch(() => {});
  }

  return {
    // a recording opened: its info, activity and hot pixels; shows its first frame
    open(info, hot) {
      generation++;
      rec = info; frame = null; shown = null; wanted = null; busy = false;
      settle(waiters, (w) => w.reject(new Error("another recording was opened")));
      waiters = [];
      setPlaying(false);
      hidden = new Uint8Array(info.sensor[0] * info.sensor[1]);
      for (const p of hot) if (p < hidden.length) hidden[p] = 1;
      setText("hot-count", "(" + fmtInt(hot.length) + ")");
      byId("hot-box").title = info.hot.rule;
      fillWindows(info);
      scrub.max = String(floor(info.duration_us));
      scrub.value = "0";
      stage.setSensor(info.sensor[0], info.sensor[1]);
      return request(0, info.default_window_us);
    },
    close() { generation++; rec = null; setPlaying(false); stage.show(null); },
    show: (start, w) => { setPlaying(false); return request(start, w === undefined ? win : w); },
    jump: (start) => { request(start, win).catch(() => {}); reanchor(); },
    redraw: draw,
    hover,
    message: stageMessage,
    get image() { return shown; },
    get frame() { return frame; },
    get hotMask() { return hidden; },
    get info() { return rec; },
    get time() { return { start: t, window: win }; },
    keys: {
      " ": toggle,
      ArrowLeft: () => go(t - win),
      ArrowRight: () => go(t + win),
      Home: () => go(0),
      End: () => go(duration()),
      "[": () => nudgeWindow(-1),
      "]": () => nudgeWindow(1),
      "+": () => stage.zoomIn(),
      "=": () => stage.zoomIn(),
      "-": () => stage.zoomOut(),
      "0": () => stage.fit(),
      h: () => { hotBox.checked = !hotBox.checked; hotBox.dispatchEvent(new Event("change")); },
    },
  };
}
