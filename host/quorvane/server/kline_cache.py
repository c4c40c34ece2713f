"""Exchange time, trading days and regular trading hours for the bar cache.

Bar times travel through the service as epoch seconds; everything that has to
know about the exchange (which days trade, when the regular session opens and
closes, early closes included) is answered here from the NYSE calendar of
pandas_market_calendars.

The calendar is slow to query and `KlineCache.is_rth_bar` is called once per
bar from worker threads, so schedules are loaded a whole year at a time, turned
into plain epoch numbers and kept in dicts; a lookup after that is a dict hit
and two comparisons, with no lock taken.
"""

from __future__ import annotations

import bisect
import math
import threading
import time as _time
import warnings
from datetime import date, datetime, time, timezone
from typing import Any
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd

_EXCHANGE_TZ = ZoneInfo("America/New_York")

# pandas_market_calendars 5 still calls an accessor that pandas 3 deprecates; the
# warning is theirs to fix and would otherwise land in the server log.
warnings.filterwarnings("ignore", message=r"Series\.dt\.weekday is deprecated",
                        module=r"pandas_market_calendars\.")

_CALENDAR_NAME = "NYSE"
_EPOCH_ORDINAL = date(1970, 1, 1).toordinal()
# Years the calendar is asked about; anything outside has no sessions (and a
# garbage epoch value must not send the calendar library off to year 30000).
_MIN_YEAR, _MAX_YEAR = 1990, 2200
_MIN_EPOCH, _MAX_EPOCH = -62135596800, 253402300800  # the range of datetime (years 1-9999)


def _as_datetime(value) -> datetime:
    """Convert a bar time to a time-zone-aware ``datetime``.

    Accepts ``datetime`` (and pandas ``Timestamp``), ``date``, numpy
    ``datetime64``, epoch seconds (int or float) and ISO 8601 text. Naive values
    are read as exchange (New York) wall-clock time; a plain date is midnight of
    that day in New York. Raises ``TypeError`` or ``ValueError`` for anything else.
    """
    if isinstance(value, pd.Timestamp) or value is pd.NaT:
        if pd.isna(value):
            raise ValueError("missing bar time (NaT)")
        dt = value.to_pydatetime(warn=False)
    elif isinstance(value, datetime):
        dt = value
    elif isinstance(value, date):
        return datetime.combine(value, time(), tzinfo=_EXCHANGE_TZ)
    elif isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("missing bar time (NaT)")
        dt = pd.Timestamp(value).to_pydatetime(warn=False)
    elif isinstance(value, bool):
        raise TypeError("a bool is not a bar time")
    elif isinstance(value, (int, float, np.integer, np.floating)):
        seconds = float(value)
        if not math.isfinite(seconds):
            raise ValueError(f"bar time is not a finite number: {value!r}")
        return datetime.fromtimestamp(seconds, tz=timezone.utc)
    elif isinstance(value, str):
        text = value.strip()
        if text.endswith(("Z", "z")):
            text = text[:-1] + "+00:00"
        dt = datetime.fromisoformat(text)
    else:
        raise TypeError(f"cannot read a bar time from {type(value).__name__}")
    if dt.tzinfo is None:
        dt = dt.replace(tzinfo=_EXCHANGE_TZ)
    return dt


def _as_epoch(value) -> float | None:
    """Epoch seconds of a bar time, or ``None`` when the value is not a usable time."""
    if type(value) is float:  # the common cases, kept cheap
        return value if math.isfinite(value) else None
    if type(value) is int:
        return float(value) if _MIN_EPOCH <= value < _MAX_EPOCH else None
    try:
        seconds = _as_datetime(value).timestamp()
    except (TypeError, ValueError, OverflowError, OSError):
        return None
    return seconds if math.isfinite(seconds) else None


