"""GET /api/v1/market-status: sessions, next trading day and next holiday of a real calendar.

"Now" is pinned by the `pin` fixture (tests/conftest.py): the route imports `datetime` from the
`datetime` module at each call. Calendars are pandas_market_calendars' own; a few cases wrap the real
calendar to take its holiday list or its later sessions away.
"""
import asyncio
import sys

import pandas_market_calendars as mcal
import pytest

from quorvane.server.routes import health as module

NY = "America/New_York"
KEYS = ["success", "exchange", "timezone", "date", "is_trading_day", "session", "next_trading_day",
        "next_open", "next_close", "next_holiday"]
REAL_GET_CALENDAR = mcal.get_calendar


def status(exchange=None, request=None):
    """Runs the route coroutine; it must finish in one step, never yielding to the event loop."""
    coro = module.market_status(request) if exchange is None else module.market_status(request, exchange)
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    pytest.fail("the route yielded to the event loop")


def open_close(day, close="16:00"):
    offset = "-04:00" if "2025-04" <= day < "2025-11-02" else "-05:00"
    return f"{day}T09:30:00{offset}", f"{day}T{close}:00{offset}"


@pytest.mark.parametrize("now, trading, session, next_day, next_close", [
    ("2025-08-30 12:00", False, "CLOSED", "2025-09-02", "16:00"),  # Saturday before Labor Day
    ("2025-08-31 21:00", False, "CLOSED", "2025-09-02", "16:00"),  # Sunday night is closed, not night
    ("2025-09-01 10:00", False, "CLOSED", "2025-09-02", "16:00"),  # Labor Day
    ("2025-11-27 12:00", False, "CLOSED", "2025-11-28", "13:00"),  # Thanksgiving; an early close next
    # the day after Thanksgiving closes at 13:00
    ("2025-11-28 03:59:59", True, "NIGHT", "2025-12-01", "16:00"),
    ("2025-11-28 04:00", True, "PRE", "2025-12-01", "16:00"),
    ("2025-11-28 09:29:59", True, "PRE", "2025-12-01", "16:00"),
    ("2025-11-28 09:30", True, "OPEN", "2025-12-01", "16:00"),
    ("2025-11-28 12:59", True, "OPEN", "2025-12-01", "16:00"),
    ("2025-11-28 13:00", True, "AFTER", "2025-12-01", "16:00"),
    ("2025-11-28 19:59", True, "AFTER", "2025-12-01", "16:00"),
    ("2025-11-28 20:00", True, "NIGHT", "2025-12-01", "16:00"),
    # an ordinary Wednesday
    ("2025-12-03 15:59", True, "OPEN", "2025-12-04", "16:00"),
    ("2025-12-03 16:00", True, "AFTER", "2025-12-04", "16:00"),
    ("2025-07-03 12:00", True, "OPEN", "2025-07-07", "16:00"),  # across the Fourth and a weekend
])
def test_session_and_next_trading_day(pin, tok, now, trading, session, next_day, next_close):
    pin(now)
    payload = status(request=tok("request"))
    assert list(payload) == KEYS
    next_open, next_close = open_close(next_day, next_close)
    assert payload | {"next_holiday": None} == {
        "success": True, "exchange": "NYSE", "timezone": NY, "date": now[:10], "is_trading_day": trading,
        "session": session, "next_trading_day": next_day, "next_open": next_open, "next_close": next_close,
        "next_holiday": None}
    assert payload["is_trading_day"] is trading


@pytest.mark.parametrize("utc_now, date, session", [
    ("2025-12-02 03:30", "2025-12-01", "NIGHT"),  # Monday 22:30 in New York
    ("2025-11-29 00:30", "2025-11-28", "AFTER"),  # still Friday 19:30 in New York
])
def test_date_and_session_follow_the_exchange_time_zone(pin, utc_now, date, session):
    pin(utc_now, tz="UTC")
    payload = status()
    assert (payload["date"], payload["is_trading_day"], payload["session"]) == (date, True, session)


@pytest.mark.parametrize("now, holiday", [
    ("2025-07-03 12:00", {"date": "2025-07-04", "name": "July 04", "days_until": 1}),
    ("2025-07-04 12:00", {"date": "2025-09-01", "name": "September 01", "days_until": 59}),  # not today's
    ("2025-12-24 23:59", {"date": "2025-12-25", "name": "December 25", "days_until": 1}),
])
def test_next_holiday(pin, now, holiday):
    pin(now)
    got = status()["next_holiday"]
    assert (got, list(got), type(got["days_until"])) == (holiday, ["date", "name", "days_until"], int)


