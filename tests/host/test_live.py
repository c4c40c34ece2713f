import json
import subprocess
import sys

import pytest
from ib_async import Stock
from nytime import ny

from quorvane.__main__ import _parser, ib_config, main
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
    overnight = int(ny(2025, 12, 2, 2, 0))  # before the next pre-market: still this session
    agg.ingest_tick(62, 1, overnight)
    assert agg.flush(cache) == 1 and len(cache.intraday("AAPL")) == 4
    assert cache.get_intraday("AAPL", now=overnight + 60) == cache.get_intraday("AAPL", now=NOON)


def test_iticker_quote_is_json_without_nan():
    it = terminal.ITicker(" aapl ")
    assert (it.name, it.ticker.contract, type(it.bars[60])) == ("AAPL", Stock("AAPL", "SMART", "USD"), BarAggregator)
    quotes = [json.loads(json.dumps(it.to_dict(), allow_nan=False))]
    it.ticker.last, it.ticker.close, it.ticker.bid = 101.0, 100.0, 100.9
    quotes.append(it.to_dict())
    assert [(q["symbol"], q["secType"], q["bid"], q["last"], q["change"], q["changePercent"]) for q in quotes] == [
        ("AAPL", "STK", None, None, None, None), ("AAPL", "STK", 100.9, 101.0, 1.0, 1.0)]


ALL_ENV = {"QUORVANE_IB": "1", "QUORVANE_IB_HOST": "10.0.0.5", "QUORVANE_IB_PORT": "4002",
           "QUORVANE_IB_CLIENT_ID": "3", "QUORVANE_IB_SYMBOLS": "spy, qqq,,SPY", "QUORVANE_IB_RECONNECT_MAX": "30"}


@pytest.mark.parametrize("argv, env, expected", [
    ([], {}, None),
    ([], {"QUORVANE_IB": "0", "QUORVANE_IB_PORT": "x"}, None),
    (["--ib"], {}, IBConfig("127.0.0.1", 7497, 17, ("AAPL", "MSFT", "NVDA", "SPY", "TSLA"))),
    ([], ALL_ENV, IBConfig("10.0.0.5", 4002, 3, ("SPY", "QQQ"), 30.0)),
    (["--ib-host", "tws", "--ib-port", "7496", "--ib-client-id", "9", "--ib-symbols", "nvda",
      "--ib-reconnect-max", "5"], ALL_ENV, IBConfig("tws", 7496, 9, ("NVDA",), 5.0)),
    (["--no-ib"], ALL_ENV, None),
    (["--ib"], {"QUORVANE_IB_PORT": "seventy"}, "QUORVANE_IB_PORT"),
    (["--ib", "--ib-symbols", " , "], {}, "no symbol"),
    (["--ib"], {"QUORVANE_IB_RECONNECT_MAX": "0"}, "QUORVANE_IB_RECONNECT_MAX"),
    (["--ib", "--ib-reconnect-max", "nan"], {}, "--ib-reconnect-max: must be a positive number"),
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
