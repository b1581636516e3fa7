// viewer-layout.js: layout driver: worker first, main-thread time slices as fallback
const Layout = nivraLayoutModule();

function layoutInput(V, rankdir) {
  const n = V.units.length, m = V.edges.length, TB = rankdir === "TB";
  const cross = new Float64Array(n), along = new Float64Array(n), group = new Int32Array(n);
  const src = new Int32Array(m), dst = new Int32Array(m);
  V.units.forEach((u, i) => { cross[i] = TB ? u.w : u.h; along[i] = TB ? u.h : u.w; group[i] = u.layoutGroup; });
  V.edges.forEach((e, i) => { src[i] = e.a; dst[i] = e.b; });
  const opts = TB ? { nodeSep: 26, rankSep: 50, dummySep: 12 } : { nodeSep: 22, rankSep: 70, dummySep: 10 };
  // Room for the frames of expanded groups, one padding per nesting level; the header is
  // on top, which is the rank axis top to bottom and the order axis left to right.
  const P = FRAME_PAD;
  opts.framePad = TB ? [P.side, P.side, P.top, P.bottom] : [P.top, P.bottom, P.side, P.side];
  return { n, cross, along, src, dst, group, groupParent: V.groupParent, opts };
}

function workerMain(NL) {
  self.onmessage = (ev) => {
    const { id, input } = ev.data;
    try {
      const it = NL.layoutSteps(input);
      let s = it.next(), last = 0;
      while (!s.done) {
        const t = Date.now();
        if (t - last > 50) { last = t; self.postMessage({ type: "progress", id, value: s.value }); }
        s = it.next();
      }
      const r = s.value;
      self.postMessage({ type: "done", id, result: r }, [r.x.buffer, r.y.buffer, r.pts.buffer, r.ptStart.buffer]);
    } catch (err) {
      self.postMessage({ type: "error", id, message: String((err && err.message) || err) });
    }
  };
}

function toBase64(text) {
  const bytes = new TextEncoder().encode(text);
  let bin = "";
  for (let i = 0; i < bytes.length; i += 0x8000) bin += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(bin);
}

const worker = { w: null, failed: query.get("worker") === "0", jobs: new Map(), seq: 0 };

function startWorker() {
  if (worker.failed) return null;
  if (worker.w) return worker.w;
  try {
    // A blob: URL is refused to file:// pages by some browsers; data: works.
    const src = '"use strict";\nconst NL = (' + nivraLayoutModule.toString() + ")();\n(" + workerMain.toString() + ")(NL);\n";
    const w = new Worker("data:text/javascript;base64," + toBase64(src));
    w.onmessage = (ev) => {
      const msg = ev.data, job = worker.jobs.get(msg.id);
      if (!job) return;
      if (msg.type === "progress") job.progress(msg.value);
      else {
        worker.jobs.delete(msg.id);
        if (msg.type === "done") job.resolve(msg.result, "worker");
        else job.reject(new Error(msg.message));
      }
    };
    w.onerror = (ev) => {
      if (ev && ev.preventDefault) ev.preventDefault();
      worker.failed = true;
      w.terminate();
      worker.w = null;
      const jobs = Array.from(worker.jobs.values());
      worker.jobs.clear();
      for (const job of jobs) runSliced(job.input, job.progress).then((r) => job.resolve(r, "main"), job.reject);
    };
    worker.w = w;
    return w;
  } catch (e) {
    worker.failed = true;
    return null;
  }
}

function runSliced(input, progress) {
  return new Promise((resolve, reject) => {
    const it = Layout.layoutSteps(input);
    const slice = () => {
      const t0 = now();
      try {
        for (;;) {
          const s = it.next();
          if (s.done) { resolve(s.value); return; }
          if (now() - t0 > 20) { progress(s.value); setTimeout(slice, 0); return; }
        }
      } catch (e) { reject(e); }
    };
    slice();
  });
}

function computeLayout(input, progress) {
  const force = query.get("worker");
  if (force !== "0" && force !== "1" && input.n < WORKER_MIN_UNITS) {
    return Promise.resolve({ result: Layout.runLayout(input), mode: "sync" });
  }
  const w = force === "0" ? null : startWorker();
  if (!w) return runSliced(input, progress).then((result) => ({ result, mode: "main" }));
  return new Promise((resolve, reject) => {
    const id = ++worker.seq;
    worker.jobs.set(id, { input, progress, resolve: (result, mode) => resolve({ result, mode }), reject });
    w.postMessage({ id, input });
  });
}

