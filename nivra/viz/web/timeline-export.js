// timeline-export.js: SVG and PNG of the visible time window, every core, light colours
const r1 = (v) => Math.round(v * 10) / 10;

// The painter drawScene calls, writing SVG elements instead of pixels.
function svgPainter() {
  const out = [], probe = document.createElement("canvas").getContext("2d");
  let opacity = 1, clips = 0;
  const op = () => (opacity < 1 ? ` fill-opacity="${opacity}"` : "");
  return {
    out, probe,
    alpha(a) { opacity = a; },
    rect(x, y, w, h, f) { out.push(`<rect x="${r1(x)}" y="${r1(y)}" width="${r1(w)}" height="${r1(h)}" fill="${f}"${op()}/>`); },
    bar(x, y, w, h, f, a) { const was = opacity; opacity = a; this.rect(x, y, w, h, f); opacity = was; },
    flushBars() {},
    frame(x, y, w, h, stroke, lw) {
      out.push(`<rect x="${r1(x + lw / 2)}" y="${r1(y + lw / 2)}" width="${r1(Math.max(0, w - lw))}" height="${r1(Math.max(0, h - lw))}" fill="none" stroke="${stroke}" stroke-width="${lw}"/>`);
    },
    line(x0, y0, x1, y1, stroke, lw, dash) {
      out.push(`<path d="M${r1(x0)} ${r1(y0)}L${r1(x1)} ${r1(y1)}" stroke="${stroke}" stroke-width="${lw}"${dash ? ` stroke-dasharray="${dash.join(" ")}"` : ""}/>`);
    },
    arrows(stroke, lw) {
      const lines = [], heads = [];
      return {
        curve(x0, y0, x1, y1) { const h = bend(x0, x1); lines.push(`M${r1(x0)} ${r1(y0)}C${r1(x0 + h)} ${r1(y0)} ${r1(x1 - h)} ${r1(y1)} ${r1(x1)} ${r1(y1)}`); },
        line(x0, y0, x1, y1) { lines.push(`M${r1(x0)} ${r1(y0)}L${r1(x1)} ${r1(y1)}`); },
        head(x, y, s) { heads.push(`M${r1(x)} ${r1(y)}L${r1(x - s)} ${r1(y - s * 0.55)}L${r1(x - s)} ${r1(y + s * 0.55)}Z`); },
        done() {
          if (lines.length) out.push(`<path d="${lines.join("")}" fill="none" stroke="${stroke}" stroke-width="${lw}"/>`);
          if (heads.length) out.push(`<path d="${heads.join("")}" fill="${stroke}"/>`);
        },
      };
    },
    text(t, x, y, font, f, align) {
      const m = font.match(/^(?:(\d+) )?([\d.]+)px/), anchor = align === "right" ? "end" : align === "center" ? "middle" : "start";
      out.push(`<text x="${r1(x)}" y="${r1(y)}" font-size="${m[2]}"${m[1] ? ` font-weight="${m[1]}"` : ""} fill="${f}"${op()} text-anchor="${anchor}" dominant-baseline="central">${xml(t)}</text>`);
    },
    clip(x, y, w, h) {
      clips++;
      out.push(`<clipPath id="c${clips}"><rect x="${r1(x)}" y="${r1(y)}" width="${r1(w)}" height="${r1(h)}"/></clipPath><g clip-path="url(#c${clips})">`);
    },
    unclip() { out.push("</g>"); },
  };
}

// The whole height of the lanes, the current time window.
function exportView() {
  return { t0: S.vp.t0, t1: S.vp.t1, y: 0, W: S.vp.W, H: AXIS_H + contentH() };
}
function exportMarks() {
  return { hover: -1, selected: S.selected, deps: S.showDeps, crit: S.showCrit, match: null, searching: false, step: S.step };
}

function exportSVG() {
  const vp = exportView(), p = svgPainter();
  drawScene(p, S.M, vp, S.laneH, PALETTES.light, exportMarks());
  return [`<svg xmlns="http://www.w3.org/2000/svg" width="${vp.W}" height="${vp.H}" viewBox="0 0 ${vp.W} ${vp.H}" font-family="${xml(SANS)}">`,
    `<title>${xml(document.title)}</title>`, ...p.out, "</svg>"].join("\n");
}

function exportPNG() {
  const vp = exportView();
  const s = Math.max(0.1, Math.min(2, 16000 / vp.H, Math.sqrt(1.2e8 / (vp.W * vp.H))));
  const cv = document.createElement("canvas");
  cv.width = Math.ceil(vp.W * s); cv.height = Math.ceil(vp.H * s);
  const c = cv.getContext("2d");
  c.setTransform(s, 0, 0, s, 0, 0);
  drawScene(canvasPainter(c), S.M, vp, S.laneH, PALETTES.light, exportMarks());
  return new Promise((resolve) => cv.toBlob((blob) => resolve(blob), "image/png"));
}

function fileBase() { return (document.title || "timeline").replace(/[^\w.-]+/g, "_").replace(/^_+|_+$/g, "").slice(0, 80) || "timeline"; }
function download(name, blob) {
  if (!blob) return;
  const a = el("a");
  a.href = URL.createObjectURL(blob); a.download = name;
  document.body.appendChild(a); a.click(); a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 2000);
}
