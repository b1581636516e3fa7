// spikes-grid.js: the grid of time-bin images; picking one moves the player there
function buildGrid(d, onPick) {
  const box = byId("grid"), n = d.grid.length, unit = timeUnit(d.duration);
  // frames binned elsewhere have no time axis; recorded events always do
  const timed = !d.framesOnly;
  setText("grid-sub", n ? (timed ? n + " equal time bins over " + fmtSpan(d.duration) : "First " + n + " frames") : "");
  if (!n) {
    box.replaceWith(emptyBox("No time bins", "This document has no grid images."));
    byId("save-grid").hidden = true;
    return { load: () => Promise.resolve([]), layout() {}, mark() {}, images: [] };
  }
  const figs = [], canvases = [];
  let images = [];
  d.grid.forEach((b64, i) => {
    const fig = document.createElement("figure");
    fig.className = "bin"; fig.tabIndex = 0;
    const canvas = document.createElement("canvas");
    canvas.className = "crisp";
    canvas.width = d.width; canvas.height = d.height;
    canvas.setAttribute("role", "img");
    canvas.setAttribute("aria-label", (timed ? "Time bin " : "Frame ") + (i + 1));
    const cap = document.createElement("figcaption");
    const name = document.createElement("b");
    name.textContent = (timed ? "Bin " : "Frame ") + (i + 1);
    const span = document.createElement("span");
    span.textContent = timed ? fmtRange(d.duration * i / n, d.duration * (i + 1) / n, unit) : "";
    cap.appendChild(name); cap.appendChild(span);
    fig.appendChild(canvas); fig.appendChild(cap); box.appendChild(fig);
    fig.addEventListener("click", () => onPick(i));
    fig.addEventListener("keydown", (ev) => { if (ev.key === "Enter") { onPick(i); ev.preventDefault(); } });
    figs.push(fig); canvases.push(canvas);
  });
  // each thumbnail fills its figure to the last whole CSS pixel
  function layout() {
    images.forEach((img, i) => {
      if (!figs[i].clientWidth) return;
      const cssW = contentWidth(figs[i]);
      showImage(canvases[i], img, cssW, cssW * img.h / img.w);
    });
  }
  return {
    // decodes the images; the grid is drawn from then on
    load() {
      return decodeAll(d.grid, (i) => "grid image " + (i + 1) + " of " + n, d.framesOnly).then((list) => {
        images = list;
        layout();
        return list;
      });
    },
    layout,
    mark(i) { figs.forEach((f, k) => f.classList.toggle("current", k === i)); },
    get images() { return images; },
  };
}
