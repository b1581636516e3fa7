// view-main.js: builds the viewer, opens the recording (or lists a directory's), the automation hooks, "ready"
async function openRecording(id, ui) {
  root.dataset.state = "loading";
  ui.player.message("Opening the recording (one pass over the file)\u2026");
  setText("rec-sub", "Opening\u2026");
  const info = await apiJson("/api/info", { rec: id });
  const [activity, hot] = await Promise.all([apiBytes("/api/activity", { rec: id }), apiBytes("/api/hot", { rec: id })]);
  describe(info);
  ui.overview.load(new Uint32Array(activity), info.activity, info.duration_us);
  if (ui.list) ui.list.mark(id);
  const q = new URLSearchParams(location.search);
  if (ui.listing.directory) { q.set("rec", String(id)); history.replaceState(null, "", "?" + q.toString()); }
  return ui.player.open(info, new Uint32Array(hot));
}

function describe(info) {
  document.title = info.name + " \u00b7 nivra.viz viewer";
  setText("title", info.name);
  const left = Object.entries(info.left_out).map(([why, n]) => fmtInt(n) + " " + why);
  setText("rec-sub", info.format + " \u00b7 sensor " + info.sensor_from + (info.sorted ? "" : " \u00b7 not in time order") +
    (left.length ? " \u00b7 not drawn: " + left.join(", ") : ""));
  setText("fact-events", fmtCompact(info.events));
  byId("fact-events").title = fmtInt(info.events) + " events";
  setText("fact-duration", fmtDuration(info.duration_us));
  setText("fact-sensor", info.sensor[0] + " \u00d7 " + info.sensor[1]);
  const notes = info.notes.concat([info.hot.rule + " This recording has " + fmtInt(info.hot.count) + "."]);
  byId("notes").hidden = false;
  setText("notes", notes.join(" "));
}

async function main() {
  const controls = setupDisplayControls();
  const overview = buildOverview((us) => player.jump(us));
  let player = null;
  const stage = buildStage((p) => player && player.hover(p));
  player = buildPlayer(stage, overview, controls);
  setupExport(player);
  setupKeys(player.keys);
  setupThemeSwitch(() => { overview.retheme(); });
  onDisplayChange(() => { stage.redraw(); });
  new ResizeObserver(() => { stage.layout(); overview.layout(); }).observe(document.body);

  const listing = await apiJson("/api/list");
  const ui = { player, overview, listing, list: null };
  let opening = Promise.resolve();
  const open = (id) => {
    opening = openRecording(id, ui).catch((err) => {
      root.dataset.state = "error";
      setText("error-text", err.message);
      player.close();
      player.message(err.message);
      throw err;
    });
    return opening;
  };
  window.nivraView = {
    // draws the frame [start_us, start_us + window_us); resolves with what was drawn
    show: (start, win) => opening.then(() => player.show(start, win)),
    open,
    get info() { return player.info; },
  };
  if (listing.directory) {
    ui.list = buildList((id) => { open(id).catch(() => {}); });
    ui.list.show(listing);
    const wanted = Number(new URLSearchParams(location.search).get("rec"));
    const first = listing.recordings.find((r) => !r.error);
    if (Number.isInteger(wanted) && listing.recordings.some((r) => r.id === wanted)) await open(wanted).catch(() => {});
    else if (first) await open(first.id).catch(() => {});
    else { root.dataset.state = "list"; player.message("No readable recordings in this directory."); }
  } else {
    await open(0);
  }
}

main().catch((err) => fail(err && err.message ? err.message : String(err)));
