"""IB mode over the TWS API socket, against the gateway simulator: the session kept up across
drops, restarts and refusals, and only IB's market data served."""
import asyncio
import inspect
import time

import httpx
import ibfake
import pytest
from ib_async import Ticker, TickData

from quorvane import ib as ibmode
from quorvane.app import create_app
from quorvane.data import loader
from quorvane.data.demo import seed_demo
from quorvane.ib import IBConfig, terminal
from quorvane.server.kline_cache import KlineCache
from quorvane.tinyalgo import Bar

SYMBOLS = ("AAPL", "MSFT")
pytestmark = pytest.mark.ib_sim(symbols=SYMBOLS)


async def on_sim(st, fn):
    """fn(sim) on the simulator's loop, without holding up this one."""
    return await asyncio.to_thread(st.call, fn)


async def until(predicate, timeout=30.0):
    """Polls predicate() (a value or an awaitable) until it is truthy; bounded by `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        out = predicate()
        if out := (await out if inspect.isawaitable(out) else out):
            return out
        assert time.monotonic() < deadline, "condition not met in time"
        await asyncio.sleep(0.05)


def streaming(st, app):
    """Connected, with one market-data stream and one live bar subscription per tracked symbol."""
    async def check():
        if not app.state.icli_app.connected:
            return False
        streams = await on_sim(st, lambda sim: (sorted(sim.market_data.values()),
                                                sorted(sim.live_subscriptions.values())))
        return streams == (sorted(SYMBOLS), sorted(SYMBOLS))
    return check


def footprint(app):
    """What would pile up if reconnecting leaked: handlers, tickers, tasks."""
    ib = app.state.icli_app.ib
    return (len(ib.pendingTickersEvent), len(ib.disconnectedEvent), len(ib.errorEvent),
            len(ib.wrapper.tickers), len(asyncio.all_tasks()))


def run_app(app, during, timeout=90):
    """`during(app, client)` inside the app's lifespan, bounded to `timeout` s."""
    async def scenario():
        async with app.router.lifespan_context(app):
            async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
                return await asyncio.wait_for(during(app, client), timeout)

    try:
        return asyncio.run(scenario())
    finally:
        loader.close_cache()


@pytest.fixture
def barwarden(monkeypatch):
    pytest.importorskip("quorvane.server.lagsentry", reason="the native lagsentry module is not built")
    module = pytest.importorskip("quorvane.server.barwarden", reason="the native barwarden module is not built")
    monkeypatch.setattr(module, "STAGGER_SECONDS", 0.0)
    return module


@pytest.fixture
def run_ib_mode(ib_sim, barwarden, tmp_path, monkeypatch):
    """Runs the app in IB mode against the simulator: `during(app, client)` inside its lifespan.
    The exit cancels the live bar requests of the last session only, then ends it."""
    monkeypatch.setattr(ibmode, "PROBE_SECONDS", 0.5)

    def run(during, cancels=len(SYMBOLS)):
        app = create_app(tmp_path, ib=IBConfig(port=ib_sim.port, symbols=SYMBOLS, reconnect_max=2))
        out = run_app(app, during)
        ib_sim.wait_for(lambda sim: not sim._connections)
        assert ib_sim.call(lambda sim: [name for name, _ in sim.requests].count("cancelHistoricalData")) == cancels
        return out
    return run


async def ib_connected(client):
    return (await client.get("/api/v1/health")).json()["ib_connected"]


FAULTS = {  # what the gateway does, and whether it ends the session
    "close": (lambda sim: sim.drop_all("close"), True),
    "reset": (lambda sim: sim.drop_all("reset"), True),
    "half": (lambda sim: sim.drop_all("half"), True),
    "length": (lambda sim: sim.send_malformed("length"), True),
    "restart": (lambda sim: sim.restart(after=1.5), True),
    "stall": (lambda sim: time.sleep(2), True),  # its loop stops: a silent session, a probe unanswered
    "garbage": (lambda sim: sim.send_malformed("garbage"), False),
    "unknown": (lambda sim: sim.send_malformed("unknown"), False),
    "stray error": (lambda sim: [s.error(4242, 321) for s in list(sim._connections)], False),  # no such request
}


@pytest.mark.parametrize("fault, times", [("close", 3), *((f, 1) for f in list(FAULTS)[1:])])
def test_the_session_survives_what_the_gateway_does(run_ib_mode, ib_sim, log_records, fault, times):
    act, drops = FAULTS[fault]

    async def settled(app):
        await until(streaming(ib_sim, app))
        await asyncio.sleep(0.2)  # the subscription pass ends after its last request
        ticker = app.state.icli_app.quoteState["AAPL"].ticker
        seen = ticker.time
        await until(lambda: ticker.time != seen)  # quotes arrive
        return footprint(app)

    async def during(app, client):
        before, outages = await settled(app), []
        for _ in range(times):
            job = asyncio.create_task(on_sim(ib_sim, act))
            if drops:
                await until(lambda: not app.state.icli_app.connected)
                outages.append(await ib_connected(client))
            await job
            after = await settled(app)
        return outages, await ib_connected(client), before, after

    outages, back, before, after = run_ib_mode(during)
    sessions = times + 1 if drops else 1
    assert (outages, back, after) == ([False] * (sessions - 1), True, before)
    requests = ib_sim.call(lambda sim: list(sim.requests))
    assert sorted(r["symbol"] for name, r in requests if name == "reqMktData") == sorted(SYMBOLS * sessions)
    assert sorted(r["symbol"] for name, r in requests
                  if name == "reqHistoricalData" and r["keepUpToDate"]) == sorted(SYMBOLS * sessions)
    messages = [m for _, m in log_records.levels_and_messages()]
    assert sum(f"127.0.0.1:{ib_sim.port} lost; serving offline" in m for m in messages) == sessions - 1


