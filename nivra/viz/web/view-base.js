// view-base.js: the viewer's page helpers (the names the shared drawing, contrast and key code use)
const { floor, ceil, min, max, round } = Math;
const root = document.documentElement;
const byId = (id) => document.getElementById(id);
const setText = (id, text) => { byId(id).textContent = text; };
const fail = window.spikePageFail;
const own = (obj, key) => Object.prototype.hasOwnProperty.call(obj, key);
const clamp = (v, lo, hi) => max(lo, min(hi, v));
const cssVar = (name) => getComputedStyle(root).getPropertyValue(name).trim();

// A time in the page's words: "4.1200 s", "12.50 ms", "300 \u00b5s", for a span of `scale` us.
function fmtTime(us, scale) {
  const span = scale === undefined ? us : scale;
  if (span >= 1e6) return (us / 1e6).toFixed(span >= 1e7 ? 2 : 3) + " s";
  if (span >= 1e3) return (us / 1e3).toFixed(2) + " ms";
  return (Number.isInteger(us) ? String(us) : us.toFixed(1)) + " \u00b5s";
}

// "1.5s", "20ms", "500us", "2.25" (seconds) -> microseconds, or NaN.
function parseTime(text) {
  const m = /^\s*([0-9]*\.?[0-9]+)\s*(s|ms|us|\u00b5s)?\s*$/i.exec(String(text));
  if (!m) return NaN;
  const unit = (m[2] || "s").toLowerCase();
  return Number(m[1]) * (unit === "s" ? 1e6 : unit === "ms" ? 1e3 : 1);
}
