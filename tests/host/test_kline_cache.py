import threading
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import date, datetime, timezone

import numpy as np
import pandas as pd
import pytest
from nytime import ny

from quorvane.server import kline_cache
from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache, _as_datetime, _as_epoch


def test_exchange_tz_is_new_york():
    assert _EXCHANGE_TZ.key == "America/New_York"


@pytest.mark.parametrize("day, trades", [
    (date(2025, 12, 25), False),  # Christmas
    (date(2025, 12, 27), False),  # Saturday
    (date(2025, 11, 27), False),  # Thanksgiving
    (date(2025, 11, 28), True),   # early close
    (date(2025, 12, 1), True),
])
def test_trading_days(day, trades):
    assert KlineCache.is_trading_day(day) is trades


@pytest.mark.parametrize("day, close_hour", [(date(2025, 11, 28), 13), (date(2025, 12, 1), 16)])
def test_session_hours(day, close_hour):
    pre, opens, closes, _ = KlineCache.session(day)
    assert pre == ny(day.year, day.month, day.day, 4, 0)
    assert opens == ny(day.year, day.month, day.day, 9, 30)
    assert closes == ny(day.year, day.month, day.day, close_hour, 0)


@pytest.mark.parametrize("when, rth", [
    ((2025, 12, 1, 9, 29), False),
    ((2025, 12, 1, 9, 30), True),
    ((2025, 12, 1, 15, 59), True),
    ((2025, 12, 1, 16, 0), False),
    ((2025, 11, 28, 12, 59), True),   # day after Thanksgiving closes at 13:00
    ((2025, 11, 28, 13, 0), False),
    ((2025, 7, 1, 9, 30), True),      # summer time: the open is 13:30 UTC, not 14:30
    ((2025, 7, 1, 9, 29), False),
    ((2025, 12, 25, 10, 0), False),   # holiday
    ((2025, 12, 27, 10, 0), False),   # weekend
])
@pytest.mark.parametrize("form", [int, float, lambda t: pd.Timestamp(t, unit="s", tz="UTC")])
def test_is_rth_bar(when, rth, form):
    assert bool(KlineCache.is_rth_bar(form(ny(*when)))) is rth


@pytest.mark.parametrize("value", [None, "garbage", object(), float("nan"), float("inf"), True, 10**30, -1])
def test_is_rth_bar_unusable_values_are_false(value):
    assert not KlineCache.is_rth_bar(value)


@pytest.mark.parametrize("now, expected", [
    ((2025, 12, 1, 15, 0), date(2025, 11, 28)),    # session still running
    ((2025, 12, 1, 16, 0), date(2025, 12, 1)),     # closed at 16:00
    ((2025, 11, 28, 13, 5), date(2025, 11, 28)),   # early close already past
    ((2025, 11, 28, 12, 0), date(2025, 11, 26)),   # Thanksgiving skipped
    ((2025, 12, 27, 12, 0), date(2025, 12, 26)),   # Saturday
    ((2026, 1, 2, 8, 0), date(2025, 12, 31)),      # across the year end
])
def test_last_complete_trading_day(now, expected):
    assert KlineCache._last_complete_trading_day(ny(*now)) == expected


def test_last_complete_trading_day_without_arguments():
    day = KlineCache._last_complete_trading_day()
    assert isinstance(day, date) and KlineCache.is_trading_day(day)
    assert day <= datetime.now(_EXCHANGE_TZ).date()


@pytest.mark.parametrize("now, expected", [
    ((2025, 12, 1, 3, 59), date(2025, 11, 28)),   # before pre-market: the previous session
    ((2025, 12, 1, 4, 0), date(2025, 12, 1)),
    ((2025, 12, 1, 22, 0), date(2025, 12, 1)),
    ((2025, 12, 25, 12, 0), date(2025, 12, 24)),
])
def test_intraday_session_day(now, expected):
    assert KlineCache.intraday_session_day(ny(*now)) == expected


def test_neighbouring_trading_days_across_year_end():
    assert KlineCache.previous_trading_day(date(2026, 1, 2)) == date(2025, 12, 31)
    assert KlineCache.next_trading_day(date(2025, 12, 31)) == date(2026, 1, 2)
    assert KlineCache.trading_days(date(2025, 12, 28), 3) == [date(2025, 12, 23), date(2025, 12, 24),
                                                                date(2025, 12, 26)]


def test_intraday_key_is_per_symbol():
    assert KlineCache.intraday_key("AAPL") == KlineCache.intraday_key("aapl")
    assert KlineCache.intraday_key("AAPL") != KlineCache.intraday_key("MSFT")
    assert KlineCache.intraday_key("AAPL") != KlineCache.daily_key("AAPL")


OPEN = ny(2025, 12, 1, 9, 30)


@pytest.mark.parametrize("value", [
    datetime(2025, 12, 1, 14, 30, tzinfo=timezone.utc),
    datetime(2025, 12, 1, 9, 30),                     # naive: exchange time
    pd.Timestamp("2025-12-01 09:30"),
    pd.Timestamp("2025-12-01 14:30", tz="UTC"),
    np.datetime64("2025-12-01T09:30"),
    int(OPEN),
    OPEN,
    np.int64(OPEN),
    "2025-12-01T09:30:00",
    "2025-12-01 14:30:00Z",
    "2025-12-01T09:30:00-05:00",
])
def test_as_datetime_accepted_forms(value):
    dt = _as_datetime(value)
    assert dt.tzinfo is not None
    assert dt.timestamp() == OPEN
    assert _as_epoch(value) == OPEN


def test_as_datetime_of_a_date_is_exchange_midnight():
    assert _as_datetime(date(2025, 12, 1)).timestamp() == ny(2025, 12, 1, 0, 0)
    assert _as_epoch("2025-12-01") == ny(2025, 12, 1, 0, 0)


@pytest.mark.parametrize("value", [object(), "not a date", [], float("nan"), float("inf"), None, True,
                                   pd.NaT, np.datetime64("NaT", "s"), 10**30, {}])
def test_as_epoch_of_garbage_is_none(value):
    assert _as_epoch(value) is None


@pytest.mark.parametrize("value", [object(), "not a date", None, float("nan")])
def test_as_datetime_of_garbage_raises(value):
    with pytest.raises((TypeError, ValueError)):
        _as_datetime(value)


def test_lookups_while_a_year_loads_agree(monkeypatch):
    # A fresh schedule store with the calendar already open, so that the first
    # thread's load of 2024 is all schedule work; the other threads arrive while
    # it runs and must wait for it, not read a half-loaded year.
    sessions = kline_cache._Sessions()
    sessions.ensure_year(2023)
    monkeypatch.setattr(kline_cache, "_sessions", sessions)
    # Friday 09:00 to Sunday 21:00, across the switch to summer time
    minutes = [ny(2024, 3, 8, 9, 0) + 60 * i for i in range(0, 60 * 60, 13)]
    expected = [ny(2024, 3, 8, 9, 30) <= t < ny(2024, 3, 8, 16, 0) for t in minutes]
    start = threading.Barrier(8)

    def run(i):
        start.wait()
        time.sleep(0.002 * i)
        return [bool(KlineCache.is_rth_bar(t)) for t in minutes]

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(run, range(8)))
    assert all(r == expected for r in results)
