"""The dashboard at / and the API docs in headless Chromium (Debian's chromium and chromium-driver,
through Selenium with both paths given, so Selenium Manager never runs), against `quorvane serve`.

The browser resolves no host name but 127.0.0.1, so a page needing a file from the network would
not render, and every request the page sends (DevTools log) must go to 127.0.0.1. Screenshots go to
build/artifacts/. Under `make asan` the service runs sanitized; the browser gets no preload (Chromium
hangs under it).
"""
import json
import math
import os
import re
import shutil
import time
from pathlib import Path
from urllib.parse import urlsplit

import httpx
import pytest

from service import Service, closed_url

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")
if not (CHROMIUM and CHROMEDRIVER):
    pytest.skip("Debian's chromium and chromium-driver are not installed (`make browser` installs them "
                "as root)", allow_module_level=True)
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402

ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "artifacts"
WAIT = 120  # a sanitizer build imports, seeds and answers slowly
JUNK = re.compile(r"\bNaN\b|undefined|Infinity|\[object ")


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    """`quorvane serve` over demo bars holding the whole session's minutes, so there are
    sparklines at any hour; a symbol not cached fails fast at a closed loopback proxy."""
    from quorvane.data import loader
    from quorvane.data.demo import DEMO_SYMBOLS, intraday_bars, seed_demo
    from quorvane.server.kline_cache import KlineCache

    directory = tmp_path_factory.mktemp("dashboard")
    cache = loader.BarCache(directory)
    seed_demo(cache)
    for sym in DEMO_SYMBOLS:
        cache.set(KlineCache.intraday_key(sym), intraday_bars(sym, KlineCache.intraday_session_day(), math.inf))
    cache.close()
    with Service("--data-dir", directory, "--log-level", "warning", env={"HTTPS_PROXY": closed_url()},
                 log=directory / "serve.log") as svc:
        yield svc


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,800",
                "--no-proxy-server", "--disable-background-networking", "--disable-component-update",
                "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    driver = webdriver.Chrome(options=options, service=DriverService(CHROMEDRIVER, env=env))
    yield driver
    driver.quit()


def sent(driver) -> list[str]:
    """URLs the page sent since the last call, less those its Content-Security-Policy refused."""
    events = [json.loads(e["message"])["message"] for e in driver.get_log("performance")]
    refused = {e["params"]["requestId"] for e in events
               if e["method"] == "Network.loadingFailed" and e["params"].get("blockedReason") == "csp"}
    urls = [e["params"]["request"]["url"] for e in events
            if e["method"] == "Network.requestWillBeSent" and e["params"]["requestId"] not in refused]
    off = [u for u in urls if urlsplit(u).scheme not in ("data", "blob") and urlsplit(u).hostname != "127.0.0.1"]
    assert not off, f"requests off 127.0.0.1: {off}"
    return urls


def wait(driver, script, what):
    deadline = time.monotonic() + WAIT
    while not (value := driver.execute_script("return " + script)):
        assert time.monotonic() < deadline, f"no {what} within {WAIT} s:\n{text(driver)[:2000]}"
        time.sleep(0.2)
    return value


def text(driver) -> str:
    return driver.execute_script("return document.body.innerText")


def shot(driver, name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(ARTIFACTS / name))
    print(f"screenshot: {ARTIFACTS / name}")


def test_dashboard_shows_the_session_and_five_live_sparklines(service, browser):
    base = service.base
    sent(browser)
    browser.get(f"{base}/?refresh=1")
    wait(browser, "document.querySelectorAll('.spark polyline').length === 5 && "
                  "document.querySelector('#status').dataset.state === 'ok'", "five sparklines")
    status = httpx.get(f"{base}/api/v1/market-status").json()
    quotes = httpx.get(f"{base}/api/v1/snapshots?symbols=AAPL,MSFT,NVDA,SPY,TSLA").json()["quotes"]
    bars = httpx.post(f"{base}/api/v1/batch-intraday", json={"symbols": ["AAPL"]}).json()["intraday"]["AAPL"]["bars"]
    cards = browser.execute_script("""return [...document.querySelectorAll('.card')].map(c => [c.dataset.symbol,
        c.dataset.state, c.querySelector('.last').textContent, c.querySelector('polyline').points.length])""")
    assert cards == [[q["symbol"], "ok", f"{q['last']:,.2f}", len(bars)] for q in quotes]
    session = browser.execute_script("const s = document.querySelector('#session'); return [s.dataset.session, s.textContent]")
    assert session[0] == status["session"] and session[1] not in ("", "—", status["session"])
    assert not JUNK.search(text(browser))
    shot(browser, "dashboard.png")
    first = browser.find_element("id", "status").text
    wait(browser, f"document.querySelector('#status').textContent !== {json.dumps(first)}", "refresh")
    assert sum(u.endswith("/api/v1/batch-intraday") for u in sent(browser)) >= 2  # polled, not loaded once


@pytest.mark.parametrize("path, operations", [
    ("/docs", "document.querySelectorAll('#swagger-ui .opblock').length"),
    ("/redoc", "document.querySelectorAll('redoc [data-section-id^=\"operation/\"]').length"),
], ids=["swagger-ui", "redoc"])
def test_api_docs_render_offline(service, browser, path, operations):
    base = service.base
    sent(browser)
    browser.get(base + path)
    assert wait(browser, operations, f"{path} operations") >= len(httpx.get(f"{base}/openapi.json").json()["paths"])
    assert "Quorvane" in text(browser)
    sent(browser)


def test_degraded_symbol_then_service_gone(service, browser):
    """An unknown symbol's errors show in its card; with the service gone a banner says so and the
    last figures stay. (Stops the module's service: keep it last.)"""
    base = service.base
    browser.get(f"{base}/?symbols=AAPL,NOPE&refresh=1")
    wait(browser, "document.querySelector('.card[data-symbol=NOPE]').dataset.state === 'error' && "
                  "document.querySelector('#status').dataset.state === 'ok'", "error of the unknown symbol")
    nope = browser.find_element("css selector", ".card[data-symbol=NOPE]").text
    assert "quote: " in nope and "bars: " in nope and "no sparkline" in nope and not JUNK.search(text(browser))
    assert browser.execute_script("return document.querySelector('.card[data-symbol=AAPL]').dataset.state") == "ok"
    aapl = browser.find_element("css selector", ".card[data-symbol=AAPL] .last").text
    assert service.stop(), "serve did not end within 30 s of SIGINT"
    wait(browser, "document.querySelector('#status').dataset.state === 'offline'", "offline banner")
    assert "Service unreachable since" in text(browser) and "showing figures from" in text(browser)
    assert browser.find_element("css selector", ".card[data-symbol=AAPL] .last").text == aapl
    assert not JUNK.search(text(browser))
    shot(browser, "dashboard-offline.png")
