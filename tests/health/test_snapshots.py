"""GET /api/v1/snapshots through the real app: offline from the on-disk daily bars with the Yahoo
Finance fall-back, online from a stand-in terminal app's live quotes.

Yahoo Finance is the network edge: `yfinance.Ticker` is replaced (yfinance 1.x speaks HTTP through
curl_cffi, out of reach of an HTTP mock). The IB terminal app is a stand-in with `quoteState`.
"""
import asyncio
import sys
import threading
import traceback
from collections import OrderedDict
from types import SimpleNamespace

import pandas as pd
import pytest
import yfinance

from quorvane.data import loader
from quorvane.server.kline_cache import KlineCache
from quorvane.server.routes import health as module

from appstate import ABSENT

SNAP_KEYS = ["symbol", "bid", "ask", "last", "close", "high", "low", "volume", "change", "changePercent", "source"]
YF_KEYS = ["symbol", "bid", "ask", "last", "close", "high", "low", "volume", "change", "changePercent", "name",
           "source"]
PAYLOAD_KEYS = ["success", "online", "count", "quotes"]
RTH_KEYS = ["prevClose", "rthChange", "rthChangePercent"]
# pandas_market_calendars uses an accessor that pandas 3 deprecates; not ours to fix
pytestmark = pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")


@pytest.fixture
def serve(call_app):
    """serve(*urls, icli=None) -> [(status, json or None)] from one lifespan of the test's app."""

    def run(*urls, icli=None):
        replies = call_app(*(f"GET {url}" for url in urls), icli_app=ABSENT if icli is None else icli)
        return [(r.status_code, r.json() if r.status_code == 200 else None) for r in replies]

    return run


def get(serve, url, icli=None):
    [(status, body)] = serve(url, icli=icli)
    assert status == 200
    return body


def seed(sym, closes, source="demo", future=()):
    """Daily bars ending on the last complete trading day (high/low = close +/- 1), then `future`
    closes on the sessions after it (not complete yet: the route must not use them)."""
    cutoff = KlineCache._last_complete_trading_day()
    days = KlineCache.trading_days(cutoff, len(closes))
    for _ in future:
        cutoff = KlineCache.next_trading_day(cutoff)
        days.append(cutoff)
    bars = [{"date": d, "open": c, "high": c + 1, "low": c - 1, "close": c, "volume": 1e6}
            for d, c in zip(days, [*closes, *future])]
    loader._get_cache().put_daily(sym, bars, source)


def snap_of(sym, prev, last, source="demo"):
    return {"symbol": sym, "bid": None, "ask": None, "last": last, "close": prev, "high": last + 1, "low": last - 1,
            "volume": None, "change": last - prev, "changePercent": round((last - prev) / prev * 100, 2),
            "source": source}


@pytest.fixture
def bars_calls(monkeypatch):
    """Records every get_bars call of the route (the module global is read at each use)."""
    calls, real = [], module.get_bars

    async def recording(*args, **kwargs):
        calls.append(args + tuple(kwargs.items()))
        if args[0] == "BROKEN":
            raise RuntimeError("cache read failed")
        return await real(*args, **kwargs)

    monkeypatch.setattr(module, "get_bars", recording)
    return calls


FULL_INFO = {"bid": 9.4, "ask": 9.6, "regularMarketPrice": 9.5, "previousClose": 9.0, "regularMarketDayHigh": 9.9,
             "regularMarketDayLow": 8.8, "volume": 12345, "regularMarketChange": 0.5,
             "regularMarketChangePercent": 5.56, "longName": "Acme Corp", "shortName": "Acme"}


@pytest.fixture
def yahoo(monkeypatch):
    """A stand-in for yfinance.Ticker: `infos[sym]` is the info value or an exception to raise;
    `reads` records (symbol, thread id, proxy setting at the time) of every info read."""
    network = yfinance.config.network
    saved = network.proxy
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    monkeypatch.delenv("https_proxy", raising=False)
    fake = SimpleNamespace(infos={}, reads=[])

    class Ticker:
        def __init__(self, sym):
            self.sym = sym

        @property
        def info(self):
            fake.reads.append((self.sym, threading.get_ident(), network.proxy))
            value = fake.infos[self.sym]
            if isinstance(value, BaseException):
                raise value
            return value

    monkeypatch.setattr(yfinance, "Ticker", Ticker)
    yield fake
    network.proxy = saved


