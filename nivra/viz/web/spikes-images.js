// spikes-images.js: every PNG of the document decoded once into its ON and OFF values
// A stored image keeps what the page draws from: the blue (ON) and red (OFF) values, which
// event documents write on one black background (green is always zero). An image with
// non-zero pixels on fewer than a third of its area keeps those pixels only (index and two
// values); a busier one keeps both planes whole. Memory follows the activity and stays at
// most two bytes per pixel, and drawing an image never decodes it again.

const scratch = document.createElement("canvas");
const scratchCtx = scratch.getContext("2d", { willReadFrequently: true });

function decodePng(b64, what) {
  const img = new Image();
  img.decoding = "async";
  img.src = PNG + b64;
  return img.decode().then(() => img, () => {
    throw new Error(what + " is not a readable PNG image");
  });
}

// `shared`: ON and OFF were scaled by one peak (animation frames), so contrast keeps them
// comparable; otherwise (time bins) each polarity has its own scale.
function storeImage(img, shared) {
  const w = img.naturalWidth, h = img.naturalHeight, area = w * h;
  scratch.width = w; scratch.height = h;
  scratchCtx.clearRect(0, 0, w, h);
  scratchCtx.drawImage(img, 0, 0);
  const px = scratchCtx.getImageData(0, 0, w, h).data;
  const histOn = new Uint32Array(256), histOff = new Uint32Array(256);
  let nnz = 0;
  for (let i = 0, end = area * 4; i < end; i += 4) {
    const r = px[i], b = px[i + 2];
    histOff[r]++; histOn[b]++;
    if (r || b) nnz++;
  }
  const sparse = nnz * 3 <= area;
  const on = new Uint8Array(sparse ? nnz : area), off = new Uint8Array(sparse ? nnz : area);
  const idx = sparse ? new Uint32Array(nnz) : null;
  for (let p = 0, k = 0; p < area; p++) {
    const r = px[p * 4], b = px[p * 4 + 2];
    if (!sparse) { off[p] = r; on[p] = b; } else if (r || b) { idx[k] = p; off[k] = r; on[k] = b; k++; }
  }
  // pixels whose stored value is above zero; what the activity chart plots
  const activeOn = area - histOn[0], activeOff = area - histOff[0];
  histOn[0] = 0; histOff[0] = 0;
  return { w, h, idx, on, off, count: sparse ? nnz : area, activeOn, activeOff, shared, gains: autoGains(histOn, histOff, shared) };
}

// Decodes `list` (image strings) a few at a time, so only a few full bitmaps are alive at once.
function decodeAll(list, what, shared) {
  const out = new Array(list.length);
  let next = 0;
  const work = () => {
    if (next >= list.length) return Promise.resolve();
    const i = next++;
    return decodePng(list[i], what(i)).then((img) => { out[i] = storeImage(img, shared); }).then(work);
  };
  const pool = [];
  for (let k = 0; k < min(4, list.length); k++) pool.push(work());
  return Promise.all(pool).then(() => out);
}
