// timeline-util.js: constants, DOM helpers, palettes, colours and text fitting
const $ = (id) => document.getElementById(id);
const root = document.documentElement;
const clamp = (v, lo, hi) => Math.max(lo, Math.min(hi, v));
const now = () => performance.now();
const SANS = 'system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", "Noto Sans", "Liberation Sans", Arial, sans-serif';
const MONO = 'ui-monospace, SFMono-Regular, Menlo, Consolas, "DejaVu Sans Mono", "Liberation Mono", monospace';
const DEFAULT_COLOR = "#90A4AE";
const KEY_THEME = "nivra.viz.theme";   // the graph viewer's key: linked pages share the pick

// Geometry of the drawing, in CSS pixels.
const GUTTER = 196;        // lane labels on the left
const AXIS_H = 30;         // time axis on top
const LANE_MIN = 22, LANE_MAX = 56;
const BAR_PAD = 3;         // space above and below a bar inside its lane
const LABEL_MIN_W = 36;    // bars narrower than this carry no text

// Canvas colours per theme (the panels follow theme.css).
const PALETTES = {
  light: {
    bg: "#fafbfc", laneA: "#ffffff", laneB: "#f4f6f8", gutter: "#ffffff", border: "#e1e4e8",
    grid: "rgba(27,31,39,.08)", text: "#1f2328", muted: "#656d76", axis: "#9aa3b2",
    barText: "#1f2328", barTextOnDark: "#ffffff", crit: "#d6336c", select: "#2f6feb",
    match: "#f0a500", dep: "rgba(90,100,120,.55)", depHi: "#2f6feb", fade: 0.25, dense: "#8c959f",
  },
  dark: {
    bg: "#12151a", laneA: "#15191f", laneB: "#1a1e25", gutter: "#181b21", border: "#2a2f37",
    grid: "rgba(230,233,239,.07)", text: "#e6e8eb", muted: "#9aa4af", axis: "#5d6677",
    barText: "#0d1014", barTextOnDark: "#ffffff", crit: "#ff6b9a", select: "#5b9bff",
    match: "#ffc940", dep: "rgba(170,180,200,.5)", depHi: "#5b9bff", fade: 0.22, dense: "#6b7581",
  },
};

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text != null) e.textContent = text;
  return e;
}

// "#rgb" / "#rrggbb" (an alpha part is dropped) as [r, g, b]; anything else is the default.
function rgb(hex) {
  let h = /^#([0-9a-f]{3}|[0-9a-f]{6}|[0-9a-f]{8})$/i.test(hex) ? hex.slice(1) : DEFAULT_COLOR.slice(1);
  if (h.length === 3) h = h.replace(/./g, (c) => c + c);
  return [0, 2, 4].map((i) => parseInt(h.slice(i, i + 2), 16));
}
const hex2 = (v) => Math.round(clamp(v, 0, 255)).toString(16).padStart(2, "0");
function mix(a, b, t) {
  const x = rgb(a), y = rgb(b);
  return "#" + x.map((v, i) => hex2(v + (y[i] - v) * t)).join("");
}
function isLight(color) {
  const [r, g, b] = rgb(color);
  return 0.299 * r + 0.587 * g + 0.114 * b > 150;
}

// Text cut to fit `maxW` pixels with an ellipsis; `probe` is a 2-D context set to the font.
function fitText(probe, text, maxW) {
  if (maxW <= 0) return "";
  if (probe.measureText(text).width <= maxW) return text;
  let lo = 0, hi = text.length;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (probe.measureText(text.slice(0, mid) + "\u2026").width <= maxW) lo = mid; else hi = mid - 1;
  }
  return lo ? text.slice(0, lo) + "\u2026" : "";
}

// Text for XML (SVG export): markup characters as entities, characters XML forbids replaced.
function xml(s) {
  return String(s).replace(/[\u0000-\u0008\u000B\u000C\u000E-\u001F\uFFFE\uFFFF]/g, "\uFFFD")
    .replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
}