def test_offline_snapshot_from_cached_bars(serve, yahoo):
    seed("AAPL", [90.0, 100.0, 103.456], future=[999.0])
    seed("MSFT", [410.0, 400.0])
    body = get(serve, "/api/v1/snapshots?symbols=%20aapl%20,%20,msft,AAPL")
    assert list(body) == PAYLOAD_KEYS    # no "errors" key when nothing failed
    assert body["count"] == 3 and body["success"] is True and body["online"] is False
    aapl, msft = snap_of("AAPL", 100.0, 103.456), snap_of("MSFT", 410.0, 400.0)
    assert aapl["changePercent"] == 3.46 and msft["changePercent"] == -2.44
    assert body["quotes"] == [aapl, msft, aapl]
    assert all(list(q) == SNAP_KEYS for q in body["quotes"])
    assert yahoo.reads == []    # a warm cache answers without Yahoo


def test_cutoff_is_a_text_comparison_and_source_defaults_to_cache(serve, yahoo, monkeypatch):
    days = KlineCache.trading_days(KlineCache._last_complete_trading_day(), 3)
    calls = []

    async def get_bars(*args):
        calls.append(args)
        # with a time part the cutoff day's row sorts after the bare cutoff date and is dropped
        return pd.DataFrame({"date": [pd.Timestamp(d) + pd.Timedelta(hours=16) for d in days],
                             "close": [50.0, 40.0, 1.0], "high": [51, 41, 2], "low": [49, 39, 0]})

    monkeypatch.setattr(module, "get_bars", get_bars)
    body = get(serve, "/api/v1/snapshots?symbols=spy")
    assert calls == [("SPY", "day", 3)]
    assert body["quotes"] == [{**snap_of("SPY", 50.0, 40.0, source="cache"), "high": 41.0, "low": 39.0}]
    assert type(body["quotes"][0]["high"]) is float


@pytest.mark.parametrize("closes", [[0.0, 12.0], [12.0], None, "broken"], ids=["zero-prev", "single", "none", "raises"])
def test_yahoo_fallback(serve, yahoo, bars_calls, closes):
    sym = "BROKEN" if closes == "broken" else "ACME"
    if isinstance(closes, list):
        seed(sym, closes)
    yahoo.infos[sym] = FULL_INFO
    body = get(serve, f"/api/v1/snapshots?symbols={sym.lower()}")
    assert bars_calls == [(sym, "day", 3)]
    [quote] = body["quotes"]
    assert list(quote) == YF_KEYS and list(body) == PAYLOAD_KEYS
    assert quote == {"symbol": sym, "bid": 9.4, "ask": 9.6, "last": 9.5, "close": 9.0, "high": 9.9, "low": 8.8,
                     "volume": 12345, "change": 0.5, "changePercent": 5.56, "name": "Acme Corp", "source": "yfinance"}
    # the blocking Yahoo request runs on a worker thread, never on the event loop
    [(_, thread, _)] = yahoo.reads
    assert thread != threading.get_ident()


@pytest.mark.parametrize("info, expected", [
    ({"regularMarketPrice": 0, "previousClose": 7.0, "longName": "", "shortName": "Short"},
     {"last": 7.0, "close": 7.0, "name": "Short"}),
    ({"regularMarketPrice": None, "volume": 0}, {"volume": 0}),
    (None, {}),
    ({}, {}),
], ids=["falsy-price-and-name", "missing", "info-none", "info-empty"])
def test_yahoo_snapshot_fields(serve, yahoo, info, expected):
    yahoo.infos["ZZZ"] = info
    [quote] = get(serve, "/api/v1/snapshots?symbols=ZZZ")["quotes"]
    blank = dict.fromkeys(YF_KEYS)
    assert quote == {**blank, "symbol": "ZZZ", "source": "yfinance", **expected}
    assert list(quote) == YF_KEYS


def test_per_symbol_errors(serve, yahoo, monkeypatch):
    seed("AAPL", [100.0, 101.0])
    yahoo.infos.update(ACME=FULL_INFO, BAD=ValueError("no data for BAD"))
    body = get(serve, "/api/v1/snapshots?symbols=AAPL,BAD,ACME")
    assert list(body) == [*PAYLOAD_KEYS, "errors"]
    assert body["count"] == 2 and [q["symbol"] for q in body["quotes"]] == ["AAPL", "ACME"]
    assert body["errors"] == [{"symbol": "BAD", "error": "no data for BAD", "source": "yfinance"}]
    assert list(body["errors"][0]) == ["symbol", "error", "source"]
    # an exception escaping a symbol's whole chain is reported by its text
    monkeypatch.setitem(sys.modules, "yfinance", None)
    body = get(serve, "/api/v1/snapshots?symbols=AAPL,BAD")
    assert body["count"] == 1 and body["errors"] == ["import of yfinance halted; None in sys.modules"]


