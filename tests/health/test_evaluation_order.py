"""Host objects are read in the order the routes are written: where one statement reads several
values (a bar's "date" and "close", the parts of the exchange's local time), each read runs
left to right, and a callee is looked up before its arguments are read. Every read and call a
host object sees is logged, so a reversed pair shows."""
import asyncio
import gc
import datetime as datetime_module
from types import SimpleNamespace

import pytest

from quorvane.server.routes import health as module

REAL_DATETIME = datetime_module.datetime


class Record(dict):
    """A bar dict that logs each read: "get <key>" and "[<key>]"."""

    def __init__(self, log, **fields):
        super().__init__(**fields)
        self.log = log

    def __getitem__(self, key):
        self.log.append(f"[{key}]")
        return super().__getitem__(key)

    def get(self, key, default=None):
        self.log.append(f"get {key}")
        return super().get(key, default)


class Host:
    """A host object whose attributes are the given functions: logs each lookup ("name") and
    each call ("name()")."""

    def __init__(self, log, **functions):
        self._log, self._functions = log, functions

    def __getattr__(self, name):
        if name not in self._functions:
            raise AttributeError(name)
        self._log.append(name)

        def call(*args):
            self._log.append(f"{name}()")
            return self._functions[name](*args)

        return call


def store_and_slim(monkeypatch, log):
    # cache.set(KlineCache.intraday_key(sym), bar_dicts), then every bar tested, then the kept sliced
    monkeypatch.setattr(module, "KlineCache", Host(log, intraday_key=str, is_rth_bar=bool))
    cache = Host(log, set=lambda key, bars: None)
    bars = [Record(log, date=1, close=2.0), Record(log, date=0, close=3.0), Record(log, date=4, close=5.0)]
    assert module._store_and_slim(cache, "A", bars) == {"bars": [{"date": 1, "close": 2.0}, {"date": 4, "close": 5.0}]}
    return (["set", "intraday_key", "intraday_key()", "set()"] + ["is_rth_bar", "get date", "is_rth_bar()"] * 3
            + ["[date]", "[close]"] * 2)


def read_cache(monkeypatch, log):
    rows = [Record(log, date=1, close=2.0), Record(log, date=3, close=4.0)]
    monkeypatch.setattr(module, "_get_cache", lambda: SimpleNamespace(get_intraday=lambda sym: rows))
    request = SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace()))
    body = asyncio.run(module.batch_intraday(request, SimpleNamespace(symbols=["a"])))
    assert body["intraday"] == {"A": {"bars": [{"date": 1, "close": 2.0}, {"date": 3, "close": 4.0}],
                                      "source": "cache"}}
    return ["[date]", "[close]"] * 2


def market_status(monkeypatch, log):
    class Logged(REAL_DATETIME):
        """Logs the reads of its parts made outside the conversion to the exchange's time zone
        (the zone reads them too) by the time of day in that zone; naive datetimes log none."""
        converting = False

        @classmethod
        def now(cls, tz=None):
            return cls(2025, 8, 29, 14, 30, tzinfo=tz)

        def astimezone(self, tz=None):
            Logged.converting = True
            try:
                return super().astimezone(tz)
            finally:
                Logged.converting = False

    for part in ("year", "month", "day", "hour", "minute"):
        def read(self, part=part):
            if self.tzinfo is not None and not Logged.converting:
                log.append(part)
            return getattr(REAL_DATETIME, part).__get__(self)

        setattr(Logged, part, property(read))
    monkeypatch.setattr(datetime_module, "datetime", Logged)
    assert asyncio.run(module.market_status(None, "NYSE"))["session"] == "OPEN"
    # datetime(now_local.year, now_local.month, now_local.day), then hour * 60 + minute
    return ["year", "month", "day", "hour", "minute"]


@pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")
@pytest.mark.parametrize("site", [store_and_slim, read_cache, market_status], ids=lambda f: f.__name__)
def test_host_reads_run_in_the_order_written(monkeypatch, site):
    log = []
    expected = site(monkeypatch, log)
    assert log == expected


class NoGather:
    """An `asyncio` whose `gather` cannot be looked up."""

    def __getattr__(self, name):
        raise AttributeError(name)


def quote_app():
    quote = SimpleNamespace(to_dict=lambda: {"last": 1.0})
    app = SimpleNamespace(connected=True, quoteState={"A": quote})
    return SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace(icli_app=app)))


@pytest.mark.parametrize("route", [
    lambda: module.batch_intraday(SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace())),
                                  SimpleNamespace(symbols=["a", "b"])),
    lambda: module.snapshots(quote_app(), "A"),
], ids=["batch_intraday", "snapshots"])
def test_gather_is_looked_up_before_its_coroutines_are_made(monkeypatch, recwarn, route):
    # asyncio.gather(*[...]): a failing lookup leaves no coroutine behind to be never awaited
    monkeypatch.setattr(module, "_get_cache", lambda: SimpleNamespace(get_intraday=lambda sym: None))
    monkeypatch.setattr(module, "asyncio", NoGather())
    with pytest.raises(AttributeError, match="gather"):
        asyncio.run(route())
    gc.collect()
    assert [str(w.message) for w in recwarn if "never awaited" in str(w.message)] == []
