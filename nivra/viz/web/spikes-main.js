// spikes-main.js: builds the page from the document, wires the theme switch, reports "ready"
function main() {
  const d = readDoc(embeddedDoc());
  drawHeader(d);
  const controls = setupDisplayControls();
  let player = null;
  const grid = buildGrid(d, (i) => {
    // first animation frame inside the picked time bin
    if (player) player.seek(ceil(i * d.frames.length / d.grid.length));
  });
  player = buildPlayer(d, (i, n) => {
    grid.mark(d.grid.length ? min(d.grid.length - 1, floor(i * d.grid.length / n)) : -1);
    const img = player && player.images[i];
    if (img) controls.showing(img.gains);
  });
  const rate = buildRate(d, player);
  const raster = buildRaster(d);
  setupSaving(d, grid, player);
  setupKeys(player.keys);
  setupThemeSwitch(() => { if (raster.retheme) raster.retheme(); if (rate.retheme) rate.retheme(); });
  onDisplayChange(() => { grid.layout(); player.redraw(); });

  let raf = 0;
  const layoutAll = () => { raf = 0; grid.layout(); player.layout(); rate.layout(); raster.layout(); };
  const relayout = () => { if (!raf) raf = requestAnimationFrame(layoutAll); };
  new ResizeObserver(relayout).observe(document.body);
  // canvases are sized in device pixels: a new pixel ratio (zoom, another screen) resizes them
  const watchRatio = () => matchMedia("(resolution: " + deviceRatio() + "dppx)")
    .addEventListener("change", () => { relayout(); watchRatio(); }, { once: true });
  watchRatio();

  raster.draw();
  // the grid first: it is what the page shows at the top
  return grid.load().then(() => player.load()).then((frames) => {
    rate.load(frames);
    return new Promise((done) => requestAnimationFrame(() => done()));
  }).then(() => {
    if (root.dataset.state !== "error") root.dataset.state = "ready";
  });
}

try {
  main().catch((err) => fail(err && err.message ? err.message : String(err)));
} catch (err) {
  fail(err && err.message ? err.message : String(err));
}
