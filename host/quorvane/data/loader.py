"""Bar loader: the process-wide on-disk bar cache and `get_bars`.

Bars live in a diskcache store (SQLite underneath) in the data directory,
``$QUORVANE_DATA_DIR`` or ``~/.local/share/quorvane``. Two kinds of entries:

* daily bars under ``KlineCache.daily_key(sym)``: ``{"source": str, "bars": [...]}``
  with one dict per session, "date" as ``YYYY-MM-DD`` text;
* one-minute bars under ``KlineCache.intraday_key(sym)``: the list of bar dicts
  of the newest session fetched (pre-market and after-hours included), "date"
  in epoch seconds, written whole by the batch intraday route.

The store is safe to use from several threads at once (diskcache keeps one
SQLite connection per thread), which is what the routes' worker threads do.
"""

from __future__ import annotations

import asyncio
import math
import os
import sqlite3
import threading
import time
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import diskcache
import pandas as pd

from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache, _as_epoch

DATA_DIR_ENV = "QUORVANE_DATA_DIR"
_PROBE_KEY = "quorvane:probe"
_OHLCV = ("open", "high", "low", "close", "volume")


class CacheError(RuntimeError):
    """The bar cache cannot be opened or used (bad path, corrupt database, no access)."""


def default_data_dir() -> Path:
    """``$QUORVANE_DATA_DIR`` when set, else ``$XDG_DATA_HOME/quorvane`` (``~/.local/share/quorvane``)."""
    env = os.environ.get(DATA_DIR_ENV)
    if env:
        return Path(env).expanduser()
    base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base).expanduser() / "quorvane"


def _finite(value) -> float | None:
    try:
        out = float(value)
    except (TypeError, ValueError):  # None, pandas' NA, text
        return None
    return out if math.isfinite(out) else None


class BarCache:
    """The bar store of one data directory."""

    def __init__(self, directory: str | os.PathLike) -> None:
        self.directory = Path(directory).expanduser()
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
            # A store, not a cache that may forget: nothing is ever evicted.
            self._store = diskcache.Cache(str(self.directory), eviction_policy="none")
        except (OSError, sqlite3.Error) as e:
            raise CacheError(f"cannot open the bar cache in {self.directory}: {e}") from e
        try:  # an unwritable or damaged database shows itself here, not at the first request
            self._store.set(_PROBE_KEY, time.time())
            self._store.get(_PROBE_KEY)
            for _ in self._store.iterkeys():
                pass
        except (OSError, sqlite3.Error) as e:
            self._store.close()
            raise CacheError(f"the bar cache in {self.directory} is unusable: {e}") from e

    # -- generic entries ---------------------------------------------------------
    def get(self, key: str, default: Any = None) -> Any:
        return self._store.get(key, default)

    def set(self, key: str, value: Any) -> bool:
        """Store `value` under `key`, replacing what was there (blocking disk write)."""
        return self._store.set(key, value)

    def delete(self, key: str) -> bool:
        return self._store.delete(key)

    def close(self) -> None:
        self._store.close()

    def symbols(self) -> list[str]:
        """Symbols that have daily or intraday bars, sorted."""
        out = set()
        for key in self._store.iterkeys():
            if not isinstance(key, str):
                continue
            for prefix in (KlineCache.DAILY_PREFIX, KlineCache.INTRADAY_PREFIX):
                if key.startswith(prefix):
                    out.add(key[len(prefix):])
        return sorted(out)

    def is_empty(self) -> bool:
        """True when no bars of any symbol are stored."""
        return not self.symbols()

    # -- daily bars ----------------------------------------------------------------
    def put_daily(self, sym: str, bars: list[Mapping], source: str) -> None:
        """Replace a symbol's daily bars; each bar has "date" (a date or ISO text) and OHLCV."""
        rows = []
        for b in bars:
            row = {"date": str(pd.Timestamp(b["date"]).date())}
            row.update((k, b.get(k)) for k in _OHLCV)
            rows.append(row)
        self.set(KlineCache.daily_key(sym), {"source": source, "bars": rows})

    def daily(self, sym: str) -> tuple[list[dict], str] | None:
        """(daily bars, source) of a symbol, or None."""
        entry = self.get(KlineCache.daily_key(sym))
        if not isinstance(entry, Mapping) or not entry.get("bars"):
            return None
        return list(entry["bars"]), str(entry.get("source") or "cache")

    # -- one-minute bars -------------------------------------------------------------
    def intraday(self, sym: str) -> list[Mapping] | None:
        """The stored one-minute bar dicts of a symbol as written, or None."""
        entry = self.get(KlineCache.intraday_key(sym))
        if not isinstance(entry, Iterable) or isinstance(entry, (str, bytes, Mapping)):
            return None
        return list(entry) or None

    def get_intraday(self, sym: str, now: float | None = None) -> list[dict] | None:
        """Today's regular-hours one-minute bars of `sym` as {"date": epoch int, "close": float}.

        "Today" is the session of `KlineCache.intraday_session_day`. None when
        nothing is stored for that session (nothing at all, or an older session:
        the caller then fetches afresh). Before the open this is an empty list.
        """
        entries = self.intraday(sym)
        if entries is None:
            return None
        day = KlineCache.intraday_session_day(now)
        bounds = KlineCache.session(day)
        if bounds is None:
            return None
        pre, opens, closes, post = bounds
        out: list[dict] = []
        seen_session = False
        for bar in entries:
            if not isinstance(bar, Mapping):
                continue
            t = _as_epoch(bar.get("date"))
            if t is None or not pre <= t < post:
                continue
            seen_session = True
            close = _finite(bar.get("close"))
            if close is not None and opens <= t < closes:
                out.append({"date": int(t), "close": close})
        return out if seen_session else None


