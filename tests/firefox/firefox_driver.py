"""Headless Firefox (Debian's firefox-esr) driven through Marionette, with what the page
tests need: open a page and wait for its data-state, the errors it reported, real pointer,
wheel and key input, downloads and screenshots.

Firefox has no console events over Marionette, so the browser's own output is the record:
with "devtools.console.stdout.content" every console message of a page is printed, and an
uncaught error prints "JavaScript error: URL, line N: message". Each page reads the output
written since it was opened.
"""
from __future__ import annotations

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from marionette_driver.keys import Keys
from marionette_driver.marionette import Marionette

FIREFOX = shutil.which("firefox-esr") or shutil.which("firefox")
STATE = "document.documentElement.dataset.state"

# Quiet and offline: no first-run pages, updates, telemetry, studies or background fetches
# (the network is closed here; these would only fail and log).
PREFS = {
    "devtools.console.stdout.content": True,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "app.update.disabledForTesting": True,
    "app.normandy.enabled": False,
    "app.shield.optoutstudies.enabled": False,
    "messaging-system.rsexperimentloader.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False,
    "browser.safebrowsing.update.enabled": False,
    "browser.backup.enabled": False,
    "browser.backup.scheduled.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "extensions.update.enabled": False,
    # downloads go to the profile's folder without asking
    "browser.download.folderList": 2,
    "browser.download.useDownloadDir": True,
    "browser.download.always_ask_before_handling_new_types": False,
    "browser.download.start_downloads_in_tmp_dir": False,
    "browser.download.manager.showWhenStarting": False,
    "browser.helperApps.neverAsk.saveToDisk": "image/png,image/svg+xml,text/html",
}