class Wrapped:
    """The real calendar, but for the methods a case replaces."""

    def __init__(self, cal, **methods):
        self._cal, self._methods = cal, methods

    def __getattr__(self, name):
        if name in self._methods:
            return lambda *args: self._methods[name](self._cal, *args)
        return getattr(self._cal, name)


def raise_(exc):
    def fail(*args):
        raise exc
    return fail


@pytest.mark.parametrize("holidays", [
    lambda cal: object(),               # a holidays() result without `holidays`
    lambda cal: type("H", (), {"holidays": None})(),
    raise_(ValueError("no holiday data")),
])
def test_a_holiday_list_that_cannot_be_read_gives_no_next_holiday(pin, monkeypatch, holidays):
    pin("2025-07-03 12:00")
    monkeypatch.setattr(mcal, "get_calendar", lambda name: Wrapped(REAL_GET_CALENDAR(name), holidays=holidays))
    payload = status()
    assert payload["next_holiday"] is None
    assert (payload["session"], payload["next_trading_day"]) == ("OPEN", "2025-07-07")


def only_up_to(today):
    return lambda cal, start, end: cal.schedule(start, end).loc[:today]


@pytest.mark.parametrize("now, next_open, next_close", [
    # no later session in the window: today's open and close stand
    ("2025-12-03 10:00", "2025-12-03T09:30:00-05:00", "2025-12-03T16:00:00-05:00"),
    ("2025-12-06 10:00", None, None),  # a Saturday: nothing at all
])
def test_without_a_later_session(pin, monkeypatch, now, next_open, next_close):
    pin(now)
    monkeypatch.setattr(mcal, "get_calendar",
                        lambda name: Wrapped(REAL_GET_CALENDAR(name), schedule=only_up_to(now[:10])))
    payload = status()
    assert (payload["next_trading_day"], payload["next_open"], payload["next_close"]) == (None, next_open, next_close)


@pytest.mark.parametrize("where", ["get_calendar", "holidays"])
def test_cancellation_is_never_swallowed(pin, monkeypatch, where):
    pin("2025-12-03 10:00")
    cancel = raise_(asyncio.CancelledError())
    monkeypatch.setattr(mcal, "get_calendar", cancel if where == "get_calendar"
                        else lambda name: Wrapped(REAL_GET_CALENDAR(name), holidays=cancel))
    with pytest.raises(asyncio.CancelledError):
        status()


@pytest.mark.parametrize("exchange, expected", [(5, "int"), (None, "NoneType")])
def test_exchange_must_be_a_str(exchange, expected):
    with pytest.raises(TypeError, match=fr"^Argument 'exchange' has incorrect type \(expected str, got {expected}\)$"):
        module.market_status(None, exchange)


@pytest.mark.parametrize("name", ["nyse", "nope"])
def test_the_exchange_text_is_not_leaked(pin, name):
    pin("2025-12-03 10:00")
    exchange = "".join(name)  # a fresh, non-interned str
    before = sys.getrefcount(exchange)
    status(exchange)
    assert sys.getrefcount(exchange) == before


def test_over_http(pin, call_app):
    pin("2025-12-03 10:00")
    with pytest.raises(RuntimeError) as unknown:
        REAL_GET_CALENDAR("NOPE")
    # the route reads nothing the lifespan makes: its lag monitor is left out
    default, lower, london, bad = call_app("GET /api/v1/market-status", "GET /api/v1/market-status?exchange=nasdaq",
                                           "GET /api/v1/market-status?exchange=xlon",
                                           "GET /api/v1/market-status?exchange=nope", lifespan=False)
    assert [r.status_code for r in (default, lower, london, bad)] == [200] * 4
    assert [list(r.json()) for r in (default, lower, london)] == [KEYS] * 3
    assert [(r.json()["exchange"], r.json()["timezone"], r.json()["session"]) for r in (default, lower, london)] == [
        ("NYSE", NY, "OPEN"), ("NASDAQ", NY, "OPEN"), ("XLON", "Europe/London", "OPEN")]
    assert list(bad.json().items()) == [("success", False), ("error", f"Unknown exchange 'nope': {unknown.value}")]