# -- the process-wide cache ------------------------------------------------------------
_cache: BarCache | None = None
_cache_lock = threading.Lock()


def open_cache(directory: str | os.PathLike | None = None) -> BarCache:
    """Open the cache in `directory` (default: `default_data_dir`) and make it the process-wide one.

    Raises `CacheError` with the reason when the directory cannot serve as a cache.
    """
    global _cache
    new = BarCache(default_data_dir() if directory is None else directory)
    with _cache_lock:
        old, _cache = _cache, new
    if old is not None and old is not new:
        old.close()
    return new


def close_cache() -> None:
    """Close the process-wide cache; the next `_get_cache` opens it again."""
    global _cache
    with _cache_lock:
        old, _cache = _cache, None
    if old is not None:
        old.close()


def _get_cache() -> BarCache:
    """The process-wide bar cache, opened on first use."""
    global _cache
    cache = _cache
    if cache is not None:
        return cache
    with _cache_lock:
        if _cache is None:
            _cache = BarCache(default_data_dir())
        return _cache


# -- get_bars --------------------------------------------------------------------------------
_DAY_PERIODS = {"day": None, "1d": None, "daily": None,
                "week": "W", "1wk": "W", "weekly": "W",
                "month": "M", "1mo": "M", "monthly": "M"}
_MINUTE_PERIODS = {"1min": 1, "1m": 1, "minute": 1, "5min": 5, "5m": 5, "15min": 15, "15m": 15,
                   "30min": 30, "30m": 30, "60min": 60, "1h": 60, "hour": 60}
_RTH_OPEN_MINUTE = 9 * 60 + 30  # minute bars are grouped from the 09:30 open


def _frame(rows: list[dict]) -> pd.DataFrame:
    df = pd.DataFrame(rows, columns=["date", *_OHLCV])
    for col in _OHLCV:
        df[col] = pd.to_numeric(df[col], errors="coerce").astype("float64")
    return df


def _aggregate(df: pd.DataFrame, keys) -> pd.DataFrame:
    out = df.groupby(keys, sort=True).agg(
        date=("date", "first"), open=("open", "first"), high=("high", "max"),
        low=("low", "min"), close=("close", "last"), volume=("volume", "sum"))
    return out.reset_index(drop=True)


def _daily_frame(cache: BarCache, sym: str, period: str) -> tuple[pd.DataFrame, str] | None:
    found = cache.daily(sym)
    if found is None:
        return None
    rows, source = found
    df = _frame(rows)
    df["date"] = pd.to_datetime(df["date"], errors="coerce")
    df = df.dropna(subset=["date", "close"]).drop_duplicates("date", keep="last").sort_values("date")
    rule = _DAY_PERIODS[period]
    if rule is not None:
        df = _aggregate(df, df["date"].dt.to_period(rule))
    return df, source


def _minute_frame(cache: BarCache, sym: str, period: str) -> tuple[pd.DataFrame, str] | None:
    entries = cache.intraday(sym)
    if entries is None:
        return None
    rows = []
    for bar in entries:
        if isinstance(bar, Mapping):
            t = _as_epoch(bar.get("date"))
            if t is not None:
                rows.append({"date": t, **{k: bar.get(k) for k in _OHLCV}})
    df = _frame(rows).dropna(subset=["close"])
    df["date"] = pd.to_datetime(df["date"].astype("float64"), unit="s", utc=True).dt.tz_convert(_EXCHANGE_TZ)
    df = df.drop_duplicates("date", keep="last").sort_values("date")
    minutes = _MINUTE_PERIODS[period]
    if minutes > 1:
        local = df["date"].dt
        bucket = (local.hour * 60 + local.minute - _RTH_OPEN_MINUTE) // minutes
        df = _aggregate(df, [local.date, bucket])
    return df, "cache"


def _load_bars(symbol: str, period: str, count: int) -> pd.DataFrame | None:
    sym = str(symbol).strip().upper()
    key = str(period).strip().lower()
    count = int(count)
    if count <= 0:
        raise ValueError(f"bar count must be positive, got {count}")
    if key in _DAY_PERIODS:
        found = _daily_frame(_get_cache(), sym, key)
    elif key in _MINUTE_PERIODS:
        found = _minute_frame(_get_cache(), sym, key)
    else:
        known = ", ".join([*_DAY_PERIODS, *_MINUTE_PERIODS])
        raise ValueError(f"unknown bar period {period!r} (known: {known})")
    if found is None:
        return None
    df, source = found
    if df.empty:
        return None
    df = df.tail(count).reset_index(drop=True)[["date", *_OHLCV]]
    df.attrs["source"] = source
    return df


async def get_bars(symbol: str, period: str = "day", count: int = 250, adjust: str = "none") -> pd.DataFrame | None:
    """The newest `count` bars of `symbol`, oldest first, from the bar cache, or None.

    Columns "date", "open", "high", "low", "close", "volume"; ``attrs["source"]``
    tells where the bars came from. Periods: "day", "week", "month" (from the
    daily bars; "date" is the session date, naive) and "1min", "5min", "15min",
    "30min", "60min" (from the stored one-minute bars of the newest session;
    "date" in New York time). The stored bars are unadjusted; `adjust` is
    accepted for callers that ask for a kind of adjustment and changes nothing.
    The disk read and the frame building run on a worker thread.
    """
    del adjust
    return await asyncio.to_thread(_load_bars, symbol, period, count)
