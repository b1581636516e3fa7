// spikes-player.js: the animation player: frames on a canvas, buttons, slider, keys
function buildPlayer(d, onFrame) {
  const n = d.frames.length;
  if (!n) {
    byId("player").replaceWith(emptyBox("No animation frames", "This document has no frames to play."));
    return { ready: Promise.resolve(), layout() {}, seek() {} };
  }
  const canvas = byId("frame"), ctx = canvas.getContext("2d"), stage = byId("stage");
  const slider = byId("slider"), playBtn = byId("play"), loop = byId("loop"), speed = byId("speed");
  const unit = timeUnit(d.duration), timed = d.duration > 0;
  const images = new Array(n);
  let current = 0, playing = false, raf = 0, last = 0, acc = 0;
  slider.max = String(n - 1);
  setText("player-sub", n + " frame" + (n === 1 ? "" : "s") + (timed ? ", " + fmtDuration(d.duration / n) + " each" : ""));

  const info = byId("frame-info");
  const infoFrame = document.createElement("b"), infoTime = document.createTextNode("");
  info.appendChild(infoFrame); info.appendChild(infoTime);

  function show(i) {
    current = i;
    const img = images[i];
    if (img) {
      if (canvas.width !== img.naturalWidth || canvas.height !== img.naturalHeight) {
        canvas.width = img.naturalWidth; canvas.height = img.naturalHeight; layout();
      }
      ctx.imageSmoothingEnabled = false;
      ctx.clearRect(0, 0, canvas.width, canvas.height);
      ctx.drawImage(img, 0, 0);
    }
    slider.value = String(i);
    slider.setAttribute("aria-valuetext", "Frame " + (i + 1) + " of " + n);
    infoFrame.textContent = "Frame " + (i + 1) + " / " + n;
    infoTime.nodeValue = timed ? " \u00b7 " + fmtRange(d.duration * i / n, d.duration * (i + 1) / n, unit) : "";
    onFrame(i, n);
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
  document.addEventListener("keydown", (ev) => {
    if (ev.altKey || ev.ctrlKey || ev.metaKey) return;
    const tag = ev.target && ev.target.tagName;
    // form controls keep their own keys; a focused button keeps Space and Enter
    if (tag === "INPUT" || tag === "SELECT" || tag === "TEXTAREA") return;
    if (tag === "BUTTON" && (ev.key === " " || ev.key === "Enter")) return;
    const k = ev.key;
    if (k === " " || k === "Spacebar") toggle();
    else if (k === "ArrowLeft") stopAt(current - 1);
    else if (k === "ArrowRight") stopAt(current + 1);
    else if (k === "Home") stopAt(0);
    else if (k === "End") stopAt(n - 1);
    else return;
    ev.preventDefault();
  });

  // Integer zoom for small sensors keeps every sensor pixel the same size.
  function layout() {
    const w = canvas.width, h = canvas.height;
    const availW = max(50, stage.clientWidth - 24);
    const availH = max(120, min(560, window.innerHeight * 0.62));
    let s = min(availW / w, availH / h);
    if (s >= 1) s = floor(s);
    canvas.style.width = round(w * s) + "px";
    canvas.style.height = round(h * s) + "px";
    crispWhenEnlarged(canvas, w, w * s);
  }

  const ready = Promise.all(d.frames.map((b64, i) =>
    loadImage(b64, "animation frame " + (i + 1) + " of " + n).then((img) => { images[i] = img; }),
  )).then(() => show(0));
  canvas.width = d.width; canvas.height = d.height; layout();
  return { ready, layout, seek: stopAt };
}
