// view-stage.js: the frame on its stage: fitted, zoomed about the pointer, panned, crisp pixels
// Enlarged, every sensor pixel is a hard-edged block (no smoothing); reduced, each screen
// pixel shows the brightest of the sensor pixels it covers (the shared block-maximum
// drawing), so one event stays one visible dot at any zoom.
const ZOOM_MAX = 64;

function buildStage(onHover) {
  const stage = byId("stage"), canvas = byId("frame"), ctx = canvas.getContext("2d");
  const buffer = document.createElement("canvas"), bufferCtx = buffer.getContext("2d");
  let image = null, painted = null, data = null;
  let sensor = { w: 1, h: 1 }, size = { w: 0, h: 0, dpr: 1 };
  let view = { scale: 1, x: 0, y: 0 }, fitted = true, raf = 0;

  function resize() {
    const dpr = window.devicePixelRatio || 1, w = stage.clientWidth, h = stage.clientHeight;
    if (w === size.w && h === size.h && dpr === size.dpr) return false;
    size = { w, h, dpr };
    canvas.width = max(1, round(w * dpr)); canvas.height = max(1, round(h * dpr));
    return true;
  }
  function fitScale() {
    const s = min(size.w / sensor.w, size.h / sensor.h);
    return s >= 1 ? floor(s) : s;  // enlarged by whole multiples: every pixel the same size
  }
  function fit() {
    resize();
    view.scale = max(1e-3, fitScale());
    view.x = (size.w - sensor.w * view.scale) / 2;
    view.y = (size.h - sensor.h * view.scale) / 2;
    fitted = true;
    painted = null;
    schedule();
  }
  function label() {
    byId("zoom-label").textContent = fitted ? "fit" : (view.scale >= 10 ? round(view.scale) : view.scale.toFixed(view.scale < 1 ? 2 : 1)) + "\u00d7";
  }

  // the image as drawn (contrast, polarity) into the buffer: full size, or reduced to `ow` x `oh`
  function paint(ow, oh) {
    const key = ow + "x" + oh;
    if (painted === key) return;
    if (buffer.width !== ow || buffer.height !== oh) { buffer.width = ow; buffer.height = oh; }
    if (!data || data.width !== ow || data.height !== oh) data = bufferCtx.createImageData(ow, oh);
    paintImage(image, data, lutsFor(image));
    bufferCtx.putImageData(data, 0, 0);
    painted = key;
  }
  function draw() {
    raf = 0;
    if (resize() && fitted) { fit(); return; }
    const dpr = size.dpr;
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.clearRect(0, 0, canvas.width, canvas.height);
    label();
    if (!image) return;
    const s = view.scale * dpr, x = view.x * dpr, y = view.y * dpr;
    if (s < 1) {
      const ow = max(1, round(image.w * s)), oh = max(1, round(image.h * s));
      paint(ow, oh);
      ctx.drawImage(buffer, round(x), round(y));
    } else {
      paint(image.w, image.h);
      ctx.imageSmoothingEnabled = false;
      ctx.drawImage(buffer, round(x), round(y), round(image.w * s), round(image.h * s));
    }
    // the sensor's edge, faintly, so an empty frame still shows where the sensor is
    ctx.strokeStyle = "rgba(160,170,185,.28)";
    ctx.lineWidth = 1;
    ctx.strokeRect(round(x) - 0.5, round(y) - 0.5, round(image.w * max(s, 0)) + 1, round(image.h * max(s, 0)) + 1);
  }
  const schedule = () => { if (!raf) raf = requestAnimationFrame(draw); };

  function zoomAt(factor, cx, cy) {
    const lo = min(fitScale(), 1) / 4, next = clamp(view.scale * factor, lo, ZOOM_MAX);
    if (next === view.scale) return;
    view.x = cx - (cx - view.x) * next / view.scale;
    view.y = cy - (cy - view.y) * next / view.scale;
    view.scale = next;
    fitted = false;
    painted = null;
    schedule();
  }
  const centre = () => [size.w / 2, size.h / 2];

  stage.addEventListener("wheel", (ev) => {
    ev.preventDefault();
    const r = stage.getBoundingClientRect();
    zoomAt(Math.pow(1.0015, -ev.deltaY * (ev.deltaMode === 1 ? 33 : 1)), ev.clientX - r.left, ev.clientY - r.top);
  }, { passive: false });
  let drag = null;
  stage.addEventListener("pointerdown", (ev) => {
    if (ev.button !== 0 || ev.target.closest(".zoombar")) return;
    drag = { x: ev.clientX, y: ev.clientY, vx: view.x, vy: view.y };
    stage.setPointerCapture(ev.pointerId);
    stage.classList.add("dragging");
  });
  stage.addEventListener("pointermove", (ev) => {
    const r = stage.getBoundingClientRect(), mx = ev.clientX - r.left, my = ev.clientY - r.top;
    if (drag) {
      view.x = drag.vx + ev.clientX - drag.x;
      view.y = drag.vy + ev.clientY - drag.y;
      fitted = false;
      schedule();
    }
    const px = floor((mx - view.x) / view.scale), py = floor((my - view.y) / view.scale);
    onHover(px >= 0 && py >= 0 && px < sensor.w && py < sensor.h ? [px, py] : null);
  });
  const endDrag = () => { drag = null; stage.classList.remove("dragging"); };
  stage.addEventListener("pointerup", endDrag);
  stage.addEventListener("pointercancel", endDrag);
  stage.addEventListener("pointerleave", () => onHover(null));
  stage.addEventListener("dblclick", fit);
  byId("zoom-in").addEventListener("click", () => zoomAt(2, ...centre()));
  byId("zoom-out").addEventListener("click", () => zoomAt(0.5, ...centre()));
  byId("zoom-fit").addEventListener("click", fit);

  return {
    setSensor(w, h) { sensor = { w, h }; fit(); },
    show(img) { image = img; painted = null; schedule(); },
    redraw() { painted = null; schedule(); },
    layout: schedule,
    fit,
    zoomIn: () => zoomAt(2, ...centre()),
    zoomOut: () => zoomAt(0.5, ...centre()),
    get image() { return image; },
    // draws now (for callers waiting until the frame is on screen)
    flush() { if (raf) { cancelAnimationFrame(raf); draw(); } },
  };
}
