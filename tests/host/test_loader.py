import asyncio
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
from nytime import ny

from quorvane.__main__ import main
from quorvane.data import loader
from quorvane.server.kline_cache import KlineCache

DAY_PRE, DAY_POST = ny(2025, 12, 1, 4, 0), ny(2025, 12, 1, 20, 0)
OPEN, CLOSE = ny(2025, 12, 1, 9, 30), ny(2025, 12, 1, 16, 0)
NOON = ny(2025, 12, 1, 12, 0)


def session_bars(seed: float) -> list[dict]:
    """One-minute bar dicts of 2025-12-01, 04:00 to 20:00, as the intraday route stores them."""
    return [{"date": int(t), "open": seed, "high": seed + 1, "low": seed - 1,
             "close": seed + i / 1000, "volume": 10 * i}
            for i, t in enumerate(range(int(DAY_PRE), int(DAY_POST), 60))]


def rth_of(bars):
    return [{"date": b["date"], "close": b["close"]} for b in bars if OPEN <= b["date"] < CLOSE]


def test_intraday_round_trip_from_many_threads(cache):
    symbols = [f"S{i}" for i in range(8)]
    start = threading.Barrier(len(symbols))

    def write_then_read(i):
        sym = symbols[i]
        bars = session_bars(100.0 + i)
        start.wait()
        for _ in range(3):  # overlapping writes and reads of all symbols
            cache.set(KlineCache.intraday_key(sym), bars)
            got = [loader._get_cache().get_intraday(s, now=NOON) for s in symbols]
        return bars, got

    with ThreadPoolExecutor(len(symbols)) as pool:
        results = list(pool.map(write_then_read, range(len(symbols))))
    for i, (bars, _) in enumerate(results):
        got = cache.get_intraday(symbols[i], now=NOON)
        assert got == rth_of(bars)
        assert len(got) == 390 and all(type(b["date"]) is int for b in got)


@pytest.mark.parametrize("now, served", [
    (NOON, True),
    (ny(2025, 12, 2, 3, 0), True),    # next day before pre-market: still the latest session
    (ny(2025, 12, 2, 10, 0), False),  # a newer session has begun: stale, the caller refetches
])
def test_get_intraday_serves_only_the_current_session(cache, now, served):
    bars = session_bars(50.0)
    cache.set(KlineCache.intraday_key("AAPL"), bars)
    assert cache.get_intraday("AAPL", now=NOON) == rth_of(bars)  # kept for the session of NOON only
    assert cache.get_intraday("AAPL", now=now) == (rth_of(bars) if served else None)


def test_get_intraday_without_bars_is_none(cache):
    assert cache.get_intraday("NOPE", now=NOON) is None
    cache.set(KlineCache.intraday_key("NOPE"), [])
    assert cache.get_intraday("NOPE", now=NOON) is None


def test_get_intraday_reads_normalised_frames(cache):
    # What the intraday route writes: pandas' nullable types, missing values as pd.NA, extra columns.
    frame = pd.DataFrame(session_bars(20.0)).assign(average=1.5).convert_dtypes()
    frame.loc[frame.index[400], "close"] = pd.NA
    records = frame.to_dict(orient="records")
    cache.set(KlineCache.intraday_key("IBM"), records)
    got = cache.get_intraday("IBM", now=NOON)
    assert len(got) == 389
    assert all(type(b["close"]) is float for b in got)


def put_days(cache, sym, n=10):
    days = KlineCache.trading_days(pd.Timestamp("2025-12-05").date(), n)
    bars = [{"date": d, "open": 10.0 + i, "high": 11.0 + i, "low": 9.0 + i, "close": 10.5 + i,
             "volume": np.int64(1000 + i)} for i, d in enumerate(days)]
    cache.put_daily(sym, bars, source="test")
    return days


def test_get_bars_newest_count_oldest_first(cache):
    days = put_days(cache, "MSFT")
    df = asyncio.run(loader.get_bars("msft", "day", 3))
    assert list(df.columns) == ["date", "open", "high", "low", "close", "volume"]
    assert [d.date() for d in df["date"]] == days[-3:]
    assert df["close"].tolist() == [17.5, 18.5, 19.5]
    assert df.attrs["source"] == "test"
    # the text form the snapshot route compares with the last complete trading day
    assert df["date"].astype(str).tolist()[-1] == days[-1].isoformat()


def test_get_bars_with_fewer_bars_than_asked(cache):
    put_days(cache, "MSFT", 2)
    assert len(asyncio.run(loader.get_bars("MSFT", "day", 250, adjust="none"))) == 2


def test_get_bars_weekly(cache):
    put_days(cache, "MSFT", 10)  # 2025-11-21 .. 2025-12-05, with Thanksgiving
    df = asyncio.run(loader.get_bars("MSFT", "week", 5))
    assert [str(d.date()) for d in df["date"]] == ["2025-11-21", "2025-11-24", "2025-12-01"]
    assert df.iloc[1][["open", "high", "low", "close", "volume"]].tolist() == [11.0, 15.0, 10.0, 14.5, 4010.0]


