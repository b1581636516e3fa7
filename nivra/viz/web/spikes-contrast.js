// spikes-contrast.js: how stored values become colours: contrast (auto, manual, linear) and polarity
// The document's values are never changed: a gain is applied when drawing, the same for the
// grid, the player and the saved PNGs, and kept while the page is open.
const GAIN_MAX = 255;
const display = { mode: "auto", gain: 1, polarity: "both" };
const displayListeners = [];
const onDisplayChange = (fn) => displayListeners.push(fn);

// Automatic contrast, per image. A hot pixel fires far more often than anything else, and
// each image is scaled to its brightest pixel, so typical activity is stored near zero.
// Two rules, the stronger gain wins (never below 1, at most 255):
// - the brightest 1% of the image's non-zero pixels (at least its 16 brightest, or a tenth
//   of them when it has fewer than 160: the hot pixels) are set aside, and the brightest
//   value left is drawn at full brightness; what is above it is clipped;
// - the dimmest tenth of the non-zero pixels is drawn at a third of full brightness or more,
//   so sparse activity (mostly single events) stays visible.
const AUTO_FLOOR = 85;
function autoGain(hist, hist2) {
  const count = (v) => hist[v] + (hist2 ? hist2[v] : 0);
  let n = 0;
  for (let v = 1; v < 256; v++) n += count(v);
  if (!n) return 1;
  const skip = max(ceil(n * 0.01), min(16, floor(n * 0.1)));
  let high = 255, low = 255, seen = 0;
  for (let v = 255; v >= 1; v--) { seen += count(v); if (seen > skip) { high = v; break; } }
  const tenth = ceil(n * 0.1);
  seen = 0;
  for (let v = 1; v < 256; v++) { seen += count(v); if (seen >= tenth) { low = v; break; } }
  return max(1, min(GAIN_MAX, max(255 / high, AUTO_FLOOR / low)));
}

// [ON gain, OFF gain]: one gain for both when one peak scaled both.
function autoGains(histOn, histOff, shared) {
  if (shared) { const g = autoGain(histOn, histOff); return [g, g]; }
  return [autoGain(histOn), autoGain(histOff)];
}

function gainsFor(image) {
  if (display.mode === "auto") return image.gains;
  return display.mode === "linear" ? [1, 1] : [display.gain, display.gain];
}

// Stored value -> drawn value for each channel; a hidden polarity draws nothing.
function lutsFor(image) {
  const [gOn, gOff] = gainsFor(image);
  const on = new Uint8Array(256), off = new Uint8Array(256);
  const showOn = display.polarity !== "off", showOff = display.polarity !== "on";
  for (let v = 1; v < 256; v++) {
    if (showOn) on[v] = min(255, round(v * gOn));
    if (showOff) off[v] = min(255, round(v * gOff));
  }
  return { on, off };
}

const fmtGain = (g) => "\u00d7" + (g < 10 ? g.toFixed(1) : String(round(g)));

function setupDisplayControls() {
  const slider = byId("gain"), label = byId("gain-label");
  const autoBtn = byId("contrast-auto"), linBtn = byId("contrast-linear");
  const pol = { both: byId("pol-both"), on: byId("pol-on"), off: byId("pol-off") };
  const toSlider = (g) => String(round(1000 * Math.log(g) / Math.log(GAIN_MAX)));
  let shown = null;  // gains of the frame in the player, for the automatic read-out

  function sync() {
    autoBtn.setAttribute("aria-pressed", String(display.mode === "auto"));
    linBtn.setAttribute("aria-pressed", String(display.mode === "linear"));
    for (const k of Object.keys(pol)) pol[k].setAttribute("aria-pressed", String(display.polarity === k));
    root.dataset.contrast = display.mode;
    root.dataset.polarity = display.polarity;
    if (display.mode === "auto") {
      const g = shown ? max(shown[0], shown[1]) : 1;
      slider.value = toSlider(g);
      label.textContent = shown ? "auto " + fmtGain(g) : "auto";
      label.title = "Gain chosen for the frame in the player";
    } else {
      const g = display.mode === "linear" ? 1 : display.gain;
      slider.value = toSlider(g);
      label.textContent = display.mode === "linear" ? "linear" : fmtGain(g);
      label.title = "";
    }
  }
  function change(patch) {
    Object.assign(display, patch);
    sync();
    for (const fn of displayListeners) fn();
  }
  autoBtn.addEventListener("click", () => change({ mode: "auto" }));
  linBtn.addEventListener("click", () => change({ mode: "linear", gain: 1 }));
  slider.addEventListener("input", () => {
    const g = Math.pow(GAIN_MAX, Number(slider.value) / 1000);
    change({ mode: g <= 1.0001 ? "linear" : "manual", gain: max(1, g) });
  });
  for (const k of Object.keys(pol)) pol[k].addEventListener("click", () => change({ polarity: k }));
  sync();
  return {
    // the player reports the automatic gains of the frame it shows
    showing(gains) { shown = gains; if (display.mode === "auto") sync(); },
  };
}
