// format.js: numbers, counts and times as text, the same on every page
// Shared by every page, so ASCII only (non-ASCII characters as \u escapes).

// Whole numbers with thousands separators: 1234567 -> "1,234,567".
const fmtInt = (n) => Number(n).toLocaleString("en-US");

// Compact counts: 1234 -> "1.23K", 5e9 -> "5B".
function fmtCompact(n) {
  n = Number(n) || 0;
  for (const [d, s] of [[1e12, "T"], [1e9, "B"], [1e6, "M"], [1e3, "K"]]) {
    if (Math.abs(n) >= d) {
      // Number() drops the trailing zeros: "1.50" -> 1.5
      return String(Number((n / d).toFixed(n / d >= 100 ? 0 : n / d >= 10 ? 1 : 2))) + s;
    }
  }
  return String(n);
}

// A count that may be fractional: whole numbers grouped, others to two decimals.
const fmtCount = (v) => (Number.isInteger(v) ? fmtInt(v) : String(Math.round(v * 100) / 100));

// Any value in four significant digits, exponent form when very large or very small.
function fmtNum(v) {
  if (typeof v !== "number") return v == null ? "\u2014" : String(v);
  if (Number.isNaN(v)) return "NaN";
  if (!Number.isFinite(v)) return v > 0 ? "Infinity" : "-Infinity";
  if (v === 0) return "0";
  const a = Math.abs(v);
  if (a >= 1e6 || a < 1e-3) return v.toExponential(3);
  if (Number.isInteger(v)) return String(v);
  return String(Number(v.toPrecision(4)));
}

// Times are in microseconds. The unit that suits a whole span:
function timeUnit(us) {
  if (us >= 1e6) return { div: 1e6, name: "s" };
  if (us >= 1e3) return { div: 1e3, name: "ms" };
  return { div: 1, name: "\u00b5s" };
}
function fmtIn(us, unit, digits) {
  const v = us / unit.div;
  if (digits === undefined) digits = unit.div === 1 ? (Number.isInteger(v) ? 0 : 1) : 2;
  return v.toFixed(digits);
}
// 999,999 us is "1.00 s", not "1000.00 ms": the unit is picked after rounding.
function fmtDuration(us) {
  let u = timeUnit(us);
  if (u.div < 1e6 && Number(fmtIn(us, u)) >= 1000) u = timeUnit(u.div * 1000);
  return fmtIn(us, u) + " " + u.name;
}
function fmtRange(a, b, unit) { return fmtIn(a, unit) + "\u2013" + fmtIn(b, unit) + " " + unit.name; }

// Axis ticks: a round step (1, 2 or 5 times a power of ten) for about `target` ticks,
// and tick labels with the digits that step needs.
function niceStep(span, target) {
  const raw = span / Math.max(1, target), mag = Math.pow(10, Math.floor(Math.log10(raw))), r = raw / mag;
  return (r <= 1 ? 1 : r <= 2 ? 2 : r <= 5 ? 5 : 10) * mag;
}
function fmtTick(v, step) {
  const digits = Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9)));
  return v.toFixed(digits);
}
