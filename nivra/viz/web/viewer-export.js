// viewer-export.js: SVG and PNG export, always in light colours; shown in place where downloads are blocked
function xml(s) {
  return String(s).replace(/[\u0000-\u0008\u000B\u000C\u000E-\u001F\uFFFE\uFFFF]/g, "\uFFFD")
    .replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
}
const r1 = (v) => Math.round(v * 10) / 10;
function svgShape(shape, x, y, w, h) {
  switch (shape) {
    case "rect": case "box": case "square": return `M${r1(x)} ${r1(y)}h${r1(w)}v${r1(h)}h${r1(-w)}Z`;
    case "ellipse": case "circle": case "oval": {
      const rx = w / 2, ry = h / 2;
      return `M${r1(x)} ${r1(y + ry)}a${r1(rx)} ${r1(ry)} 0 1 0 ${r1(w)} 0a${r1(rx)} ${r1(ry)} 0 1 0 ${r1(-w)} 0Z`;
    }
    case "diamond": return `M${r1(x + w / 2)} ${r1(y)}L${r1(x + w)} ${r1(y + h / 2)}L${r1(x + w / 2)} ${r1(y + h)}L${r1(x)} ${r1(y + h / 2)}Z`;
    case "hexagon": case "octagon": {
      const d = Math.min(h / 2, 16);
      return `M${r1(x + d)} ${r1(y)}H${r1(x + w - d)}L${r1(x + w)} ${r1(y + h / 2)}L${r1(x + w - d)} ${r1(y + h)}H${r1(x + d)}L${r1(x)} ${r1(y + h / 2)}Z`;
    }
    default: return roundRectPath(x, y, w, h, 9);
  }
}
function roundRectPath(x, y, w, h, r) {
  return `M${r1(x + r)} ${r1(y)}H${r1(x + w - r)}A${r} ${r} 0 0 1 ${r1(x + w)} ${r1(y + r)}V${r1(y + h - r)}A${r} ${r} 0 0 1 ${r1(x + w - r)} ${r1(y + h)}` +
    `H${r1(x + r)}A${r} ${r} 0 0 1 ${r1(x)} ${r1(y + h - r)}V${r1(y + r)}A${r} ${r} 0 0 1 ${r1(x + r)} ${r1(y)}Z`;
}
function svgEdgePath(V, e) {
  const pts = V.pts, a = V.ptStart[e], b = V.ptStart[e + 1];
  let d = `M${r1(pts[2 * a])} ${r1(pts[2 * a + 1])}`;
  if (V.edges[e].back && b - a === 4) {
    const c = Array.from(pts.subarray(2 * a + 2, 2 * a + 8), r1);
    return d + `C${c[0]} ${c[1]} ${c[2]} ${c[3]} ${c[4]} ${c[5]}`;
  }
  for (let p = a + 1; p < b; p++) {
    const x0 = pts[2 * p - 2], y0 = pts[2 * p - 1], x1 = pts[2 * p], y1 = pts[2 * p + 1];
    if (V.TB ? x0 === x1 : y0 === y1) d += `L${r1(x1)} ${r1(y1)}`;
    else if (V.TB) { const h = (y1 - y0) / 2; d += `C${r1(x0)} ${r1(y0 + h)} ${r1(x1)} ${r1(y1 - h)} ${r1(x1)} ${r1(y1)}`; }
    else { const h = (x1 - x0) / 2; d += `C${r1(x0 + h)} ${r1(y0)} ${r1(x1 - h)} ${r1(y1)} ${r1(x1)} ${r1(y1)}`; }
  }
  return d;
}
function exportSVG() {
  const M = S.M, V = S.V, pal = PALETTES.light, b = V.bounds, pad = 24;
  const W = b.x1 - b.x0 + 2 * pad, H = b.y1 - b.y0 + 2 * pad;
  const out = [];
  out.push(`<svg xmlns="http://www.w3.org/2000/svg" width="${r1(W)}" height="${r1(H)}" viewBox="${r1(b.x0 - pad)} ${r1(b.y0 - pad)} ${r1(W)} ${r1(H)}" font-family="${xml(SANS)}">`);
  out.push(`<title>${xml(document.title)}</title>`);
  out.push(`<rect x="${r1(b.x0 - pad)}" y="${r1(b.y0 - pad)}" width="${r1(W)}" height="${r1(H)}" fill="${pal.bg}"/>`);
  for (const f of V.frames) {
    const g = M.groups[f.gi], tc = mix(g.color, "#000000", 0.35);
    out.push(`<g class="group"><path d="${roundRectPath(f.x0, f.y0, f.x1 - f.x0, f.y1 - f.y0, 12)}" fill="${g.color}" fill-opacity="${pal.frameFill}" stroke="${g.color}" stroke-opacity="${pal.frameStroke}" stroke-width="1.2"/>` +
      `<text x="${r1(f.x0 + 12)}" y="${r1(f.y0 + 19)}" font-size="12" font-weight="600" fill="${tc}">${xml(g.icon + "  " + g.label)}</text></g>`);
  }
  const arrow = (e, color) => {
    const pts = V.pts, q = V.ptStart[e + 1] - 1;
    const x1 = pts[2 * q], y1 = pts[2 * q + 1], x0 = pts[2 * q - 2], y0 = pts[2 * q - 1], s = 6.5;
    const l = Math.hypot(x1 - x0, y1 - y0) || 1, side = V.edges[e].back;
    const dx = side ? (x1 - x0) / l : V.TB ? 0 : Math.sign(x1 - x0) || 1, dy = side ? (y1 - y0) / l : V.TB ? Math.sign(y1 - y0) || 1 : 0;
    return `<path d="M${r1(x1)} ${r1(y1)}L${r1(x1 - dx * s - dy * s * 0.5)} ${r1(y1 - dy * s + dx * s * 0.5)}L${r1(x1 - dx * s + dy * s * 0.5)} ${r1(y1 - dy * s - dx * s * 0.5)}Z" fill="${color}"/>`;
  };
  V.edges.forEach((ed, e) => {
    const color = ed.warn ? pal.warn : ed.cross ? pal.cross : ed.back ? pal.back : pal.edge, width = ed.cross || ed.warn ? 2.2 : 1.3;
    const dash = ed.warn ? ' stroke-dasharray="8 3"' : ed.cross ? ' stroke-dasharray="7 4"' : ed.dashed ? ' stroke-dasharray="6 4"' : "";
    out.push(`<path class="edge" d="${svgEdgePath(V, e)}" fill="none" stroke="${color}" stroke-width="${width}"${dash}/>` + arrow(e, color));
  });
  for (const u of V.units) {
    const collapsed = u.kind === 1, item = collapsed ? M.groups[u.ref] : M.nodes[u.ref];
    const shape = collapsed ? "round-rect" : item.shape, header = HEADER_SHAPES.has(shape) || collapsed;
    const x = u.x - u.w / 2, y = u.y - u.h / 2, body = mix(item.color, pal.body, pal.bodyMix);
    const d = svgShape(shape, x, y, u.w, u.h);
    const parts = [`<g class="node">`];
    parts.push(`<path d="${d}" fill="${header ? body : mix(item.color, pal.body, pal.bodyMix - 0.12)}"/>`);
    if (header) {
      const r = shape === "rect" || shape === "box" || shape === "square" ? 0 : 9;
      parts.push(`<path d="M${r1(x)} ${r1(y + 21)}V${r1(y + r)}${r ? `A${r} ${r} 0 0 1 ${r1(x + r)} ${r1(y)}` : ""}H${r1(x + u.w - r)}${r ? `A${r} ${r} 0 0 1 ${r1(x + u.w)} ${r1(y + r)}` : ""}V${r1(y + 21)}Z" fill="${item.color}"/>`);
    }
    const bd = !collapsed && item.border;
    if (bd) parts.push(`<path d="${d}" fill="none" stroke="${bd.color}" stroke-width="${bd.width}"${bd.dashed ? ' stroke-dasharray="7 4"' : bd.dotted ? ' stroke-dasharray="2 3"' : ""}/>`);
    else parts.push(`<path d="${d}" fill="none" stroke="${header ? mix(item.color, "#000000", pal.stroke) : item.color}" stroke-width="${header ? 1 : 1.5}"/>`);
    const lines = unitLines(M, u);
    const inset = shape === "diamond" ? u.w * 0.22 : ROUND_SHAPES.has(shape) ? u.w * 0.12 : 10;
    const ys = header ? [y + 11].concat(lines.slice(1).map((_, i) => y + 21 + ((u.h - 21) * (i + 0.5)) / (lines.length - 1)))
      : lines.map((_, i) => u.y + (i - (lines.length - 1) / 2) * 14);
    lines.forEach(([t, font, tone, key], i) => {
      probe.font = fontOf(font);
      const txt = fitText(probe, t, u.w - 2 * inset, item.fit, key);
      const fill = tone === "head" ? (header ? (isLight(item.color) ? "#1f2328" : "#ffffff") : pal.text) : tone === "text" ? pal.text : pal.muted;
      const size = font.match(/([\d.]+)px/)[1], weight = font.startsWith("600") ? ' font-weight="600"' : "";
      const fam = font.endsWith(" mono") ? ` font-family="${xml(MONO)}"` : "";
      parts.push(`<text x="${r1(u.x)}" y="${r1(ys[i])}" text-anchor="middle" dominant-baseline="central" font-size="${size}"${weight}${fam} fill="${fill}">${xml(txt)}</text>`);
    });
    parts.push("</g>");
    out.push(parts.join(""));
  }
  out.push("</svg>");
  return out.join("\n");
}
function exportPNG() {
  const V = S.V, b = V.bounds, pad = 24;
  const bw = b.x1 - b.x0 + 2 * pad, bh = b.y1 - b.y0 + 2 * pad;
  const s = Math.max(0.05, Math.min(2, 16000 / bw, 16000 / bh, Math.sqrt(1.2e8 / (bw * bh))));
  const cv = document.createElement("canvas");
  cv.width = Math.max(1, Math.ceil(bw * s)); cv.height = Math.max(1, Math.ceil(bh * s));
  const c = cv.getContext("2d");
  c.setTransform(s, 0, 0, s, 0, 0);
  drawScene(c, S.M, V, { tx: pad - b.x0, ty: pad - b.y0, k: 1, W: bw, H: bh }, PALETTES.light, null, false);
  return new Promise((resolve) => cv.toBlob((blob) => resolve(blob), "image/png"));
}
function fileBase() { return (document.title || "graph").replace(/[^\w.-]+/g, "_").replace(/^_+|_+$/g, "").slice(0, 80) || "graph"; }
function download(name, blob) {
  if (!blob) return;
  if (SANDBOXED) { showExport(name, blob); return; }
  const a = el("a");
  a.href = URL.createObjectURL(blob); a.download = name;
  document.body.appendChild(a); a.click(); a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 2000);
}


