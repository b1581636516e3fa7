// theme-switch.js: the theme button of the spike page and the viewer: it names the theme it switches to
function setupThemeSwitch(onChange) {
  const label = byId("theme-label");
  const sync = (theme) => { label.textContent = theme === "dark" ? "Light" : "Dark"; };
  sync(pageTheme.setup({ onChange: (theme) => { sync(theme); onChange(); } }));
  byId("theme").addEventListener("click", () => pageTheme.toggle());
}
