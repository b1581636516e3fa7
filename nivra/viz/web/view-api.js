// view-api.js: requests to the viewer's server, with the token of the page's own address
const TOKEN = new URLSearchParams(location.search).get("token") || "";

function apiUrl(path, params) {
  const q = new URLSearchParams(params || {});
  q.set("token", TOKEN);
  return path + "?" + q.toString();
}

// The response of `path`, or an Error with the server's one-line reason.
async function apiFetch(path, params, options) {
  let res;
  try {
    res = await fetch(apiUrl(path, params), Object.assign({ cache: "no-store" }, options || {}));
  } catch (err) {
    if (err && err.name === "AbortError") throw err;
    throw new Error("the viewer's server does not answer (was it stopped?)");
  }
  if (!res.ok) {
    let reason = res.status + " " + res.statusText;
    try { const body = await res.json(); if (body && body.error) reason = body.error; } catch (e) { /* not JSON */ }
    const err = new Error(reason);
    err.status = res.status;
    throw err;
  }
  return res;
}

const apiJson = async (path, params) => (await apiFetch(path, params)).json();
const apiBytes = async (path, params, options) => (await apiFetch(path, params, options)).arrayBuffer();

// One frame: the pixels with events (ascending flat indices) and their ON and OFF counts.
async function fetchFrame(rec, start, win, signal) {
  const res = await apiFetch("/api/frame", { rec, start: round(start), window: round(win) }, { signal });
  const buf = await res.arrayBuffer();
  const width = Number(res.headers.get("X-Count-Bytes")) || 1;
  const n = buf.byteLength / (4 + 2 * width);
  if (!Number.isInteger(n)) throw new Error("the server sent a frame of unexpected length");
  const Counts = width === 1 ? Uint8Array : width === 2 ? Uint16Array : Uint32Array;
  return {
    start: Number(res.headers.get("X-Frame-Start")),
    window: Number(res.headers.get("X-Frame-Window")),
    events: Number(res.headers.get("X-Frame-Events")),
    idx: new Uint32Array(buf, 0, n),
    on: new Counts(buf, 4 * n, n),
    off: new Counts(buf, (4 + width) * n, n),
    n,
  };
}
