// view-export.js: the frame as PNG; a time range as a WebM video (recorded here) or as the static spike page
// Images and videos are drawn as shown: contrast, polarity and hidden hot pixels as picked.
const VIDEO_MAX_FRAMES = 5000;

function fileStem(name) {
  return (name || "recording").normalize("NFKD").replace(/\.[A-Za-z0-9]+$/, "").replace(/[^A-Za-z0-9._]+/g, "-")
    .split("-").filter(Boolean).join("-").replace(/^\.+/, "").slice(0, 60) || "recording";
}

function setupExport(player) {
  const dialog = byId("export"), from = byId("export-from"), to = byId("export-to");
  const status = byId("export-status"), progress = byId("export-progress"), fill = byId("export-fill");
  const scaleSel = byId("video-scale");
  let running = null;

  byId("save-png").addEventListener("click", () => {
    const img = player.image, info = player.info, f = player.frame;
    if (!img || !info || !f) return;
    imageCanvas(img, 1).toBlob((blob) => {
      if (blob) downloadBlob(blob, fileStem(info.name) + "-" + f.start + "us-" + f.window + "us.png");
    }, "image/png");
  });

  const secs = (us) => String(Number((us / 1e6).toFixed(6)));
  function open() {
    const info = player.info;
    if (!info) return;
    const { start, window: w } = player.time;
    from.value = secs(start);
    to.value = secs(min(info.duration_us + 1, start + 100 * w));
    scaleSel.replaceChildren();
    for (const f of [1, 2, 4]) {
      if (f > 1 && max(info.sensor[0], info.sensor[1]) * f > 4096) break;
      const o = document.createElement("option");
      o.value = String(f);
      o.textContent = info.sensor[0] * f + " \u00d7 " + info.sensor[1] * f;
      scaleSel.appendChild(o);
    }
    setText("video-sub", "One frame per " + fmtDuration(w) + " window, recorded in this browser.");
    status.textContent = "";
    progress.hidden = true;
    dialog.hidden = false;
    from.focus();
  }
  function close() {
    if (running) running.cancelled = true;
    dialog.hidden = true;
  }
  byId("open-export").addEventListener("click", open);
  byId("export-close").addEventListener("click", close);
  dialog.addEventListener("keydown", (ev) => { if (ev.key === "Escape") close(); ev.stopPropagation(); });

  // the range asked for, in us after the first event
  function range() {
    const info = player.info, a = parseTime(from.value), b = parseTime(to.value);
    if (!(a >= 0) || !(b >= 0)) throw new Error("write the times as seconds (2.5), or with a unit: 20ms, 500us");
    if (b <= a) throw new Error("the end must be after the start");
    if (a > info.duration_us) throw new Error("the start is after the end of the recording (" + fmtDuration(info.duration_us) + ")");
    return [round(a), round(min(b, info.duration_us + 1))];
  }
  const busy = (on) => { for (const id of ["export-video", "export-spikes"]) byId(id).disabled = on; };

  byId("export-spikes").addEventListener("click", async () => {
    const info = player.info;
    try {
      const [a, b] = range();
      busy(true);
      status.textContent = "Making the spike page of " + fmtTime(a, b) + " \u2013 " + fmtTime(b, b) + "\u2026";
      const res = await apiFetch("/api/spikes", { rec: info.id, start: a, end: b });
      const blob = await res.blob();
      downloadBlob(blob, fileStem(info.name) + "-" + a + "-" + b + "us.html");
      status.textContent = "Saved the spike page (" + fmtCompact(blob.size) + "B).";
      root.dataset.exported = "spikes";
    } catch (err) {
      status.textContent = "No spike page: " + err.message;
    } finally { busy(false); }
  });

  byId("export-video").addEventListener("click", async () => {
    const info = player.info;
    try {
      const [a, b] = range();
      const w = player.time.window, n = ceil((b - a) / w);
      if (n > VIDEO_MAX_FRAMES) throw new Error("that is " + fmtInt(n) + " frames; at most " + fmtInt(VIDEO_MAX_FRAMES) + " (choose a shorter range or a longer window)");
      if (!window.MediaRecorder || !HTMLCanvasElement.prototype.captureStream) throw new Error("this browser cannot record videos");
      busy(true);
      running = { cancelled: false };
      const blob = await recordVideo(info, a, w, n, Number(byId("video-fps").value) || 30, Number(scaleSel.value) || 1, running);
      if (blob) {
        downloadBlob(blob, fileStem(info.name) + "-" + a + "-" + b + "us.webm");
        status.textContent = "Saved the video: " + fmtInt(n) + " frames (" + fmtCompact(blob.size) + "B).";
        root.dataset.exported = "video";
      } else status.textContent = "Stopped.";
    } catch (err) {
      status.textContent = "No video: " + err.message;
    } finally { busy(false); running = null; progress.hidden = true; }
  });

  async function recordVideo(info, a, w, n, fps, scale, job) {
    const canvas = document.createElement("canvas");
    canvas.width = info.sensor[0] * scale; canvas.height = info.sensor[1] * scale;
    const ctx = canvas.getContext("2d");
    ctx.imageSmoothingEnabled = false;
    ctx.fillStyle = "#000"; ctx.fillRect(0, 0, canvas.width, canvas.height);
    const stream = canvas.captureStream(0), track = stream.getVideoTracks()[0];
    const type = ["video/webm;codecs=vp9", "video/webm;codecs=vp8", "video/webm"].find((m) => MediaRecorder.isTypeSupported(m));
    if (!type) throw new Error("this browser cannot record WebM videos");
    const recorder = new MediaRecorder(stream, { mimeType: type, videoBitsPerSecond: 8e6 });
    const parts = [];
    recorder.ondataavailable = (ev) => { if (ev.data && ev.data.size) parts.push(ev.data); };
    const stopped = new Promise((done) => { recorder.onstop = done; });
    recorder.start();
    progress.hidden = false;
    const hidden = byId("hot").checked ? player.hotMask : null;
    const period = 1000 / fps;
    let next = performance.now();
    for (let i = 0; i < n && !job.cancelled; i++) {
      const f = await fetchFrame(info.id, a + i * w, w);
      const img = countsImage(f, info.sensor[0], info.sensor[1], hidden);
      ctx.drawImage(imageCanvas(img, 1), 0, 0, canvas.width, canvas.height);
      // frames are timed by the clock: wait for this frame's moment before handing it over
      const wait = next - performance.now();
      if (wait > 0) await new Promise((r) => setTimeout(r, wait));
      track.requestFrame();
      next += period;
      fill.style.width = (100 * (i + 1) / n).toFixed(1) + "%";
      status.textContent = "Recording frame " + fmtInt(i + 1) + " of " + fmtInt(n) + "\u2026";
    }
    await new Promise((r) => setTimeout(r, period));
    recorder.stop();
    await stopped;
    track.stop();
    return job.cancelled ? null : new Blob(parts, { type: "video/webm" });
  }
}
