// spikes-errors.js: anything thrown from here on ends in the "error" state with its message
const root = document.documentElement;
window.spikePageFail = (message) => {
  if (root.dataset.state === "error") return;
  root.dataset.state = "error";
  const text = document.getElementById("error-text");
  if (text) text.textContent = String(message);
  if (window.console) console.error("spike page: " + message);
};
window.addEventListener("error", (ev) => {
  window.spikePageFail(ev.error && ev.error.message ? ev.error.message : ev.message);
});
window.addEventListener("unhandledrejection", (ev) => {
  const r = ev.reason;
  window.spikePageFail(r && r.message ? r.message : String(r));
});
