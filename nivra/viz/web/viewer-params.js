// viewer-params.js: parameter arrays: stats, histograms decoded on demand
const PAYLOAD_LEFT_OUT = "payload left out";
const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;
const DTYPES = new Map([
  ["float16", ["f", 2]], ["float32", ["f", 4]], ["float64", ["f", 8]],
  ["int8", ["i", 1]], ["int16", ["i", 2]], ["int32", ["i", 4]], ["int64", ["i", 8]],
  ["uint8", ["u", 1]], ["uint16", ["u", 2]], ["uint32", ["u", 4]], ["uint64", ["u", 8]], ["bool", ["b", 1]],
]);
function parseDtype(name) {
  const s = text(name), named = DTYPES.get(s);
  if (named) return { kind: named[0], size: named[1], le: true };
  const m = /^([<>|=]?)([fiub?])(\d*)$/.exec(s);
  if (!m) return null;
  const kind = m[2] === "?" ? "b" : m[2], size = Number(m[3] || 1);
  if (!Array.from(DTYPES.values()).some(([k, z]) => k === kind && z === size)) return null;
  return { kind, size, le: m[1] !== ">" };
}
function half(bits) {
  const s = bits & 0x8000 ? -1 : 1, e = (bits >> 10) & 0x1f, f = bits & 0x3ff;
  if (e === 0) return s * f * Math.pow(2, -24);
  if (e === 31) return f ? NaN : s * Infinity;
  return s * (1 + f / 1024) * Math.pow(2, e - 15);
}
function decodeArray(arr) {
  if (typeof arr.data !== "string") throw new Error(PAYLOAD_LEFT_OUT);
  const dt = parseDtype(arr.dtype);
  if (!dt) throw new Error("unsupported dtype " + text(arr.dtype));
  const bin = atob(arr.data);
  const bytes = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
  const count = Math.floor(bytes.length / dt.size), out = new Float64Array(count);
  const dv = new DataView(bytes.buffer), le = dt.le;
  if (le === LITTLE_ENDIAN && dt.kind === "f" && dt.size === 4) out.set(new Float32Array(bytes.buffer, 0, count));
  else if (le === LITTLE_ENDIAN && dt.kind === "f" && dt.size === 8) out.set(new Float64Array(bytes.buffer, 0, count));
  else {
    for (let i = 0; i < count; i++) {
      const o = i * dt.size;
      let v;
      switch (dt.kind + dt.size) {
        case "f2": v = half(dv.getUint16(o, le)); break;
        case "f4": v = dv.getFloat32(o, le); break;
        case "f8": v = dv.getFloat64(o, le); break;
        case "i1": v = dv.getInt8(o); break;
        case "i2": v = dv.getInt16(o, le); break;
        case "i4": v = dv.getInt32(o, le); break;
        case "i8": v = Number(dv.getBigInt64(o, le)); break;
        case "u1": v = dv.getUint8(o); break;
        case "u2": v = dv.getUint16(o, le); break;
        case "u4": v = dv.getUint32(o, le); break;
        case "u8": v = Number(dv.getBigUint64(o, le)); break;
        default: v = bytes[o] ? 1 : 0;
      }
      out[i] = v;
    }
  }
  return out;
}
function histogram(values, bins) {
  let lo = Infinity, hi = -Infinity, nan = 0, inf = 0;
  for (const v of values) { if (Number.isNaN(v)) nan++; else if (!Number.isFinite(v)) inf++; else { if (v < lo) lo = v; if (v > hi) hi = v; } }
  const counts = new Uint32Array(bins);
  if (lo <= hi) {
    const span = hi - lo || 1;
    for (const v of values) if (Number.isFinite(v)) counts[Math.min(bins - 1, Math.floor(((v - lo) / span) * bins))]++;
  }
  return { lo, hi, nan, inf, counts };
}
function drawHistogram(cv, h) {
  const dpr = window.devicePixelRatio || 1, W = cv.clientWidth || 300, H = 86;
  cv.width = W * dpr; cv.height = H * dpr;
  const c = cv.getContext("2d"); c.setTransform(dpr, 0, 0, dpr, 0, 0);
  const css = getComputedStyle(root), accent = css.getPropertyValue("--accent").trim() || "#2f6feb";
  const muted = css.getPropertyValue("--muted").trim() || "#666", line = css.getPropertyValue("--border").trim() || "#ddd";
  c.clearRect(0, 0, W, H);
  const max = Math.max(1, ...h.counts), bw = W / h.counts.length, top = 4, bottom = H - 16;
  c.fillStyle = accent;
  h.counts.forEach((n, i) => {
    if (!n) return;
    const bh = Math.max(1, ((bottom - top) * n) / max);
    c.fillRect(i * bw + 0.5, bottom - bh, Math.max(1, bw - 1), bh);
  });
  c.fillStyle = line; c.fillRect(0, bottom, W, 1);
  c.fillStyle = muted; c.font = "10px " + MONO; c.textBaseline = "bottom";
  c.textAlign = "left"; c.fillText(fmtNum(h.lo <= h.hi ? h.lo : NaN), 0, H);
  c.textAlign = "right"; c.fillText(fmtNum(h.lo <= h.hi ? h.hi : NaN), W, H);
}
function paramCard(parent, name, arr) {
  const card = el("div", "param");
  const ph = el("div", "ph");
  ph.appendChild(el("b", null, name));
  if (!isEncodedArray(arr)) {
    ph.appendChild(el("span", null, valueText(arr)));
    card.appendChild(ph); parent.appendChild(card); return;
  }
  const size = typeof arr.size === "number" ? arr.size : arr.shape.reduce((a, b) => a * num(b), 1);
  ph.appendChild(el("span", null, arr.dtype + " · " + shapeText(arr.shape) + " · " + fmtInt(size)));
  card.appendChild(ph);
  const st = el("div", "st");
  for (const key of ["min", "max", "mean", "std"]) {
    const v = own(arr.stats, key);
    const d = el("div"); d.appendChild(el("i", null, key));
    const b = el("b", null, v == null || typeof v === "number" ? fmtNum(v) : valueText(v)); b.title = valueText(v); b.dataset.stat = key;
    d.appendChild(b); st.appendChild(d);
  }
  card.appendChild(st);
  parent.appendChild(card);
  const note = el("div", "note");
  const show = () => {
    note.textContent = "";
    try {
      const values = decodeArray(arr);
      const h = histogram(values, 48);
      const cv = el("canvas"); cv.setAttribute("aria-label", "Histogram of " + name);
      card.insertBefore(cv, note);
      drawHistogram(cv, h);
      const extras = [];
      if (h.nan) extras.push(fmtInt(h.nan) + " NaN");
      if (h.inf) extras.push(fmtInt(h.inf) + " infinite");
      note.textContent = fmtInt(values.length) + " values decoded" + (extras.length ? " · " + extras.join(" · ") : "");
      card.dataset.histogram = "1";
    } catch (e) {
      note.textContent = "Histogram unavailable: " + (e && e.message ? e.message : String(e));
    }
  };
  card.appendChild(note);
  if (!size) note.textContent = "Empty array";
  else if (arr.data === null) {
    note.textContent = PAYLOAD_LEFT_OUT;
    note.title = "The page was written without this array's values; its shape, dtype and statistics are kept.";
    card.dataset.payload = "none";
  }
  else if (size > MAX_DECODE) note.textContent = "Histogram skipped: " + fmtInt(size) + " elements is above the " + fmtInt(MAX_DECODE) + " limit";
  else if (size <= AUTO_HISTOGRAM) setTimeout(show, 0);
  else {
    const b = el("button", "btn small", "Decode " + fmtInt(size) + " values for a histogram");
    b.addEventListener("click", show);
    note.appendChild(b);
  }
}

