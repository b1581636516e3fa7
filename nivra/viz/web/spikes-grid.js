// spikes-grid.js: the grid of time-bin images; picking one moves the player there
function buildGrid(d, onPick) {
  const box = byId("grid"), n = d.grid.length, unit = timeUnit(d.duration);
  // frames binned elsewhere have no time axis; recorded events always do
  const timed = !d.framesOnly;
  setText("grid-sub", n ? (timed ? n + " equal time bins over " + fmtDuration(d.duration) : "First " + n + " frames") : "");
  if (!n) {
    box.replaceWith(emptyBox("No time bins", "This document has no grid images."));
    return { images: Promise.resolve([]), layout() {}, mark() {} };
  }
  const figs = [];
  const loads = d.grid.map((b64, i) => {
    const fig = document.createElement("figure");
    fig.className = "bin"; fig.tabIndex = 0;
    const img = document.createElement("img");
    img.width = d.width; img.height = d.height;
    img.alt = "Time bin " + (i + 1);
    const cap = document.createElement("figcaption");
    const name = document.createElement("b");
    name.textContent = (timed ? "Bin " : "Frame ") + (i + 1);
    const span = document.createElement("span");
    span.textContent = timed ? fmtRange(d.duration * i / n, d.duration * (i + 1) / n, unit) : "";
    cap.appendChild(name); cap.appendChild(span);
    fig.appendChild(img); fig.appendChild(cap); box.appendChild(fig);
    fig.addEventListener("click", () => onPick(i));
    fig.addEventListener("keydown", (ev) => { if (ev.key === "Enter") { onPick(i); ev.preventDefault(); } });
    figs.push(fig);
    img.src = PNG + b64;
    return img.decode().then(() => img, () => {
      throw new Error("grid image " + (i + 1) + " of " + n + " is not a readable PNG image");
    });
  });
  return {
    images: Promise.all(loads),
    layout() {
      for (const f of figs) { const img = f.firstChild; crispWhenEnlarged(img, img.naturalWidth || d.width, img.clientWidth); }
    },
    mark(i) { figs.forEach((f, k) => f.classList.toggle("current", k === i)); },
  };
}
