"""POST /api/v1/batch-intraday through the real app: cache hits from the on-disk bar cache, misses
from a stand-in IB session in batches of 20, or from Yahoo Finance when IB is not usable.

The network edge is faked and nothing else: the terminal app on `app.state.icli_app` carries a
fake IB session that answers with real ib_async `BarDataList`s after a short sleep, and
`yfinance.Ticker` is replaced. The 1,300-bar list is built once per test session: building it
inside the fake would itself block the event loop the route must keep free.
"""
import asyncio
import gc
import inspect
import sys
import threading
import traceback
from collections import Counter
from datetime import datetime, timezone
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import yfinance
from ib_async import BarData, BarDataList, Contract, Stock

from quorvane.data import loader
from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache
from quorvane.server.routes import health as module

from appstate import ABSENT

# pandas_market_calendars 5 uses an accessor that pandas 3 deprecates; not ours to fix.
pytestmark = pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")

URL = "/api/v1/batch-intraday"
BODY_KEYS = ["success", "intraday", "errors"]
REQ_KWARGS = [("endDateTime", ""), ("durationStr", "1 D"), ("barSizeSetting", "1 min"), ("whatToShow", "TRADES"),
              ("useRTH", False), ("formatDate", 2), ("keepUpToDate", False), ("timeout", 60)]
N_BARS = 1300
TIMEOUT = 300    # seconds for one request: a hang fails the test instead of the run


def session_times(n, day=None, end=None):
    """n minute times (epoch seconds) of a session, ending at `end` (default: its after-hours close)."""
    bounds = KlineCache.session(day or KlineCache.intraday_session_day())
    end = int(bounds[3] if end is None else end)
    return [end - 60 * (n - i) for i in range(n)]


def make_bars(times, base=100.0):
    bars = BarDataList()
    for i, t in enumerate(times):
        price = base + i / 8
        bars.append(BarData(date=datetime.fromtimestamp(t, timezone.utc), open=price, high=price + 0.5,
                            low=price - 0.5, close=price + 0.25, volume=float(10 * i), average=price, barCount=i % 5))
    return bars


def slim(bars):
    """The sparkline of IB bars: regular-hours (time, close) pairs."""
    return [{"date": int(b.date.timestamp()), "close": b.close} for b in bars
            if KlineCache.is_rth_bar(int(b.date.timestamp()))]


@pytest.fixture(scope="session")
def day_bars():
    """About 1,300 one-minute bars of today's session up to its after-hours close, and their sparkline."""
    bars = make_bars(session_times(N_BARS))
    return bars, slim(bars)


class FakeIB:
    """The IB session: answers after a short sleep. `contracts[sym]` overrides the qualification
    ([], [None], or an exception); `data[sym]` the bar request (a bar list or an exception).
    Records calls, the requests in flight and, per request, how many symbols were processed
    before it started (`processed` is filled by the `processed` fixture)."""

    def __init__(self, bars, delay=0.01):
        self.bars, self.delay = bars, delay
        self.contracts, self.data = {}, {}
        self.qualify_calls, self.requests, self.starts = [], [], []
        self.qualified = {}    # symbol -> the contract the qualification answered with
        self.processed = []
        self.in_flight = self.peak = 0

    async def qualifyContractsAsync(self, *contracts, **kwargs):
        self.qualify_calls.append((contracts, kwargs))
        await asyncio.sleep(0)
        sym = contracts[0].symbol
        answer = self.contracts.get(sym)
        if answer is None:
            self.qualified[sym] = Contract(secType="STK", conId=1000 + len(self.qualify_calls), symbol=sym,
                                           exchange="SMART", primaryExchange="NASDAQ", currency="USD")
            return [self.qualified[sym]]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        self.requests.append((args, list(kwargs.items())))
        self.starts.append((args[0].symbol, len(self.processed)))
        self.in_flight += 1
        self.peak = max(self.peak, self.in_flight)
        try:
            await asyncio.sleep(self.delay)
            answer = self.data.get(args[0].symbol, self.bars)
            if isinstance(answer, BaseException):
                raise answer
            return answer
        finally:
            self.in_flight -= 1

    @property
    def requested(self):
        return [args[0].symbol for args, _ in self.requests]


