// spikes-doc.js: page helpers, the check of the embedded event document, the header
const { floor, ceil, min, max, round } = Math;
const root = document.documentElement;
const byId = (id) => document.getElementById(id);
const setText = (id, text) => { byId(id).textContent = text; };
const fail = window.spikePageFail;
const PNG = "data:image/png;base64,";
// "?debug" in the page URL logs how long each raster drawing takes
const DEBUG = /[?&]debug\b/.test(location.search);

const own = (obj, key) => Object.prototype.hasOwnProperty.call(obj, key);

// The document embedded in the page, as plain data (keys are own properties; no text of
// it ever runs).
function embeddedDoc() {
  try {
    return readEmbeddedJson("nivra-data");
  } catch (err) {
    throw new Error("The event document is not valid JSON (" + err.message + ").");
  }
}

// Everything the drawing code relies on is tested here, so a malformed
// document stops with one clear message instead of a half-drawn page.
function readDoc(doc) {
  const bad = (msg) => { throw new Error("The event document is malformed: " + msg); };
  if (doc === undefined) bad("no document was embedded");
  if (doc === null || typeof doc !== "object" || Array.isArray(doc)) bad("expected an object");
  const keys = ["event_count", "duration_us", "sensor_size", "grid_frames", "animation_frames", "raster"];
  for (const k of keys) if (!own(doc, k)) bad("missing \"" + k + "\"");
  const count = doc.event_count, dur = doc.duration_us, size = doc.sensor_size;
  if (typeof count !== "number" || !isFinite(count) || count < 0) bad("\"event_count\" must be a non-negative number");
  if (typeof dur !== "number" || !isFinite(dur) || dur < 0) bad("\"duration_us\" must be a non-negative number");
  if (!Array.isArray(size) || size.length !== 2 || !size.every((v) => Number.isInteger(v) && v > 0))
    bad("\"sensor_size\" must be [width, height] with positive integers");
  for (const k of ["grid_frames", "animation_frames"]) {
    const list = doc[k];
    if (!Array.isArray(list)) bad("\"" + k + "\" must be a list of images");
    list.forEach((s, i) => {
      if (typeof s !== "string" || s.length === 0) bad("\"" + k + "\" entry " + i + " is not an image string");
    });
  }
  const raster = doc.raster;
  if (!Array.isArray(raster)) bad("\"raster\" must be a list of rows");
  const rows = raster.length, cols = rows ? (Array.isArray(raster[0]) ? raster[0].length : -1) : 0;
  if (rows && cols < 1) bad("\"raster\" rows must be non-empty lists of counts");
  const flat = new Float32Array(rows * cols);
  let peak = 0;
  for (let b = 0; b < rows; b++) {
    const row = raster[b];
    if (!Array.isArray(row) || row.length !== cols) bad("\"raster\" row " + b + " does not have " + cols + " values");
    for (let n = 0; n < cols; n++) {
      const v = row[n];
      if (typeof v !== "number" || !isFinite(v)) bad("\"raster\" row " + b + " holds a value that is not a finite number");
      flat[b * cols + n] = v;
      if (v > peak) peak = v;
    }
  }
  const recording = readRecording(doc.recording, bad);
  return {
    // the bins cover the span with its fraction; duration_us is that span cut to an integer
    count, duration: recording ? recording.span : dur, width: size[0], height: size[1], recording,
    grid: doc.grid_frames, frames: doc.animation_frames,
    raster: { bins: rows, neurons: cols, data: flat, peak },
    framesOnly: count === 0 && rows === 0,
  };
}

