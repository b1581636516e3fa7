// spikes-save.js: saving what is shown as PNG: the current frame, or all time bins in one row
// Saved images have the sensor's resolution, or a whole multiple of it with hard pixel edges,
// and are drawn as shown: with the contrast and polarity picked on the page.
const SAVE_LIMIT = 8192;  // longest side of a saved image, in pixels

function setupSaving(d, grid, player) {
  const select = byId("png-scale");
  const side = max(d.width, d.height);
  for (const f of [1, 2, 4, 8, 16]) {
    if (f > 1 && side * f > SAVE_LIMIT) break;
    const opt = document.createElement("option");
    opt.value = String(f);
    opt.textContent = f === 1 ? "Sensor size (" + d.width + " \u00d7 " + d.height + ")" : "\u00d7" + f + " (" + d.width * f + " \u00d7 " + d.height * f + ")";
    select.appendChild(opt);
  }
  const scale = () => max(1, Number(select.value) || 1);
  // a file name from the page title, in plain letters
  const stem = (document.title || "").normalize("NFKD").replace(/[^A-Za-z0-9._]+/g, "-")
    .split("-").filter(Boolean).join("-").replace(/^\.+/, "").slice(0, 60) || "spikes";

  function download(canvas, name) {
    return new Promise((done, failed) => canvas.toBlob((blob) => {
      if (!blob) { failed(new Error("the browser could not make the PNG")); return; }
      downloadBlob(blob, name);
      done();
    }, "image/png"));
  }

  byId("save-frame").addEventListener("click", () => {
    const img = player.images[player.current];
    if (img) download(imageCanvas(img, scale()), stem + "-frame-" + (player.current + 1) + ".png");
  });
  byId("save-grid").addEventListener("click", () => {
    const images = grid.images;
    if (!images.length) return;
    // the bins side by side, a gap of one sensor-pixel column scaled alike between them
    let s = scale();
    const gap = 1, total = () => images.reduce((a, im) => a + im.w, 0) + gap * (images.length - 1);
    while (s > 1 && total() * s > 2 * SAVE_LIMIT) s = floor(s / 2);
    const out = document.createElement("canvas");
    out.width = total() * s;
    out.height = images.reduce((a, im) => max(a, im.h), 0) * s;
    const ctx = out.getContext("2d");
    let x = 0;
    for (const im of images) {
      ctx.drawImage(imageCanvas(im, s), x, 0);
      x += (im.w + gap) * s;
    }
    download(out, stem + "-bins.png");
  });
}