def terminal(ib, connected=True):
    return SimpleNamespace(connected=connected, ib=ib)


@pytest.fixture
def ib(day_bars):
    return FakeIB(day_bars[0])


@pytest.fixture
def processed(monkeypatch, ib):
    """Wraps the module's processors (looked up as module globals at each call) to record the symbol
    and the thread of every processing, into ib.processed."""
    for name in ("_process_ibkr_bars", "_process_yf_hist"):
        real = getattr(module, name)

        def wrapper(cache, sym, data, real=real):
            try:
                return real(cache, sym, data)
            finally:
                ib.processed.append((sym, threading.get_ident()))

        monkeypatch.setattr(module, name, wrapper)


def as_request(body):
    """A dict or list body is sent as JSON, bytes as they are."""
    if isinstance(body, bytes):
        return f"POST {URL}", {"content": body, "headers": {"content-type": "application/json"}}
    return f"POST {URL}", {"json": body}


@pytest.fixture
def serve(call_app):
    """serve(*bodies, icli=None) -> [httpx.Response], POSTed in order within one lifespan of the
    test's app (the same app and cache on every call; `icli` is the terminal app on its state, None
    for none)."""

    def run(*bodies, icli=None):
        return call_app(*map(as_request, bodies), timeout=TIMEOUT, icli_app=ABSENT if icli is None else icli)

    return run


def post(serve, symbols, icli=None):
    [reply] = serve({"symbols": symbols}, icli=icli)
    assert reply.status_code == 200, reply.text
    body = reply.json()
    assert list(body) == BODY_KEYS and body["success"] is True
    assert all(list(p) == ["bars", "source"] for p in body["intraday"].values())
    return body


def bi_req_lines(log_records):
    return [(level, msg) for level, msg in log_records.levels_and_messages() if msg.startswith("[bi-req]")]


@pytest.fixture
def yahoo(monkeypatch):
    """A stand-in for yfinance.Ticker: `frames[sym]` is the history frame (None, or an exception
    to raise); a symbol without an entry gets an empty frame. `calls` records (symbol, history
    keywords, thread, proxy setting at the time). With a `barrier`, every download waits there."""
    network = yfinance.config.network
    saved, network.proxy = network.proxy, None
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    monkeypatch.delenv("https_proxy", raising=False)
    fake = SimpleNamespace(frames={}, calls=[], barrier=None)

    class Ticker:
        def __init__(self, sym):
            self.sym = sym

        def history(self, **kwargs):
            fake.calls.append((self.sym, kwargs, threading.get_ident(), network.proxy))
            if fake.barrier is not None:
                fake.barrier.wait()
            frame = fake.frames.get(self.sym, pd.DataFrame())
            if isinstance(frame, BaseException):
                raise frame
            return frame

    monkeypatch.setattr(yfinance, "Ticker", Ticker)
    yield fake
    network.proxy = saved


def yf_frame(times, base=50.0):
    """A one-minute history frame as yfinance 1.x returns it (tz-aware "Datetime" index)."""
    index = pd.DatetimeIndex(pd.to_datetime(times, unit="s", utc=True).tz_convert(_EXCHANGE_TZ), name="Datetime")
    close = base + np.arange(len(times)) / 4
    return pd.DataFrame({"Open": close, "High": close + 1, "Low": close - 1, "Close": close + 0.5,
                         "Adj Close": close, "Volume": np.arange(len(times), dtype="int64"),
                         "Dividends": 0.0, "Stock Splits": 0.0}, index=index)


def yf_slim(frame):
    return [{"date": int(t.timestamp()), "close": c} for t, c in zip(frame.index, frame["Close"])
            if KlineCache.is_rth_bar(int(t.timestamp()))]


