// spikes-keys.js: the page's keys act on the page, whichever button has the focus
// Space plays even right after a click on a button (the theme switch, a polarity button):
// the key is taken before the button would see it. Fields that edit a value keep their
// own keys: the frame slider moves by itself, the contrast slider and the selects as usual.
function setupKeys(keys) {
  if (!keys) return;
  const isSpace = (key) => key === " " || key === "Spacebar";
  // true when the focused field uses this key itself (a slider has no use for Space)
  const fieldKey = (ev) => {
    const el = ev.target;
    if (!el || !el.tagName) return false;
    if (el.isContentEditable || el.tagName === "SELECT" || el.tagName === "TEXTAREA") return true;
    if (el.tagName !== "INPUT" || ["button", "checkbox", "radio", "submit", "reset"].includes(el.type)) return false;
    return !(el.type === "range" && isSpace(ev.key));
  };
  const skip = (ev) => ev.altKey || ev.ctrlKey || ev.metaKey || fieldKey(ev);
  document.addEventListener("keydown", (ev) => {
    const k = isSpace(ev.key) ? " " : ev.key;
    if (skip(ev) || !own(keys, k)) return;
    ev.preventDefault();
    keys[k]();
  });
  // a focused button or checkbox would also act on the release of Space
  document.addEventListener("keyup", (ev) => { if (isSpace(ev.key) && !skip(ev)) ev.preventDefault(); });
}
