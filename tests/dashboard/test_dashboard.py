"""The dashboard at / and the API docs in a real headless Chromium (Debian's chromium and
chromium-driver, driven by Selenium), against `quorvane serve` on a free loopback port.

The browser resolves no host name (every name maps to nothing, 127.0.0.1 excepted), so a page that
needed a file from the network would not render; its requests are also read from the DevTools log
and must all go to 127.0.0.1. Screenshots are kept in build/artifacts/. Selenium gets both paths,
so Selenium Manager never runs (it would go to the network for a driver).

Under `make asan` the service runs sanitized (it inherits the preload) but the browser does not:
the sanitizer's variables are left out of the driver's environment.
"""
import json
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import urlsplit

import httpx
import pytest

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")
if not (CHROMIUM and CHROMEDRIVER):
    pytest.skip("Debian's chromium and chromium-driver are not installed (`make browser` installs them "
                "as root)", allow_module_level=True)
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402

ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "artifacts"
START_TIMEOUT = 120  # a sanitizer build imports and seeds slowly
WAIT = 60
SANITIZER_ENV = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
JUNK = re.compile(r"\bNaN\b|undefined|Infinity|\[object ")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def seed(directory: Path) -> None:
    """Demo bars with the whole session of one-minute bars, so there are sparklines at any hour
    (before the open the served session would have none yet)."""
    from quorvane.data import loader
    from quorvane.data.demo import DEMO_SYMBOLS, intraday_bars, seed_demo
    from quorvane.server.kline_cache import KlineCache

    cache = loader.BarCache(directory)
    seed_demo(cache)
    day = KlineCache.intraday_session_day()
    for sym in DEMO_SYMBOLS:
        cache.set(KlineCache.intraday_key(sym), intraday_bars(sym, day, now=math.inf))
    cache.close()


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    """[base URL, process]; a symbol not in the cache fails fast at a closed loopback proxy."""
    directory = tmp_path_factory.mktemp("dashboard")
    seed(directory)
    port = free_port()
    env = {**os.environ, "HTTPS_PROXY": f"http://127.0.0.1:{free_port()}"}
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "serve", "--port", str(port), "--data-dir",
                             str(directory), "--log-level", "warning"], env=env,
                            stdout=subprocess.DEVNULL, stderr=open(directory / "serve.log", "w"))
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            try:
                httpx.get(f"{base}/api/v1/health", timeout=5)
                break
            except httpx.TransportError:
                assert proc.poll() is None, (directory / "serve.log").read_text()[-3000:]
                assert time.monotonic() < deadline, f"serve did not answer within {START_TIMEOUT} s"
                time.sleep(0.3)
        yield base, proc
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,800", "--no-proxy-server", "--disable-background-networking",
                "--disable-component-update", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENV}
    driver = webdriver.Chrome(options=options, service=DriverService(CHROMEDRIVER, env=env))
    try:
        yield driver
    finally:
        driver.quit()


def requested(driver) -> list[str]:
    """URLs the page sent since the last call (the DevTools log is drained by reading it), without
    those its Content-Security-Policy refused before they left."""
    events = [json.loads(e["message"])["message"] for e in driver.get_log("performance")]
    refused = {e["params"]["requestId"] for e in events
               if e["method"] == "Network.loadingFailed" and e["params"].get("blockedReason") == "csp"}
    return [e["params"]["request"]["url"] for e in events
            if e["method"] == "Network.requestWillBeSent" and e["params"]["requestId"] not in refused]


def assert_loopback_only(urls):
    off = {u for u in urls if urlsplit(u).scheme not in ("data", "blob") and urlsplit(u).hostname != "127.0.0.1"}
    assert not off, f"requests off 127.0.0.1: {sorted(off)}"


def wait(driver, condition, what):
    deadline = time.monotonic() + WAIT
    while not (value := driver.execute_script(condition)):
        assert time.monotonic() < deadline, f"{what}: not within {WAIT} s; page text:\n{page_text(driver)[:2000]}"
        time.sleep(0.2)
    return value


