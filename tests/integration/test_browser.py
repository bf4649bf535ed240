"""The live page in a real browser: headless chromium driven through its driver.

Screenshots of every step are kept under build/test-artifacts/browser/.
"""

from __future__ import annotations

import shutil
import tempfile
import textwrap
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from .test_serve import CIRCUIT, WAVEGUIDES, Served, make_project, touch_later

CHROMIUM = Path("/usr/bin/chromium")
CHROMEDRIVER = Path("/usr/bin/chromedriver")
ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts" / "browser"

if not (CHROMIUM.exists() and CHROMEDRIVER.exists()):
    pytest.skip(f"chromium is not installed ({CHROMIUM} and {CHROMEDRIVER} are needed)",
                allow_module_level=True)
webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is not installed")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

WAIT_S = 30.0


@pytest.fixture
def browser():
    profile = tempfile.mkdtemp(prefix="chromium-profile-")
    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1000", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(str(CHROMEDRIVER)))
    driver.set_page_load_timeout(WAIT_S)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture
def served(tmp_path):
    server = Served(make_project(tmp_path / "chip-project"))
    yield server
    server.stop()


def test_the_page_lists_draws_and_follows_saves(browser, served):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    # The page re-renders its list and panels on every pass: elements go stale under us.
    wait = WebDriverWait(browser, WAIT_S, poll_frequency=0.05,
                         ignored_exceptions=[StaleElementReferenceException])

    def shot(step: str) -> None:
        browser.save_screenshot(str(ARTIFACTS / f"{step}.png"))

    def statuses() -> dict[str, str]:
        return browser.execute_script(
            "return Object.fromEntries([...document.querySelectorAll('#cells li.cell')]"
            ".map((li) => [li.dataset.name, li.dataset.status]))")

    def click_cell(name: str) -> None:
        wait.until(lambda b: b.find_element(By.CSS_SELECTOR, f"#cells li[data-name='{name}']").click() or True)
        wait.until(lambda b: b.find_element(By.ID, "cell").get_attribute("data-name") == name)

    def caption() -> str:
        return browser.find_element(By.ID, "drawing-info").text

    browser.get(served.url)
    wait.until(lambda b: b.find_element(By.ID, "connection").text == "live")
    wait.until(lambda b: len(statuses()) == 5)
    assert statuses() == {"circuit": "ok", "forever": "ok", "raises": "ok", "ring": "error", "wg": "ok"}
    shot("1-list")

    click_cell("wg")
    wait.until(lambda b: b.execute_script(
        "const i = document.getElementById('drawing'); return i.checkVisibility() && i.complete && i.naturalWidth > 0"))
    assert "bbox (0, 0) – (10, 0.5) µm" in caption()
    assert browser.find_element(By.ID, "uses").text == "nothing"
    assert browser.find_element(By.ID, "used-by").text == "circuit"
    params = browser.find_element(By.ID, "parameters").text
    assert "length" in params and "10.0" in params
    shot("2-drawn")

    started = time.monotonic()
    touch_later(served.project / "chip/cells/waveguides.py", WAVEGUIDES.replace("10.0", "30.0"))
    wait.until(lambda b: "(30, 0.5)" in caption())
    (ARTIFACTS / "redraw-seconds.txt").write_text(f"{time.monotonic() - started:.3f}\n")
    assert browser.find_element(By.ID, "cell").get_attribute("data-name") == "wg"  # selection kept
    shot("3-after-save")

    touch_later(served.project / "chip/circuit.py", textwrap.dedent(CIRCUIT) + "raise ImportError('half saved')\n")
    wait.until(lambda b: statuses().get("circuit") == "error")
    assert browser.find_element(By.ID, "cell").get_attribute("data-name") == "wg"
    shot("4-error-cell")

    click_cell("circuit")
    wait.until(lambda b: b.find_element(By.ID, "cell-error").is_displayed())
    assert "half saved" in browser.find_element(By.CSS_SELECTOR, "#cell-error .error-title").text
    assert "Traceback" in browser.find_element(By.CSS_SELECTOR, "#cell-error .traceback").text
    shot("5-error-detail")

    search = browser.find_element(By.ID, "search")
    search.send_keys("trouble")
    wait.until(lambda b: set(statuses()) == {"forever", "raises"})
    click_cell("raises")
    wait.until(lambda b: "size 3 is not supported" in b.find_element(By.ID, "cell-error").text)
    wait.until(lambda b: statuses().get("raises") == "failing")
    shot("6-failing-build")


# A page of another local origin (127.0.0.1, another port: the same site, not
# the same origin) that tries what any page can: draw the cells as images,
# read the page for its token, ask for a cell without reading the answer,
# follow the event stream.
HOSTILE = """<!doctype html>
<html><head><meta charset="utf-8"><title>elsewhere</title></head><body>
<script>
const target = "TARGET";
function image(url) {
  return new Promise((resolve) => {
    const img = new Image();
    img.onload = () => resolve("loaded");
    img.onerror = () => resolve("refused");
    img.src = url;
  });
}
async function read(url) {
  try { const response = await fetch(url); return `read ${response.status}`; } catch (e) { return "unread"; }
}
async function send(url) {
  try { await fetch(url, { mode: "no-cors" }); return "sent"; } catch (e) { return "failed"; }
}
function stream(url) {
  return new Promise((resolve) => {
    const events = new EventSource(url);
    events.addEventListener("pass", () => { events.close(); resolve("followed"); });
    events.onerror = () => { events.close(); resolve("refused"); };
  });
}
Promise.all([image(target + "api/svg/wg"), image(target + "api/svg/raises"), read(target),
             send(target + "api/cell/forever"), send(target + "api/svg/raises?token=guessed"),
             stream(target + "events")])
  .then((results) => { window.results = results; });
</script>
</body></html>
"""


@pytest.fixture
def elsewhere(served):
    page = HOSTILE.replace("TARGET", served.url).encode()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, format: str, *args) -> None:
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


def test_a_page_of_another_local_origin_cannot_drive_the_live_page(browser, served, elsewhere):
    browser.get(elsewhere)
    results = WebDriverWait(browser, WAIT_S).until(lambda b: b.execute_script("return window.results"))
    assert results == ["refused", "refused", "unread", "sent", "sent", "refused"]
    # The requests arrived and were answered, and none built a cell: `raises`
    # and `forever` would be failing builds now.
    state = served.json("/api/state")
    assert state["counts"] == {"cells": 5, "errors": 1, "failing": 0, "models": state["counts"]["models"]}
    assert served.json("/api/cell/wg")["drawing"]["ok"]