_SCRIPT_ERROR = re.compile(r"^JavaScript error: (?P<url>(file|data|blob):[^,]*), line \d+: (?P<msg>.*)")
# Firefox's own components log with an unquoted prefix ("console.error: RSLoader: ..."); a
# page's messages are printed as values: strings quoted, objects in parentheses, numbers.
_CONSOLE_ERROR = re.compile(r"^console\.error: (?P<msg>.*)")
_CHROME_PREFIX = re.compile(r"^[A-Za-z_][\w.-]*:(\s|$)")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Firefox:
    """One headless Firefox for a test session; `open` loads a page in its one tab."""

    def __init__(self, width: int = 1300, height: int = 850):
        self.root = Path(tempfile.mkdtemp(prefix="nivra-firefox-"))
        self.profile = self.root / "profile"
        self.downloads = self.root / "downloads"
        self.profile.mkdir()
        self.downloads.mkdir()
        port = _free_port()
        prefs = dict(PREFS, **{"marionette.port": port, "browser.download.dir": str(self.downloads)})
        (self.profile / "user.js").write_text(
            "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items()))
        self.log_path = self.root / "firefox.log"
        self._log = open(self.log_path, "wb")
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        env.update(MOZ_CRASHREPORTER_DISABLE="1", MOZ_HEADLESS="1")
        self.process = subprocess.Popen(
            [FIREFOX, "--headless", "--marionette", "--no-remote", "--profile", str(self.profile)],
            stdout=self._log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
        try:
            self.m = Marionette("127.0.0.1", port, startup_timeout=120)
            self.m.start_session()
            self.m.timeout.script = 60
            self.m.set_window_rect(width=width, height=height)
        except BaseException:
            self.quit()
            raise

    def quit(self) -> None:
        try:
            if getattr(self, "m", None) is not None and self.m.session is not None:
                self.m.delete_session()
        except Exception:
            pass
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self._log.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def log_size(self) -> int:
        self._log.flush()
        return self.log_path.stat().st_size

    def log_since(self, offset: int) -> list[str]:
        with open(self.log_path, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace").splitlines()

    def open(self, path: Path, wait: bool = True) -> "Page":
        page = Page(self, self.log_size())
        self.m.navigate(path.resolve().as_uri())
        if wait:
            page.wait_ready()
        return page


class Page:
    """The page in the tab, with helpers named after what a person does."""

    def __init__(self, ff: Firefox, log_offset: int):
        self.ff, self.m, self._offset = ff, ff.m, log_offset
        self._downloads_before = set(os.listdir(ff.downloads))

    # --- reading the page (scripts run in the page's own scope, where its hooks live)
    def js(self, expr: str, *args):
        """The value of a JavaScript expression (`arguments[i]` are `args`)."""
        return self.m.execute_script(f"return ({expr});", script_args=list(args), sandbox=None)

    def wait_for(self, expr: str, timeout: float = 30.0, *args):
        """Waits until `expr` is truthy in the page; returns its value."""
        return self.m.execute_async_script(
            "const [expr, args, limit] = [arguments[0], arguments[1], arguments[2]];"
            "const done = arguments[arguments.length - 1], t0 = Date.now();"
            "const f = new Function('...arguments', 'return (' + expr + ');');"
            "(function poll() { let v; try { v = f(...args); } catch (e) { v = undefined; }"
            "  if (v) done(v); else if (Date.now() - t0 > limit) done(null);"
            "  else setTimeout(poll, 25); })();",
            script_args=[expr, list(args), timeout * 1000], sandbox=None,
            script_timeout=(timeout + 10) * 1000)

    def wait_ready(self) -> str:
        state = self.wait_for(f"['ready', 'error'].includes({STATE}) && {STATE}", 60.0)
        assert state == "ready", f"page state {state!r}: {self.js('document.body.innerText')[:500]}"
        return state

    def text(self, selector: str) -> str:
        return self.js("document.querySelector(arguments[0]).textContent", selector)

    def attr(self, selector: str, name: str):
        return self.js("document.querySelector(arguments[0]).getAttribute(arguments[1])", selector, name)

    def box(self, selector: str) -> dict:
        return self.js("document.querySelector(arguments[0]).getBoundingClientRect().toJSON()", selector)

    def errors(self) -> list[str]:
        """Uncaught errors and console errors of pages since this one was opened."""
        found = []
        for line in self.ff.log_since(self._offset):
            if m := _SCRIPT_ERROR.match(line):
                found.append(f"{m['url'][:80]}: {m['msg']}")
            elif (m := _CONSOLE_ERROR.match(line)) and not _CHROME_PREFIX.match(m["msg"]):
                found.append("console.error: " + m["msg"])
        return found

    # --- acting on it
    def click(self, selector: str) -> None:
        """A real click in the middle of the element (scrolled into view first)."""
        self.m.find_element("css selector", selector).click()

    def click_at(self, x: float, y: float, double: bool = False) -> None:
        seq = self.m.actions.sequence("pointer", "mouse", {"pointerType": "mouse"})
        seq.pointer_move(round(x), round(y)).pointer_down().pointer_up()
        if double:
            seq.pointer_down().pointer_up()
        seq.perform()
        self.m.actions.release()

    def move_to(self, x: float, y: float) -> None:
        seq = self.m.actions.sequence("pointer", "mouse", {"pointerType": "mouse"})
        seq.pointer_move(round(x), round(y), duration=50).perform()

    def wheel(self, x: float, y: float, dy: float, times: int = 1) -> None:
        seq = self.m.actions.sequence("wheel", "wheel")
        for _ in range(times):
            seq.scroll(round(x), round(y), 0, round(dy)).pause(20)
        seq.perform()

    def press(self, *keys: str) -> None:
        """Presses each key in turn (characters or `Keys` values)."""
        seq = self.m.actions.sequence("key", "keyboard")
        for k in keys:
            seq.key_down(k).key_up(k)
        seq.perform()

    def chord(self, modifier: str, key: str) -> None:
        self.m.actions.sequence("key", "keyboard").key_down(modifier).key_down(key) \
            .key_up(key).key_up(modifier).perform()

    def type_into(self, selector: str, text: str) -> None:
        el = self.m.find_element("css selector", selector)
        el.clear()
        el.send_keys(text)

    def download(self, timeout: float = 20.0) -> Path:
        """The one file downloaded since the page was opened (or the last call)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            new = [n for n in os.listdir(self.ff.downloads)
                   if n not in self._downloads_before and not n.endswith(".part")]
            partial = any(n.endswith(".part") for n in os.listdir(self.ff.downloads))
            if new and not partial:
                assert len(new) == 1, new
                self._downloads_before.add(new[0])
                return self.ff.downloads / new[0]
            time.sleep(0.05)
        raise AssertionError(f"no download within {timeout} s")

    def screenshot(self, path: Path, full: bool = False) -> Path:
        path.write_bytes(self.m.screenshot(format="binary", full=full))
        return path


__all__ = ["FIREFOX", "Firefox", "Keys", "Page"]
