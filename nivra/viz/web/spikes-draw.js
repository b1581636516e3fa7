// spikes-draw.js: a stored image onto a canvas whose pixels are exactly the device pixels it covers
// An image shown smaller than its pixel size is reduced here, not by the browser's
// smoothing: each canvas pixel takes the largest value (per channel) of the block of image
// pixels it covers, so one event stays one visible dot. A larger image is enlarged here too,
// with hard pixel edges. The canvas takes a whole number of CSS pixels (the browser places
// and sizes boxes on whole CSS pixels, so a fractional size shows a column more or less
// than the canvas has, dropping or doubling one) and a backing store of exactly the device
// pixels that covers, so the screen shows it one to one. The work follows the
// number of stored pixels, and the canvas pixel buffers are reused.

const BLACK = new Uint32Array(new Uint8Array([0, 0, 0, 255]).buffer)[0];
const blockMaps = new Map();

// Which canvas column (row) each image column (row) falls into.
function blockMap(w, h, ow, oh) {
  const key = w + "x" + h + ">" + ow + "x" + oh;
  let m = blockMaps.get(key);
  if (!m) {
    const col = new Int32Array(w), rowBase = new Int32Array(h);
    for (let x = 0; x < w; x++) col[x] = floor(x * ow / w);
    for (let y = 0; y < h; y++) rowBase[y] = floor(y * oh / h) * ow;
    if (blockMaps.size > 16) blockMaps.clear();
    m = { col, rowBase };
    blockMaps.set(key, m);
  }
  return m;
}

let planeOn = new Uint8Array(0), planeOff = new Uint8Array(0);

// Paints `image` into `out` (ImageData, at most the image's size) through the tables `luts`.
// Stored pixels are visited once each; a busy image first takes its block maxima in two
// planes and then maps each canvas pixel, which keeps the inner loop free of table lookups.
function paintImage(image, out, luts) {
  const { w, h } = image, ow = out.width, oh = out.height, d = out.data;
  const { col, rowBase } = blockMap(w, h, ow, oh);
  const lutOn = luts.on, lutOff = luts.off, on = image.on, off = image.off, idx = image.idx;
  if (idx) {
    new Uint32Array(d.buffer, d.byteOffset, ow * oh).fill(BLACK);
    for (let k = 0, n = image.count; k < n; k++) {
      const i = idx[k], y = (i / w) | 0, o = (rowBase[y] + col[i - y * w]) << 2;
      const r = lutOff[off[k]], b = lutOn[on[k]];
      if (r > d[o]) d[o] = r;
      if (b > d[o + 2]) d[o + 2] = b;
    }
    return;
  }
  const size = ow * oh;
  if (planeOn.length < size) { planeOn = new Uint8Array(size); planeOff = new Uint8Array(size); }
  const mOn = planeOn, mOff = planeOff;
  mOn.fill(0, 0, size); mOff.fill(0, 0, size);
  for (let y = 0, k = 0; y < h; y++) {
    const rb = rowBase[y];
    for (let x = 0; x < w; x++, k++) {
      const o = rb + col[x], a = on[k], b = off[k];
      if (a > mOn[o]) mOn[o] = a;
      if (b > mOff[o]) mOff[o] = b;
    }
  }
  for (let o = 0, q = 0; o < size; o++, q += 4) {
    d[q] = lutOff[mOff[o]]; d[q + 1] = 0; d[q + 2] = lutOn[mOn[o]]; d[q + 3] = 255;
  }
}

const canvasBuffers = new WeakMap();
const stretch = document.createElement("canvas");

const deviceRatio = () => window.devicePixelRatio || 1;

// Whole CSS pixels across the content box of `el`: what a canvas inside it can fill.
function contentWidth(el) {
  const cs = getComputedStyle(el), px = (v) => parseFloat(v) || 0;
  const css = el.getBoundingClientRect().width - px(cs.paddingLeft) - px(cs.paddingRight) -
    px(cs.borderLeftWidth) - px(cs.borderRightWidth);
  return max(1, floor(css + 1e-6));
}

// Shows `image` on `canvas` at cssW x cssH (whole) CSS pixels, with a backing store of
// exactly the device pixels that covers. The image is reduced by block maxima to at most
// its own size, then enlarged without smoothing to fill the rest, so every image pixel
// keeps at least one canvas pixel.
function showImage(canvas, image, cssW, cssH) {
  const dpr = deviceRatio();
  cssW = max(1, round(cssW)); cssH = max(1, round(cssH));
  const devW = max(1, round(cssW * dpr)), devH = max(1, round(cssH * dpr));
  if (canvas.width !== devW || canvas.height !== devH) { canvas.width = devW; canvas.height = devH; }
  if (canvas.style.width !== cssW + "px") canvas.style.width = cssW + "px";
  if (canvas.style.height !== cssH + "px") canvas.style.height = cssH + "px";
  const ow = min(image.w, devW), oh = min(image.h, devH);
  let buf = canvasBuffers.get(canvas);
  const ctx = buf ? buf.ctx : canvas.getContext("2d");
  if (!buf || buf.data.width !== ow || buf.data.height !== oh) {
    buf = { ctx, data: ctx.createImageData(ow, oh) };
    canvasBuffers.set(canvas, buf);
  }
  paintImage(image, buf.data, lutsFor(image));
  if (ow === devW && oh === devH) { ctx.putImageData(buf.data, 0, 0); return; }
  if (stretch.width !== ow || stretch.height !== oh) { stretch.width = ow; stretch.height = oh; }
  stretch.getContext("2d").putImageData(buf.data, 0, 0);
  ctx.imageSmoothingEnabled = false;
  ctx.drawImage(stretch, 0, 0, devW, devH);
}

// A canvas holding `image` as shown (contrast and polarity), `scale` times its pixel size.
function imageCanvas(image, scale) {
  const src = document.createElement("canvas");
  src.width = image.w; src.height = image.h;
  const data = src.getContext("2d").createImageData(image.w, image.h);
  paintImage(image, data, lutsFor(image));
  src.getContext("2d").putImageData(data, 0, 0);
  if (scale === 1) return src;
  const big = document.createElement("canvas");
  big.width = image.w * scale; big.height = image.h * scale;
  const ctx = big.getContext("2d");
  ctx.imageSmoothingEnabled = false;
  ctx.drawImage(src, 0, 0, big.width, big.height);
  return big;
}