def test_get_bars_minutes(cache):
    cache.set(KlineCache.intraday_key("AAPL"), session_bars(100.0))
    one = asyncio.run(loader.get_bars("AAPL", "1min", 960))
    assert len(one) == 960 and one["date"].is_monotonic_increasing
    assert one["date"].iloc[0] == pd.Timestamp("2025-12-01 04:00", tz="America/New_York")
    five = asyncio.run(loader.get_bars("AAPL", "5min", 1000))
    rth_open = five[five["date"] == pd.Timestamp("2025-12-01 09:30", tz="America/New_York")]
    assert len(rth_open) == 1  # buckets are aligned on the 09:30 open
    assert rth_open["volume"].iloc[0] == sum(10 * i for i in range(330, 335))
    assert five.attrs["source"] == "cache"


def test_get_bars_none_when_the_cache_has_nothing(cache):
    assert asyncio.run(loader.get_bars("ZZZZ", "day", 3)) is None
    assert asyncio.run(loader.get_bars("ZZZZ", "1min", 3)) is None


@pytest.mark.parametrize("period, count", [("fortnight", 3), ("day", 0)])
def test_get_bars_refuses_bad_arguments(cache, period, count):
    with pytest.raises(ValueError):
        asyncio.run(loader.get_bars("AAPL", period, count))


def test_get_bars_reads_off_the_event_loop(cache, monkeypatch):
    put_days(cache, "MSFT")
    threads = []
    real = loader.BarCache.daily
    monkeypatch.setattr(loader.BarCache, "daily",
                        lambda self, sym: threads.append(threading.current_thread()) or real(self, sym))
    asyncio.run(loader.get_bars("MSFT", "day", 3))
    assert threads and threads[0] is not threading.main_thread()


def test_one_process_wide_cache_under_concurrent_first_use(tmp_path, monkeypatch):
    loader.close_cache()
    monkeypatch.setenv(loader.DATA_DIR_ENV, str(tmp_path / "lazy"))
    start = threading.Barrier(8)

    def first_use(_):
        start.wait()
        return loader._get_cache()

    try:
        with ThreadPoolExecutor(8) as pool:
            caches = set(map(id, pool.map(first_use, range(8))))
        assert len(caches) == 1
        assert loader._get_cache().directory == tmp_path / "lazy"
    finally:
        loader.close_cache()


def test_default_data_dir(monkeypatch, tmp_path):
    monkeypatch.setenv(loader.DATA_DIR_ENV, str(tmp_path / "x"))
    assert loader.default_data_dir() == tmp_path / "x"
    monkeypatch.delenv(loader.DATA_DIR_ENV)
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "xdg"))
    assert loader.default_data_dir() == tmp_path / "xdg" / "quorvane"


def corrupt_db(path):
    path.mkdir()
    (path / "cache.db").write_bytes(b"this is not an SQLite database" * 100)
    return path


def a_file(path):
    path.write_text("not a directory")
    return path


@pytest.mark.parametrize("make_bad", [corrupt_db, a_file])
def test_bad_cache_directory_fails_at_start_up(tmp_path, capsys, make_bad):
    bad = make_bad(tmp_path / "bad")
    with pytest.raises(loader.CacheError, match="bar cache in .*bad"):
        loader.open_cache(bad)
    assert main(["seed-demo", "--data-dir", str(bad)]) == 2
    err = capsys.readouterr().err
    assert err.startswith("quorvane: error: ") and str(bad) in err


# -- keys UTF-8 cannot encode ------------------------------------------------------------------------
LONE = "\ud800"


@pytest.mark.parametrize("read", [
    lambda c: c.get(LONE, "miss"),
    lambda c: c.daily(LONE) or "miss",
    lambda c: c.intraday(LONE + "x") or "miss",
    lambda c: c.get_intraday("a" + LONE, now=NOON) or "miss",
    lambda c: asyncio.run(loader.get_bars(LONE, "day", 3)) or "miss",
    lambda c: asyncio.run(loader.get_bars(LONE, "5min", 3)) or "miss",
])
def test_a_lone_surrogate_key_is_a_miss(cache, read):
    assert read(cache) == "miss"


def test_a_lone_surrogate_key_round_trips(cache):
    cache.set(KlineCache.intraday_key(LONE), session_bars(10.0))
    put_days(cache, "\udfffé")
    assert cache.get_intraday(LONE, now=NOON) == rth_of(session_bars(10.0))
    assert len(asyncio.run(loader.get_bars("\udfffé", "day", 3))) == 3
    assert cache.symbols() == [LONE, "\udfffÉ"]
    assert cache.delete(KlineCache.intraday_key(LONE)) and cache.get_intraday(LONE, now=NOON) is None


