// view-list.js: the recordings of a directory: name, format, events, duration, sensor, or why a file cannot be read
function buildList(onPick) {
  const panel = byId("list-panel"), body = byId("list").querySelector("tbody");
  let rows = new Map(), current = -1, timer = 0;

  function cell(tr, text, cls) {
    const td = document.createElement("td");
    if (cls) td.className = cls;
    td.textContent = text;
    tr.appendChild(td);
    return td;
  }
  function render(listing) {
    body.replaceChildren();
    rows = new Map();
    let pending = 0, bad = 0;
    for (const r of listing.recordings) {
      const tr = document.createElement("tr");
      tr.dataset.id = String(r.id);
      cell(tr, r.name, "name");
      if (r.error) {
        bad++;
        tr.className = "bad";
        const td = cell(tr, r.error.replace(/^.*?: /, ""), "reason");
        td.colSpan = 4;
        td.title = r.error;
      } else {
        tr.className = "row";
        tr.tabIndex = 0;
        if (r.pending) pending++;
        cell(tr, r.pending ? "\u2026" : r.format);
        cell(tr, r.pending ? "" : fmtInt(r.events), "num");
        cell(tr, r.pending ? "" : fmtDuration(r.duration_us), "num");
        cell(tr, r.pending ? "" : r.sensor[0] + " \u00d7 " + r.sensor[1]);
        tr.addEventListener("click", () => onPick(r.id));
        tr.addEventListener("keydown", (ev) => { if (ev.key === "Enter") { onPick(r.id); ev.preventDefault(); } });
      }
      if (r.id === current) tr.classList.add("current");
      rows.set(r.id, tr);
      body.appendChild(tr);
    }
    const n = listing.recordings.length;
    setText("list-sub", fmtInt(n) + " file" + (n === 1 ? "" : "s") + (bad ? ", " + fmtInt(bad) + " unreadable" : "") +
      (pending ? ", reading " + fmtInt(pending) + "\u2026" : "") + (listing.truncated ? " (the first ones)" : ""));
    return pending;
  }
  async function refresh() {
    timer = 0;
    let listing;
    try { listing = await apiJson("/api/list"); } catch (err) { return; }
    // keep polling while the server is still reading files for the listing
    if (render(listing)) timer = setTimeout(refresh, 1000);
  }

  return {
    show(listing) { panel.hidden = false; if (render(listing) && !timer) timer = setTimeout(refresh, 1000); },
    mark(id) {
      current = id;
      for (const [k, tr] of rows) tr.classList.toggle("current", k === id);
      refreshSoon();
    },
  };
  function refreshSoon() { if (!timer) timer = setTimeout(refresh, 300); }
}