def test_https_proxy_reaches_yfinance(serve, yahoo, https_proxy):
    yahoo.infos["ACME"] = FULL_INFO
    assert get(serve, "/api/v1/snapshots?symbols=ACME")["count"] == 1
    [(_, _, seen)] = yahoo.reads
    assert seen == https_proxy and yfinance.config.network.proxy == https_proxy
    if https_proxy:
        assert list(seen) == ["https", "http"]


@pytest.mark.parametrize("query", ["", "?symbols=", "?symbols=,,%20,"])
def test_offline_without_symbols(serve, bars_calls, query):
    body = get(serve, "/api/v1/snapshots" + query)
    assert body == {"success": True, "online": False, "count": 0, "quotes": [],
                    "error": "No symbols provided for offline mode"}
    assert list(body) == [*PAYLOAD_KEYS, "error"] and bars_calls == []


def test_offline_sorts_gathered_results(serve, monkeypatch):
    class Flagged(dict):
        pass

    seen = {}

    async def gather(*coros, **kwargs):
        seen.update(kwargs, n=len(coros))
        for c in coros:
            c.close()
        return [Flagged(symbol="A", error="x"), Flagged(symbol="B", last=1.0), ValueError("bad"),
                asyncio.CancelledError("gone"), 42, None]

    monkeypatch.setattr(module, "asyncio", SimpleNamespace(gather=gather, to_thread=asyncio.to_thread))
    body = get(serve, "/api/v1/snapshots?symbols=a,b")
    assert seen == {"return_exceptions": True, "n": 2}
    assert body == {"success": True, "online": False, "count": 1, "quotes": [{"symbol": "B", "last": 1.0}],
                    "errors": [{"symbol": "A", "error": "x"}, "bad"]}


def test_base_exception_of_a_symbol_is_dropped_with_a_full_traceback(serve, yahoo):
    class Abort(BaseException):
        pass

    seed("AAPL", [100.0, 101.0])
    yahoo.infos["GONE"] = abort = Abort()
    body = get(serve, "/api/v1/snapshots?symbols=GONE,AAPL")
    assert list(body) == PAYLOAD_KEYS and [q["symbol"] for q in body["quotes"]] == ["AAPL"]
    names = [f.name for f in traceback.extract_tb(abort.__traceback__)]
    assert names == ["snapshots.<locals>._snap", "snapshots.<locals>._fetch_yfinance", "to_thread", "run",
                     "snapshots.<locals>._fetch_yfinance.<locals>._sync", "info"]


class Quote:
    def __init__(self, **fields):
        self.fields = fields

    def to_dict(self):
        return self.fields


def terminal(connected=True, **quotes):
    return SimpleNamespace(connected=connected, quoteState=quotes)


@pytest.fixture
def live():
    seed("AAPL", [100.0, 104.0])
    seed("TSLA", [200.0, 0.0, 190.0])
    return terminal(AAPL=Quote(symbol="AAPL", secType="STK", last=105.0),
                    ES=Quote(symbol="ES", secType="FOP", last=5000.0),
                    SPYC=Quote(symbol="SPY 500C", prevClose=3.0, secType="OPT", bid=1.0),
                    BROKEN=Quote(symbol="BROKEN", secType="STK", last=1.0),
                    TSLA=Quote(symbol="TSLA", last=190.5),
                    NONE=None)


def rth(prev=None, change=None, pct=None):
    return {"prevClose": prev, "rthChange": change, "rthChangePercent": pct}


