import asyncio
import json
import subprocess
import sys
import types

import httpx
import ibfake
import pytest
from ib_async import Stock, Ticker, TickData
from nytime import ny

from quorvane.__main__ import _parser, ib_config, main
from quorvane.app import create_app
from quorvane.data import loader
from quorvane.ib import IBConfig, terminal
from quorvane.live import BarAggregator
from quorvane.server.kline_cache import KlineCache
from quorvane.tinyalgo import Bar

T = int(ny(2025, 12, 1, 10, 0))  # a regular-session minute
NOON = ny(2025, 12, 1, 12, 0)
NAN = float("nan")


def tick(price, size, dt):
    return lambda agg: agg.ingest_tick(price, size, T + dt)


def server(dt, o, h, lo, c, v):
    return lambda agg: agg.ingest_authoritative_bar(Bar(timestamp=T + dt, open=o, high=h, low=lo, close=c, volume=v))


@pytest.mark.parametrize("steps, accepted, forming", [
    ([tick(10, 1, 0), tick(12, 2, 30), tick(9, 3, 59.9)], [True] * 3, (T, 10, 12, 9, 9, 6)),
    ([tick(10, 1, 0), tick(11, 1, 60)], [True, True], (T + 60, 11, 11, 11, 11, 1)),
    ([tick(10, 1, 60), tick(99, 1, 59)], [True, False], (T + 60, 10, 10, 10, 10, 1)),  # late print
    ([tick(0, 1, 0), tick(NAN, 1, 0), tick(-1, 1, 0)], [False] * 3, None),
    # the server's bar replaces what the prints made of its minute; later prints fold into it
    ([tick(10, 1, 5), tick(10.5, 1, 6), server(0, 9.8, 10.9, 9.7, 10.6, 500), tick(11, 2, 40)],
     [True] * 4, (T, 9.8, 11, 9.7, 11, 502)),
    ([tick(10, 1, 5), server(60, 10, 10.2, 9.9, 10.1, 50)], [True, True], (T + 60, 10, 10.2, 9.9, 10.1, 50)),
    # stale: an older minute, a time off the minute grid, no time at all
    ([server(60, 1, 1, 1, 1, 1), server(0, 2, 2, 2, 2, 2), server(61, 3, 3, 3, 3, 3), server(NAN, 4, 4, 4, 4, 4)],
     [True, False, False, False], (T + 60, 1, 1, 1, 1, 1)),
])
def test_aggregator_folds_prints_and_lets_the_server_bar_win(steps, accepted, forming):
    agg = BarAggregator("aapl")
    assert [step(agg) for step in steps] == accepted
    assert agg.current == (None if forming is None else Bar(*forming))


def test_flush_merges_live_minutes_into_the_intraday_store(cache):
    key = KlineCache.intraday_key("AAPL")
    older_day = {"date": T - 86400, "open": 1, "high": 1, "low": 1, "close": 1, "volume": 1}
    cache.set(key, [older_day, {"date": T - 60, "close": 50.0}, {"date": T, "close": 51.0}])
    agg = BarAggregator("aapl")
    agg.ingest_tick(60, 1, T + 1)
    agg.ingest_tick(61, 2, T + 61)

    class Broken:
        get = cache.get

        def set(self, key, value):
            raise OSError("disk full")

    with pytest.raises(OSError):
        agg.flush(Broken())
    assert agg.flush(cache) == 2 and agg.flush(cache) == 0  # kept after the failure, then written once
    assert cache.get_intraday("AAPL", now=NOON) == [
        {"date": T - 60, "close": 50.0}, {"date": T, "close": 60.0}, {"date": T + 60, "close": 61.0}]
    assert cache.intraday("AAPL")[-1] == {"date": T + 60, "open": 61.0, "high": 61.0, "low": 61.0,
                                          "close": 61.0, "volume": 2.0, "source": "live"}


def test_iticker_quote_is_json_without_nan():
    it = terminal.ITicker(" aapl ")
    assert (it.name, it.ticker.contract, type(it.bars[60])) == ("AAPL", Stock("AAPL", "SMART", "USD"), BarAggregator)
    quotes = [json.loads(json.dumps(it.to_dict(), allow_nan=False))]
    it.ticker.last, it.ticker.close, it.ticker.bid = 101.0, 100.0, 100.9
    quotes.append(it.to_dict())
    assert [(q["symbol"], q["secType"], q["bid"], q["last"], q["change"], q["changePercent"]) for q in quotes] == [
        ("AAPL", "STK", None, None, None, None), ("AAPL", "STK", 100.9, 101.0, 1.0, 1.0)]


ALL_ENV = {"QUORVANE_IB": "1", "QUORVANE_IB_HOST": "10.0.0.5", "QUORVANE_IB_PORT": "4002",
           "QUORVANE_IB_CLIENT_ID": "3", "QUORVANE_IB_SYMBOLS": "spy, qqq,,SPY"}


