import asyncio
from datetime import date

import pytest
from nytime import ny

from quorvane.__main__ import main
from quorvane.data import loader
from quorvane.data.demo import DEMO_SYMBOLS, demo_is_stale, seed_demo
from quorvane.server.kline_cache import KlineCache

AFTER_CLOSE = ny(2025, 12, 1, 17, 0)


def entries(cache):
    return {sym: (cache.get(KlineCache.daily_key(sym)), cache.get(KlineCache.intraday_key(sym)))
            for sym in DEMO_SYMBOLS}


@pytest.fixture(scope="module")
def seeded(tmp_path_factory):
    cache = loader.BarCache(tmp_path_factory.mktemp("seeded"))
    summary = seed_demo(cache, now=AFTER_CLOSE)
    yield cache, summary
    cache.close()


def test_two_seeds_give_identical_bars(seeded, tmp_path):
    first, _ = seeded
    second = loader.BarCache(tmp_path)
    seed_demo(second, now=AFTER_CLOSE)
    assert entries(second) == entries(first)
    second.close()


def test_seeds_on_different_days_agree_on_shared_days(seeded, tmp_path):
    first, _ = seeded
    later = loader.BarCache(tmp_path)
    seed_demo(later, now=ny(2025, 12, 5, 17, 0), symbols=["AAPL"])
    old, new = (c.daily("AAPL")[0] for c in (first, later))
    shared = {b["date"] for b in old} & {b["date"] for b in new}
    assert len(shared) == 296
    assert [b for b in old if b["date"] in shared] == [b for b in new if b["date"] in shared]
    later.close()


def test_daily_bars(seeded):
    cache, summary = seeded
    assert summary["last_complete_day"] == summary["session_day"] == "2025-12-01"
    for sym in DEMO_SYMBOLS:
        bars, source = cache.daily(sym)
        assert source == "demo" and len(bars) == 300
        assert bars[-1]["date"] == "2025-12-01"
        assert all(KlineCache.is_trading_day(date.fromisoformat(b["date"])) for b in bars)
        assert all(b["low"] <= min(b["open"], b["close"]) <= max(b["open"], b["close"]) <= b["high"]
                   and b["volume"] > 0 for b in bars)


def test_intraday_bars_match_the_day(seeded):
    cache, _ = seeded
    for sym in DEMO_SYMBOLS:
        day = cache.daily(sym)[0][-1]
        minutes = cache.get(KlineCache.intraday_key(sym))
        times = [b["date"] for b in minutes]
        # pre-market from 04:00, after-hours up to the last minute that ended before `now`
        assert times == list(range(int(ny(2025, 12, 1, 4, 0)), int(AFTER_CLOSE), 60))
        rth = [b for b in minutes if KlineCache.is_rth_bar(b["date"])]
        assert len(rth) == 390
        assert rth[0]["open"] == day["open"] and rth[-1]["close"] == day["close"]
        assert day["low"] <= min(b["low"] for b in rth) and max(b["high"] for b in rth) <= day["high"]
        assert cache.get_intraday(sym, now=AFTER_CLOSE) == [{"date": b["date"], "close": b["close"]}
                                                            for b in rth]


def test_early_close_session(tmp_path):
    cache = loader.BarCache(tmp_path)
    seed_demo(cache, now=ny(2025, 11, 28, 23, 0), symbols=["SPY"])
    minutes = cache.get(KlineCache.intraday_key("SPY"))
    assert len(minutes) == (330 + 210 + 240)  # after-hours end at 17:00 on an early-close day
    assert sum(bool(KlineCache.is_rth_bar(b["date"])) for b in minutes) == 210
    cache.close()


@pytest.mark.parametrize("now, stale", [
    (AFTER_CLOSE, False),
    (ny(2025, 12, 1, 23, 59), False),
    (ny(2025, 12, 2, 4, 0), True),    # the next session's pre-market has begun
    (ny(2025, 12, 3, 12, 0), True),
])
def test_demo_is_stale(seeded, now, stale):
    assert demo_is_stale(seeded[0], now=now) is stale


def test_real_bars_are_never_replaced_by_demo_bars(tmp_path):
    cache = loader.BarCache(tmp_path)
    seed_demo(cache, now=AFTER_CLOSE)
    cache.put_daily("MSFT", cache.daily("MSFT")[0], source="ibkr")
    assert not demo_is_stale(cache, now=ny(2025, 12, 3, 12, 0))
    cache.close()


def test_seed_demo_command_fills_an_empty_cache(tmp_path, capsys, monkeypatch):
    monkeypatch.delenv(loader.DATA_DIR_ENV, raising=False)
    try:
        assert main(["seed-demo", "--data-dir", str(tmp_path)]) == 0
        cache = loader._get_cache()
        assert cache.directory == tmp_path
        assert cache.symbols() == sorted(DEMO_SYMBOLS)
        df = asyncio.run(loader.get_bars("NVDA", "day", 3))
        assert len(df) == 3 and df.attrs["source"] == "demo"
        assert df["date"].iloc[-1].date() == KlineCache._last_complete_trading_day()
        assert "seeded demo bars" in capsys.readouterr().err
    finally:
        loader.close_cache()