// The command line's account of a recording: what was read, drawn and left out, and
// the span with its fraction. Optional: documents of serialize_events have none.
function readRecording(rec, bad) {
  if (rec === undefined) return null;
  if (rec === null || typeof rec !== "object" || Array.isArray(rec)) bad("\"recording\" must be an object");
  const count = (v) => typeof v === "number" && Number.isInteger(v) && v >= 0;
  if (!count(rec.events_read) || !count(rec.events_drawn)) bad("\"recording\" must give whole event counts");
  const left = rec.left_out;
  if (!Array.isArray(left) || !left.every((e) => Array.isArray(e) && e.length === 2 && typeof e[0] === "string" && count(e[1])))
    bad("\"recording\".left_out must be a list of [reason, count]");
  const span = rec.span_us;
  if (typeof span !== "number" || !isFinite(span) || span < 0) bad("\"recording\".span_us must be a non-negative number");
  // Optional: the hot pixels left out, and the pixel (x, y) of each raster column.
  const hot = rec.hot_pixels;
  if (hot !== undefined && (hot === null || typeof hot !== "object" || !count(hot.count) || !count(hot.events) ||
      typeof hot.rule !== "string" || !Array.isArray(hot.worst) ||
      !hot.worst.every((w) => Array.isArray(w) && w.length === 3 && w.every(count))))
    bad("\"recording\".hot_pixels must give count, events, worst [x, y, events] and rule");
  const pixels = rec.raster_pixels;
  if (pixels !== undefined && (!Array.isArray(pixels) || !pixels.every((p) => Array.isArray(p) && p.length === 2 && p.every(count))))
    bad("\"recording\".raster_pixels must be a list of [x, y]");
  return { read: rec.events_read, drawn: rec.events_drawn, leftOut: left, span, hot: hot || null, rasterPixels: pixels || null };
}

// The hot pixels left out of the page, the worst of them and the rule that found them.
function hotNote(r) {
  const hot = r.hot, note = byId("hot-note");
  if (!hot || !note) return;
  const b = document.createElement("b"), n = hot.count;
  let text;
  if (n) {
    const w = hot.worst[0];
    b.textContent = fmtInt(n) + " hot pixel" + (n === 1 ? "" : "s") + " left out";
    text = " (" + fmtInt(hot.events) + " event" + (hot.events === 1 ? "" : "s") +
      (w ? "; worst x " + w[0] + " y " + w[1] + ", " + fmtInt(w[2]) + " events" : "") + "). ";
  } else {
    b.textContent = "No hot pixels found.";
    text = " ";
  }
  const code = document.createElement("code");
  code.textContent = "--hot-pixels keep";
  note.textContent = "";
  for (const part of [b, document.createTextNode(text + hot.rule + " "), code,
    document.createTextNode(n ? " keeps them." : " keeps any it finds.")]) note.appendChild(part);
  note.hidden = false;
}

// A span in microseconds with the fraction the timestamps have: 2.99999 is "3.00 \u00b5s".
function fmtSpan(us) {
  if (Number.isInteger(us) || us >= 1000) return fmtDuration(us);
  return us.toFixed(2) + " \u00b5s";
}

// A box saying what is missing, in place of a card's body.
function emptyBox(title, text) {
  const e = document.createElement("div"), s = document.createElement("strong");
  e.className = "empty";
  s.textContent = title;
  e.appendChild(s);
  e.appendChild(document.createTextNode(text));
  return e;
}

function drawHeader(d) {
  if (d.framesOnly) {
    // frames binned elsewhere carry no event count or duration
    setText("kind", "Precomputed frames");
    byId("stat-events").querySelector("dt").textContent = "Source";
    setText("event-count", "Precomputed frames");
    byId("stat-duration").hidden = true;
  } else if (d.recording) {
    // What is drawn, and beside it what was left out and why.
    const r = d.recording;
    byId("stat-events").querySelector("dt").textContent = "Events drawn";
    setText("event-count", fmtInt(r.drawn));
    setText("events-read", "of " + fmtInt(r.read) + " read");
    byId("events-read").hidden = false;
    const total = r.leftOut.reduce((sum, e) => sum + e[1], 0);
    if (total > 0) {
      byId("stat-left-out").hidden = false;
      setText("left-out", fmtInt(total));
      const why = r.leftOut.map((e) => fmtInt(e[1]) + " " + e[0]).join(" \u00b7 ");
      setText("left-out-why", why);
      byId("stat-left-out").title = why;
    }
    setText("duration", fmtSpan(r.span));
    hotNote(r);
  } else {
    setText("event-count", fmtInt(d.count));
    setText("duration", fmtDuration(d.duration));
  }
  setText("sensor", d.width + " \u00d7 " + d.height);
  let small = document.createElement("small");
  small.textContent = "px";
  byId("sensor").appendChild(small);
  setText("frames-stat", fmtInt(d.frames.length));
  small = document.createElement("small");
  small.textContent = d.framesOnly ? d.grid.length + " in grid" : d.grid.length + " bin" + (d.grid.length === 1 ? "" : "s");
  byId("frames-stat").appendChild(small);
}
