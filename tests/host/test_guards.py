"""The reference app's guards (quorvane.guards) in front of the route modules, through the real app."""
import asyncio
import os
import signal
import socket
import threading

import httpx
import pandas_market_calendars
from pandas_market_calendars.calendars.nyse import NYSEExchangeCalendar
import pytest
import yfinance

from quorvane import guards
from quorvane.__main__ import _parser, main
from quorvane.app import create_app
from quorvane.data import loader
from quorvane.ib import IBConfig
from quorvane.server.kline_cache import KlineCache
from quorvane.server.routes import health
from service import Service

NY = "America/New_York"

pytestmark = pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")


@pytest.fixture
def small_limits(monkeypatch):
    """Limits small enough to cross cheaply; set before the test's app is made (list it first)."""
    monkeypatch.setenv(guards.MAX_BODY_ENV, "2000")
    monkeypatch.setenv(guards.MAX_BATCH_SYMBOLS_ENV, "3")


@pytest.fixture
def offline_yahoo(monkeypatch):
    class Ticker:
        def __init__(self, sym):
            self.sym = sym

        def history(self, **kwargs):
            raise ConnectionError("offline")

    monkeypatch.setattr(yfinance, "Ticker", Ticker)


def too_large(reply, limit):
    assert reply.status_code == 413 and reply.headers["content-type"] == "application/json"
    assert reply.json() == {"success": False,
                            "error": f"request body too large: at most {limit} bytes are accepted"}
    return True


async def chunks(n, size=500):
    for _ in range(n):
        yield b" " * size


@pytest.mark.parametrize("method, path", [
    ("POST", "/api/v1/batch-intraday"), ("POST", "/api/v1/formulas/reload"),
    ("GET", "/api/v1/health"), ("POST", "/api/v1/billing/charge")])
def test_every_route_refuses_a_body_over_the_limit(small_limits, call_app, method, path):
    announced, chunked = call_app((f"{method} {path}", {"content": b"x" * 2001}),
                                  (f"{method} {path}", {"content": chunks(5)}))
    assert too_large(announced, 2000) and too_large(chunked, 2000)
    assert announced.headers["connection"] == "close"


def test_default_limit_is_one_mebibyte(call_app):
    over, at = call_app(("POST /api/v1/batch-intraday", {"content": b" " * (1024 * 1024 + 1)}),
                        ("POST /api/v1/batch-intraday", {"content": b" " * (1024 * 1024)}))
    assert too_large(over, 1024 * 1024)
    assert at.status_code == 422  # read whole and handed to the route's validation


@pytest.mark.parametrize("symbols, status", [(["A", "b", "A"], 200), (["A", "B", "C", "D"], 413)])
def test_batch_intraday_symbol_cap(small_limits, offline_yahoo, call_app, symbols, status):
    [reply] = call_app(("POST /api/v1/batch-intraday", {"json": {"symbols": symbols}}))
    assert reply.status_code == status
    if status == 413:  # duplicates count: each copy is read and held on its own
        assert reply.json() == {"success": False, "error": (
            "too many symbols: batch-intraday takes at most 3 symbols per request, got 4")}
    else:
        assert sorted(reply.json()["errors"]) == ["A: offline", "A: offline", "B: offline"]


def test_default_symbol_cap(offline_yahoo, call_app):
    [reply] = call_app(("POST /api/v1/batch-intraday", {"json": {"symbols": ["ZZ"] * 1001}}))
    assert reply.status_code == 413 and "at most 1000 symbols per request, got 1001" in reply.json()["error"]


def test_lone_surrogate_symbol_is_its_own_error_line(offline_yahoo, call_app):
    headers = {"content-type": "application/json"}
    reply, refused = call_app(
        ("POST /api/v1/batch-intraday", {"content": b'{"symbols": ["\\ud800", "\\udfff\\u00e9", "ok"]}', "headers": headers}),
        ("POST /api/v1/batch-intraday", {"content": b'{"symbols": "\\ud800"}', "headers": headers}))
    assert reply.status_code == 200, reply.text
    assert sorted(reply.json()["errors"]) == sorted(["\ud800: offline", "\udfff\u00c9: offline", "OK: offline"])
    # the validation error echoes the input text
    assert refused.status_code == 422 and refused.json()["detail"][0]["input"] == "\ud800"


