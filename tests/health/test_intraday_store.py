"""Bar normalisation of the health module: `_process_ibkr_bars` and `_process_yf_hist` store every
bar of a fetch in the cache and return the regular-hours sparkline; `_store_and_slim` does the
storing and the slimming.

The bars are real ib_async `BarData` records (UTC datetimes, as formatDate=2 gives them) and
frames shaped like yfinance's one-minute history. What pandas makes of them is taken from a
plain-Python transcription run on the same input (`pd.DataFrame(bars)` and so on): the native
processors build the IB frame from the records' fields and must still store exactly those dicts.
"""
import dataclasses
import math
from datetime import date, datetime, timezone
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from ib_async import BarData, BarDataList

from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache, _as_datetime
from quorvane.server.routes import health as module

# pandas_market_calendars 5 uses an accessor that pandas 3 deprecates; not ours to fix.
pytestmark = pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")

DAY = date(2025, 12, 1)
PRE, OPEN, CLOSE, POST = (int(t) for t in KlineCache.session(DAY))
IB_KEYS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
YF_KEYS = ["date", "open", "high", "low", "close", "Adj Close", "volume"]


class Cache:
    """The cache object: records (key, value) of every `set`; raises `fail` when given."""

    def __init__(self, fail=None):
        self.sets, self.fail = [], fail

    def set(self, key, value):
        self.sets.append((key, value))
        if self.fail is not None:
            raise self.fail
        return True


# -- the same normalisation in plain Python -----------------------------------------------------
def to_epoch(value):
    return int(_as_datetime(value).timestamp())


def reference_ibkr(bars):
    df = pd.DataFrame(bars).convert_dtypes()
    df["date"] = df["date"].apply(to_epoch)
    return df.to_dict(orient="records")


def reference_yf(hist):
    df = hist.reset_index()
    df = df.rename(columns={str(df.columns[0]): "date", "Open": "open", "High": "high", "Low": "low",
                            "Close": "close", "Volume": "volume"})
    for col in ("Dividends", "Stock Splits"):
        if col in df.columns:
            df = df.drop(columns=[col])
    df["date"] = df["date"].apply(to_epoch)
    return df.convert_dtypes().to_dict(orient="records")


def slim_of(records):
    return [{"date": r["date"], "close": r["close"]} for r in records if KlineCache.is_rth_bar(r.get("date"))]


def typed(records):
    """Bar dicts with each value's type and key order made visible (a float NaN never equals itself)."""
    return [[(k, type(v).__name__, v) for k, v in r.items()] for r in records]


def assert_stored_and_slim(payload, cache, sym, expected, source):
    [(key, stored)] = cache.sets
    assert key == KlineCache.intraday_key(sym)
    assert typed(stored) == typed(expected)
    assert not any(isinstance(v, float) and math.isnan(v) for r in stored for v in r.values())
    assert list(payload) == ["bars", "source"] and payload["source"] == source
    assert payload["bars"] == slim_of(stored) and all(list(b) == ["date", "close"] for b in payload["bars"])
    # the slim bars hold the stored objects themselves
    by_date = {r["date"]: r for r in stored}
    assert all(b["date"] is by_date[b["date"]]["date"] and b["close"] is by_date[b["date"]]["close"]
               for b in payload["bars"])
    return stored


# -- bar makers -----------------------------------------------------------------------------------
def minutes(start=PRE, end=POST, step=60):
    return range(start, end, step)


def utc(t):
    return datetime.fromtimestamp(t, timezone.utc)


def ib_bars(times=minutes(), make=BarData, date_of=utc):
    """A BarDataList as reqHistoricalDataAsync returns it (useRTH=False: extended hours included)."""
    out = BarDataList()
    for i, t in enumerate(times):
        price = 100 + i / 8
        out.append(make(date=date_of(t), open=price, high=price + 0.5, low=price - 0.5, close=price + 0.25,
                        volume=float(100 * i), average=price + 0.1, barCount=i % 9))
    return out


@dataclasses.dataclass
class OddBar(BarData):
    pass