@pytest.mark.parametrize("argv, env, expected", [
    ([], {}, None),
    ([], {"QUORVANE_IB": "0", "QUORVANE_IB_PORT": "x"}, None),
    (["--ib"], {}, IBConfig("127.0.0.1", 7497, 17, ("AAPL", "MSFT", "NVDA", "SPY", "TSLA"))),
    ([], ALL_ENV, IBConfig("10.0.0.5", 4002, 3, ("SPY", "QQQ"))),
    (["--ib-host", "tws", "--ib-port", "7496", "--ib-client-id", "9", "--ib-symbols", "nvda"], ALL_ENV,
     IBConfig("tws", 7496, 9, ("NVDA",))),
    (["--no-ib"], ALL_ENV, None),
    (["--ib"], {"QUORVANE_IB_PORT": "seventy"}, "QUORVANE_IB_PORT"),
    (["--ib", "--ib-symbols", " , "], {}, "no symbol"),
])
def test_ib_options_and_environment(monkeypatch, capsys, tmp_path, argv, env, expected):
    for name in ALL_ENV:
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    if isinstance(expected, str):
        assert main(["serve", *argv, "--data-dir", str(tmp_path)]) == 2
        assert expected in capsys.readouterr().err
    else:
        assert ib_config(_parser().parse_args(["serve", *argv])) == expected


def test_offline_app_starts_and_imports_nothing_of_ib_mode(tmp_path):
    pytest.importorskip("quorvane.server.lagsentry", reason="the native lagsentry module is not built")
    code = """if True:
        import asyncio, sys
        from quorvane.app import create_app
        app = create_app(sys.argv[1])
        async def run():
            async with app.router.lifespan_context(app):
                assert not hasattr(app.state, "icli_app") and not hasattr(app.state, "live_flusher")
        asyncio.run(run())
        print([m for m in ("ib_async", "quorvane.ib", "quorvane.live", "quorvane.server.barwarden")
               if m in sys.modules])"""
    run = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "[]"), run.stderr


def run_ib_mode(tmp_path, config, during):
    """Runs the app in IB mode; `during(app, client)` inside its lifespan, bounded to 10 s."""
    pytest.importorskip("quorvane.server.lagsentry", reason="the native lagsentry module is not built")
    app = create_app(tmp_path, ib=config)

    async def scenario():
        async with app.router.lifespan_context(app):
            async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
                return await asyncio.wait_for(during(app, client), 10)

    try:
        return app, asyncio.run(scenario())
    finally:
        loader.close_cache()


class StandInManager:
    """quorvane.server.barwarden.BarwardenManager as the app drives it: was the session up at each call?"""

    def __init__(self, icli_app):
        self.icli_app, self.calls = icli_app, []

    async def start(self):
        self.calls.append(("start", self.icli_app.connected))

    async def stop(self):
        self.calls.append(("stop", self.icli_app.connected))


@pytest.mark.parametrize("refuse", [None, ConnectionRefusedError(111, "Connect call failed")])
def test_ib_mode_wires_the_terminal_app_and_the_subscriptions(monkeypatch, tmp_path, log_records, refuse):
    monkeypatch.setitem(sys.modules, "quorvane.server.barwarden",
                        types.SimpleNamespace(BarwardenManager=StandInManager))
    monkeypatch.setattr(terminal, "IB", lambda: ibfake.FakeIB(connected=False, refuse=refuse))

    async def during(app, client):
        return (await client.get("/api/v1/health")).json()

    app, health = run_ib_mode(tmp_path, IBConfig(port=4002, client_id=5, symbols=("AAPL", "MSFT")), during)
    icli, up = app.state.icli_app, refuse is None
    ib = icli.ib
    assert isinstance(ib, ibfake.FakeIB) and list(icli.quoteState) == ["AAPL", "MSFT"] and app.state.barwarden.icli_app is icli
    assert [(c["host"], c["port"], c["clientId"]) for c in ib.connects] == [("127.0.0.1", 4002, 5)]
    assert [c.symbol for c in ib.market_data] == (["AAPL", "MSFT"] if up else [])
    assert app.state.barwarden.calls == [("start", up), ("stop", up)]  # stopped before the disconnect
    assert (health["ib_connected"], health["account_id"]) == (up, "DU1234567" if up else None)
    assert health["live_bar_flusher"]["errors"] == 0 and not ib.connected
    assert up or any("no connection" in m for _, m in log_records.levels_and_messages())


def test_ib_mode_feeds_server_bars_into_the_intraday_store(monkeypatch, tmp_path):
    barwarden = pytest.importorskip("quorvane.server.barwarden", reason="the native barwarden module is not built")
    monkeypatch.setattr(barwarden, "STAGGER_SECONDS", 0.0)
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
        return local, agg.current, loader._get_cache().get_intraday("AAPL", now=NOON)

    _, (local, forming, stored) = run_ib_mode(tmp_path, IBConfig(symbols=("AAPL",)), during)
    t = int(ibfake.START.timestamp()) + 120
    assert local == Bar(t, 101, 101, 101, 101, 5) and forming == Bar(t, 100, 104, 99, 103, 900)
    assert stored == [{"date": t, "close": 103.0}]
