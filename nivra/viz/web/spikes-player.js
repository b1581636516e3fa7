// spikes-player.js: the animation player: frames on a canvas, buttons, slider
function buildPlayer(d, onFrame) {
  const n = d.frames.length;
  if (!n) {
    byId("player").replaceWith(emptyBox("No animation frames", "This document has no frames to play."));
    byId("save-frame").hidden = true;
    return { load: () => Promise.resolve([]), layout() {}, seek() {}, redraw() {}, keys: null, images: [], current: 0 };
  }
  const canvas = byId("frame"), stage = byId("stage");
  const slider = byId("slider"), playBtn = byId("play"), loop = byId("loop"), speed = byId("speed");
  const unit = timeUnit(d.duration), timed = d.duration > 0;
  let images = [];
  let current = 0, playing = false, raf = 0, last = 0, acc = 0;
  const listeners = [];
  slider.max = String(n - 1);
  setText("player-sub", n + " frame" + (n === 1 ? "" : "s") + (timed ? ", " + fmtDuration(d.duration / n) + " each" : ""));

  const info = byId("frame-info");
  const infoFrame = document.createElement("b"), infoTime = document.createTextNode("");
  info.appendChild(infoFrame); info.appendChild(infoTime);

  // the CSS size the frame is shown at: whole multiples of the sensor when enlarged
  let shownSize = { w: 0, h: 0 };
  function fit(img) {
    const w = img ? img.w : d.width, h = img ? img.h : d.height;
    const availW = max(50, stage.clientWidth - 24);
    const availH = max(120, min(560, window.innerHeight * 0.62));
    let s = min(availW / w, availH / h);
    if (s >= 1) s = floor(s);
    shownSize = { w: max(1, round(w * s)), h: max(1, round(h * s)) };
    canvas.style.width = shownSize.w + "px";
    canvas.style.height = shownSize.h + "px";
  }
  function paint() {
    const img = images[current];
    if (!img) return;
    showImage(canvas, img, shownSize.w, shownSize.h);
  }

  function show(i) {
    const prev = images[current];
    current = i;
    const img = images[i];
    if (img && (!prev || prev.w !== img.w || prev.h !== img.h || !shownSize.w)) fit(img);
    paint();
    slider.value = String(i);
    slider.setAttribute("aria-valuetext", "Frame " + (i + 1) + " of " + n);
    infoFrame.textContent = "Frame " + (i + 1) + " / " + n;
    infoTime.nodeValue = timed ? " \u00b7 " + fmtRange(d.duration * i / n, d.duration * (i + 1) / n, unit) : "";
    root.dataset.frame = String(i);
    onFrame(i, n);
    for (const fn of listeners) fn(i);
  }
  const seek = (i) => show(max(0, min(n - 1, i)));
  function setPlaying(on) {
    playing = on;
    byId("play-icon").setAttribute("d", on ? "M6 5h4v14H6zM14 5h4v14h-4z" : "M7 5v14l12-7z");
    playBtn.setAttribute("aria-label", on ? "Pause" : "Play");
    playBtn.title = on ? "Pause (Space)" : "Play (Space)";
    if (on) {
      if (current === n - 1 && !loop.checked) show(0);
      last = 0; acc = 0;
      if (!raf) raf = requestAnimationFrame(tick);
    }
  }
  function tick(now) {
    raf = 0;
    if (!playing) return;
    if (last) acc += now - last;
    last = now;
    const step = 1000 / Number(speed.value);
    if (acc >= step) {
      acc = acc % step;
      if (current + 1 < n) show(current + 1);
      else if (loop.checked) show(0);
      else { setPlaying(false); return; }
    }
    raf = requestAnimationFrame(tick);
  }
  const toggle = () => setPlaying(!playing);
  const stopAt = (i) => { setPlaying(false); seek(i); };

  playBtn.addEventListener("click", toggle);
  byId("prev").addEventListener("click", () => stopAt(current - 1));
  byId("next").addEventListener("click", () => stopAt(current + 1));
  byId("first").addEventListener("click", () => stopAt(0));
  byId("last").addEventListener("click", () => stopAt(n - 1));
  slider.addEventListener("input", () => seek(Number(slider.value)));

  fit(null);
  return {
    load() {
      return decodeAll(d.frames, (i) => "animation frame " + (i + 1) + " of " + n, true).then((list) => {
        images = list;
        show(current);
        return list;
      });
    },
    layout() { fit(images[current]); paint(); },
    redraw: paint,
    seek: stopAt,
    onShow(fn) { listeners.push(fn); },
    get images() { return images; },
    get current() { return current; },
    // the page's own keys
    keys: {
      " ": toggle,
      ArrowLeft: () => stopAt(current - 1),
      ArrowRight: () => stopAt(current + 1),
      Home: () => stopAt(0),
      End: () => stopAt(n - 1),
    },
  };
}