@dataclasses.dataclass
class TaggedBar:
    date: datetime
    close: float
    tags: list


def with_missing(bars):
    bars[3].volume = math.nan               # pre-market
    bars[(OPEN - PRE) // 60 + 5].close = math.nan    # regular hours: the slim bar carries the marker
    return bars


def mixed(bars):
    bars[1] = OddBar(**dataclasses.asdict(bars[1]))
    return bars


IB_CASES = {
    "bardata-utc": lambda: ib_bars(),
    "naive-new-york": lambda: ib_bars(date_of=lambda t: utc(t).astimezone(_EXCHANGE_TZ).replace(tzinfo=None)),
    "missing-values": lambda: with_missing(ib_bars()),
    "subclass-records": lambda: ib_bars(make=OddBar),
    "mixed-records": lambda: mixed(ib_bars()),
    "nested-field": lambda: [TaggedBar(utc(t), 1.5 + i, ["x", i])
                             for i, t in enumerate(minutes(OPEN - 120, OPEN + 120))],
    "plain-dicts": lambda: [dataclasses.asdict(b) for b in ib_bars()],
    "one-bar": lambda: ib_bars([OPEN]),
}


@pytest.mark.parametrize("case", IB_CASES)
def test_ibkr_bars_stored_whole_and_slimmed(case):
    bars, cache = IB_CASES[case](), Cache()
    expected = reference_ibkr(bars)
    payload = module._process_ibkr_bars(cache, "AAPL", bars)
    stored = assert_stored_and_slim(payload, cache, "AAPL", expected, "ibkr")
    dates = [r["date"] for r in stored]
    assert dates == sorted(dates) and all(type(d) is int for d in dates)
    if case in ("bardata-utc", "naive-new-york", "missing-values", "plain-dicts"):
        assert all(list(r) == IB_KEYS for r in stored)
        # extended hours are stored, only the regular session is returned
        assert dates == list(minutes())
        assert [b["date"] for b in payload["bars"]] == list(minutes(OPEN, CLOSE))
    if case == "missing-values":
        assert stored[3]["volume"] in (None, pd.NA)
        gap = (OPEN - PRE) // 60 + 5
        assert stored[gap]["close"] in (None, pd.NA) and payload["bars"][5]["close"] is stored[gap]["close"]


def test_ibkr_bars_from_an_iterator():
    # anything but a list or tuple of records reaches pandas untouched (not consumed before)
    records = [dataclasses.asdict(b) for b in ib_bars(minutes(OPEN - 120, OPEN + 120))]
    cache = Cache()
    payload = module._process_ibkr_bars(cache, "AAPL", iter(records))
    assert_stored_and_slim(payload, cache, "AAPL", reference_ibkr(iter(records)), "ibkr")


def yf_history(times=minutes(), name="Datetime", tz=_EXCHANGE_TZ, drop=(), nan_at=()):
    """A frame as yfinance's history(period="1d", interval="1m", auto_adjust=False) returns it."""
    n = len(times)
    index = pd.DatetimeIndex(pd.to_datetime(list(times), unit="s", utc=True).tz_convert(tz), name=name)
    close = 50 + np.arange(n) / 16
    hist = pd.DataFrame({"Open": close, "High": close + 1, "Low": close - 1, "Close": close + 0.5,
                         "Adj Close": close + 0.25, "Volume": np.arange(n, dtype="int64") * 7,
                         "Dividends": 0.0, "Stock Splits": 0.0}, index=index)
    for row, col in nan_at:
        hist.iloc[row, hist.columns.get_loc(col)] = np.nan
    return hist.drop(columns=list(drop))


YF_CASES = {
    "datetime-index": lambda: yf_history(),
    "unnamed-index": lambda: yf_history(name=None),
    "utc-index": lambda: yf_history(tz="UTC"),
    "no-dividend-columns": lambda: yf_history(drop=("Dividends", "Stock Splits")),
    "no-splits-column": lambda: yf_history(drop=("Stock Splits",)),
    "missing-values": lambda: yf_history(nan_at=[(2, "Open"), ((OPEN - PRE) // 60, "Close")]),
}


@pytest.mark.parametrize("case", YF_CASES)
def test_yf_history_stored_whole_and_slimmed(case):
    hist, cache = YF_CASES[case](), Cache()
    before = hist.copy()
    expected = reference_yf(hist)
    payload = module._process_yf_hist(cache, "MSFT", hist)
    stored = assert_stored_and_slim(payload, cache, "MSFT", expected, "yfinance")
    # the index becomes "date", dividends and splits go, the adjusted close stays in the store only
    assert all(list(r) == YF_KEYS for r in stored)
    assert [r["date"] for r in stored] == list(minutes())
    assert [b["date"] for b in payload["bars"]] == list(minutes(OPEN, CLOSE))
    pd.testing.assert_frame_equal(hist, before)    # the caller's frame is left as it was
    if case == "missing-values":
        assert stored[2]["open"] in (None, pd.NA) and payload["bars"][0]["close"] in (None, pd.NA)


@pytest.mark.parametrize("process, make, source", [
    (module._process_ibkr_bars, ib_bars, "ibkr"),
    (module._process_yf_hist, yf_history, "yfinance"),
])
def test_no_regular_hours_bar(process, make, source):
    extended = [*minutes(PRE, OPEN), *minutes(CLOSE, POST)]
    cache = Cache()
    assert process(cache, "QQQ", make(extended)) == {"bars": [], "source": source}
    [(key, stored)] = cache.sets
    assert key == KlineCache.intraday_key("QQQ") and [r["date"] for r in stored] == extended


@pytest.mark.parametrize("process, nothing", [
    (module._process_ibkr_bars, []),
    (module._process_ibkr_bars, BarDataList()),
    (module._process_ibkr_bars, None),
    (module._process_yf_hist, None),
    (module._process_yf_hist, yf_history(times=[])),
    (module._process_yf_hist, pd.DataFrame()),
    (module._process_yf_hist, SimpleNamespace(empty=1)),
], ids=["ib-empty-list", "ib-empty-bardatalist", "ib-none", "yf-none", "yf-empty-frame", "yf-bare-frame",
        "yf-empty-attribute"])
def test_nothing_fetched_writes_nothing(process, nothing, monkeypatch):
    monkeypatch.setattr(module, "_store_and_slim", lambda *args: pytest.fail("stored nothing"))
    cache = Cache()
    assert process(cache, "AAPL", nothing) is None
    assert cache.sets == []


class FakeKline:
    """KlineCache stand-in on the module: records its calls; a bar is regular-hours when its
    "date" value is truthy."""

    def __init__(self):
        self.calls = []

    def intraday_key(self, sym):
        self.calls.append(("intraday_key", sym))
        return ("key", sym)

    def is_rth_bar(self, ts):
        self.calls.append(("is_rth_bar", ts))
        return ts


@pytest.fixture
def kline(monkeypatch):
    fake = FakeKline()
    monkeypatch.setattr(module, "KlineCache", fake)
    return fake


def test_store_and_slim_writes_the_list_itself_and_slims_by_the_host_test(kline, tok):
    d1, d2, c1, c2, extra = tok("d1"), tok("d2"), tok("c1"), tok("c2"), tok("extra")

    class Bar(dict):
        pass

    bar_dicts = [{"date": d1, "close": c1, "x": extra}, {"date": 0, "close": c2}, {"close": c2},
                 Bar(close=c2, date=d2), {"date": "", "close": 1}]
    cache, sym = Cache(), "brk.b"
    result = module._store_and_slim(cache, sym, bar_dicts)
    assert result == {"bars": [{"date": d1, "close": c1}, {"date": d2, "close": c2}]}
    assert list(result) == ["bars"] and [list(b) for b in result["bars"]] == [["date", "close"]] * 2
    assert result["bars"][0]["date"] is d1 and result["bars"][1]["close"] is c2
    [(key, written)] = cache.sets
    assert key == ("key", "brk.b") and written is bar_dicts    # not copied, not filtered
    assert kline.calls == [("intraday_key", "brk.b"), ("is_rth_bar", d1), ("is_rth_bar", 0), ("is_rth_bar", None),
                           ("is_rth_bar", d2), ("is_rth_bar", "")]
    # a second call replaces the entry as a whole: nothing is merged
    assert module._store_and_slim(cache, sym, []) == {"bars": []} and cache.sets[-1] == (("key", "brk.b"), [])
    kline.calls.clear()    # the fixture outlives the token check
    del result, bar_dicts, written, cache


RTH_BAR = {"date": OPEN, "close": 1.0}


@pytest.mark.parametrize("bar_dicts, error, text", [
    ([RTH_BAR, 5], TypeError, "int"),
    ([RTH_BAR, "bar"], TypeError, "str"),
    ([RTH_BAR, [("date", OPEN)]], TypeError, "list"),
    ([RTH_BAR, None], AttributeError, "get"),
    ([RTH_BAR, {"date": OPEN + 60}], KeyError, "close"),     # a regular-hours bar needs its close
    ([{"date": OPEN + 60}, 5], TypeError, "int"),            # every bar is tested before any is sliced
    ([RTH_BAR, {"date": "tomorrow"}], None, None),          # not a time: not regular hours, skipped
])
def test_store_and_slim_bad_items_fail_after_the_write(bar_dicts, error, text):
    cache = Cache()
    if error is None:
        assert module._store_and_slim(cache, "A", bar_dicts) == {"bars": [RTH_BAR]}
    else:
        with pytest.raises(error, match=text) as caught:
            module._store_and_slim(cache, "A", bar_dicts)
        if error is TypeError:
            assert str(caught.value) == f"Expected dict, got {text}"
    assert cache.sets == [(KlineCache.intraday_key("A"), bar_dicts)]


class Sym(str):
    pass


def bars_1():
    return ib_bars([OPEN])


@pytest.mark.parametrize("call, arg, expected, got", [
    (lambda c: module._store_and_slim(c, Sym("A"), [RTH_BAR]), "sym", "str", "Sym"),
    (lambda c: module._store_and_slim(c, None, [RTH_BAR]), "sym", "str", "NoneType"),
    (lambda c: module._store_and_slim(c, "A", (RTH_BAR,)), "bar_dicts", "list", "tuple"),
    (lambda c: module._store_and_slim(c, "A", BarDataList([RTH_BAR])), "bar_dicts", "list", "BarDataList"),
    (lambda c: module._store_and_slim(c, "A", None), "bar_dicts", "list", "NoneType"),
    (lambda c: module._process_ibkr_bars(c, Sym("A"), bars_1()), "sym", "str", "Sym"),
    (lambda c: module._process_ibkr_bars(c, b"A", bars_1()), "sym", "str", "bytes"),
    (lambda c: module._process_yf_hist(c, Sym("A"), yf_history()), "sym", "str", "Sym"),
], ids=["sym-subclass", "sym-none", "tuple", "list-subclass", "list-none", "ib-sym-subclass", "ib-sym-bytes",
        "yf-sym-subclass"])
def test_argument_types_refused_before_the_cache(call, arg, expected, got, kline):
    cache = Cache()
    with pytest.raises(TypeError) as caught:
        call(cache)
    assert str(caught.value) == f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    assert cache.sets == [] and kline.calls == []


def test_three_arguments_by_position_or_keyword():
    cache = Cache()
    assert module._store_and_slim(bar_dicts=[RTH_BAR], sym="A", cache=cache) == {"bars": [RTH_BAR]}
    assert module._process_ibkr_bars(cache, bars=bars_1(), sym="A")["source"] == "ibkr"
    assert module._process_yf_hist(hist=yf_history([OPEN]), cache=cache, sym="A")["source"] == "yfinance"
    assert len(cache.sets) == 3
    for bad in (lambda: module._store_and_slim(cache, "A"), lambda: module._process_yf_hist(cache, "A", None, 1),
                lambda: module._process_ibkr_bars(cache, "A", [], bars=[])):
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("process, data, source", [
    (module._process_ibkr_bars, ib_bars(minutes(OPEN - 60, OPEN + 60)), "ibkr"),
    (module._process_yf_hist, yf_history(minutes(OPEN - 60, OPEN + 60)), "yfinance"),
])
def test_processors_call_the_module_global_store(process, data, source, monkeypatch):
    calls, returned = [], {"bars": "replaced"}

    def store(*args):
        calls.append(args)
        return returned

    monkeypatch.setattr(module, "_store_and_slim", store)
    cache = Cache()
    out = process(cache, "IBM", data)
    assert out is returned and out == {"bars": "replaced", "source": source}
    [(got_cache, sym, records)] = calls
    assert got_cache is cache and sym == "IBM" and type(records) is list
    assert [r["date"] for r in records] == [OPEN - 60, OPEN]
    assert cache.sets == []


@pytest.mark.parametrize("process, data, error", [
    (module._process_ibkr_bars, [{"close": 1.0}], KeyError),     # no "date" field
    (module._process_ibkr_bars, [{"date": "not a time", "close": 1.0}], ValueError),
    (module._process_ibkr_bars, [SimpleNamespace(date=utc(OPEN), close=1.0)], KeyError),  # not records pandas reads
    (module._process_yf_hist, pd.DataFrame({"Close": [1.0]}, index=pd.Index(["noon"], name="Datetime")), ValueError),
])
def test_normalisation_failures_propagate_before_the_write(process, data, error):
    cache = Cache()
    with pytest.raises(error):
        process(cache, "X", data)
    assert cache.sets == []


@pytest.mark.parametrize("process, data", [
    (module._process_ibkr_bars, ib_bars()),
    (module._process_yf_hist, yf_history()),
    (module._store_and_slim, [RTH_BAR]),
])
def test_a_failing_cache_write_returns_no_payload(process, data, kline):
    failure = OSError("database or disk is full")
    cache = Cache(fail=failure)
    with pytest.raises(OSError) as caught:
        process(cache, "SPY", data)
    assert caught.value is failure
    assert len(cache.sets) == 1 and [c for c in kline.calls if c[0] == "is_rth_bar"] == []


def test_bar_values_are_not_leaked(tok):
    """Values that pandas keeps as objects reach the store and the payload with their references
    intact; the tok fixture checks afterwards that nothing else holds them."""
    flat = ib_bars([PRE, OPEN, OPEN + 60])
    for i, bar in enumerate(flat):
        bar.close, bar.average = tok(f"close{i}"), tok(f"avg{i}")
    nested = [TaggedBar(utc(OPEN), tok("deep"), [tok("tag")])]    # pandas' own path (deep copies)
    for _ in range(50):
        cache = Cache()
        payload = module._process_ibkr_bars(cache, "T", flat)
        assert [b["close"] for b in payload["bars"]] == [flat[1].close, flat[2].close]
        assert [r["average"] for r in cache.sets[-1][1]] == [b.average for b in flat]
        payload = module._process_ibkr_bars(cache, "T", nested)
        assert len(payload["bars"]) == 1
        with pytest.raises(TypeError):
            module._store_and_slim(cache, "T", [{"date": OPEN, "close": flat[0].close}, flat[1].close])
    del flat, nested, cache, payload


def test_docstrings():
    assert module._store_and_slim.__doc__ == (
        "Persist full bar dicts (incl. pre/post-market, so extended-hours\n"
        "    indicators can be computed later) and return the RTH-only slim\n"
        "    sparkline payload. Blocking (diskcache write + dict building) — call\n"
        "    via asyncio.to_thread.")
    assert module._process_ibkr_bars.__doc__ == (
        "Blocking pandas normalization of IBKR historical bars — runs in a\n"
        "    worker thread so 20 symbols x ~1300 bars don't stall the event loop.")
    assert module._process_yf_hist.__doc__ == "Blocking pandas normalization of a yfinance 1m history frame."
