// view-image.js: a frame's counts as the stored image the shared drawing and contrast code take
// The counts are coloured as on the spike page: ON and OFF on one scale, the frame's busiest
// pixel at 255; hot pixels, when hidden, are left out before the scale is taken. The result
// has the fields that paintImage, imageCanvas and the automatic contrast read.
function countsImage(frame, w, h, hidden) {
  const { idx, on, off, n } = frame, area = w * h;
  let peak = 1, kept = 0;
  for (let k = 0; k < n; k++) {
    if (hidden && hidden[idx[k]]) continue;
    kept++;
    if (on[k] > peak) peak = on[k];
    if (off[k] > peak) peak = off[k];
  }
  const scale = 255 / peak;
  const sparse = kept * 3 <= area;
  const vOn = new Uint8Array(sparse ? kept : area), vOff = new Uint8Array(sparse ? kept : area);
  const vIdx = sparse ? new Uint32Array(kept) : null;
  const histOn = new Uint32Array(256), histOff = new Uint32Array(256);
  let activeOn = 0, activeOff = 0;
  for (let k = 0, j = 0; k < n; k++) {
    const p = idx[k];
    if (hidden && hidden[p]) continue;
    const a = min(255, floor(on[k] * scale)), b = min(255, floor(off[k] * scale));
    histOn[a]++; histOff[b]++;
    if (a) activeOn++;
    if (b) activeOff++;
    if (sparse) { vIdx[j] = p; vOn[j] = a; vOff[j] = b; j++; } else { vOn[p] = a; vOff[p] = b; }
  }
  histOn[0] = 0; histOff[0] = 0;
  return { w, h, idx: vIdx, on: vOn, off: vOff, count: sparse ? kept : area, activeOn, activeOff,
    shared: true, gains: autoGains(histOn, histOff, true), peak };
}

// The ON and OFF counts at flat pixel index p (the indices are ascending).
function countsAt(frame, p) {
  let a = 0, z = frame.n;
  while (a < z) { const m = (a + z) >> 1; if (frame.idx[m] < p) a = m + 1; else z = m; }
  return a < frame.n && frame.idx[a] === p ? [frame.on[a], frame.off[a]] : [0, 0];
}