# -- market-status response cache -------------------------------------------------------------------
@pytest.fixture
def calendars(monkeypatch):
    """The exchange names the market-status route asked the calendar library for, in order."""
    asked = []
    real = pandas_market_calendars.get_calendar
    KlineCache.intraday_session_day()  # the trading sessions' own calendar, loaded once per process

    def counting(name, *args, **kwargs):
        asked.append(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(pandas_market_calendars, "get_calendar", counting)
    return asked


def with_client(app, scenario):
    """scenario(client)'s result, the app's lifespan entered, through httpx's ASGI transport."""
    async def run():
        async with app.router.lifespan_context(app):
            transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                return await asyncio.wait_for(scenario(client), 120)

    try:
        return asyncio.run(run())
    finally:
        loader.close_cache()


def test_concurrent_misses_share_one_computation(tmp_path, calendars, pin):
    pin("2025-12-03 10:30:20")  # a computation that spans a minute boundary is not kept; none does here
    paths = ["/api/v1/market-status"] * 4 + ["/api/v1/market-status?exchange=xlon"] * 3
    replies = with_client(create_app(tmp_path), lambda client: asyncio.gather(*(client.get(p) for p in paths)))
    assert calendars == ["NYSE", "XLON"]
    assert {r.status_code for r in replies} == {200}
    assert len({r.content for r in replies[:4]}) == 1 and len({r.content for r in replies[4:]}) == 1
    assert replies[0].json()["exchange"] == "NYSE" and replies[4].json()["exchange"] == "XLON"


def fresh(exchange):
    """The route's answer, called now on a loop of its own."""
    return asyncio.run(health.market_status(None, exchange))


@pytest.mark.parametrize("zone, query, exchange, steps", [
    # (local time, the route computes again): the early close of the day after Thanksgiving
    (NY, "", "NYSE", [("2025-11-28 12:59", True), ("2025-11-28 12:59:59.9", False), ("2025-11-28 13:00", True)]),
    (NY, "?exchange=nyse", "nyse",
     [("2025-12-03 23:59:30", True), ("2025-12-04 00:00", True), ("2025-12-04 00:00:40", False)]),
    # London's midnight, five hours before New York's; the last "exchange" counts, as for the route
    ("Europe/London", "?exchange=nope&exchange=XLON", "XLON",
     [("2025-12-05 23:59:59", True), ("2025-12-06 00:00:01", True)]),
    ("UTC", "?exchange=nope", "nope",
     [("2025-12-05 10:00", True), ("2025-12-05 10:00:59", False), ("2025-12-05 10:01", True)]),
])
def test_market_status_is_kept_to_the_next_local_minute(call_app, calendars, pin, zone, query, exchange, steps):
    for now, computes in steps:
        pin(now, zone)
        asked = len(calendars)
        [reply] = call_app(f"GET /api/v1/market-status{query}", lifespan=False)
        assert len(calendars) - asked == computes, now
        assert reply.json() == fresh(exchange), now


def test_the_loop_serves_while_market_status_computes(tmp_path, monkeypatch):
    computing, release = threading.Event(), threading.Event()
    calendar = type(pandas_market_calendars.get_calendar("XLON"))
    schedule = calendar.schedule  # held until the test releases it, then the real one
    monkeypatch.setattr(calendar, "schedule", lambda *a, **k: computing.set() or release.wait(60) and schedule(*a, **k))

    async def scenario(client):
        status = asyncio.ensure_future(client.get("/api/v1/market-status?exchange=XLON"))
        await asyncio.to_thread(computing.wait, 60)
        health_status = (await client.get("/api/v1/health")).status_code
        waited = not status.done()
        release.set()
        return health_status, waited, (await status).json()["exchange"]

    try:
        assert with_client(create_app(tmp_path), scenario) == (200, True, "XLON")
    finally:
        release.set()


def test_market_status_keeps_a_bounded_number_of_exchanges(calendars):
    cache = guards.MarketStatusCache(health.market_status, max_kept=2)

    async def ask():
        for name in "abcbca":
            await cache.answer(name)
        await cache.close()

    asyncio.run(ask())
    assert calendars == ["A", "B", "C", "A"]


def test_a_failed_computation_is_not_kept(call_app, calendars, monkeypatch):
    def no_schedule(self, *args, **kwargs):
        raise RuntimeError("no schedule")

    monkeypatch.setattr(NYSEExchangeCalendar, "schedule", no_schedule)
    replies = call_app("GET /api/v1/market-status", "GET /api/v1/market-status", lifespan=False)
    assert [r.status_code for r in replies] == [500, 500]
    assert calendars == ["NYSE", "NYSE"]


# -- serve options and the bounded shutdown ----------------------------------------------------------
@pytest.fixture
def serve_env(monkeypatch):
    """serve_options writes the process environment: put it back afterwards."""
    monkeypatch.setattr(os, "environ", os.environ.copy())
    for name in (guards.LAG_INTERVAL_ENV, guards.MAX_BODY_ENV, guards.MAX_BATCH_SYMBOLS_ENV,
                 guards.GRACEFUL_TIMEOUT_ENV, loader.DATA_DIR_ENV):
        os.environ.pop(name, None)
    yield
    loader.close_cache()


@pytest.mark.parametrize("argv, env, expected_env, graceful", [
    ([], {}, {guards.LAG_INTERVAL_ENV: "0.1"}, 10.0),
    (["--graceful-timeout", "2.5", "--lag-interval", "0.5", "--max-body-bytes", "10", "--max-batch-symbols", "7"],
     {guards.LAG_INTERVAL_ENV: "1"},
     {guards.LAG_INTERVAL_ENV: "0.5", guards.MAX_BODY_ENV: "10", guards.MAX_BATCH_SYMBOLS_ENV: "7"}, 2.5),
    ([], {guards.GRACEFUL_TIMEOUT_ENV: "3", guards.LAG_INTERVAL_ENV: "2"}, {guards.LAG_INTERVAL_ENV: "2"}, 3.0),
])
def test_serve_options(serve_env, argv, env, expected_env, graceful):
    os.environ.update(env)
    assert guards.serve_options(_parser().parse_args(["serve", *argv])) == {"timeout_graceful_shutdown": graceful}
    assert {k: os.environ[k] for k in expected_env} == expected_env


@pytest.mark.parametrize("argv", [["--graceful-timeout", "-1"], ["--lag-interval", "0"], ["--max-body-bytes", "-5"]])
def test_serve_refuses_bad_limits(serve_env, tmp_path, capsys, argv):
    assert main(["serve", "--no-seed", "--data-dir", str(tmp_path), *argv]) == 2
    assert capsys.readouterr().err.startswith("quorvane: error: ")


@pytest.mark.parametrize("read, name, text, expected", [
    (lambda: guards._limit(guards.MAX_BODY_ENV, 7, int), guards.MAX_BODY_ENV, " ", 7),
    (lambda: guards._limit(guards.MAX_BODY_ENV, 7, int), guards.MAX_BODY_ENV, "-5",
     ValueError("QUORVANE_MAX_BODY_BYTES must be a non-negative number, got '-5'")),
    (lambda: guards._limit(guards.GRACEFUL_TIMEOUT_ENV, 1.0, float), guards.GRACEFUL_TIMEOUT_ENV, "soon",
     ValueError("QUORVANE_GRACEFUL_TIMEOUT must be a non-negative number, got 'soon'")),
    (loader._memo_bytes, loader.MEMO_MB_ENV, "lots",
     loader.CacheError("QUORVANE_BAR_MEMO_MB must be a number of megabytes, got 'lots'")),
    (loader._memo_bytes, loader.MEMO_MB_ENV, "", 64 * 2**20),
    (lambda: IBConfig.resolve(enable=True).port, "QUORVANE_IB_PORT", " 4002 ", 4002),
    (lambda: IBConfig.resolve(enable=True), "QUORVANE_IB_PORT", "seventy",
     ValueError("$QUORVANE_IB_PORT: invalid literal for int() with base 10: 'seventy'")),
])
def test_environment_settings(monkeypatch, read, name, text, expected):
    monkeypatch.setenv(name, text)
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as raised:
            read()
        assert str(raised.value) == str(expected)
    else:
        assert read() == expected


def test_shutdown_does_not_wait_for_a_request_that_never_ends(tmp_path):
    with Service("--data-dir", tmp_path, "--no-seed", "--graceful-timeout", "1") as service, socket.socket() as stalled:
        # a request whose body never arrives in full keeps its connection busy
        stalled.connect(("127.0.0.1", service.port))
        stalled.sendall(b"POST /api/v1/batch-intraday HTTP/1.1\r\nhost: x\r\ncontent-type: application/json\r\n"
                        b"content-length: 100\r\n\r\n{\"symbols\": [")
        assert httpx.get(f"{service.base}/api/v1/info", timeout=10).status_code == 200
        assert service.stop(signal.SIGTERM), "serve was still waiting for the stalled request 30 s after SIGTERM"
    err = service.output()
    assert service.proc.returncode in (0, -signal.SIGTERM), err  # uvicorn ends by the signal it caught
    assert "timeout graceful shutdown exceeded" in err and "Application shutdown complete" in err
