// spikes-main.js: builds the page from the document, wires the theme switch, reports "ready"
function setupThemeSwitch(onChange) {
  const label = byId("theme-label");
  // the button names the theme it switches to
  const sync = (theme) => { label.textContent = theme === "dark" ? "Light" : "Dark"; };
  sync(pageTheme.setup({ onChange: (theme) => { sync(theme); onChange(); } }));
  byId("theme").addEventListener("click", () => pageTheme.toggle());
}

function main() {
  const d = readDoc(typeof DOC === "undefined" ? undefined : DOC);
  drawHeader(d);
  let player = null;
  const grid = buildGrid(d, (i) => {
    // first animation frame inside the picked time bin
    if (player) player.seek(ceil(i * d.frames.length / d.grid.length));
  });
  player = buildPlayer(d, (i, n) => {
    grid.mark(d.grid.length ? min(d.grid.length - 1, floor(i * d.grid.length / n)) : -1);
  });
  const raster = buildRaster(d);
  setupThemeSwitch(() => { if (raster.retheme) raster.retheme(); });

  let raf = 0;
  const layoutAll = () => { raf = 0; grid.layout(); player.layout(); raster.layout(); };
  new ResizeObserver(() => { if (!raf) raf = requestAnimationFrame(layoutAll); }).observe(document.body);

  raster.draw();
  return Promise.all([grid.images, player.ready]).then(() => {
    grid.layout(); player.layout();
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
