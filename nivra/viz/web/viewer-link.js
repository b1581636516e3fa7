// viewer-link.js: opened from the timeline page (#node=NAME&timeline=URL), select the node and link back
// Self-contained: it reads only the page's automation hooks and data attributes, so the
// viewer's own sources need no change for it.
function wireTimelineLink() {
  const params = () => { try { return new URLSearchParams(location.hash.slice(1)); } catch (e) { return new URLSearchParams(); } };
  // Only a page of this page's own kind of address: never a script or another site.
  const sameKind = (value) => {
    if (!value || !/^(https?|file):$/.test(location.protocol)) return null;
    let u;
    try { u = new URL(value, location.href); } catch (e) { return null; }
    if (u.protocol !== location.protocol || (u.protocol !== "file:" && u.origin !== location.origin)) return null;
    u.hash = "";
    return u;
  };
  const link = document.createElement("a");
  link.className = "btn";
  link.id = "timeline-link";
  link.textContent = "Timeline";
  link.title = "The selected node in the execution timeline";
  let back = null, started = false;
  const update = () => {
    if (!back) return;
    const u = new URL(back.href), sel = root.dataset.selected || "";
    if (sel && !sel.startsWith("group:")) u.hash = new URLSearchParams({ node: sel }).toString();
    link.href = u.href;
  };
  const apply = () => {
    const p = params(), t = sameKind(p.get("timeline")), node = p.get("node");
    if (t) {
      back = t;
      const tools = document.querySelector("header .tools");
      if (tools && !link.isConnected) tools.prepend(link);
    }
    if (node != null && window.__nivraViewer) window.__nivraViewer.select(node);
    update();
  };
  const onState = () => {
    if (!started && root.dataset.state === "ready") { started = true; apply(); }
    update();
  };
  new MutationObserver(onState).observe(root, { attributes: true, attributeFilter: ["data-state", "data-selected"] });
  window.addEventListener("hashchange", () => { if (started) apply(); });
  onState();
}
wireTimelineLink();
