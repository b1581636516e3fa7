// viewer-util.js: constants, DOM and storage helpers, value text, colours
const $ = (id) => document.getElementById(id);
const root = document.documentElement;
const query = new URLSearchParams(location.search);
const DEBUG = query.has("debug");
const LARGE_GRAPH = 1500;        // nodes; above this, pattern groups start collapsed
const WORKER_MIN_UNITS = 400;    // smaller drawings are laid out synchronously
const MAX_DECODE = 4000000;      // histogram decoding stops above this many elements
const AUTO_HISTOGRAM = 262144;   // below this, histograms are computed on display
const SANS = 'system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", "Noto Sans", "Liberation Sans", Arial, sans-serif';
const MONO = 'ui-monospace, SFMono-Regular, Menlo, Consolas, "DejaVu Sans Mono", "Liberation Mono", monospace';
const DEFAULT_COLOR = "#90A4AE";
const KEY_RANKDIR = "nivra.viz.rankdir", KEY_THEME = "nivra.viz.theme";
const clamp = (v, lo, hi) => Math.max(lo, Math.min(hi, v));
const now = () => performance.now();

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text != null) e.textContent = text;
  return e;
}
const store = {
  get(k) { try { return localStorage.getItem(k); } catch (e) { return null; } },
  set(k, v) { try { localStorage.setItem(k, v); } catch (e) { /* storage may be disabled */ } },
};

/* Document values are plain data. JSON.parse gives every key as an own property; names
 * the document chooses (config keys, display_params, type names, dtypes) are looked up with
 * own() or in Maps, never through the prototype. Fixed field names (id, type, config, ...)
 * are none of Object.prototype's, so reading them directly sees only the document's data.
 * Values become text through text() and numbers through num(): String() and Number() call
 * the value's own toString/valueOf, and a document may hold keys of those names. */
const hasOwn = (o, k) => Object.prototype.hasOwnProperty.call(o, k);
function own(o, k) { return o !== null && typeof o === "object" && hasOwn(o, k) ? o[k] : undefined; }
function text(v) { return typeof v === "string" ? v : v !== null && typeof v === "object" ? valueText(v) : String(v); }
function num(v) { return typeof v === "number" ? v : typeof v === "string" || typeof v === "boolean" ? Number(v) : NaN; }

// An encoded array; its "data" is null when the page was written without the payload.
function isEncodedArray(v) {
  return v != null && typeof v === "object" && (typeof v.data === "string" || v.data === null) &&
    typeof v.dtype === "string" && Array.isArray(v.shape);
}
function shapeText(s) {
  if (s == null) return "—";
  if (Array.isArray(s)) return "[" + s.map((x) => (Array.isArray(x) ? shapeText(x) : text(x))).join(", ") + "]";
  return valueText(s);
}
function shapeShort(s) {
  if (Array.isArray(s) && s.every((x) => typeof x === "number")) return s.join("×");
  return s == null ? "" : shapeText(s);
}
function valueText(v, depth = 0) {
  if (v === null || v === undefined) return "null";
  if (typeof v === "number") return Number.isNaN(v) ? "NaN" : Number.isFinite(v) ? String(v) : v > 0 ? "Infinity" : "-Infinity";
  if (typeof v === "string") return depth ? JSON.stringify(v) : v;
  if (typeof v !== "object") return String(v);
  if (isEncodedArray(v)) return "array " + v.dtype + " " + shapeText(v.shape);
  if (depth > 3) return Array.isArray(v) ? "[…]" : "{…}";
  let out;
  if (Array.isArray(v)) {
    const parts = v.slice(0, 32).map((x) => valueText(x, depth + 1));
    if (v.length > 32) parts.push("… " + (v.length - 32) + " more");
    out = "[" + parts.join(", ") + "]";
  } else {
    const keys = Object.keys(v);
    const parts = keys.slice(0, 24).map((k) => JSON.stringify(k) + ": " + valueText(v[k], depth + 1));
    if (keys.length > 24) parts.push("… " + (keys.length - 24) + " more");
    out = "{" + parts.join(", ") + "}";
  }
  return out.length > 2000 ? out.slice(0, 2000) + "…" : out;
}

/* Colours: every colour from the document goes through the canvas parser and is kept only
 * when it comes back as "#rrggbb" or "rgba(r, g, b, a)", the forms the colour arithmetic
 * below reads. Anything else (lab(), oklch(), color(display-p3 ...), garbage) counts as
 * missing, so the canvas, the legends, the details and both exports show the same default. */
const probe = document.createElement("canvas").getContext("2d");
const colorCache = new Map();
const SRGB = /^(?:#[0-9a-f]{6}|rgba\(\d{1,3}, \d{1,3}, \d{1,3}, [\d.e-]+\))$/;
function safeColor(c, fallback) {
  if (typeof c !== "string" || !c) return fallback;
  if (colorCache.has(c)) return colorCache.get(c) || fallback;
  // A colour the parser refuses leaves fillStyle as it was: two different starting values tell.
  probe.fillStyle = "#010203"; probe.fillStyle = c;
  const got = probe.fillStyle;
  probe.fillStyle = "#040506"; probe.fillStyle = c;
  const v = got === probe.fillStyle && typeof got === "string" && SRGB.test(got) ? got : null;
  colorCache.set(c, v);
  return v || fallback;
}
function rgb(c) {
  if (c[0] === "#") return [1, 3, 5].map((i) => parseInt(c.slice(i, i + 2), 16));
  const m = c.match(/[\d.]+/g) || [0, 0, 0];
  return [Number(m[0]), Number(m[1]), Number(m[2])];
}
const hex2 = (v) => clamp(Math.round(v), 0, 255).toString(16).padStart(2, "0");
const mixCache = new Map();
function mix(a, b, t) {
  const key = a + b + t;
  let v = mixCache.get(key);
  if (!v) {
    const x = rgb(a), y = rgb(b);
    v = "#" + hex2(x[0] + (y[0] - x[0]) * t) + hex2(x[1] + (y[1] - x[1]) * t) + hex2(x[2] + (y[2] - x[2]) * t);
    mixCache.set(key, v);
  }
  return v;
}
function alpha(c, a) { const [r, g, b] = rgb(c); return `rgba(${r},${g},${b},${a})`; }
function isLight(c) { const [r, g, b] = rgb(c); return 0.299 * r + 0.587 * g + 0.114 * b > 160; }