# -- the frame memo under get_bars --------------------------------------------------------------------
@pytest.fixture
def store_reads(monkeypatch):
    """How often get_bars went to the store for daily and for one-minute bars."""
    reads = {"daily": 0, "intraday": 0}
    for name in reads:
        real = getattr(loader.BarCache, name)

        def counting(self, sym, _real=real, _name=name):
            reads[_name] += 1
            return _real(self, sym)

        monkeypatch.setattr(loader.BarCache, name, counting)
    return reads


def closes(period="day", count=3, sym="MSFT"):
    return asyncio.run(loader.get_bars(sym, period, count))["close"].tolist()


@pytest.mark.parametrize("write, after", [
    (lambda c: c.put_daily("MSFT", [{"date": "2025-12-08", "open": 1, "high": 2, "low": 0, "close": 1.5,
                                     "volume": 5}], "test"), [1.5]),
    (lambda c: c.set(KlineCache.daily_key("MSFT"), {"source": "x", "bars": [
        {"date": "2025-12-08", "open": 1, "high": 2, "low": 0, "close": 7.0, "volume": 5}]}), [7.0]),
    (lambda c: c.delete(KlineCache.daily_key("MSFT")), None),
])
def test_memo_serves_repeated_reads_and_drops_them_on_a_write(cache, store_reads, write, after):
    put_days(cache, "MSFT")
    put_days(cache, "IBM")
    assert closes() == closes() == [17.5, 18.5, 19.5] and closes("week", 1) == closes("week", 1)
    assert store_reads["daily"] == 2  # one build per period
    closes(sym="IBM")
    write(cache)
    if after is None:
        assert asyncio.run(loader.get_bars("MSFT", "day", 3)) is None
    else:
        assert closes() == after and closes("week", 1) == after
    closes(sym="IBM")  # another symbol's frames stay
    assert store_reads["daily"] == 3 + (1 if after is None else 2)


@pytest.mark.parametrize("read, last", [  # last: the final two closes read (i / 1000 after the seed)
    (lambda c: closes("1min", 2, "AAPL"), [0.958, 0.959]),  # 19:59, after-hours included
    (lambda c: [b["close"] for b in c.get_intraday("AAPL", now=NOON)[-2:]], [0.718, 0.719]),  # 15:59
], ids=["get_bars", "get_intraday"])
def test_memo_of_minute_bars_follows_the_intraday_entry(cache, store_reads, read, last):
    cache.set(KlineCache.intraday_key("AAPL"), session_bars(100.0))
    assert read(cache) == read(cache) == [100 + x for x in last]
    assert store_reads["intraday"] == 1
    # a write by another process: a cache object of its own over the same store
    other = loader.BarCache(cache.directory, url=loader.cache_url())
    other.set(KlineCache.intraday_key("AAPL"), session_bars(200.0))
    other.close()
    assert read(cache) == [200 + x for x in last]
    assert store_reads["intraday"] == 2


def test_memo_frames_are_the_callers_own(cache):
    put_days(cache, "MSFT")
    df = asyncio.run(loader.get_bars("MSFT", "day", 3))
    df.loc[0, "close"] = -1.0
    df.attrs["source"] = "changed"
    again = asyncio.run(loader.get_bars("MSFT", "day", 3))
    assert again["close"].tolist() == [17.5, 18.5, 19.5] and again.attrs["source"] == "test"


def test_memo_is_bounded_least_recently_used_first(tmp_path, monkeypatch, store_reads):
    cache = loader.open_cache(tmp_path)
    for sym in ("A", "B", "C"):
        put_days(cache, sym)
    one = asyncio.run(loader.get_bars("A", "day", 10)).memory_usage(index=True, deep=True).sum()
    monkeypatch.setenv(loader.MEMO_MB_ENV, str(2.5 * one / 2**20))  # room for two frames
    cache = loader.open_cache(tmp_path)
    store_reads["daily"] = 0
    try:
        for sym in ("A", "B", "A", "C", "A", "B"):
            closes(sym=sym)
        assert store_reads["daily"] == 4  # A, B, C (B out), B again (C out)
        assert 0 < cache.memo._bytes <= cache.memo.max_bytes
    finally:
        loader.close_cache()


def test_a_build_that_overlapped_a_write_is_not_kept(cache):
    put_days(cache, "MSFT")
    key = KlineCache.daily_key("MSFT")
    builds = []

    def build():
        builds.append(1)
        frame = loader._frame([{"date": 1, "close": 1.0}])
        if len(builds) == 1:  # another thread writes while this one builds from the old bars
            cache.set(key, {"source": "x", "bars": []})
        return frame, "x"

    for _ in range(3):
        cache.memo.get(key, None, build, lambda found: 1)
    assert len(builds) == 2