def page_text(driver) -> str:
    return driver.execute_script("return document.body.innerText")


def shot(driver, name) -> Path:
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    path = ARTIFACTS / name
    driver.save_screenshot(str(path))
    print(f"screenshot: {path}")
    return path


def test_dashboard_shows_the_session_and_five_live_sparklines(service, browser):
    base, _ = service
    requested(browser)
    browser.get(f"{base}/?refresh=1")
    wait(browser, "return document.querySelectorAll('.spark polyline').length === 5 && "
                  "document.querySelector('#status').dataset.state === 'ok'", "five sparklines")
    status = httpx.get(f"{base}/api/v1/market-status").json()
    quotes = httpx.get(f"{base}/api/v1/snapshots?symbols=AAPL,MSFT,NVDA,SPY,TSLA").json()["quotes"]
    bars = httpx.post(f"{base}/api/v1/batch-intraday", json={"symbols": ["AAPL"]}).json()["intraday"]["AAPL"]["bars"]
    cards = browser.execute_script("""return [...document.querySelectorAll('.card')].map(c => [c.dataset.symbol,
        c.dataset.state, c.querySelector('.last').textContent, c.querySelector('polyline').points.length])""")
    assert cards == [[q["symbol"], "ok", f"{q['last']:,.2f}", len(bars)] for q in quotes]
    session = browser.execute_script("const s = document.querySelector('#session'); return [s.dataset.session, s.textContent]")
    assert session[0] == status["session"] and session[1] not in ("", "—", status["session"])
    assert not JUNK.search(page_text(browser))
    shot(browser, "dashboard.png")
    first = browser.find_element("id", "status").text
    wait(browser, f"return document.querySelector('#status').textContent !== {json.dumps(first)}", "a refresh")
    urls = requested(browser)
    assert_loopback_only(urls)
    assert sum(u.endswith("/api/v1/batch-intraday") for u in urls) >= 2  # polled, not loaded once


@pytest.mark.parametrize("path, rendered", [
    ("/docs", "return document.querySelectorAll('#swagger-ui .opblock').length"),
    ("/redoc", "return document.querySelectorAll('redoc [data-section-id^=\"operation/\"]').length"),
])
def test_api_docs_render_offline(service, browser, path, rendered):
    base, _ = service
    requested(browser)
    browser.get(base + path)
    operations = len(httpx.get(f"{base}/openapi.json").json()["paths"])
    assert wait(browser, rendered, f"{path} operations") >= operations
    assert "Quorvane" in page_text(browser)
    assert_loopback_only(requested(browser))


def test_degraded_symbol_then_service_gone(service, browser):
    """An unknown symbol shows its errors in its own card; once the service is gone, a banner says so
    and the last figures stay; never NaN or undefined. (Stops the module's service: keep it last.)"""
    base, proc = service
    browser.get(f"{base}/?symbols=AAPL,NOPE&refresh=1")
    wait(browser, "return document.querySelector('.card[data-symbol=NOPE]').dataset.state === 'error' && "
                  "document.querySelector('#status').dataset.state === 'ok'", "the unknown symbol's error")
    nope = browser.find_element("css selector", ".card[data-symbol=NOPE]").text
    assert "quote: " in nope and "bars: " in nope and "no sparkline" in nope
    assert browser.execute_script("return document.querySelector('.card[data-symbol=AAPL]').dataset.state") == "ok"
    aapl = browser.find_element("css selector", ".card[data-symbol=AAPL] .last").text
    assert not JUNK.search(page_text(browser))
    proc.send_signal(signal.SIGINT)
    proc.wait(timeout=30)
    wait(browser, "return document.querySelector('#status').dataset.state === 'offline'", "the offline banner")
    text = page_text(browser)
    assert "Service unreachable since" in text and "showing figures from" in text
    assert browser.find_element("css selector", ".card[data-symbol=AAPL] .last").text == aapl
    assert not JUNK.search(text)
    shot(browser, "dashboard-offline.png")