class _Sessions:
    """The NYSE schedule as epoch numbers, loaded one calendar year at a time."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._calendar: Any = None  # pandas_market_calendars' calendar, which has no types
        self._years: set[int] = set()
        # UTC day number -> (market_open, market_close). The regular session lies
        # inside one UTC day, so the UTC day of a bar finds its session directly.
        self.by_utc_day: dict[int, tuple[float, float]] = {}
        # session date -> (pre, market_open, market_close, post)
        self.by_date: dict[date, tuple[float, float, float, float]] = {}
        self._dates: list[date] = []  # sorted session dates of the loaded years

    def ensure_year(self, year: int) -> bool:
        """Load `year` unless it is loaded; False when the year is out of range."""
        if year in self._years:
            return True
        if not _MIN_YEAR <= year <= _MAX_YEAR:
            return False
        with self._lock:
            if year in self._years:
                return True
            if self._calendar is None:
                import pandas_market_calendars as mcal

                self._calendar = mcal.get_calendar(_CALENDAR_NAME)
            sched = self._calendar.schedule(
                start_date=f"{year}-01-01", end_date=f"{year}-12-31", start="pre", end="post"
            )
            cols = [sched[c].map(lambda ts: ts.timestamp()).tolist()
                    for c in ("pre", "market_open", "market_close", "post")]
            days = [d.date() for d in sched.index]
            for d, pre, opn, cls, post in zip(days, *cols):
                self.by_date[d] = (pre, opn, cls, post)
                self.by_utc_day[int(opn // 86400)] = (opn, cls)
            self._dates = sorted(set(self._dates).union(days))
            # Published last: a reader that sees the year sees all of its sessions.
            self._years.add(year)
        return True

    def ensure_date(self, d: date) -> bool:
        ok = self.ensure_year(d.year)
        # Neighbouring sessions are often asked for next; load the adjacent year too.
        if ok and d.month == 1:
            self.ensure_year(d.year - 1)
        elif ok and d.month == 12:
            self.ensure_year(d.year + 1)
        return ok

    def loaded_before(self, d: date) -> date | None:
        """The newest loaded session date strictly before `d`."""
        dates = self._dates
        i = bisect.bisect_left(dates, d)
        return dates[i - 1] if i else None

    def loaded_after(self, d: date) -> date | None:
        """The oldest loaded session date strictly after `d`."""
        dates = self._dates
        i = bisect.bisect_right(dates, d)
        return dates[i] if i < len(dates) else None


_sessions = _Sessions()


def _exchange_date(epoch: float) -> date:
    return datetime.fromtimestamp(epoch, tz=_EXCHANGE_TZ).date()


class KlineCache:
    """Trading-calendar helpers shared by the bar cache and the routes."""

    INTRADAY_PREFIX = "intraday:"
    DAILY_PREFIX = "bars:day:"

    @staticmethod
    def intraday_key(sym: str) -> str:
        """Cache key of a symbol's one-minute bars (the newest session fetched)."""
        return KlineCache.INTRADAY_PREFIX + str(sym).strip().upper()

    @staticmethod
    def daily_key(sym: str) -> str:
        """Cache key of a symbol's daily bars."""
        return KlineCache.DAILY_PREFIX + str(sym).strip().upper()

    @staticmethod
    def is_rth_bar(ts) -> bool:
        """True when the bar starting at `ts` (epoch seconds) lies in the regular session.

        Early closes shorten the session. ``None`` and unusable values are False.
        """
        kind = type(ts)
        if kind is float:
            if not math.isfinite(ts):
                return False
        elif kind is not int:
            ts = _as_epoch(ts)
            if ts is None:
                return False
        day = int(ts // 86400)
        bounds = _sessions.by_utc_day.get(day)
        if bounds is None:
            if not 0 <= ts < _MAX_EPOCH:
                return False
            if not _sessions.ensure_year(date.fromordinal(day + _EPOCH_ORDINAL).year):
                return False
            bounds = _sessions.by_utc_day.get(day)
            if bounds is None:
                return False
        return bounds[0] <= ts < bounds[1]

    @staticmethod
    def session(d: date) -> tuple[float, float, float, float] | None:
        """(pre-market start, open, close, after-hours end) of `d` in epoch seconds, or None."""
        if not _sessions.ensure_date(d):
            return None
        return _sessions.by_date.get(d)

    @staticmethod
    def is_trading_day(d: date) -> bool:
        return KlineCache.session(d) is not None

    @staticmethod
    def previous_trading_day(d: date) -> date:
        """The last session date strictly before `d`."""
        probe = d
        for _ in range(4):  # a calendar year never lacks sessions; a few years back is plenty
            _sessions.ensure_date(probe)
            before = _sessions.loaded_before(d)
            if before is not None:
                return before
            probe = date(probe.year - 1, 12, 31)
        raise LookupError(f"no trading day before {d}")

    @staticmethod
    def next_trading_day(d: date) -> date:
        """The first session date strictly after `d`."""
        probe = d
        for _ in range(4):
            _sessions.ensure_date(probe)
            after = _sessions.loaded_after(d)
            if after is not None:
                return after
            probe = date(probe.year + 1, 1, 1)
        raise LookupError(f"no trading day after {d}")

    @staticmethod
    def trading_days(end: date, count: int) -> list[date]:
        """The `count` newest session dates up to and including `end`, oldest first."""
        out: list[date] = []
        d = end if KlineCache.is_trading_day(end) else KlineCache.previous_trading_day(end)
        while len(out) < count:
            out.append(d)
            d = KlineCache.previous_trading_day(d)
        out.reverse()
        return out

    @staticmethod
    def _last_complete_trading_day(now: float | None = None) -> date:
        """The newest session date whose regular session has closed (at `now`, default: the clock)."""
        return KlineCache._session_day_since(2, now)

    @staticmethod
    def intraday_session_day(now: float | None = None) -> date:
        """The session whose one-minute bars count as "today's".

        Today once its pre-market has begun (04:00 New York), otherwise the
        previous session; on a weekend or holiday the last session.
        """
        return KlineCache._session_day_since(0, now)

    @staticmethod
    def _session_day_since(bound: int, now: float | None) -> date:
        """Today when today's session bound `bound` (index into `session`) has passed at `now`,
        else the previous trading day."""
        now = _time.time() if now is None else float(now)
        today = _exchange_date(now)
        bounds = KlineCache.session(today)
        if bounds is not None and bounds[bound] <= now:
            return today
        return KlineCache.previous_trading_day(today)


__all__ = ["KlineCache", "_EXCHANGE_TZ", "_as_datetime", "_as_epoch"]
