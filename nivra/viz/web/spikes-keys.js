// spikes-keys.js: the page's keys act on the page, whichever button has the focus
// Space plays even right after a click on a button (the theme switch, a polarity button):
// the key is taken before the button would see it. Fields that edit a value keep their
// own keys: the frame slider moves by itself, the contrast slider and the selects as usual.
function setupKeys(keys) {
  if (!keys) return;
  const ownKeys = (ev) => {
    const el = ev.target;
    if (!el || !el.tagName) return false;
    if (el.isContentEditable || el.tagName === "SELECT" || el.tagName === "TEXTAREA") return true;
    return el.tagName === "INPUT" && !["button", "checkbox", "radio", "submit", "reset"].includes(el.type);
  };
  document.addEventListener("keydown", (ev) => {
    if (ev.altKey || ev.ctrlKey || ev.metaKey || ownKeys(ev)) return;
    const k = ev.key === "Spacebar" ? " " : ev.key;
    if (!own(keys, k)) return;
    ev.preventDefault();
    keys[k]();
  });
  // a focused button or checkbox would also act on the release of Space
  document.addEventListener("keyup", (ev) => {
    if ((ev.key === " " || ev.key === "Spacebar") && !ownKeys(ev) && !(ev.altKey || ev.ctrlKey || ev.metaKey)) ev.preventDefault();
  });
}