/* A page in a sandboxed frame without same-origin access (a notebook's output) may not
 * download: such a frame has an opaque origin and may not read cookies. There the image is
 * shown over the drawing instead, to save or copy with the browser's own menu. */
const SANDBOXED = (() => {
  if (window.origin !== "null") return false;
  try { void document.cookie; return false; } catch (e) { return true; }
})();

function showExport(name, blob) {
  closeExport();
  const box = el("div", "overlay export-view");
  box.id = "export-view"; box.setAttribute("role", "dialog"); box.setAttribute("aria-label", "Exported image");
  const card = el("div", "card"), bar = el("div", "bar");
  const close = el("button", "btn ghost small", "✕");
  close.title = "Close (Esc)"; close.setAttribute("aria-label", "Close");
  // Frames that allow downloads (the notebook's "Open in new tab") take this link.
  const save = el("a", "btn small", "Download");
  save.download = name;
  bar.appendChild(el("b", null, name)); bar.appendChild(save); bar.appendChild(close);
  const pic = el("div", "pic"), img = el("img");
  img.alt = name;
  pic.appendChild(img);
  card.appendChild(bar);
  card.appendChild(el("div", "hint", "Downloads may be blocked in this embedded view: right-click the image to save or copy it."));
  card.appendChild(pic);
  box.appendChild(card);
  box.addEventListener("click", (ev) => { if (ev.target === box) closeExport(); });
  box.addEventListener("keydown", (ev) => { if (ev.key === "Escape") { ev.stopPropagation(); closeExport(); } });
  close.addEventListener("click", closeExport);
  // A data: URL, which "Save image as" handles in every browser.
  const fr = new FileReader();
  fr.onload = () => { img.src = save.href = fr.result; box.dataset.ready = "1"; };
  fr.readAsDataURL(blob);
  stage.appendChild(box);
  close.focus();
}
function closeExport() {
  const box = $("export-view");
  if (box) { box.remove(); stage.focus({ preventScroll: true }); }
}