@pytest.mark.parametrize("query, expected, bars", [
    ("?symbols=es,%20aapl,zzz,none,spyc", ["ES", "AAPL", "SPYC"], ["AAPL"]),
    ("", ["AAPL", "ES", "SPYC", "BROKEN", "TSLA", "NONE"], ["AAPL", "BROKEN", "TSLA", "NONE"]),
], ids=["requested", "all"])
def test_online_quotes(serve, live, bars_calls, query, expected, bars):
    if not query:
        live.quoteState["NONE"] = Quote(symbol="NONE", secType="STK")    # no truth test without symbols
        seed("NONE", [10.0])
    body = get(serve, "/api/v1/snapshots" + query, icli=live)
    assert list(body) == PAYLOAD_KEYS and body["online"] is True and body["count"] == len(expected)
    by_sym = dict(zip(expected, body["quotes"]))
    assert list(by_sym) == expected
    # options and futures options never consult the cache
    assert bars_calls == [(sym, "day", 3) for sym in bars]
    assert by_sym["AAPL"] == {"symbol": "AAPL", "secType": "STK", "last": 105.0, **rth(100.0, 4.0, 4.0)}
    assert by_sym["ES"] == {"symbol": "ES", "secType": "FOP", "last": 5000.0, **rth()}
    # a key already present is overwritten in place; the host's dict is left untouched
    assert list(by_sym["SPYC"]) == ["symbol", "prevClose", "secType", "bid", "rthChange", "rthChangePercent"]
    assert by_sym["SPYC"]["prevClose"] is None and live.quoteState["SPYC"].fields["prevClose"] == 3.0
    assert all(list(q)[-2:] == RTH_KEYS[1:] for q in body["quotes"])
    if not query:    # failing cache lookup, zero previous close, single bar: reference fields null
        for sym in ("BROKEN", "TSLA", "NONE"):
            assert {k: by_sym[sym][k] for k in RTH_KEYS} == rth()
        assert by_sym["TSLA"]["last"] == 190.5


@pytest.mark.filterwarnings("ignore:coroutine 'snapshots.<locals>._merge_rth' was never awaited")
def test_online_to_dict_must_give_a_dict(serve):
    icli = terminal(AAPL=Quote(), MSFT=SimpleNamespace(to_dict=lambda: OrderedDict(symbol="MSFT")))
    assert serve("/api/v1/snapshots?symbols=aapl,msft", icli=icli) == [(500, None)]


class Triples(dict):
    def items(self):
        return [(sym, quote, None) for sym, quote in super().items()]


def test_online_quote_pairs_are_unpacked(serve):
    # for sym, q in quoteState.items(): an item of three values does not unpack
    icli = SimpleNamespace(connected=True, quoteState=Triples(AAPL=Quote(symbol="AAPL")))
    assert serve("/api/v1/snapshots", icli=icli) == [(500, None)]


def test_disconnected_terminal_app_means_offline(serve, yahoo):
    seed("AAPL", [100.0, 101.0])
    icli = SimpleNamespace(connected=False)    # no quoteState: it is not read
    body = get(serve, "/api/v1/snapshots?symbols=aapl", icli=icli)
    assert body == {"success": True, "online": False, "count": 1, "quotes": [snap_of("AAPL", 100.0, 101.0)]}


def test_host_values_pass_through_without_leaking_references(tok, yahoo, monkeypatch):
    payload, bid = tok("payload"), tok("bid")
    frame = pd.DataFrame({"date": ["2000-01-03", "2000-01-04"], "close": [1.0, 2.0], "high": [2, 3], "low": [0, 1]})
    frame.attrs["source"] = "ib"    # pandas deep-copies attrs into the filtered frame

    async def get_bars(sym, period, count):
        return None if sym in ("NOBARS", "BAD") else frame

    monkeypatch.setattr(module, "get_bars", get_bars)
    yahoo.infos.update(NOBARS={"bid": bid}, BAD=RuntimeError("down"))
    live = terminal(AAPL=Quote(symbol="AAPL", payload=payload), O=Quote(secType="OPT", payload=payload))
    online = SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace(icli_app=live)))
    offline = SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace()))

    async def rounds(n):
        for _ in range(n):
            on = await module.snapshots(online, "")
            off = await module.snapshots(offline, "aapl,nobars,bad")
        return on, off

    on, off = asyncio.run(rounds(50))
    assert [q["payload"] for q in on["quotes"]] == [payload, payload]
    assert on["quotes"][0]["prevClose"] == 1.0 and on["quotes"][1]["prevClose"] is None
    assert off["quotes"][0]["source"] == "ib" and off["quotes"][1]["bid"] is bid
    assert off["errors"] == [{"symbol": "BAD", "error": "down", "source": "yfinance"}]
    yahoo.infos.clear()    # the fixture value outlives the token check