def around_open(n=30):
    """n minutes of today's session, half of them pre-market."""
    opens = KlineCache.session(KlineCache.intraday_session_day())[1]
    return session_times(n, end=opens + 60 * (n // 2))


# -- Interactive Brokers --------------------------------------------------------------------------
def test_misses_are_fetched_in_batches_of_20(serve, ib, processed, day_bars, yahoo, log_records):
    bars, expected = day_bars
    symbols = [f"s{i:02d}" for i in range(45)]
    upper = [s.upper() for s in symbols]
    body = post(serve, symbols, icli=terminal(ib))
    assert body["errors"] is None and sorted(body["intraday"]) == upper
    assert all(p == {"bars": expected, "source": "ibkr"} for p in body["intraday"].values())
    # three batches one after the other: each starts when the previous one is processed
    assert ib.requested == upper
    assert Counter(done for _, done in ib.starts) == {0: 20, 20: 20, 40: 5}
    assert [sym for sym, done in ib.starts if done == 20] == upper[20:40]
    assert ib.peak == 20
    # every call as the route makes it
    assert [(type(c), c.symbol, c.exchange, c.currency, kw) for [c], kw in ib.qualify_calls] == [
        (Stock, sym, "SMART", "USD", {}) for sym in upper]
    assert [kwargs for _, kwargs in ib.requests] == [REQ_KWARGS] * 45
    assert all(len(args) == 1 and args[0] is ib.qualified[args[0].symbol] for args, _ in ib.requests)
    assert bi_req_lines(log_records) == [("INFO", f"[bi-req] {sym}") for sym in upper]
    # normalisation ran on worker threads; the full day, extended hours included, is stored
    assert sorted(sym for sym, _ in ib.processed) == upper
    assert threading.get_ident() not in {thread for _, thread in ib.processed}
    assert yahoo.calls == []
    stored = loader._get_cache().intraday("S07")
    assert len(stored) == N_BARS and [b["date"] for b in stored] == [int(b.date.timestamp()) for b in bars]


@pytest.mark.parametrize("qualified, data, line, requested", [
    ([], None, "BAD: contract not found", False),
    ([None], None, "BAD: contract not found", False),     # ib_async 2.x for an unknown symbol
    (ConnectionError("Not connected"), None, "BAD: Not connected", False),
    (None, BarDataList(), "BAD: no data", True),           # also what the IB client gives on its own timeout
    (None, RuntimeError("Historical Market Data Service error message:pacing violation"),
     "BAD: Historical Market Data Service error message:pacing violation", True),
    (None, asyncio.TimeoutError(), "BAD: ", True),
    (None, [{"close": 1.0}], "BAD: 'date'", True),         # bars the normalisation cannot read
], ids=["empty", "none-item", "qualify-raises", "empty-bars", "request-raises", "blank-text", "no-date"])
def test_ib_failure_lines(serve, ib, processed, yahoo, qualified, data, line, requested):
    if qualified is not None:
        ib.contracts["BAD"] = qualified
    if data is not None:
        ib.data["BAD"] = data
    ib.data["OK"] = short = make_bars(around_open())
    body = post(serve, ["ok", "bad"], icli=terminal(ib))
    assert body["errors"] == [line]
    assert body["intraday"] == {"OK": {"bars": slim(short), "source": "ibkr"}}
    assert ib.requested == (["OK", "BAD"] if requested else ["OK"])    # a None contract is never requested
    assert yahoo.calls == []    # failed on IB: not retried on Yahoo
    stored = loader._get_cache().intraday("BAD")
    assert stored is None


class LoggedTerminal:
    """The terminal app, logging each read of its attributes."""

    def __init__(self, ib):
        self.reads, self._values = [], {"connected": True, "ib": ib}

    def __getattr__(self, name):
        if name not in self._values:
            raise AttributeError(name)
        self.reads.append(name)
        return self._values[name]


def test_host_calls_as_written(serve, ib, monkeypatch):
    # the cache pass gathers without keywords, the fetches with return_exceptions=True; each IB
    # call reads icli.ib anew
    gathers = []

    def gather(*aws, **kwargs):
        gathers.append(kwargs)
        return asyncio.gather(*aws, **kwargs)

    monkeypatch.setattr(module, "asyncio", SimpleNamespace(gather=gather, to_thread=asyncio.to_thread))
    icli = LoggedTerminal(ib)
    assert list(post(serve, ["a"], icli=icli)["intraday"]) == ["A"]
    assert gathers == [{}, {"return_exceptions": True}]
    assert icli.reads == ["connected", "ib", "ib"]


class Abort(BaseException):
    pass


@pytest.mark.parametrize("path", ["ib", "yahoo"])
def test_a_base_exception_of_one_symbol_leaves_no_line(serve, ib, yahoo, path):
    ib.data["GONE"] = yahoo.frames["GONE"] = Abort("gone")
    yahoo.frames["OK"] = frame = yf_frame(around_open())
    ib.data["OK"] = bars = make_bars(around_open())
    body = post(serve, ["gone", "ok"], icli=terminal(ib) if path == "ib" else None)
    assert body["errors"] is None
    assert body["intraday"] == {"OK": {"bars": slim(bars) if path == "ib" else yf_slim(frame),
                                       "source": "ibkr" if path == "ib" else "yfinance"}}


@pytest.mark.parametrize("path, package", [("ib", "ib_async"), ("yahoo", "yfinance")])
def test_a_missing_package_is_an_error_line(serve, ib, yahoo, monkeypatch, path, package):
    monkeypatch.setitem(sys.modules, package, None)
    body = post(serve, ["aapl"], icli=terminal(ib) if path == "ib" else None)
    assert body == {"success": True, "intraday": {},
                    "errors": [f"AAPL: import of {package} halted; None in sys.modules"]}


# -- the cache ----------------------------------------------------------------------------------
def store(sym, times, base=10.0):
    """Full bar dicts as the processors store them, under the symbol's intraday key."""
    bars = [{"date": t, "open": base, "high": base + 1, "low": base - 1, "close": base + i / 4, "volume": i}
            for i, t in enumerate(times)]
    loader._get_cache().set(KlineCache.intraday_key(sym), bars)
    return [{"date": b["date"], "close": b["close"]} for b in bars if KlineCache.is_rth_bar(b["date"])]


@pytest.fixture
def cache_reads(serve, monkeypatch):
    """Replaces get_intraday of the app's cache: `reads` records (symbol, thread) of every call,
    `before(sym)` runs first (it may raise)."""
    cache = loader._get_cache()
    real = cache.get_intraday
    spy = SimpleNamespace(reads=[], before=lambda sym: None)

    def get_intraday(sym):
        spy.reads.append((sym, threading.get_ident()))
        spy.before(sym)
        return real(sym)

    monkeypatch.setattr(cache, "get_intraday", get_intraday)
    return spy


def test_cache_hits_come_first_in_request_order(serve, ib, processed, cache_reads, log_records):
    hit1 = store("HIT1", session_times(600))
    hit2 = store("HIT2", session_times(500, end=KlineCache.session(KlineCache.intraday_session_day())[2]))
    previous = KlineCache.previous_trading_day(KlineCache.intraday_session_day())
    store("STALE", session_times(900, day=previous))    # yesterday's bars: fetched afresh
    ib.data["MISS"] = miss = make_bars(around_open())
    ib.data["STALE"] = stale = make_bars(around_open(), base=7.0)
    body = post(serve, ["miss", "hit2", "Stale", "hit1", "HIT2"], icli=terminal(ib))
    assert list(body["intraday"])[:2] == ["HIT2", "HIT1"]
    assert body["intraday"] == {"HIT2": {"bars": hit2, "source": "cache"}, "HIT1": {"bars": hit1, "source": "cache"},
                                "MISS": {"bars": slim(miss), "source": "ibkr"},
                                "STALE": {"bars": slim(stale), "source": "ibkr"}}
    assert len(hit1) and len(hit2)
    assert body["errors"] is None
    # every symbol read once, duplicates too, on worker threads; only the misses go to IB
    assert sorted(sym for sym, _ in cache_reads.reads) == ["HIT1", "HIT2", "HIT2", "MISS", "STALE"]
    assert threading.get_ident() not in {thread for _, thread in cache_reads.reads}
    assert ib.requested == ["MISS", "STALE"]
    assert bi_req_lines(log_records) == [("INFO", "[bi-req] MISS"), ("INFO", "[bi-req] STALE")]


def test_fetched_bars_are_served_from_the_cache_next_time(serve, ib, day_bars):
    _, expected = day_bars
    icli = terminal(ib)
    first, second = serve({"symbols": ["nvda"]}, {"symbols": ["NVDA", "nvda"]}, icli=icli)
    assert first.json()["intraday"] == {"NVDA": {"bars": expected, "source": "ibkr"}}
    assert second.json() == {"success": True, "intraday": {"NVDA": {"bars": expected, "source": "cache"}},
                             "errors": None}
    assert ib.requested == ["NVDA"]


def test_a_failing_cache_read_fails_the_request(serve, ib, yahoo, cache_reads):
    boom = RuntimeError("database disk image is malformed")

    def before(sym):
        if sym == "BROKEN":
            raise boom

    cache_reads.before = before
    [reply] = serve({"symbols": ["aapl", "broken"]}, icli=terminal(ib))
    assert reply.status_code == 500
    assert ib.requested == [] and yahoo.calls == []
    names = [f.name for f in traceback.extract_tb(boom.__traceback__) if f.name.startswith("batch_intraday")]
    assert names == ["batch_intraday", "batch_intraday.<locals>._read_cache",
                     "batch_intraday.<locals>._read_cache.<locals>._get"]


# -- Yahoo Finance --------------------------------------------------------------------------------
class FalsyApp(SimpleNamespace):
    def __bool__(self):
        return False


@pytest.mark.parametrize("icli", [None, "falsy", "disconnected"], ids=["no-app", "falsy-app", "disconnected"])
def test_yahoo_when_ib_is_not_usable(serve, ib, processed, yahoo, log_records, icli):
    if icli == "disconnected":
        icli = terminal(ib, connected=False)
    elif icli == "falsy":
        icli = FalsyApp(connected=True, ib=ib)
    yahoo.frames.update(OK=(frame := yf_frame(around_open())), NONE=None, FAIL=ValueError("Yahoo says no"))
    yahoo.barrier = threading.Barrier(4, timeout=30)    # all four downloads are in flight at once
    body = post(serve, ["ok", "empty", "none", "fail"], icli=icli)
    assert body["intraday"] == {"OK": {"bars": yf_slim(frame), "source": "yfinance"}}
    assert sorted(body["errors"]) == ["EMPTY: no data", "FAIL: Yahoo says no", "NONE: no data"]
    assert sorted(sym for sym, *_ in yahoo.calls) == ["EMPTY", "FAIL", "NONE", "OK"]
    assert all(kw == {"period": "1d", "interval": "1m", "auto_adjust": False} for _, kw, _, _ in yahoo.calls)
    loop = threading.get_ident()
    assert loop not in {t for _, _, t, _ in yahoo.calls} | {t for _, t in ib.processed}
    assert ib.qualify_calls == [] and bi_req_lines(log_records) == []
    cache = loader._get_cache()
    assert [b["date"] for b in cache.intraday("OK")] == list(around_open())
    assert cache.intraday("EMPTY") is None and cache.intraday("NONE") is None


def test_https_proxy_reaches_yfinance(serve, yahoo, https_proxy):
    post(serve, ["a", "b"])
    assert [seen for *_, seen in yahoo.calls] == [https_proxy, https_proxy]
    assert yfinance.config.network.proxy == https_proxy
    if https_proxy:
        assert list(yfinance.config.network.proxy) == ["https", "http"]


# -- requests -------------------------------------------------------------------------------------
@pytest.mark.parametrize("online", [True, False])
def test_no_symbols(serve, ib, yahoo, online):
    [reply] = serve({"symbols": []}, icli=terminal(ib) if online else None)
    assert reply.status_code == 200
    assert reply.text == '{"success":true,"intraday":{},"errors":null}'
    assert ib.qualify_calls == [] and yahoo.calls == []


@pytest.mark.parametrize("body", [
    {}, {"symbols": "AAPL"}, {"symbols": None}, {"symbols": [1]}, {"symbols": ["A", None]}, {"symbols": [["A"]]},
    {"symbols": {"A": 1}}, ["AAPL"], {"Symbols": ["A"]}, b"", b"{", b"symbols=AAPL",
], ids=["missing", "text", "null", "int-item", "null-item", "nested", "object", "array", "case", "empty-body",
        "broken-json", "form"])
def test_a_body_that_is_not_a_symbol_list_is_refused(serve, ib, yahoo, body):
    [reply] = serve(body, icli=terminal(ib))
    assert reply.status_code == 422
    assert ib.qualify_calls == [] and yahoo.calls == []


def test_extra_body_fields_are_ignored(serve, yahoo):
    [reply] = serve({"symbols": ["x"], "period": "5d"})
    assert reply.status_code == 200 and reply.json()["errors"] == ["X: no data"]


ODD = ["brk.b", "BRK/B", "straße", "ǆ", "ı", "i", " ", "", "a b", "{}", "{0}", "%s", "😀", "\t", "'", "..",
       "x" * 2000, "ﬁ", "nul\x00", "\u200b"]


@pytest.mark.parametrize("path", ["ib", "yahoo"])
def test_odd_characters(serve, ib, yahoo, log_records, path):
    upper = list(dict.fromkeys(s.upper() for s in ODD))
    assert "STRASSE" in upper and "I" in upper and "FI" in upper    # Python's case mapping, not ASCII's
    times = around_open(4)
    for i, sym in enumerate(upper):
        ib.data[sym] = make_bars(times, base=i)
        yahoo.frames[sym] = yf_frame(times, base=i)
    body = post(serve, ODD, icli=terminal(ib) if path == "ib" else None)
    assert body["errors"] is None and sorted(body["intraday"]) == sorted(upper)
    for i, sym in enumerate(upper):
        expected = slim(ib.data[sym]) if path == "ib" else yf_slim(yahoo.frames[sym])
        assert body["intraday"][sym] == {"bars": expected, "source": "ibkr" if path == "ib" else "yfinance"}
    if path == "ib":
        assert sorted(msg for _, msg in bi_req_lines(log_records)) == sorted(f"[bi-req] {s.upper()}" for s in ODD)


@pytest.fixture
def many(sanitized, monkeypatch):
    """The route itself takes any number of symbols: the app's cap is lifted above the count
    (before the test's app is made, so this fixture comes first)."""
    n = 500 if sanitized else 3000
    monkeypatch.setenv("QUORVANE_MAX_BATCH_SYMBOLS", str(n))
    return n


def test_thousands_of_symbols(many, serve, yahoo):
    symbols = [f"sym{i}" for i in range(many)]
    yahoo.frames["SYM7"] = frame = yf_frame(around_open(6))
    body = post(serve, symbols)
    assert body["intraday"] == {"SYM7": {"bars": yf_slim(frame), "source": "yfinance"}}
    assert sorted(body["errors"]) == sorted(f"{s.upper()}: no data" for s in symbols if s != "sym7")
    assert len(yahoo.calls) == many


# -- the route and its nested coroutine functions --------------------------------------------------
def test_route_registration():
    [route] = [r for r in module.router.routes if r.path == URL]
    assert route.methods == {"POST"} and route.endpoint is module.batch_intraday
    assert inspect.iscoroutinefunction(module.batch_intraday)
    assert list(inspect.signature(module.batch_intraday).parameters) == ["request", "req"]


class Sym(str):
    pass


def refuses_non_str(name):
    """The route's nested functions of this qualified name (those of earlier requests may still be
    alive), found while a request runs, all refuse a sym that is not exactly a str."""
    found = [o for o in gc.get_objects()
             if type(o) is type(module._store_and_slim) and getattr(o, "__qualname__", None) == name]
    assert found, name
    for fn in found:
        for bad, kind in ((42, "int"), (Sym("A"), "Sym"), (None, "NoneType")):
            with pytest.raises(TypeError) as caught:
                fn(bad)
            assert str(caught.value) == f"Argument 'sym' has incorrect type (expected str, got {kind})"
    return True


def test_nested_coroutine_functions_refuse_a_non_str_sym(serve, yahoo, cache_reads, monkeypatch):
    checked = []
    cache_reads.before = lambda sym: checked.append(refuses_non_str("batch_intraday.<locals>._read_cache"))

    class CheckingIB(FakeIB):
        async def qualifyContractsAsync(self, *contracts, **kwargs):
            checked.append(refuses_non_str("batch_intraday.<locals>._fetch_one"))
            return await super().qualifyContractsAsync(*contracts, **kwargs)

    class Ticker:
        def __init__(self, sym):
            checked.append(refuses_non_str("batch_intraday.<locals>._yf_one"))

        def history(self, **kwargs):
            return pd.DataFrame()

    checking = CheckingIB(make_bars(around_open(2)))
    assert post(serve, ["a"], icli=terminal(checking))["errors"] is None
    monkeypatch.setattr(yfinance, "Ticker", Ticker)
    assert post(serve, ["b"])["errors"] == ["B: no data"]
    assert checked == [True] * 4
