// theme.js: light or dark: the system's scheme until the user picks one
// Inlined in the head, so data-system (read by theme.css) is right before anything is drawn;
// the page then calls pageTheme.setup() with its switch's policy.
const pageTheme = (() => {
  const root = document.documentElement;
  const media = window.matchMedia ? window.matchMedia("(prefers-color-scheme: dark)") : null;
  const system = () => (media && media.matches ? "dark" : "light");
  let picked = null, storageKey = null, onChange = () => {};
  const current = () => picked || system();
  const load = (key) => { try { return localStorage.getItem(key); } catch (e) { return null; } };
  const save = (key, value) => { try { localStorage.setItem(key, value); } catch (e) { /* storage may be disabled */ } };
  const show = () => {
    root.dataset.system = system();
    const named = storageKey ? current() : picked;
    if (named) root.dataset.theme = named; else delete root.dataset.theme;
  };
  show();
  if (media && media.addEventListener) {
    media.addEventListener("change", () => { show(); if (!picked) onChange(current()); });
  }
  return {
    current,
    // With a storage key (the graph viewer) a pick is remembered across visits and
    // data-theme always names the theme in use. Without one (the spike page) a pick lasts
    // for the visit, picking the system's own scheme goes back to following it, and
    // data-theme holds only a pick. onChange(theme) runs after every change of theme.
    // Returns the theme in use.
    setup(options) {
      storageKey = options.storageKey || null;
      if (options.onChange) onChange = options.onChange;
      const stored = storageKey ? load(storageKey) : null;
      picked = stored ? (stored === "dark" ? "dark" : "light") : null;
      show();
      return current();
    },
    toggle() {
      const next = current() === "dark" ? "light" : "dark";
      if (storageKey) { picked = next; save(storageKey, next); } else picked = next === system() ? null : next;
      show();
      onChange(current());
    },
  };
})();