@pytest.mark.parametrize("refuse, reason, recover", [
    ("close", "ConnectionError(", True),
    (326, "error 326: Unable to connect as the client id is already in use", True),
    (326, "error 326", False),  # the app stops while it is still trying
])
def test_a_refused_start_is_retried_while_the_service_serves(run_ib_mode, ib_sim, log_records, refuse, reason,
                                                            recover):
    ib_sim.call(lambda sim: setattr(sim, "refuse", refuse))

    async def during(app, client):
        offline = await ib_connected(client)  # start-up waited for the first attempt only
        await until(lambda: sum("no connection" in r["message"] for r in log_records) >= 2)
        if not recover:
            return offline, await ib_connected(client)
        await on_sim(ib_sim, lambda sim: setattr(sim, "refuse", None))
        await until(streaming(ib_sim, app))
        return offline, await ib_connected(client)

    assert run_ib_mode(during, cancels=len(SYMBOLS) if recover else 0) == (False, recover)
    assert any(reason in r["message"] for r in log_records if "no connection" in r["message"])


def test_ib_mode_serves_no_demo_bars_and_fetches_a_day_the_flusher_started(run_ib_mode, ib_sim, tmp_path):
    seed_demo(loader.open_cache(tmp_path))
    loader.close_cache()

    async def during(app, client):
        await until(streaming(ib_sim, app))
        await app.state.live_flusher.flush()  # MSFT's entry now holds the live minutes only
        cache = loader._get_cache()
        assert cache.get_intraday("MSFT") is None and cache.intraday("MSFT")
        answers = []
        for _ in range(2):
            reply = await client.post("/api/v1/batch-intraday", json={"symbols": list(SYMBOLS)})
            answers.append({s: p["source"] for s, p in reply.json()["intraday"].items()})
            await app.state.live_flusher.flush()  # later minutes merge into the fetched day
        quote = (await client.get("/api/v1/snapshots", params={"symbols": "AAPL"})).json()["quotes"][0]
        return answers, quote, cache.daily("AAPL"), cache.get_intraday("AAPL")

    answers, quote, daily, served = run_ib_mode(during)
    ib_day = ib_sim.call(lambda sim: sim.bars("AAPL", False))
    assert answers == [{"AAPL": "ibkr", "MSFT": "ibkr"}, {"AAPL": "cache", "MSFT": "cache"}]
    assert (quote["source"], quote["prevClose"], daily) == ("ibkr", None, None)
    rth = [{"date": b["date"], "close": b["close"]} for b in ib_day if KlineCache.is_rth_bar(b["date"])]
    assert served[:len(rth) - 1] == rth[:-1]  # IB's regular-hours minutes; the forming one may have moved


def test_serve_in_ib_mode_seeds_no_demo_bars(monkeypatch, tmp_path):
    import uvicorn

    from quorvane.__main__ import main

    monkeypatch.setenv(loader.DATA_DIR_ENV, str(tmp_path))  # main() sets it for the process
    monkeypatch.setattr(uvicorn, "run", lambda *args, **kwargs: None)
    assert main(["serve", "--ib", "--data-dir", str(tmp_path)]) == 0
    assert loader._get_cache().is_empty()
    loader.close_cache()


def test_ib_mode_feeds_server_bars_into_the_intraday_store(barwarden, monkeypatch, tmp_path):
    monkeypatch.setattr(terminal, "IB", lambda: ibfake.FakeIB(connected=False))

    async def during(app, client):
        ib, agg = app.state.icli_app.ib, app.state.icli_app.quoteState["AAPL"].bars[60]
        while "AAPL" not in ib.bar_lists:
            await asyncio.sleep(0)
        bars = ib.bar_lists["AAPL"]
        t = bars[-1].date  # the forming minute: a local print, then the server's bar of it
        ib.pendingTickersEvent.emit([Ticker(contract=ib.market_data[0], ticks=[TickData(t, 4, 101.0, 5)])])
        local = agg.current
        ib.historicalDataUpdate(bars.reqId, ibfake.bar_data(t, open=100, high=104, low=99, close=103, volume=900))
        await app.state.live_flusher.flush()
        return local, agg.current, loader._get_cache().intraday("AAPL")

    local, forming, stored = run_app(create_app(tmp_path, ib=IBConfig(symbols=("AAPL",))), during, 10)
    t = int(ibfake.START.timestamp()) + 120
    assert local == Bar(t, 101, 101, 101, 101, 5) and forming == Bar(t, 100, 104, 99, 103, 900)
    assert stored == [{"date": t, "open": 100.0, "high": 104.0, "low": 99.0, "close": 103.0, "volume": 900.0,
                       "source": "live"}]
